#!/usr/bin/env bash
# The handset build's checks (docs/integration.md), with Debian's packages only:
#
# - Android.bp: every Android.bp of the tree is in bpfmt's canonical layout, and
#   tools/bpcheck (Soong's own module types, from Debian's Soong library) refuses none:
#   no unknown module type, no unknown property, no value of the wrong type, nothing
#   that Android 10 lacks. Every non-test source under request/, norvotools/, quillon/
#   and partver/ is in a module or named in the root Android.bp (why it stays on the
#   host), and the deployment defaults in the .bp are CMakeLists.txt's.
# - With --bionic DIR: every source of the root Android.bp's modules is compiled, syntax
#   only, for aarch64-linux-android29 against Bionic's headers in DIR (a copy of the
#   platform's bionic folders libc/include, libc/kernel/uapi and libc/kernel/android/uapi,
#   kept outside this repository), with the modules' own cflags and no warning switched
#   off. Bionic's headers are no Debian package: without --bionic this step is skipped,
#   and the script says so.
#
# Usage: tools/android-check.sh [--bionic DIR] [--out DIR]   (out: build-android/)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

bionic=""
out="$repo/build-android"
while [ $# -gt 0 ]; do
  case "$1" in
    --bionic) bionic="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    *) echo "usage: $0 [--bionic DIR] [--out DIR]" >&2; exit 2 ;;
  esac
done
mkdir -p "$out"

fail=0
problem() {
  echo "android-check: $*" >&2
  fail=1
}

# --- the checker, built on first use (and again when its source changes) --------------
bpcheck="$out/bpcheck"
if [ ! -x "$bpcheck" ] || [ tools/bpcheck/main.go -nt "$bpcheck" ]; then
  echo "== building tools/bpcheck with Debian's Soong library"
  GO111MODULE=off GOPATH="$out/gopath:/usr/share/gocode" GOCACHE="$out/gocache" \
    GOFLAGS= go build -o "$bpcheck" ./tools/bpcheck
fi

# Its own tests: it must refuse an unknown property, an unknown module type and the like,
# or its silence below would prove nothing.
echo "== tools/bpcheck's tests"
GO111MODULE=off GOPATH="$out/gopath:/usr/share/gocode" GOCACHE="$out/gocache" \
  GOFLAGS= go test ./tools/bpcheck || problem "tools/bpcheck's own tests fail"

mapfile -t bpfiles < <(find . \( -path ./.git -o -path './build*' \) -prune -o \
  -name Android.bp -print | sort)
echo "== Android.bp checks: ${bpfiles[*]}"
for bp in "${bpfiles[@]}"; do
  if ! diff_out=$(bpfmt -d "$bp" 2>&1) || [ -n "$diff_out" ]; then
    printf '%s\n' "$diff_out" >&2
    problem "$bp is not in bpfmt's layout (bpfmt -w $bp)"
  fi
done
"$bpcheck" "${bpfiles[@]}" || problem "Soong refuses the Android.bp files above"

# The list property $1 of the root Android.bp's modules, as "module<TAB>value" lines.
bp_list() { "$bpcheck" -print "$1" Android.bp; }

# Soong's reading above resolves no path; its build would stop at a missing one.
for property in srcs init_rc local_include_dirs; do
  while IFS=$'\t' read -r module path; do
    [ -e "$path" ] || problem "module $module names $property \"$path\", which does not exist"
  done < <(bp_list "$property")
done

# Every non-test source of the programs' folders is built for the handset, or the root
# Android.bp says why it stays on the host.
declare -A in_module
while IFS=$'\t' read -r module src; do in_module[$src]=$module; done < <(bp_list srcs)
while IFS= read -r src; do
  [ -n "${in_module[$src]+set}" ] && continue
  grep -qF "$src" Android.bp && continue
  problem "$src is in no module of Android.bp and not named there as host-only"
done < <(find request norvotools quillon partver -name '*.cpp' ! -name '*_test.cpp' | sort)

# The handset build keeps every warning: the compile below takes the .bp's cflags, and
# a warning switched off there would pass unseen.
while IFS=$'\t' read -r module flag; do
  case "$flag" in
    -Wno-* | -w) problem "module $module switches a warning off: $flag" ;;
  esac
done < <(bp_list cflags)

# The deployment defaults: CMakeLists.txt's cache variables and project version against
# the -D cflags of the .bp.
declare -A cmake_value bp_value
while IFS=$'\t' read -r name value; do
  cmake_value[$name]=$value
done < <(sed -nE 's/^set\((NORVO_[A-Z_]+) "([^"]*)" CACHE STRING.*/\1\t\2/p' CMakeLists.txt)
cmake_value[NORVO_VERSION]=$(sed -nE 's/^project\([^ ]+ VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
while IFS=$'\t' read -r name value; do
  bp_value[$name]=$value
done < <(bp_list cflags | cut -f2 | sed -nE 's/^-D(NORVO_[A-Z_]+)="(.*)"$/\1\t\2/p')
for name in "${!cmake_value[@]}"; do
  if [ "${bp_value[$name]-<none>}" != "${cmake_value[$name]}" ]; then
    problem "Android.bp sets $name to \"${bp_value[$name]-<none>}\", CMakeLists.txt to \"${cmake_value[$name]}\""
  fi
done
for name in "${!bp_value[@]}"; do
  [ -n "${cmake_value[$name]+set}" ] || problem "Android.bp sets $name, which CMakeLists.txt has not"
done

# --- the syntax-only compile against Bionic -------------------------------------------
if [ -z "$bionic" ]; then
  echo "== SKIPPED: the compile for aarch64-linux-android29 (no Bionic headers given;"
  echo "   run tools/android-check.sh --bionic DIR, or set NORVO_BIONIC for tools/test.sh)"
else
  libc="$bionic/libc"
  for d in include kernel/uapi kernel/uapi/asm-arm64 kernel/android/uapi; do
    [ -d "$libc/$d" ] || { echo "android-check: $libc/$d is missing" >&2; exit 1; }
  done
  libcxx=/usr/lib/llvm-14/include/c++/v1
  [ -f "$libcxx/__config" ] || { echo "android-check: $libcxx: install libc++-14-dev" >&2; exit 1; }

  # The headers of the platform's libraries that Bionic lacks, from Debian's packages of
  # them. Debian keeps curl's, cJSON's and zlib's beside glibc's, so they are reached
  # through links of their own: no glibc header can come in. libc++'s Android support
  # asks for the NDK's version header; a platform build has no NDK, and the values say
  # a recent one.
  shim="$out/include"
  rm -rf "$shim"
  mkdir -p "$shim/android"
  multiarch=$(gcc -print-multiarch 2>/dev/null || echo x86_64-linux-gnu)
  ln -s "/usr/include/$multiarch/curl" "$shim/curl"
  ln -s /usr/include/cjson "$shim/cjson"
  ln -s /usr/include/zlib.h "$shim/zlib.h"
  ln -s /usr/include/zconf.h "$shim/zconf.h"
  for h in "$shim/curl/curl.h" "$shim/cjson/cJSON.h" "$shim/zlib.h" /usr/include/android/cutils/properties.h; do
    [ -e "$h" ] || { echo "android-check: $h is missing (tools/install-deps.sh)" >&2; exit 1; }
  done
  printf '%s\n' '#pragma once' '#define __NDK_MAJOR__ 21' '#define __NDK_MINOR__ 0' \
    '#define __NDK_BETA__ 0' '#define __NDK_BUILD__ 0' '#define __NDK_CANARY__ 0' \
    >"$shim/android/ndk-version.h"

  # Standard headers from libc++ and Bionic only (-nostdlibinc keeps clang's own), then
  # Debian's copies of the platform libraries' headers.
  base=(--target=aarch64-linux-android29 -fsyntax-only -std=c++17 -nostdlibinc -nostdinc++
    -DANDROID -isystem "$libcxx" -isystem "$libc/include" -isystem "$libc/kernel/uapi"
    -isystem "$libc/kernel/uapi/asm-arm64" -isystem "$libc/kernel/android/uapi"
    -isystem /usr/include/android -isystem "$shim" -I "$repo")

  # Each module's cflags and include folders with those of its defaults.
  declare -A defaults_of cflags_of includes_of
  while IFS=$'\t' read -r m v; do defaults_of[$m]+="$v"$'\n'; done < <(bp_list defaults)
  while IFS=$'\t' read -r m v; do cflags_of[$m]+="$v"$'\n'; done < <(bp_list cflags)
  while IFS=$'\t' read -r m v; do includes_of[$m]+="$v"$'\n'; done < <(bp_list local_include_dirs)
  flags_of() {
    local m=$1 d
    printf '%s' "${cflags_of[$m]-}"
    while IFS= read -r d; do [ -n "$d" ] && flags_of "$d"; done <<<"${defaults_of[$m]-}"
  }
  includes_for() {
    local m=$1 d i
    while IFS= read -r i; do [ -n "$i" ] && printf -- '-I\n%s\n' "$repo/$i"; done <<<"${includes_of[$m]-}"
    while IFS= read -r d; do [ -n "$d" ] && includes_for "$d"; done <<<"${defaults_of[$m]-}"
  }

  echo "== compile for aarch64-linux-android29 against $bionic"
  count=0
  while IFS=$'\t' read -r module src; do
    mapfile -t mflags < <(flags_of "$module")
    mapfile -t mincludes < <(includes_for "$module")
    if ! clang++-14 "${base[@]}" "${mincludes[@]}" "${mflags[@]}" "$src"; then
      problem "$src (module $module) does not compile for aarch64-linux-android29"
    fi
    count=$((count + 1))
  done < <(bp_list srcs)
  echo "   $count sources compiled"
fi

if [ "$fail" -ne 0 ]; then
  echo "== android-check: FAILED" >&2
  exit 1
fi
echo "== android-check: passed"
