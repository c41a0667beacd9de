#!/usr/bin/env bash
# The test command: installs what the build and the tests need (Debian packages),
# builds the plain and the ASan+UBSan configurations, and runs every test of both.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(cmake make g++ pkg-config clang-format
  android-libbase-dev android-liblog-dev android-libboringssl-dev
  libcurl4-gnutls-dev libcjson-dev libc-ares-dev libgtest-dev libgmock-dev
  bubblewrap iproute2 curl zip unzip python3 python3-pytest python3-cryptography)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

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
