#!/usr/bin/env bash
# Keeps lang/patches in step with a throwaway git working copy of Lua's source.
#
#   lang/regen_patches.sh init  [WORKDIR]  builds WORKDIR from Debian's Lua 5.4.4
#       with its security fixes as the base commit (tag "base") and one commit
#       per patch of lang/patches/series, in order.
#   lang/regen_patches.sh write [WORKDIR]  writes every commit after "base" back
#       as lang/patches/NNNN-<subject>.patch and rewrites lang/patches/series.
#
# WORKDIR defaults to build/lang-patches. Edit there with ordinary git (commit,
# rebase -i, commit --fixup); never edit the .patch files themselves. The
# output carries no dates or commit hashes, so unchanged commits give
# byte-identical patches.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cmd=${1:-}
work=${2:-$top/build/lang-patches}
patches=$top/lang/patches
deps=$top/.deps
pristine=$deps/lua-5.4.4
debian=$deps/debian/patches

# Fixed identity and dates: the working copy is rebuilt at will.
export GIT_AUTHOR_NAME="Kavelund" GIT_AUTHOR_EMAIL="dev@kavelund.invalid"
export GIT_COMMITTER_NAME="Kavelund" GIT_COMMITTER_EMAIL="dev@kavelund.invalid"
export GIT_AUTHOR_DATE="2000-01-01T00:00:00Z" GIT_COMMITTER_DATE="2000-01-01T00:00:00Z"
g() { git -C "$work" -c core.abbrev=12 -c diff.noprefix=false -c diff.mnemonicPrefix=false \
        -c core.autocrlf=false -c commit.gpgsign=false "$@"; }

series_files() {
  local line
  while IFS= read -r line || [ -n "$line" ]; do
    line=${line%%#*}; line=$(echo "$line" | xargs)
    [ -n "$line" ] && echo "$line"
  done < "$patches/series"
}

case $cmd in
init)
  [ -f "$pristine/.complete" ] || { echo "regen_patches: run tools/setup.sh first" >&2; exit 1; }
  if [ -e "$work" ]; then
    echo "regen_patches: $work exists; remove it or name another folder" >&2; exit 1
  fi
  mkdir -p "$work"
  cp -R "$pristine/src" "$work/src"
  for p in 0004-cve-2022-28805.patch 0005-cve-2022-33099.patch; do
    patch -d "$work" -p1 --fuzz=0 --batch --no-backup-if-mismatch -s -i "$debian/$p"
  done
  g init -q -b main
  g config user.name "$GIT_AUTHOR_NAME"
  g config user.email "$GIT_AUTHOR_EMAIL"
  g add -A src
  g commit -q -m "Lua 5.4.4 with Debian's security fixes"
  g tag base
  for p in $(series_files); do
    g am -q --keep-cr --whitespace=nowarn "$patches/$p" || {
      echo "regen_patches: $p does not apply; see 'git am --show-current-patch' in $work" >&2; exit 1; }
  done
  echo "regen_patches: working copy ready in $work ($(g rev-list --count base..HEAD) patches)"
  ;;
write)
  g rev-parse -q --verify base >/dev/null || { echo "regen_patches: no working copy in $work" >&2; exit 1; }
  [ -z "$(g status --porcelain --untracked-files=no)" ] || {
    echo "regen_patches: uncommitted changes in $work" >&2; exit 1; }
  rm -f "$patches"/*.patch
  {
    echo "# The workstation dialect, applied in this order to Lua 5.4.4 (see lang/README.md)."
    echo "# Written by lang/regen_patches.sh; do not edit."
  } > "$patches/series"
  n=0
  for c in $(g rev-list --reverse base..HEAD); do
    n=$((n + 1))
    name=$(printf '%04d-%s.patch' "$n" "$(g log -1 --format=%f "$c")")
    g format-patch -1 --stdout --no-signature --zero-commit --no-stat --no-renames \
        --subject-prefix=PATCH "$c" | sed '/^Date: /d' > "$patches/$name"
    echo "$name" >> "$patches/series"
  done
  echo "regen_patches: wrote $n patches to $patches"
  ;;
*)
  sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
  ;;
esac
