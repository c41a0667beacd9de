#!/usr/bin/python3
"""Install check benchmark: `corvane --run_from_command 6` against `openssl dgst -sha256`.

    bench/install_bench.py [--size 512M] [--updater-size 64K] [--runs N] [--build DIR]
                           [--json FILE]

In one run of the emulated device (tools/device), a signed package of the given size (a
stored payload and an updater that exits at once) lies at /tmp/secure_update.zip. The
install command (key store, signature over every byte in one pass, the updater copied out of
the hashed bytes into a sealed memory file, its start and end) and `openssl dgst -sha256` of
the same file run N times each, alternating, after one warm-up run of each, under runstat
(wall time, CPU time, peak RSS, peak anonymous RSS). Prints the medians and the ratios; the
goal is the install within 1.1x of openssl's wall time, and its anonymous memory within the
updater's size plus a constant (reported as the excess over openssl's).

Not a test: it prints figures and says which goals are met.
"""
import argparse
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile

from bench import build_runstat, ensure_build, ensure_packages, human, machine, parse_size

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tools"))
import make_package  # noqa: E402

GOAL_WALL = 1.1


def run_in_device(folder, build, script):
    out = subprocess.run([str(REPO / "tools" / "device"), "--dir", str(folder), "--build",
                          str(build), "--", "/bin/bash", "-c", script],
                         capture_output=True, text=True, timeout=3600)
    if out.returncode != 0:
        sys.exit(f"install_bench: the device run failed:\n{out.stderr[-2000:]}")
    return out.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", default="512M", help="package size (default 512M)")
    parser.add_argument("--updater-size", default="64K",
                        help="size of the updater entry, padded script (default 64K)")
    parser.add_argument("--runs", type=int, default=5, help="runs per program")
    parser.add_argument("--build", default=os.environ.get("NORVO_BUILD_DIR", str(REPO / "build")))
    parser.add_argument("--json", help="also write the raw figures to this file")
    parser.add_argument("--keep", action="store_true", help="keep the device folder")
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    ensure_packages({"openssl": "/usr/bin/openssl"})  # the peer
    ensure_build(build)
    size, updater_size = parse_size(args.size), parse_size(args.updater_size)
    folder = pathlib.Path(tempfile.mkdtemp(prefix="norvo-install-bench."))
    try:
        runstat = build_runstat(folder)
        key_dir = build / "testkey"
        updater = b"#!/bin/sh\nexit 0\n"
        updater += b"#" * max(updater_size - len(updater) - 1, 0) + b"\n"
        make_package.build(str(folder / "tmp" / "secure_update.zip"), max(size - len(updater), 0),
                           "V9.9.9", updater=updater, key_dir=str(key_dir))
        actual = (folder / "tmp" / "secure_update.zip").stat().st_size
        runs = args.runs + 1  # the first of each is a warm-up
        script = "\n".join([
            "for i in $(seq %d); do" % runs,
            f"  {runstat} /tmp/c.txt corvane --run_from_command 6 >/tmp/c.log 2>&1",
            "  grep -q '^I:package signature verified$' /tmp/c.log || { cat /tmp/c.log >&2; exit 3; }",
            "  echo corvane $(cat /tmp/c.txt)",
            f"  {runstat} /tmp/o.txt openssl dgst -sha256 /tmp/secure_update.zip >/dev/null",
            "  echo openssl $(cat /tmp/o.txt)",
            "done"])
        figures = {"corvane": [], "openssl": []}
        for line in run_in_device(folder, build, script).splitlines():
            name, wall, user, system, rss, anon, code = line.split()
            figures[name].append({"wall": float(wall), "cpu": float(user) + float(system),
                                  "rss_kib": int(rss), "anon_kib": int(anon), "exit": int(code)})
        for name in figures:
            figures[name] = figures[name][1:]
        med = {name: {key: statistics.median(r[key] for r in runs_)
                      for key in ("wall", "cpu", "rss_kib", "anon_kib")}
               for name, runs_ in figures.items()}
        c, o = med["corvane"], med["openssl"]
        ratio = c["wall"] / o["wall"] if o["wall"] > 0 else float("inf")
        excess_kib = c["anon_kib"] - o["anon_kib"]
        info = machine()
        print(f"install check of a {actual / (1 << 20):.1f} MiB package "
              f"({args.runs} runs each, medians; {info.get('cpu', '?')}, {info['nproc']} CPUs)")
        print(f"{'':10} {'wall s':>8} {'cpu s':>8} {'maxrss KiB':>11} {'anon KiB':>9}")
        for name, m in med.items():
            print(f"{name:10} {m['wall']:8.3f} {m['cpu']:8.3f} {m['rss_kib']:11d} "
                  f"{m['anon_kib']:9d}")
        print(f"wall ratio corvane/openssl: {ratio:.3f} (goal <= {GOAL_WALL}: "
              f"{'met' if ratio <= GOAL_WALL else 'NOT met'})")
        print(f"anonymous memory above openssl's: {excess_kib} KiB with a "
              f"{updater_size // 1024} KiB updater")
        if args.json:
            pathlib.Path(args.json).write_text(json.dumps(
                {"size": actual, "updater_size": updater_size, "runs": figures, "medians": med,
                 "ratio": ratio, "machine": info}, indent=1))
        return 0 if ratio <= GOAL_WALL else 1
    finally:
        if args.keep:
            print(f"device folder kept: {folder}")
        else:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
