#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine.
# Safe to run twice: every step checks whether its work is already done.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config python3
  mingw-w64 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  wine wine64
  libzstd-dev zstd
  googletest libgtest-dev
  dpkg-dev
  clang libclang-rt-14-dev
  osslsigncode openssl
  util-linux bsdextrautils
)

# npm fetches real programs for the tests (scripts/fetch-test-programs.sh);
# a machine with Node.js from elsewhere already has it.
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

sudo_cmd=()
[ "$(id -u)" = 0 ] || sudo_cmd=(sudo)

# apt-get source needs a deb-src entry; the machine ships binary entries only.
src_list=/etc/apt/sources.list.d/zelmor-deb-src.sources
need_update=0
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
  "${sudo_cmd[@]}" tee "$src_list" >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  need_update=1
fi

if [ ${#missing[@]} -gt 0 ] || [ $need_update = 1 ]; then
  "${sudo_cmd[@]}" apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
