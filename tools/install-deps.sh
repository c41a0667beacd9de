#!/usr/bin/env bash
# Installs the Debian packages that the build, the emulated device, the demo and the
# tests need, when any is missing. apt-get only: nothing else is reachable.
set -euo pipefail

PACKAGES=(cmake make g++ pkg-config clang-format
  android-libbase-dev android-liblog-dev android-libboringssl-dev android-libziparchive-dev
  libcurl4-gnutls-dev libcjson-dev libc-ares-dev libgtest-dev libgmock-dev
  libgnutls28-dev # the TLS peer's keys from libcurl-gnutls's session (peer_keys_gnutls.cpp)
  bubblewrap iproute2 curl zip unzip python3 python3-pytest python3-cryptography
  python3-pytest-xdist # the system tests run in several workers (tools/system-tests.sh)
  clang-14 libclang-rt-14-dev
  gdb # backtraces in the report of a system test whose program does not end
  signapk # the platform's package signer: tools/make_package.py signs as a maker's build does
  crossbuild-essential-arm64 qemu-user file # the aarch64 build and its tests under emulation
  # the handset checks (tools/android-check.sh): Soong's library and bpfmt for Android.bp,
  # Go to build the checker, and the headers of the compile for aarch64-linux-android29
  golang-go golang-android-soong-dev golang-github-google-blueprint-dev
  golang-github-golang-protobuf-1-3-dev blueprint-tools
  libc++-14-dev android-libcutils-dev zlib1g-dev)
missing=()
for p in "${PACKAGES[@]}" "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  SUDO=
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
fi
