#!/usr/bin/env bash
# Lays out a fresh copy of Lua's source in OUT and applies, in order, Debian's
# security patches and then the patches named in SERIES (one file name a line,
# relative to the series file; '#' starts a comment). Every patch must apply
# exactly (--fuzz=0); a stale or half-applied patch fails the build.
# Usage: prepare_lua.sh PRISTINE_SRC DEBIAN_PATCHES SERIES|- OUT
set -euo pipefail
pristine=$1 debian=$2 series=$3 out=$4

rm -rf "$out.tmp"
mkdir -p "$out.tmp"
cp -R "$pristine/src" "$out.tmp/src"

apply() {
  if ! patch -d "$out.tmp" -p1 --fuzz=0 --forward --batch --no-backup-if-mismatch -s -i "$1"; then
    echo "prepare_lua: patch $1 does not apply cleanly" >&2
    exit 1
  fi
}

# Debian's own fixes of this release (the CVE patches), before ours.
for p in 0004-cve-2022-28805.patch 0005-cve-2022-33099.patch; do apply "$debian/$p"; done

if [ "$series" != - ]; then
  dir=$(dirname "$series")
  while IFS= read -r line || [ -n "$line" ]; do
    line=${line%%#*}; line=$(echo "$line" | xargs)
    [ -n "$line" ] && apply "$dir/$line"
  done < "$series"
fi

if find "$out.tmp" -name '*.rej' -o -name '*.orig' | grep -q .; then
  echo "prepare_lua: rejected hunks left in $out.tmp" >&2
  exit 1
fi
rm -rf "$out"
mv "$out.tmp" "$out"
touch "$out/.stamp"
