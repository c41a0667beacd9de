#!/usr/bin/python3
"""Fleet back-off simulation: many downloads against one mirror that fails for a while.

    tools/fleet.py [--devices N] [--outage T] [--bandwidth B] [--size BYTES] [--window W]
                   [--seed S] [--modes jitter,fixed] [--parallel] [--quick]
                   [--build DIR] [--work DIR] [--summary FILE]

N second-stage downloads (each its own corvane, started as the front end starts it, with
real pipes) run in one emulated device against its one reference server over the device's
loopback. Each corvane has a private /tmp and /cache (tools/workarea.py), so each has its
own package file, records and side file. The package answers 503 from the moment the fleet
starts until T seconds later; after that the server serves it with a total bandwidth of B
bytes/s shared by all transfers. The server logs every request with its arrival time.

The whole run is done twice: with corvane's randomised back-off ("jitter") and with the
fixed schedule (NORVO_FIXED_BACKOFF=1, "fixed"), each in a fresh device, one after the
other (both at once with --parallel). Printed side by side, for the W seconds after the
outage ends (bins of one second counted from that instant): the peak of requests per
second, the mean, their ratio (and the ratio over five-second bins); the time from the end of the outage until every device has
the package; and how many packages are byte-identical to the served one (with one final
3:c: each).

--quick: 10 devices, 8 s outage, a 20 s window, 64 KiB packages. The seed fixes the
package bytes; the back-off itself draws from the system's random source, as on a phone.
Exit status 0 when every package in every mode is identical and complete. Every loop is
bounded: a run that has not ended by its deadline is killed and counted as incomplete.
"""
import argparse
import hashlib
import json
import math
import os
import pathlib
import random
import selectors
import shutil
import signal
import subprocess
import sys
import time
import urllib.parse

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tools"))
import workarea  # noqa: E402
from norvo_driver import (NO_KEY_STORE, SECOND, UPDATER_PROPS, Stage, prop_options,  # noqa: E402
                          write_rom_record)

URL_HOST = "update.norvo.test"
PACKAGE_PATH = "/pkgs/fleet/pkg.bin"
SERVER_ROOT = "/device/server"
MAX_DEVICES = 400
MODES = ("jitter", "fixed")


# -- inside the device -----------------------------------------------------------------------

def _prepare_device(area, size, md5):
    workarea.prepare(area)
    # The link is absolute, as the first stage writes it: it resolves inside the private /tmp.
    write_rom_record(os.path.join(area, "tmp"), filesize=str(size), md5=md5)


def inside(params_file, result_file):
    with open(params_file) as f:
        p = json.load(f)
    # By name, so that an emulator launcher first on PATH (aarch64 builds) starts it.
    corvane = (shutil.which("corvane")
               or os.path.join(os.environ["NORVO_BUILD_DIR"], "bin", "corvane"))
    env = {k: v for k, v in os.environ.items() if k != "NORVO_FIXED_BACKOFF"}
    if p["mode"] == "fixed":
        env["NORVO_FIXED_BACKOFF"] = "1"
    package = os.path.join(SERVER_ROOT, "packages", PACKAGE_PATH[len("/pkgs/"):])
    with open(package, "rb") as f:
        data = f.read()
    md5 = hashlib.md5(data).hexdigest()
    areas = [f"/tmp/fleet/dev{i:03d}" for i in range(p["devices"])]
    for area in areas:
        _prepare_device(area, len(data), md5)

    outage_start = time.time()
    outage_end = outage_start + p["outage"]
    workarea.write_atomic(os.path.join(SERVER_ROOT, "config.json"), json.dumps({
        "bandwidth": p["bandwidth"],
        "faults": {PACKAGE_PATH: {"outage": [outage_start, outage_end]}}}))
    deadline = time.monotonic() + p["deadline"]

    devices = []
    sel = selectors.DefaultSelector()
    for i, area in enumerate(areas):
        with open(os.path.join(area, "corvane.log"), "wb") as log:
            stage = Stage(SECOND, "http://", URL_HOST, PACKAGE_PATH, program=corvane,
                          stdout=log, stderr=subprocess.STDOUT, env=env,
                          preexec_fn=workarea.private_area(area))
        dev = {"index": i, "stage": stage, "started": time.time(), "done": None, "eof": None}
        devices.append(dev)
        sel.register(stage.status_fd, selectors.EVENT_READ, dev)

    open_streams = len(devices)
    while open_streams and time.monotonic() < deadline:
        for key, _ in sel.select(min(1.0, max(0.0, deadline - time.monotonic()))):
            dev = key.data
            stage = dev["stage"]
            stage.pump(0)  # readable: takes the bytes, or sees the end
            now = time.time()
            if stage.eof:
                sel.unregister(stage.status_fd)
                dev["eof"] = now
                open_streams -= 1
            elif dev["done"] is None and "3:c:" in stage.text:
                dev["done"] = now
    sel.close()

    results = []
    for dev in devices:
        stage = dev["stage"]
        timed_out = dev["eof"] is None
        if timed_out:
            stage.kill()
        code = stage.wait(10, kill=True)
        try:
            with open(os.path.join(areas[dev["index"]], "tmp/secure_update.zip"), "rb") as f:
                sha = hashlib.sha256(f.read()).hexdigest()
        except FileNotFoundError:
            sha = None
        results.append({"index": dev["index"], "started": dev["started"], "done": dev["done"],
                        "exit": code, "timed_out": timed_out, "sha256": sha,
                        "status": stage.text})
    workarea.write_atomic(os.path.join(SERVER_ROOT, "config.json"), "{}")
    workarea.write_atomic(result_file, json.dumps({"outage_start": outage_start,
                                           "outage_end": outage_end, "devices": results}))
    return 0


# -- figures ---------------------------------------------------------------------------------

def complete(result, expected_sha):
    """The package is the served one and the status stream ends with its one 3:c:."""
    status = result.get("status", "")
    return (result.get("sha256") == expected_sha and status.endswith("3:c:\n")
            and status.count("3:c:") == 1 and result.get("exit") == 0
            and not result.get("timed_out"))


def rate_figures(times, since, window):
    """Requests per second in the `window` seconds from `since`, in one-second bins counted
    from `since`: {"bins", "total", "peak", "mean", "ratio"} (ratio None without requests)."""
    bins = [0] * window
    for t in times:
        k = math.floor(t - since)
        if 0 <= k < window:
            bins[k] += 1
    total = sum(bins)
    mean = total / window
    peak = max(bins)
    # The same over five-second bins: how much of the one-second peak is the noise of a
    # few devices per second rather than the shape of the return.
    peak5 = max(sum(bins[i:i + 5]) for i in range(0, window, 5)) / 5
    return {"bins": bins, "total": total, "peak": peak, "mean": mean,
            "ratio": peak / mean if total else None,
            "ratio5": peak5 / mean if total else None}


def figures(run, entries, expected_sha, window):
    times = sorted(e["time"] for e in entries
                   if e.get("method") == "GET"
                   and urllib.parse.urlsplit(e.get("path", "")).path == PACKAGE_PATH)
    end = run["outage_end"]
    devices = run["devices"]
    good = [d for d in devices if complete(d, expected_sha)]
    fig = rate_figures(times, end, window)
    fig["during"] = sum(1 for t in times if t < end)
    fig["requests"] = len(times)
    fig["identical"] = len(good)
    fig["devices"] = len(devices)
    fig["all_done"] = (max(d["done"] for d in good) - end) if len(good) == len(devices) \
        else None
    starts = [d["started"] for d in devices]
    fig["start_spread"] = max(starts) - min(starts) if starts else 0.0
    fig["failures"] = sorted(d["index"] for d in devices if not complete(d, expected_sha))
    return fig


def _fmt(value, form):
    return "-" if value is None else format(value, form)


def print_table(results, modes, window):
    rows = [
        ("devices started within (s)", "start_spread", ".2f"),
        ("requests during the outage", "during", "d"),
        (f"requests in the {window} s after", "total", "d"),
        ("peak requests per second", "peak", "d"),
        ("mean requests per second", "mean", ".2f"),
        ("peak / mean", "ratio", ".2f"),
        ("peak / mean, 5 s bins", "ratio5", ".2f"),
        ("every device has it after (s)", "all_done", ".1f"),
    ]
    print(f"{'':34}" + "".join(f"{m:>12}" for m in modes))
    for label, key, form in rows:
        print(f"{label:34}" + "".join(f"{_fmt(results[m][key], form):>12}" for m in modes))
    print(f"{'identical':34}" + "".join(
        f"{results[m]['identical']}/{results[m]['devices']:<}".rjust(12) for m in modes))
    for m in modes:
        print(f"{m}: requests per second after the outage, first 15 s: "
              f"{' '.join(map(str, results[m]['bins'][:15]))}")


# -- host side -------------------------------------------------------------------------------

def start_mode(args, mode, work, build, data):
    root = work / mode
    if root.exists():
        shutil.rmtree(root)
    pkg = root / "server" / "packages" / "fleet" / "pkg.bin"
    pkg.parent.mkdir(parents=True)
    pkg.write_bytes(data)
    # Every device has the package once it has waited out the outage (at most the longest
    # back-off after it) and the link has carried every package; twice that, and a margin.
    deadline = min(3600, args.outage + 2 * (60 + args.devices * len(data) / args.bandwidth)
                   + 60)
    params = {"mode": mode, "devices": args.devices, "outage": args.outage,
              "bandwidth": args.bandwidth, "deadline": deadline}
    (root / "server" / "params.json").write_text(json.dumps(params))
    argv = [str(REPO / "tools" / "device"), "--dir", str(root), "--build", str(build),
            "--server", *prop_options(UPDATER_PROPS), *NO_KEY_STORE, "--",
            "/usr/bin/python3", str(REPO / "tools" / "fleet.py"), "--inside",
            f"{SERVER_ROOT}/params.json", f"{SERVER_ROOT}/results.json"]
    log = open(root / "driver.log", "wb")
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                            start_new_session=True)
    log.close()
    return {"proc": proc, "root": root, "limit": time.monotonic() + deadline + 60}


def finish_mode(run):
    proc = run["proc"]
    try:
        proc.wait(timeout=max(1.0, run["limit"] - time.monotonic()))
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
    try:
        result = json.loads((run["root"] / "server" / "results.json").read_text())
    except (FileNotFoundError, ValueError):
        result = None
    return result, workarea.read_log(run["root"] / "server" / "requests.jsonl")


def fleet(args):
    setup = workarea.host_setup("fleet", args.build, args.work, args.seed)
    if setup is None:
        return 2
    build, work, seed = setup
    data = random.Random(seed).randbytes(args.size)
    expected = hashlib.sha256(data).hexdigest()
    print(f"fleet: {args.devices} devices, outage {args.outage} s, bandwidth "
          f"{args.bandwidth / 1048576:.2f} MiB/s, package {args.size} bytes, window "
          f"{args.window} s, seed {seed}, modes {','.join(args.modes)}, folders under {work}",
          flush=True)
    results = {}
    ok = True
    pending = []
    for mode in args.modes:
        pending.append((mode, start_mode(args, mode, work, build, data)))
        if not args.parallel:
            results[mode] = finish_mode(pending.pop()[1])
    for mode, run in pending:
        results[mode] = finish_mode(run)
    figs = {}
    for mode in args.modes:
        run, entries = results[mode]
        if run is None:
            print(f"fleet: the {mode} run did not report back (see {work / mode}/driver.log)")
            return 1
        figs[mode] = figures(run, entries, expected, args.window)
        if figs[mode]["failures"]:
            ok = False
            print(f"{mode}: devices without an identical, complete package: "
                  f"{figs[mode]['failures']} (logs: {work / mode}/tmp/fleet/devNNN/)")
    print_table(figs, args.modes, args.window)
    if args.summary:
        pathlib.Path(args.summary).write_text(json.dumps(figs))
    if "jitter" in figs and figs["jitter"]["ratio"] is not None:
        met = figs["jitter"]["ratio"] <= 2
        print(f"goal peak/mean <= 2 with jitter: {'met' if met else 'not met'}")
    print(f"fleet: {'every package identical' if ok else 'FAILED'}")
    return 0 if ok else 1


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--devices", type=int, default=None)
    parser.add_argument("--outage", type=int, default=None, help="seconds of 503")
    parser.add_argument("--bandwidth", type=int, default=1 << 20, help="bytes/s, all devices")
    parser.add_argument("--size", type=int, default=None, help="package bytes")
    parser.add_argument("--window", type=int, default=None, help="seconds after the outage")
    parser.add_argument("--seed", type=int)
    parser.add_argument("--modes", default=",".join(MODES))
    parser.add_argument("--parallel", action="store_true", help="run the modes at once")
    parser.add_argument("--quick", action="store_true",
                        help="10 devices, 8 s outage, 20 s window, 64 KiB package")
    parser.add_argument("--build", default=os.environ.get("NORVO_BUILD_DIR", str(REPO / "build")))
    parser.add_argument("--work", help="folder for the device folders (kept)")
    parser.add_argument("--summary", help="also write the figures as JSON to this file")
    parser.add_argument("--inside", nargs=2, metavar=("PARAMS", "RESULTS"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.inside:
        return inside(*args.inside)
    quick = {"devices": 10, "outage": 8, "window": 20, "size": 65536}
    full = {"devices": 100, "outage": 60, "window": 60, "size": 256 * 1024}
    for key, value in (quick if args.quick else full).items():
        if getattr(args, key) is None:
            setattr(args, key, value)
    args.modes = [m for m in args.modes.split(",") if m]
    if any(m not in MODES for m in args.modes) or not args.modes:
        parser.error(f"--modes takes {', '.join(MODES)}")
    if not 1 <= args.devices <= MAX_DEVICES:
        parser.error(f"--devices must be 1 to {MAX_DEVICES}")
    if args.outage < 0 or args.window < 1 or args.size < 1 or args.bandwidth < 1024:
        parser.error("--outage >= 0, --window >= 1, --size >= 1, --bandwidth >= 1024")
    return fleet(args)


if __name__ == "__main__":
    sys.exit(main())
