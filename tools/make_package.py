#!/usr/bin/python3
"""Builds a demo update package: a zip holding an ``update-binary`` shell script and a
payload of the requested size.

The script follows the updater interface of the installer bridge: it is started as
``update-binary 3 FD PACKAGE`` and writes "ui_print ...", "progress FRACTION SECONDS" and
"log ..." lines to descriptor FD.

    tools/make_package.py OUTPUT.zip [--payload-size BYTES] [--version TEXT]
"""
import argparse
import hashlib
import os
import sys
import zipfile

UPDATE_BINARY = r"""#!/bin/bash
# Demo updater: $1 interface version, $2 command pipe descriptor, $3 the package.
fd=$2
say() { echo "$*" >&"$fd"; }
say "ui_print Norvo demo update __VERSION__"
say "ui_print Verifying $3"
say "log package size $(stat -c %s "$3" 2>/dev/null || echo unknown) bytes"
say "progress 0.5 10"
for step in 1 2 3; do
  sleep 0.3
  say "ui_print   installing part $step of 3  "
done
say "progress 0.5 0x5"
say "log demo update finished"
say "ui_print Done."
exit 0
"""


def build(output, payload_size, version):
    # Deterministic payload, so repeated demos build the same package.
    seed = hashlib.sha256(version.encode()).digest()
    chunks, counter, made = [], 0, 0
    while made < payload_size:
        block = hashlib.sha256(seed + counter.to_bytes(8, "big")).digest() * 64
        chunks.append(block[:payload_size - made])
        made += len(chunks[-1])
        counter += 1
    script = UPDATE_BINARY.replace("__VERSION__", version)
    tmp = output + ".tmp"
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_STORED) as zf:
        info = zipfile.ZipInfo("update-binary")
        info.external_attr = (0o100755 << 16)
        zf.writestr(info, script)
        zf.writestr("payload.bin", b"".join(chunks))
    os.replace(tmp, output)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("output", help="zip file to write")
    parser.add_argument("--payload-size", type=int, default=4 * 1024 * 1024,
                        help="bytes of payload besides the script (default 4 MiB)")
    parser.add_argument("--version", default="V2.0.1", help="version text shown by the script")
    args = parser.parse_args(argv)
    if args.payload_size < 0:
        parser.error("--payload-size must not be negative")
    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    build(args.output, args.payload_size, args.version)
    print(f"{args.output}: {os.path.getsize(args.output)} bytes", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
