#!/usr/bin/env bash
# Runs a command on a busy machine: N CPU-bound loops beside it for the whole run, K runs in
# a row, each timed. The test command must pass this way too (a handset is busy while it
# updates, and so is a shared CI runner):
#
#   tools/busy-run.sh [--hogs N] [--runs K] [--log DIR] -- COMMAND [ARGS...]
#
# Defaults: 2 loops, 1 run, logs in a new folder under /tmp. Each run's output goes to
# DIR/run-I.log; a line per run says how it ended and how long it took. The loops are ended
# by their process ids when the runs are over (or the script is interrupted). Exit status:
# 0 when every run passed, else that of the first run that failed.
set -uo pipefail

hogs=2
runs=1
logdir=
while [ $# -gt 0 ]; do
  case "$1" in
    --hogs) hogs=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --log) logdir=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "busy-run: unknown option $1 (see the comment at the top)" >&2; exit 2 ;;
  esac
done
[[ "$hogs" =~ ^[0-9]{1,2}$ && "$runs" =~ ^[1-9][0-9]?$ ]] || {
  echo "busy-run: --hogs takes 0..99, --runs 1..99" >&2
  exit 2
}
[ $# -gt 0 ] || { echo "busy-run: no command (put it after --)" >&2; exit 2; }
[ -n "$logdir" ] || logdir=$(mktemp -d /tmp/busy-run.XXXXXX)
mkdir -p "$logdir"

pids=()
stop_hogs() {
  [ ${#pids[@]} -eq 0 ] || kill "${pids[@]}" 2>/dev/null
  wait "${pids[@]}" 2>/dev/null
  pids=()
}
trap stop_hogs EXIT
trap 'exit 130' INT TERM
for _ in $(seq "$hogs"); do
  sh -c 'while :; do :; done' &
  pids+=($!)
done
echo "busy-run: $hogs CPU-bound loop(s) (pids ${pids[*]:-none}), $runs run(s), logs in $logdir"

first_failure=0
for i in $(seq "$runs"); do
  start=$(date +%s)
  "$@" >"$logdir/run-$i.log" 2>&1
  rc=$?
  took=$(($(date +%s) - start))
  verdict=passed
  [ $rc -eq 0 ] || verdict="FAILED (exit $rc)"
  printf 'busy-run: run %d %s in %d min %02d s\n' "$i" "$verdict" $((took / 60)) $((took % 60))
  [ $rc -eq 0 ] || [ $first_failure -ne 0 ] || first_failure=$rc
done
exit $first_failure
