#!/usr/bin/env bash
# Unpacks Debian's own zstd source package into DEST (once), so that the
# Windows build compiles the same library version the host links.
set -euo pipefail
dest=$1
[ -f "$dest/lib/zstd.h" ] && exit 0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get source -qq libzstd >/dev/null)
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'libzstd-*' | head -n 1)
[ -n "$src" ] || { echo "apt-get source libzstd gave no source tree" >&2; exit 1; }
mkdir -p "$(dirname "$dest")"
rm -rf "$dest"
mv "$src" "$dest"
