#!/usr/bin/env bash
# The whole update flow in the emulated device, against the reference server:
# first stage (clock, update check, ROM URL check), the download with a progress bar,
# and the install through the package's own updater program.
#
#   tools/demo.sh [--script "30:p,+3:c"] [--keep]
#
# --script  commands sent during the download (default: cap the speed at 256 KiB/s at 20 %,
#           pause at 40 %, continue 3 s later, lift the cap at 60 %; give an empty text to
#           drive it from the keyboard: p, c, s, l)
# --keep    keep the device folder for inspection (its path is printed)
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$(pwd)

script="20:l 262144,40:p,+3:c,60:l 0"
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --script) script=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: tools/demo.sh [--script TEXT] [--keep]" >&2; exit 2 ;;
  esac
done

# What the build and the device need (shared with the test command).
tools/install-deps.sh

echo "== build"
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
export NORVO_BUILD_DIR=$REPO/build

dir=$(mktemp -d /tmp/norvo-demo.XXXXXX)
if [ "$keep" -eq 0 ]; then trap 'rm -rf "$dir"' EXIT; fi

echo "== package and server catalogue"
version=V2.0.1
filename=norvo-update.zip
payload=$((6 * 1024 * 1024))
mkdir -p "$dir/server/packages/$version"
/usr/bin/python3 tools/make_package.py "$dir/server/packages/$version/$filename" \
  --payload-size "$payload" --version "$version"
size=$(stat -c %s "$dir/server/packages/$version/$filename")
# Throttled so that the download takes about ten seconds. The server fills in the size
# and the MD5 of the offered ROM from the package file.
cat >"$dir/server/config.json" <<EOF
{
  "catalogue": [{"LatestRom": {"version": "$version", "filename": "$filename",
                               "Validate": "norvo-demo"}}],
  "mirrors": ["https://secure.norvo.test/pkgs", "http://update.norvo.test/pkgs"],
  "faults": {"/pkgs/$version/$filename": {"throttle": $((size / 10))}}
}
EOF

echo "== the device (folder $dir)"
# The dedicated updater environment keeps the records and the package in /tmp, where
# the installer looks for them.
tools/device --dir "$dir" --server \
  --prop ro.bootimage.name=norvo --prop ro.build.tags=test-keys \
  --prop ro.product.device=vexa_one --prop ro.build.version.incremental=V1.0.0 \
  --prop ro.build.version.release=10 --prop ro.product.locale=en-GB \
  -- /usr/bin/python3 "$REPO/tools/frontend.py" --script "$script" \
  --log /tmp/frontend-corvane.log
status=$?
echo "== done (corvane's log: $dir/tmp/frontend-corvane.log)"
exit $status
