#!/usr/bin/env bash
# Runs CI (.ci/run) from fresh clones of this repository while the machine is
# loaded, and reports each run's result and wall time.
#
#   tools/ci_loaded.sh [--runs N] [--busy] [--pin] [--rev REV] [--keep]
#
#   --runs N  runs one after another (default 3)
#   --busy    two busy loops per usable core for the length of each run
#   --pin     run CI (and the busy loops) on cores 0 and 1 only
#   --rev REV the commit to clone (default HEAD)
#   --keep    keep each run's folder (kept anyway when the run fails)
#
# Lua's source (.deps/, never tracked) is copied from this checkout when it
# is there, so that a run needs no network. Each run's output goes to its
# folder's ci.log; one summary line per run goes to standard output.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

runs=3 busy=0 pin=0 rev=HEAD keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift ;;
    --busy) busy=1 ;;
    --pin) pin=1 ;;
    --rev) rev=$2; shift ;;
    --keep) keep=1 ;;
    *) echo "usage: $0 [--runs N] [--busy] [--pin] [--rev REV] [--keep]" >&2; exit 2 ;;
  esac
  shift
done
sha=$(git -C "$top" rev-parse --verify "$rev^{commit}") || exit 2

pin_cmd=()
cores=$(nproc)
if [ $pin = 1 ]; then
  pin_cmd=(taskset -c 0,1)
  cores=2
fi

loops=()
stop_load() {
  for pid in "${loops[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${loops[@]}"; do wait "$pid" 2>/dev/null; done
  loops=()
}
trap 'stop_load; exit 130' INT TERM
trap stop_load EXIT

start_load() {
  [ $busy = 1 ] || return 0
  for _ in $(seq $((2 * cores))); do
    "${pin_cmd[@]}" bash -c 'while :; do :; done' &
    loops+=($!)
  done
}

failed=0
for n in $(seq "$runs"); do
  dir=$(mktemp -d /tmp/kvd_ci_loaded.XXXXXX)
  git clone -q --no-local "$top" "$dir/src" && git -C "$dir/src" checkout -q "$sha" || exit 2
  [ -d "$top/.deps/lua-5.4.4" ] && cp -a "$top/.deps" "$dir/src/"
  load_before=$(cut -d' ' -f1 /proc/loadavg)
  start_load
  t0=$(date +%s)
  "${pin_cmd[@]}" bash "$dir/src/.ci/run" >"$dir/ci.log" 2>&1
  rc=$?
  t1=$(date +%s)
  stop_load
  load_after=$(cut -d' ' -f1 /proc/loadavg)
  secs=$((t1 - t0))
  summary=$(grep -E "tests passed|tests failed" "$dir/ci.log" | tr '\n' ';')
  printf 'run %d: %s exit %d, %dm%02ds wall, load %s -> %s, %s%s\n' "$n" "${sha:0:7}" "$rc" \
    $((secs / 60)) $((secs % 60)) "$load_before" "$load_after" "$summary" \
    "$([ $rc != 0 ] || [ $keep = 1 ] && echo " log $dir/ci.log")"
  if [ $rc != 0 ]; then
    failed=1
  elif [ $keep = 0 ]; then
    rm -rf "$dir"
  fi
done
exit $failed
