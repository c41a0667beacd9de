#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan + UBSan + libFuzzer, every library
# instrumented) in build-fuzz/, then runs each fuzzer for a bounded time on its seed corpus
# and prints the executions it made.
#
#   tools/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per fuzzer (default 60). TARGET names (answer, form, download, records, installer,
# metadata, partver, property, signature) pick fuzzers; default all. New inputs go to build-fuzz/corpus/<target>
# (the checked-in seeds in fuzz/corpus/<target> are only read); crashes to
# build-fuzz/findings/<target>/. BUILD_DIR and CLANG_SUFFIX (default -14) override the
# build folder and the clang version; FUZZ_JOBS (default: the number of cores) how many
# fuzzers run at once. Exit status 1 when a fuzzer reported a finding.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[[ $seconds =~ ^[0-9]+$ ]] || { echo "fuzz.sh: SECONDS must be a number" >&2; exit 2; }
shift $(($# > 0 ? 1 : 0))
build=${BUILD_DIR:-build-fuzz}
suffix=${CLANG_SUFFIX--14}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=()
  for f in fuzz/*_fuzzer.cpp; do
    n=${f##*/}
    targets+=("${n%_fuzzer.cpp}")
  done
fi

mkdir -p "$build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="clang$suffix" -DCMAKE_CXX_COMPILER="clang++$suffix" \
  -DNORVO_FUZZ=ON -DNORVO_SANITIZE=ON -DNORVO_SYSTEM_TESTS=OFF \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
  >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 2; }
names=()
for t in "${targets[@]}"; do names+=("${t}_fuzzer"); done
cmake --build "$build" -j"$(nproc)" --target "${names[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# One fuzzer: its log in build-fuzz/findings/<target>.log, its exit status in
# build-fuzz/findings/<target>.rc.
run_one() {
  local t=$1 corpus="$build/corpus/$1" findings="$build/findings/$1" seeds=()
  [ -d "fuzz/corpus/$t" ] && seeds=("fuzz/corpus/$t")
  local rc=0
  "$build/bin/${t}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$findings/" "$corpus" "${seeds[@]}" \
    >"$build/findings/$t.log" 2>&1 || rc=$?
  echo "$rc" >"$build/findings/$t.rc"
}

# FUZZ_JOBS fuzzers at a time (default: one per core); each gets its SECONDS of its own.
jobs=${FUZZ_JOBS:-$(nproc)}
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "fuzz.sh: FUZZ_JOBS must be a positive number" >&2; exit 2; }
running=0
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t" "$build/findings/$t"
  rm -f "$build/findings/$t.rc"
  echo "== $t: $seconds s"
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

status=0
summary=()
for t in "${targets[@]}"; do
  log="$build/findings/$t.log"
  findings="$build/findings/$t"
  rc=$(cat "$build/findings/$t.rc" 2>/dev/null || echo "?")
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  if [ "$rc" != 0 ]; then
    status=1
    result="FINDING (exit $rc, see $log and $findings/)"
    grep -m 3 -E "ERROR: |runtime error|invariant broken" "$log" || true
  else
    result="no finding"
  fi
  summary+=("$(printf '%-10s %12s executions %8s/s  %s' "$t" "${runs:-?}" "${rate:-?}" "$result")")
done
echo "== summary ($seconds s each, $jobs at a time)"
printf '%s\n' "${summary[@]}"
exit "$status"
