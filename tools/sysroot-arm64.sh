#!/usr/bin/env bash
# Builds the arm64 sysroot of the aarch64 cross build: Debian's arm64 packages of the
# libraries we link (and of everything they load at run time), unpacked with dpkg -x into
# one folder. The cross compiler brings its own C and C++ development files; the sysroot
# supplies the target's libraries, headers, pkg-config files and, for qemu-user, the
# dynamic loader and libc.
#
#   tools/sysroot-arm64.sh [SYSROOT]     (default: build-aarch64/sysroot)
#
# The downloaded .debs stay beside the sysroot (SYSROOT.debs/) and a finished sysroot is
# stamped with the package list, so a second run does nothing. Removing the stamp
# (SYSROOT/.norvo-sysroot) rebuilds it from the kept .debs.
set -euo pipefail
cd "$(dirname "$0")/.."

ARCH=arm64
sysroot=${1:-build-aarch64/sysroot}
debs=$sysroot.debs
stamp=$sysroot/.norvo-sysroot

# What the build links, what the tests link, and the C and C++ run time for qemu.
ROOTS=(android-libbase-dev android-liblog-dev android-libboringssl-dev android-libziparchive-dev
  libcurl4-gnutls-dev libgnutls28-dev libcjson-dev libc-ares-dev libgtest-dev libgmock-dev
  libc6 libstdc++6 libgcc-s1)
# Not followed: the cross toolchain provides the C/C++ development files, and the
# GoogleTest sources are not needed beside the prebuilt libraries of libgtest-dev.
SKIP=" libc6-dev libc-dev-bin linux-libc-dev libcrypt-dev libnsl-dev libtirpc-dev rpcsvc-proto
  libstdc++-12-dev libgcc-12-dev gcc-12-base googletest "
MAX_PACKAGES=150 # the resolution is bounded; today it needs about 60
MAX_DEPTH=12

want="${ROOTS[*]}"
if [ -f "$stamp" ] && [ "$(head -n 1 "$stamp")" = "$want" ]; then
  exit 0
fi

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if ! dpkg --print-foreign-architectures | grep -qx "$ARCH"; then
  echo "== adding the $ARCH architecture to apt"
  $SUDO dpkg --add-architecture "$ARCH"
  $SUDO apt-get update -qq
elif ! apt-cache show "libc6:$ARCH" >/dev/null 2>&1; then
  $SUDO apt-get update -qq
fi

# Breadth-first over Depends and Pre-Depends, first choice of each alternative, a virtual
# package by its first provider. Architecture-independent packages print without ":arm64".
resolve() {
  local -A seen=()
  local frontier=("$@") next depth=0 name
  while [ ${#frontier[@]} -gt 0 ]; do
    depth=$((depth + 1))
    [ "$depth" -le "$MAX_DEPTH" ] || {
      echo "sysroot: dependencies deeper than $MAX_DEPTH levels" >&2
      return 1
    }
    local query=()
    for name in "${frontier[@]}"; do
      [ -n "${seen[$name]:-}" ] && continue
      case "$SKIP" in *" ${name%:*} "*) continue ;; esac
      seen[$name]=1
      query+=("$name")
    done
    [ ${#seen[@]} -le "$MAX_PACKAGES" ] || {
      echo "sysroot: more than $MAX_PACKAGES packages; refusing to go on" >&2
      return 1
    }
    [ ${#query[@]} -gt 0 ] || break
    mapfile -t next < <(apt-cache depends --no-recommends --no-suggests --no-conflicts \
      --no-breaks --no-replaces --no-enhances "${query[@]}" | awk '
        /^[^ ]/ { alt = 0; virt = 0; next }
        virt && /^    [^ ]/ { print $1; virt = 0; next }
        /^ *\|?(Pre)?Depends: / {
          skip = alt; alt = ($1 ~ /^\|/); virt = 0
          if (skip) next
          if ($2 ~ /^</) { virt = 1; next }
          print $2
        }')
    frontier=("${next[@]+"${next[@]}"}")
  done
  printf '%s\n' "${!seen[@]}" | sort
}

packages=()
for p in "${ROOTS[@]}"; do packages+=("$p:$ARCH"); done
mapfile -t resolved < <(resolve "${packages[@]}")
[ ${#resolved[@]} -gt 0 ] || {
  echo "sysroot: resolving the $ARCH packages failed" >&2
  exit 1
}

mkdir -p "$debs"
missing=()
for p in "${resolved[@]}"; do
  name=${p%:*}
  compgen -G "$debs/${name}_*_${ARCH}.deb" >/dev/null ||
    compgen -G "$debs/${name}_*_all.deb" >/dev/null || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== downloading ${#missing[@]} $ARCH packages"
  # apt-get download writes to the current folder; as root it drops to the _apt user,
  # which needs to be able to write there.
  (cd "$debs" && apt-get download -qq -o APT::Sandbox::User=root "${missing[@]}")
fi

echo "== unpacking ${#resolved[@]} packages into $sysroot"
rm -rf "$sysroot"
mkdir -p "$sysroot"
for p in "${resolved[@]}"; do
  name=${p%:*}
  for deb in "$debs/${name}"_*_"$ARCH".deb "$debs/${name}"_*_all.deb; do
    [ -f "$deb" ] && dpkg -x "$deb" "$sysroot"
  done
done

# Absolute links (the loader's /lib/ld-linux-aarch64.so.1, some .so links) would point
# into the host: make them relative to the sysroot.
root=$(readlink -f "$sysroot")
while IFS= read -r -d '' link; do
  target=$(readlink "$link")
  case "$target" in
    /*)
      ln -sfn "$(realpath -s -m --relative-to="$(dirname "$link")" "$root$target")" "$link"
      ;;
  esac
done < <(find "$root" -type l -print0)

[ -e "$sysroot/lib/ld-linux-aarch64.so.1" ] || {
  echo "sysroot: no dynamic loader in $sysroot" >&2
  exit 1
}
{
  echo "$want"
  printf '%s\n' "${resolved[@]}"
} >"$stamp"
