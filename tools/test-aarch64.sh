#!/usr/bin/env bash
# The programs on their target CPU: builds build-aarch64/ with Debian's aarch64 cross
# compiler against an arm64 sysroot of Debian packages (tools/sysroot-arm64.sh, cached in
# the build tree), then runs under qemu-user the unit tests and the system tests (the first
# and second stage among them), with the aarch64 programs inside the emulated device.
# A step of tools/test.sh; runs alone as well (after tools/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-aarch64
sysroot=$PWD/$build/sysroot
jobs=$(nproc)

echo "== arm64 sysroot"
tools/sysroot-arm64.sh "$sysroot"

echo "== build (aarch64)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DNORVO_SYSROOT="$sysroot" \
  -DNORVO_SYSTEM_TESTS=OFF >/dev/null
cmake --build "$build" -j"$jobs"
file "$build/bin/corvane" | grep -q 'ARM aarch64' || {
  echo "test-aarch64: $build/bin/corvane is not an aarch64 program" >&2
  exit 1
}

echo "== unit tests (aarch64, qemu-user)"
ctest --test-dir "$build" --output-on-failure

# Every system test, the first and second stage among them, in the two passes of
# tools/system-tests.sh (parallel, then the time-bound ones alone).
echo "== system tests (aarch64, qemu-user)"
NORVO_BUILD_DIR=$PWD/$build NORVO_EMULATOR="qemu-aarch64 -L $sysroot" tools/system-tests.sh
