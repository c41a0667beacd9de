#!/usr/bin/env bash
# The system tests (tests/system) in two passes: first all but the "serial" ones side by
# side in several pytest-xdist workers (the tests mostly wait: back-off, time-outs,
# servers), then the "serial" ones, whose time bounds hold only on a machine otherwise
# idle, one at a time.
#
#   tools/system-tests.sh [--parallel-only | --serial-only] [PYTEST ARGS] [TEST FILES]
#
# Without test files, the whole of tests/system. $NORVO_BUILD_DIR and $NORVO_EMULATOR
# as for the tests (tests/system/conftest.py); $NORVO_TEST_WORKERS, the number of
# workers of the parallel pass (default 6; 1 runs it in-process, without xdist).
set -uo pipefail
cd "$(dirname "$0")/.."

passes="parallel serial"
case "${1:-}" in
  --parallel-only) passes=parallel; shift ;;
  --serial-only) passes=serial; shift ;;
esac
targets=()
for arg in "$@"; do
  [[ "$arg" == -* ]] || targets+=("$arg")
done
[ ${#targets[@]} -gt 0 ] || set -- "$@" tests/system

workers=${NORVO_TEST_WORKERS:-6}
[[ "$workers" =~ ^[1-9][0-9]?$ ]] || {
  echo "system-tests: NORVO_TEST_WORKERS must be 1..99, not '$workers'" >&2
  exit 2
}

ran=0
for pass in $passes; do
  if [ "$pass" = parallel ]; then
    echo "== system tests: parallel pass ($workers workers)"
    opts=(-m "not serial")
    [ "$workers" -eq 1 ] || opts+=(-n "$workers")
  else
    echo "== system tests: serial pass"
    opts=(-m serial)
  fi
  /usr/bin/python3 -m pytest -q -p no:cacheprovider "${opts[@]}" "$@"
  rc=$?
  case $rc in
    0) ran=1 ;;
    5) ;; # none of the chosen tests is in this pass
    *) exit $rc ;;
  esac
done
if [ $ran -eq 0 ]; then
  echo "system-tests: no test ran" >&2
  exit 5
fi
