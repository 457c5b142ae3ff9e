#!/usr/bin/env bash
# Makes the second test bed once and reuses it afterwards: a Debian 13 root
# with Wine 10 in it, which testing/wine-run.sh enters when ZELMOR_WINE_ROOT
# names it. Prints the root's path.
#
# The root lives in /var/cache (ZELMOR_WINE10_ROOT chooses another place):
# outside every checkout, so one root serves every worktree and build
# directory of the machine and survives a removed build/; and it is data
# that can be made again from nothing at any time, which is what /var/cache
# is for. Not in /tmp: the tests bind /tmp into it, and /tmp is cleared.
#
# Safe to run twice, at once and after an interrupted run: the root is built
# under a temporary name, its recipe is written into it last, and it is
# published by one rename; a root whose recipe differs is made anew.
set -euo pipefail
root=${ZELMOR_WINE10_ROOT:-/var/cache/zelmor/wine10-trixie}
mirror=${ZELMOR_DEBIAN_MIRROR:-http://deb.debian.org/debian}
recipe="debootstrap --variant=minbase trixie; apt-get install --no-install-recommends wine wine64"
marker=etc/zelmor-test-bed

if [ "$(cat "$root/$marker" 2>/dev/null)" = "$recipe" ]; then
  echo "$root"
  exit 0
fi
if [ "$(id -u)" != 0 ]; then
  exec sudo --preserve-env=ZELMOR_WINE10_ROOT,ZELMOR_DEBIAN_MIRROR "$0" "$@"
fi

mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9
if [ "$(cat "$root/$marker" 2>/dev/null)" != "$recipe" ]; then
  staging=$root.partial
  # --one-file-system: an interrupted run may have left a mount inside.
  rm -rf --one-file-system "$staging"
  echo "Making the Wine 10 test bed in $root (once)..." >&2
  # Only the test command needs debootstrap, so the demo never installs it.
  if ! command -v debootstrap >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
  fi
  # In a private mount namespace, whatever debootstrap and apt mount inside
  # the staging root goes away with them, however they end.
  unshare --mount --propagation private /bin/bash -euo pipefail -s "$staging" "$mirror" <<'MAKE' >&2
staging=$1 mirror=$2
debootstrap --variant=minbase trixie "$staging" "$mirror" >/dev/null
mount -t proc proc "$staging/proc"
mount --rbind /dev "$staging/dev"
chroot "$staging" apt-get update -qq
DEBIAN_FRONTEND=noninteractive chroot "$staging" apt-get install -y -qq --no-install-recommends wine wine64 \
  >/dev/null
chroot "$staging" apt-get clean
MAKE
  echo "$recipe" >"$staging/$marker"
  if [ -e "$root" ]; then
    rm -rf --one-file-system "$root.old"
    mv "$root" "$root.old"
  fi
  mv "$staging" "$root"
  rm -rf --one-file-system "$root.old"
fi
echo "$root"
