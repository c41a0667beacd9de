#!/usr/bin/env bash
# The test command: installs what the build and the tests need (Debian packages),
# builds the plain and the ASan+UBSan configurations, and runs every test of both.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh

jobs=$(nproc)
echo "== format check"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

echo "== build (plain)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
echo "== build (ASan+UBSan)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DNORVO_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"

echo "== tests (plain)"
ctest --test-dir build --output-on-failure -j"$jobs"
echo "== tests (ASan+UBSan)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

# The download's listener and hashing threads share state with the transfer thread:
# their unit and system tests run once more under ThreadSanitizer.
echo "== build (ThreadSanitizer)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVO_TSAN=ON >/dev/null
cmake --build build-tsan -j"$jobs"
echo "== download tests (ThreadSanitizer)"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
build-tsan/bin/unit_tests --gtest_filter='XferInfo.*:RedirectSplit.*:Commands.*:CommandListenerTest.*:RomDownloadRun.*:RomDownloadAttempts.*:SecureEventTest.*:PackageHasherTest.*'
NORVO_BUILD_DIR=$PWD/build-tsan tools/system-tests.sh tests/system/test_download.py \
  tests/system/test_download_check.py tests/system/test_rate_cap.py

# Compile only: clang checks the GUARDED_BY annotations (-Wthread-safety).
echo "== build (clang, thread-safety analysis)"
CC=clang-14 CXX=clang++-14 cmake -S . -B build-clang -DNORVO_SYSTEM_TESTS=OFF >/dev/null
cmake --build build-clang -j"$jobs"

# The handset build: Android.bp checked with Soong's own module types, and (when
# NORVO_BIONIC names a folder of Bionic's headers) every device source compiled for
# aarch64-linux-android29. Without the headers the compile is skipped, and says so.
echo "== handset checks (Android.bp, Bionic)"
tools/android-check.sh ${NORVO_BIONIC:+--bionic "$NORVO_BIONIC"}

# The same programs for the handsets' CPU, tested under qemu-user.
tools/test-aarch64.sh

# A few seconds per fuzzer on its seed corpus: the targets keep building and the seeds
# keep passing. The long runs are tools/fuzz.sh with a larger time (docs/reliability.md).
echo "== fuzz smoke"
tools/fuzz.sh 5
