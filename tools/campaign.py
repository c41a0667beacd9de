#!/usr/bin/python3
"""Interrupted-download campaign: many second-stage downloads, each cut by the server.

    tools/campaign.py [--runs N] [--seed S] [--size BYTES] [--jobs J] [--build DIR] [--work DIR]

Every run serves a fresh random package of BYTES bytes and has the reference server cut the
transfer 1 to 5 times at seeded offsets; some runs also have the server ignore Range (every
answer is the whole package from byte 0) or stall mid-body, either shortly (the transfer goes
on) or longer than the download's low-speed limit (the transfer times out). corvane runs as
the front end starts it, "--run_from_fork --second_stage W R http:// update.norvo.test PATH",
with real pipes, inside the emulated device. Runs are spread over J devices that work in
parallel; each device keeps one reference server up for all its runs, and a driver (this
script with --inside) runs the downloads in it one after the other.

Checks, per run:
  * the final package file is byte-identical to the served one;
  * no byte was served twice except by an answer that ignored Range (from the server's
    request log: bytes sent per request against the start of the range it answered);
  * the status lines follow the protocol: only 3:p/s/f/c/r lines; p lines non-decreasing
    within an attempt; every f line followed by a restart (one more request to the server
    per f line); exactly one final 3:c:.

Prints the plan of every run, then "N/N identical" and the duplicate-byte total. Exit status 0
when every check holds. The device folders stay under --work for inspection (corvane's
output of each run in server/logs/).

    tools/campaign.py --kill [--runs N] [--seed S] [--size BYTES] [--jobs J] ...

Kill mode (default 200 kills): each run SIGKILLs corvane at a seeded share of a stage's clean
duration, in the first stage (clock, update check, records of a 40-mirror answer, dump,
ROM URL check) or the second (a throttled download of BYTES; afterwards the same package, or
a newer one with or without a checksum record, is offered), then runs the stage again on the
same work area. Good: a first stage leaves the records a clean run writes and its status
lines; a second stage ends with one 3:c: and the served package (never 3:c: for another
file). Records that the kill left half-written (a prefix of their value) are listed too.
Prints "N/N good"; each run's work area stays in devK/tmp/killruns/runNNN/.
"""
import argparse
import hashlib
import json
import os
import pathlib
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import urllib.parse

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tools"))
import workarea  # noqa: E402
from norvo_driver import (FIRST, NO_KEY_STORE, SECOND, UPDATER_PROPS, Stage, prop_options,  # noqa: E402
                          write_rom_record)

PACKAGE_DIR = "campaign"
URL_HOST = "update.norvo.test"
# The download's low-speed limit inside the campaign: a long stall outlives it, a short one
# does not. libcurl judges the speed over a window of about five seconds, so a stall ends a
# transfer only after roughly 5 + LOW_SPEED_TIME seconds.
LOW_SPEED_TIME = 1
LONG_STALL = 15.0
SHORT_STALL = 0.4
RUN_TIMEOUT = 90
KINDS = ("cuts", "ignore_range", "stall_long", "stall_short")
STATUS_LINE = re.compile(r"3:(?:[psf]:\d+|c:|r:[pcs])")


# -- planning --------------------------------------------------------------------------------

def plan_run(seed, index, size):
    """The faults of one run, derived from the seed and the run's index only."""
    rng = random.Random(f"{seed}:{index}")
    # The first runs take each kind once, so that even a short campaign sees all of them.
    if index < len(KINDS):
        kind = KINDS[index]
    else:
        kind = rng.choices(KINDS, weights=(60, 20, 10, 10))[0]
    stall = rng.randrange(size // 2, size * 3 // 4) if kind.startswith("stall") else 0
    # Cuts of a stalling run lie past the stall, so only the first answer reaches it (later
    # ones begin past the middle and are shorter than the stall offset).
    cuts = sorted(rng.sample(range(stall + 1, size), rng.randint(1, 5)))
    name = f"run{index:03d}.bin"
    plan = {"index": index, "kind": kind, "cuts": cuts, "size": size, "name": name,
            "path": f"/pkgs/{PACKAGE_DIR}/{name}", "data_seed": rng.getrandbits(64)}
    fault = {}
    if kind == "ignore_range":
        # Every answer starts at byte 0, so the cuts are absolute offsets of each answer.
        fault["ignore_range"] = True
        fault["drop_after"] = cuts
    elif kind == "stall_long":
        # The first answer times out at the stall; the next one resumes there.
        starts = [stall] + cuts
        fault["drop_after"] = [size] + [b - a for a, b in zip(starts, cuts)]
    else:
        # Range is honoured: each answer starts where the previous one was cut.
        fault["drop_after"] = [b - a for a, b in zip([0] + cuts, cuts)]
    if stall:
        fault["stall_after"] = stall
        fault["stall_seconds"] = LONG_STALL if kind == "stall_long" else SHORT_STALL
    plan["fault"] = fault
    return plan


def package_bytes(plan):
    return random.Random(plan["data_seed"]).randbytes(plan["size"])


def describe(plan):
    text = f"run {plan['index']:3d} {plan['kind']:<12} cuts at {','.join(map(str, plan['cuts']))}"
    fault = plan["fault"]
    if "stall_after" in fault:
        text += f"; stall {fault['stall_seconds']} s at {fault['stall_after']}"
    return text


# -- checking --------------------------------------------------------------------------------

def _header(entry, name):
    for key, value in entry.get("headers", []):
        if key.lower() == name.lower():
            return value
    return None


def _range_start(value):
    m = re.fullmatch(r"\s*bytes\s*=\s*(\d+)\s*-\s*", value or "")
    return int(m.group(1)) if m else None


def _overlap(intervals, start, end):
    """Bytes of [start, end) already in `intervals` (disjoint, sorted); then merges it in."""
    dup = sum(max(0, min(end, b) - max(start, a)) for a, b in intervals)
    merged = []
    for a, b in sorted(intervals + [(start, end)]):
        if merged and a <= merged[-1][1]:
            merged[-1] = (merged[-1][0], max(merged[-1][1], b))
        else:
            merged.append((a, b))
    intervals[:] = merged
    return dup


def check_requests(entries, size):
    """Served bytes of one run's requests (in order of arrival).

    Returns (duplicates, unexpected duplicates, problems)."""
    problems = []
    covered = []
    duplicates = unexpected = 0
    for n, e in enumerate(entries):
        asked = _header(e, "Range")
        start = _range_start(asked) if asked is not None else 0
        if asked is not None and start is None:
            problems.append(f"request {n}: unexpected Range header {asked!r}")
            start = 0
        if e.get("status") == 200:
            served_from, ignored = 0, asked is not None and start > 0
        elif e.get("status") == 206:
            served_from, ignored = start, False
        else:
            problems.append(f"request {n}: status {e.get('status')}")
            continue
        sent = int(e.get("sent", 0))
        dup = _overlap(covered, served_from, served_from + sent)
        duplicates += dup
        if dup and not ignored:
            unexpected += dup
            problems.append(f"request {n}: {dup} bytes from {served_from} served again "
                            f"(Range {asked!r}, status {e.get('status')})")
    if covered != [(0, size)] and size > 0:
        problems.append(f"served bytes {covered} do not cover the package of {size} bytes")
    return duplicates, unexpected, problems


def check_status(text, request_count):
    """Protocol problems of one run's status stream (a list, empty when it holds)."""
    problems = []
    pieces = text.split("\n")
    # The stream ends with a line feed, except after a stop (3:r:s has none).
    lines, tail = pieces[:-1], pieces[-1]
    if tail:
        lines.append(tail)
        if tail != "3:r:s":
            problems.append(f"last line {tail!r} has no line feed")
    last_percent = None
    completions = failures = 0
    for n, line in enumerate(lines):
        if not STATUS_LINE.fullmatch(line):
            problems.append(f"line {n} {line!r} is not a download status line")
            continue
        letter = line[2]
        if letter == "p":
            percent = int(line[4:])
            if last_percent is not None and percent < last_percent:
                problems.append(f"line {n}: percentage fell from {last_percent} to {percent} "
                                f"within one attempt")
            last_percent = percent
        elif letter == "f":
            failures += 1
            last_percent = None  # a restart begins a new attempt
            if n == len(lines) - 1:
                problems.append(f"line {n} {line!r}: a failure that no restart follows")
        elif letter == "c":
            completions += 1
            if n != len(lines) - 1:
                problems.append(f"line {n}: lines follow the completion")
    if completions != 1:
        problems.append(f"{completions} completion lines (3:c:) instead of one")
    if failures + 1 != request_count:
        problems.append(f"{failures} failure lines but {request_count} requests: every failure "
                        f"must restart with one new request")
    return problems


def check_run(plan, result, log_entries, expected_sha):
    """All checks of one run: {"identical", "duplicates", "unexpected", "problems", ...}."""
    entries = [e for e in log_entries
               if e.get("method") == "GET"
               and urllib.parse.urlsplit(e.get("path", "")).path == plan["path"]]
    entries.sort(key=lambda e: e["time"])
    problems = []
    if result is None:
        return {"identical": False, "duplicates": 0, "unexpected": 0, "requests": len(entries),
                "problems": ["the run did not report back (see the device folder)"]}
    if result.get("timed_out"):
        problems.append(f"corvane did not finish within {RUN_TIMEOUT} s")
    if result.get("exit") != 0:
        problems.append(f"corvane exited with {result.get('exit')}")
    identical = result.get("sha256") == expected_sha
    if not identical:
        problems.append(f"package differs: {result.get('file_size')} bytes, sha256 "
                        f"{result.get('sha256')}")
    duplicates, unexpected, served_problems = check_requests(entries, plan["size"])
    problems += served_problems
    problems += check_status(result.get("status", ""), len(entries))
    codes = sorted(int(m) for m in re.findall(r"^3:f:(\d+)$", result.get("status", ""), re.M))
    return {"identical": identical, "duplicates": duplicates, "unexpected": unexpected,
            "requests": len(entries), "problems": problems, "codes": codes}


# -- inside the device -----------------------------------------------------------------------

def _prepare_record(plan, md5):
    write_rom_record("/tmp", version=PACKAGE_DIR, filename=plan["name"],
                     filesize=str(plan["size"]), md5=md5)
    for stale in ("/tmp/secure_update.zip", "/tmp/secure_update.zip.meta"):
        if os.path.lexists(stale):
            os.unlink(stale)


def _run_one(plan, server_root, corvane):
    with open(os.path.join(server_root, "packages", PACKAGE_DIR, plan["name"]), "rb") as f:
        md5 = hashlib.md5(f.read()).hexdigest()
    _prepare_record(plan, md5)
    workarea.write_atomic(os.path.join(server_root, "config.json"),
                  json.dumps({"faults": {plan["path"]: plan["fault"]}}))
    log_path = os.path.join(server_root, "logs", f"run{plan['index']:03d}.log")
    env = dict(os.environ, NORVO_LOW_SPEED_TIME=str(LOW_SPEED_TIME))
    started = time.monotonic()
    with open(log_path, "wb") as log:
        stage = Stage(SECOND, "http://", URL_HOST, plan["path"], program=corvane, stdout=log,
                      stderr=subprocess.STDOUT, env=env)
    timed_out = not stage.read_until(None, RUN_TIMEOUT)
    if timed_out:
        stage.kill()
    code = stage.wait(max(1.0, started + RUN_TIMEOUT - time.monotonic()), kill=True)
    timed_out = timed_out or stage.killed
    result = {"index": plan["index"], "status": stage.text, "exit": code,
              "timed_out": timed_out, "seconds": round(time.monotonic() - started, 3)}
    try:
        with open("/tmp/secure_update.zip", "rb") as f:
            data = f.read()
        result["sha256"] = hashlib.sha256(data).hexdigest()
        result["file_size"] = len(data)
    except FileNotFoundError:
        result["sha256"] = None
        result["file_size"] = None
    return result


def inside(plan_file, result_file):
    with open(plan_file) as f:
        plans = json.load(f)
    server_root = os.path.dirname(os.path.abspath(plan_file))
    os.makedirs(os.path.join(server_root, "logs"), exist_ok=True)
    # By name, as the device's PATH finds it: the build's bin/, or the launcher that starts
    # it through NORVO_EMULATOR for a build of another CPU.
    corvane = (shutil.which("corvane")
               or os.path.join(os.environ["NORVO_BUILD_DIR"], "bin", "corvane"))
    results = []
    for plan in plans:
        results.append(_run_one(plan, server_root, corvane))
        workarea.write_atomic(result_file, json.dumps(results))
        print(f"run {plan['index']} done in {results[-1]['seconds']} s", flush=True)
    workarea.write_atomic(os.path.join(server_root, "config.json"), "{}")
    return 0


# -- host side -------------------------------------------------------------------------------

def run_devices(work, build, plans, jobs, prepare, inside, budget):
    """Shares PLANS out over JOBS devices under WORK (dev0, dev1, ...), readies each with
    PREPARE(root, its plans), runs this script inside each with the arguments INSIDE and
    waits for all of them, BUDGET seconds at most; a device that overruns is stopped.
    Returns [(root, its plans)] and the seconds it took."""
    devices = []
    started = time.monotonic()
    for j in range(jobs):
        mine = plans[j::jobs]
        root = work / f"dev{j}"
        prepare(root, mine)
        cmd = [str(REPO / "tools" / "device"), "--dir", str(root), "--build", str(build),
               *prop_options(UPDATER_PROPS), *NO_KEY_STORE, "--server", "--",
               "/usr/bin/python3", str(REPO / "tools" / "campaign.py"), *inside]
        with open(root / "driver.log", "wb") as out:
            proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL, start_new_session=True)
        devices.append((root, mine, proc))
    for root, _, proc in devices:
        try:
            proc.wait(timeout=max(1.0, started + budget - time.monotonic()))
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            print(f"campaign: the device in {root} overran its budget and was stopped")
        if proc.returncode != 0:
            print(f"campaign: the driver in {root} ended with {proc.returncode} "
                  f"(see {root / 'driver.log'})")
    return [(root, mine) for root, mine, _ in devices], time.monotonic() - started


def campaign(args):
    setup = workarea.host_setup("campaign", args.build, args.work, args.seed)
    if setup is None:
        return 2
    build, work, seed = setup
    print(f"campaign: {args.runs} runs, seed {seed}, package {args.size} bytes, "
          f"{args.jobs} devices, folders under {work}", flush=True)
    plans = [plan_run(seed, i, args.size) for i in range(args.runs)]
    for plan in plans:
        print(describe(plan))
    sys.stdout.flush()

    def prepare(root, mine):
        packages = root / "server" / "packages" / PACKAGE_DIR
        packages.mkdir(parents=True, exist_ok=True)
        for plan in mine:
            (packages / plan["name"]).write_bytes(package_bytes(plan))
        (root / "server" / "campaign_plan.json").write_text(json.dumps(mine))
        (root / "server" / "campaign_results.json").unlink(missing_ok=True)
        (root / "server" / "requests.jsonl").unlink(missing_ok=True)

    jobs = max(1, min(args.jobs, args.runs))
    devices, elapsed = run_devices(
        work, build, plans, jobs, prepare,
        ["--inside", "/device/server/campaign_plan.json", "/device/server/campaign_results.json"],
        RUN_TIMEOUT * (len(plans) // jobs + 2))

    identical = duplicates = unexpected = failed = 0
    codes = {}
    for root, mine in devices:
        try:
            results = json.loads((root / "server" / "campaign_results.json").read_text())
        except (FileNotFoundError, ValueError):
            results = []
        by_index = {r["index"]: r for r in results}
        log = workarea.read_log(root / "server" / "requests.jsonl")
        for plan in mine:
            expected = hashlib.sha256(package_bytes(plan)).hexdigest()
            verdict = check_run(plan, by_index.get(plan["index"]), log, expected)
            identical += verdict["identical"]
            duplicates += verdict["duplicates"]
            unexpected += verdict["unexpected"]
            for code in verdict.get("codes", []):
                codes[code] = codes.get(code, 0) + 1
            if verdict["problems"]:
                failed += 1
                print(f"FAIL {describe(plan)} ({root})")
                for problem in verdict["problems"]:
                    print(f"     {problem}")
    print(f"{identical}/{len(plans)} identical")
    print(f"duplicate bytes served: {duplicates} (outside ignored Range: {unexpected})")
    print("restarts by result code: " +
          (", ".join(f"{c}: {n}" for c, n in sorted(codes.items())) or "none"))
    print(f"runs with a failed check: {failed}; {elapsed:.0f} s in all")
    return 0 if failed == 0 and identical == len(plans) else 1


# -- kill mode -------------------------------------------------------------------------------
#
# A phone loses power, or the system kills the agent, at any instant. Each kill run starts a
# stage in a work area of its own (a private /tmp and /cache in the one device,
# tools/workarea.py), SIGKILLs corvane after a seeded share of the stage's clean duration,
# looks at what the kill left, and runs the stage again on the same work area.

KILL_KINDS = ("first", "second", "second_newer", "second_nomd5")
KILL_DIR = "kill"
KILL_THROTTLE = 2 << 20  # bytes/s: a 1 MiB package takes about half a second
KILL_TIMEOUT = 60
FIRST_STAGE_MIRRORS = 40  # a long mirror list makes writing the records a longer phase


def plan_kill(seed, index):
    rng = random.Random(f"{seed}:kill:{index}")
    kind = KILL_KINDS[index] if index < len(KILL_KINDS) else \
        rng.choices(KILL_KINDS, weights=(40, 30, 15, 15))[0]
    share = rng.random() * 0.95
    # A quarter of the kills fall in the first tenth of the stage: start-up, the side file
    # written before the first byte, the first records.
    if rng.random() < 0.25:
        share *= 0.1
    return {"index": index, "kind": kind, "share": round(share, 6)}


def kill_packages(seed, size):
    """The packages of a kill campaign: the first one, and the newer one of equal size."""
    rng = random.Random(f"{seed}:kill:packages")
    return {"first.bin": rng.randbytes(size), "newer.bin": rng.randbytes(size)}


def describe_kill(plan):
    return f"kill {plan['index']:3d} {plan['kind']:<13} at {plan['share'] * 100:5.1f} % of the stage"


def snapshot(roots):
    """{device path: ("file", bytes) | ("link", target) | ("dir", None)} under the roots."""
    found = {}
    for root in roots:
        for folder, dirs, files in os.walk(root):
            for name in dirs + files:
                path = os.path.join(folder, name)
                if os.path.islink(path):
                    found[path] = ("link", os.readlink(path))
                elif os.path.isdir(path):
                    found[path] = ("dir", None)
                else:
                    with open(path, "rb") as f:
                        found[path] = ("file", f.read())
    return found


def record_problems(clean, seen, unstable):
    """What differs from the clean run's records (device paths, without the area prefix):
    every path of the clean run, with its kind, and its value unless it is one of the
    `unstable` ones (they differ between two clean runs too); nothing else."""
    problems = []
    for path, value in sorted(seen.items()):
        want = clean.get(path)
        if want is None:
            problems.append(f"{path}: not in a clean run's records")
        elif want[0] != value[0]:
            problems.append(f"{path}: a {value[0]} where a clean run has a {want[0]}")
        elif path not in unstable and want != value:
            problems.append(f"{path}: holds {value[1][:40]!r}, a clean run {want[1][:40]!r}")
    problems += [f"{path}: missing" for path in sorted(set(clean) - set(seen))]
    return problems


def torn_records(clean, seen):
    """Files that a kill left half-written: a proper prefix of the clean value (empty
    included). A missing file is not torn (the stage had not got there), nor is another whole
    value (the stage's progress file passes through several)."""
    torn = []
    for path, (kind, value) in sorted(seen.items()):
        want = clean.get(path)
        if kind == "file" and want is not None and want[0] == "file" and value != want[1] \
                and want[1].startswith(value):
            torn.append(f"{path}: holds {value[:40]!r} of {want[1][:40]!r}")
    return torn


def _strip(tree, prefix):
    return {path[len(prefix):]: value for path, value in tree.items()}


def _run_stage(area, corvane, args, kill_after=None, timeout=KILL_TIMEOUT):
    """One corvane run of the stage `args` with real pipes in a private work area:
    {"status", "exit", "killed" (alive when the signal went out), "seconds"}."""
    with open(os.path.join(area, "corvane.log"), "ab") as log:
        started = time.monotonic()
        stage = Stage(*args, program=corvane, stdout=log, stderr=subprocess.STDOUT,
                      preexec_fn=workarea.private_area(area))
    killed = None
    if kill_after is not None:
        time.sleep(kill_after)
        stage.kill()
        killed = stage.killed
    timed_out = not stage.read_until(None, started + timeout - time.monotonic())
    if timed_out:
        stage.kill()
    code = stage.wait(10, kill=True)
    return {"status": stage.text, "exit": code, "killed": killed,
            "timed_out": timed_out, "seconds": time.monotonic() - started}


def _phase(done, whole):
    """How far a killed stage had come, from what it left: records or package bytes."""
    return "nothing" if done == 0 else "all" if done >= whole else "part"


def _sha_of(path):
    try:
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    except FileNotFoundError:
        return None


def _second_stage_record(area, size, md5):
    write_rom_record(os.path.join(area, "tmp"), filesize=str(size), md5=md5)


class KillDriver:
    """Runs the kill plans of one device, inside it."""

    def __init__(self, server_root):
        self.server_root = server_root
        # By name, so that an emulator launcher first on PATH (aarch64 builds) starts it.
        self.corvane = (shutil.which("corvane")
                        or os.path.join(os.environ["NORVO_BUILD_DIR"], "bin", "corvane"))
        self.packages = {}
        for name in ("first.bin", "newer.bin"):
            with open(os.path.join(server_root, "packages", KILL_DIR, name), "rb") as f:
                self.packages[name] = f.read()
        mirrors = [f"https://update.norvo.test/m{i}" for i in range(FIRST_STAGE_MIRRORS - 1)]
        mirrors.append("http://update.norvo.test/pkgs")
        faults = {f"/pkgs/{KILL_DIR}/{name}": {"throttle": KILL_THROTTLE}
                  for name in self.packages}
        workarea.write_atomic(os.path.join(server_root, "config.json"), json.dumps({
            "catalogue": [{"LatestRom": {"version": KILL_DIR, "filename": "first.bin",
                                         "Validate": "norvo-validate"},
                           "MirrorList": mirrors}],
            "faults": faults}))

    def area(self, name):
        area = f"/tmp/killruns/{name}"
        workarea.prepare(area)
        return area

    def first(self, area, kill_after=None):
        return _run_stage(area, self.corvane, [FIRST], kill_after)

    def second(self, area, name, kill_after=None):
        return _run_stage(area, self.corvane,
                          [SECOND, "http://", URL_HOST, f"/pkgs/{KILL_DIR}/{name}"], kill_after)

    def records(self, area):
        roots = [os.path.join(area, "tmp/download"), os.path.join(area, "cache/norvo/download")]
        return _strip(snapshot(roots), area)

    def calibrate(self):
        """Three clean first stages (what differs between them is random by design) and two
        clean second stages: the reference records and the stages' durations. The shortest
        run counts, so that a busy moment does not push the kill instants past the end."""
        runs = []
        for n in range(3):
            area = self.area(f"clean-first-{n}")
            runs.append((self.first(area), self.records(area)))
        res_a, rec_a = runs[0]
        self.clean_records = rec_a
        self.unstable = sorted({p for _, rec in runs[1:] for p in set(rec_a) | set(rec)
                                if rec_a.get(p) != rec.get(p)})
        self.clean_first_status = res_a["status"]
        self.first_seconds = min(res["seconds"] for res, _ in runs)
        data = self.packages["first.bin"]
        problems = []
        if any(res["status"] != res_a["status"] for res, _ in runs) or \
                not res_a["status"].startswith("0:s\n1:s\n"):
            problems.append(f"clean first stages: {[res['status'] for res, _ in runs]!r}")
        seconds = []
        for n in range(2):
            area = self.area(f"clean-second-{n}")
            _second_stage_record(area, len(data), hashlib.md5(data).hexdigest())
            res = self.second(area, "first.bin")
            seconds.append(res["seconds"])
            if not res["status"].endswith("3:c:\n") or \
                    _sha_of(os.path.join(area, "tmp/secure_update.zip")) != \
                    hashlib.sha256(data).hexdigest():
                problems.append(f"clean second stage: {res['status'][-200:]!r}")
        self.second_seconds = min(seconds)
        return {"first_seconds": self.first_seconds, "second_seconds": self.second_seconds,
                "unstable": self.unstable, "clean_status": res_a["status"],
                "problems": problems, "clean_records": sorted(self.clean_records)}

    def run(self, plan):
        """One kill run. When the stage had already ended at its instant (a kill of nothing),
        it is done again in a fresh area at half the instant, at most three times."""
        share = plan["share"]
        for attempt in range(3):
            area = self.area(f"run{plan['index']:03d}" + (f"-{attempt}" if attempt else ""))
            run = self.run_first if plan["kind"] == "first" else self.run_second
            result = run(dict(plan, share=share), area)
            if result["killed"]:
                break
            share /= 2
        result["attempts"] = attempt + 1
        return result

    def run_first(self, plan, area):
        killed = self.first(area, plan["share"] * self.first_seconds)
        after_kill = self.records(area)
        torn = torn_records(self.clean_records, after_kill)
        again = self.first(area)
        problems = record_problems(self.clean_records, self.records(area), self.unstable)
        if again["status"] != self.clean_first_status:
            problems.append(f"the stage after the kill printed {again['status']!r}, a clean "
                            f"one {self.clean_first_status!r}")
        if again["timed_out"]:
            problems.append(f"the stage after the kill did not end within {KILL_TIMEOUT} s")
        elif again["exit"] != 0:
            problems.append(f"corvane exited with {again['exit']} in the stage after the kill")
        return {"index": plan["index"], "killed": killed["killed"],
                "killed_status": killed["status"], "torn": torn, "problems": problems,
                "phase": _phase(len(after_kill), len(self.clean_records))}

    def run_second(self, plan, area):
        first = self.packages["first.bin"]
        _second_stage_record(area, len(first), hashlib.md5(first).hexdigest())
        killed = self.second(area, "first.bin", plan["share"] * self.second_seconds)
        package = os.path.join(area, "tmp/secure_update.zip")
        problems = []
        wrong = False
        if "3:c:" in killed["status"] and _sha_of(package) != hashlib.sha256(first).hexdigest():
            problems.append("3:c: before the kill for a package that is not the served one")
            wrong = True
        kept = os.path.getsize(package) if os.path.exists(package) else None
        try:
            with open(package + ".meta") as f:
                side = f.read()
        except FileNotFoundError:
            side = None
        name = "first.bin" if plan["kind"] == "second" else "newer.bin"
        phase = _phase(kept or 0, len(first)) if side is not None or kept else "nothing"
        data = self.packages[name]
        md5 = None if plan["kind"] == "second_nomd5" else hashlib.md5(data).hexdigest()
        _second_stage_record(area, len(data), md5)
        again = self.second(area, name)
        identical = _sha_of(package) == hashlib.sha256(data).hexdigest()
        text = again["status"]
        if again["timed_out"]:
            problems.append(f"the stage after the kill did not end within {KILL_TIMEOUT} s")
        elif again["exit"] != 0:
            problems.append(f"corvane exited with {again['exit']} in the stage after the kill")
        if not text.endswith("3:c:\n") or text.count("3:c:") != 1:
            problems.append(f"the stage after the kill did not end with one 3:c: "
                            f"({text[-120:]!r})")
        elif not identical:
            problems.append("3:c: for a package that is not the served one")
            wrong = True
        if not identical and not wrong:
            problems.append("the package is not the served one")
        return {"index": plan["index"], "killed": killed["killed"],
                "killed_status": killed["status"][-200:], "kept_bytes": kept, "side_file": side,
                "phase": phase,
                "wrong_file": wrong,
                "identical": identical, "problems": problems}


def kill_inside(plan_file, result_file):
    with open(plan_file) as f:
        plans = json.load(f)
    server_root = os.path.dirname(os.path.abspath(plan_file))
    driver = KillDriver(server_root)
    calibration = driver.calibrate()
    results = []
    # Written after every run, so that a device stopped over its budget still reports.
    workarea.write_atomic(result_file, json.dumps({"calibration": calibration, "runs": results}))
    for plan in plans:
        results.append(driver.run(plan))
        workarea.write_atomic(result_file, json.dumps({"calibration": calibration, "runs": results}))
    return 0


def kill_campaign(args):
    setup = workarea.host_setup("kill", args.build, args.work, args.seed)
    if setup is None:
        return 2
    build, work, seed = setup
    print(f"campaign --kill: {args.runs} kills, seed {seed}, package {args.size} bytes, "
          f"{args.jobs} devices, folders under {work}", flush=True)
    plans = [plan_kill(seed, i) for i in range(args.runs)]
    packages = kill_packages(seed, args.size)
    def prepare(root, mine):
        if root.exists():
            shutil.rmtree(root)
        folder = root / "server" / "packages" / KILL_DIR
        folder.mkdir(parents=True)
        for name, data in packages.items():
            (folder / name).write_bytes(data)
        (root / "server" / "kill_plan.json").write_text(json.dumps(mine))

    jobs = max(1, min(args.jobs, args.runs))
    devices, elapsed = run_devices(
        work, build, plans, jobs, prepare,
        ["--kill-inside", "/device/server/kill_plan.json", "/device/server/kill_results.json"],
        30 + (len(plans) // jobs + 3) * 2 * KILL_TIMEOUT)

    good = killed = torn_runs = wrong = 0
    by_kind = {}
    phases = {"first": {}, "second": {}}
    for root, mine in devices:
        try:
            report = json.loads((root / "server" / "kill_results.json").read_text())
        except (FileNotFoundError, ValueError):
            report = {"calibration": {"problems": ["the driver did not report back"]}, "runs": []}
        cal = report["calibration"]
        if "first_seconds" in cal:
            print(f"{root.name}: clean first stage {cal['first_seconds']:.3f} s, second stage "
                  f"{cal['second_seconds']:.3f} s; {len(cal['clean_records'])} record paths, "
                  f"random by design: {', '.join(cal['unstable']) or 'none'}")
        for problem in cal.get("problems", []):
            print(f"FAIL {root.name} calibration: {problem}")
        by_index = {r["index"]: r for r in report["runs"]}
        for plan in mine:
            result = by_index.get(plan["index"])
            problems = ["no result (see the device folder)"] if result is None \
                else result["problems"] + cal.get("problems", [])
            tally = by_kind.setdefault(plan["kind"], [0, 0])
            tally[1] += 1
            if result is not None:
                killed += bool(result["killed"])
                count = phases["first" if plan["kind"] == "first" else "second"]
                count[result["phase"]] = count.get(result["phase"], 0) + 1
                wrong += bool(result.get("wrong_file"))
                if result.get("torn"):
                    torn_runs += 1
                    print(f"torn {describe_kill(plan)} ({root.name}, run{plan['index']:03d}): "
                          + "; ".join(result["torn"][:3]))
            if problems:
                print(f"FAIL {describe_kill(plan)} ({root.name}, run{plan['index']:03d})")
                for problem in problems:
                    print(f"     {problem}")
            else:
                good += 1
                tally[0] += 1
    print("by stage: " + ", ".join(f"{k} {g}/{n}" for k, (g, n) in sorted(by_kind.items())))
    print(f"killed while running: {killed}/{len(plans)} (the others had ended before their "
          f"instant, three times)")
    for stage, what in (("first", "records"), ("second", "package bytes")):
        print(f"{stage} stage kills by what they left of the {what}: " +
              ", ".join(f"{k} {phases[stage].get(k, 0)}" for k in ("nothing", "part", "all")))
    print(f"first stages with torn records right after the kill: {torn_runs}")
    print(f"3:c: for a wrong file: {wrong}")
    print(f"{good}/{len(plans)} good; {elapsed:.0f} s in all")
    return 0 if good == len(plans) else 1


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=None,
                        help="downloads (default 100), or kills with --kill (default 200)")
    parser.add_argument("--seed", type=int, help="seed of the plans (default: random, printed)")
    parser.add_argument("--size", type=int, default=1 << 20, help="package size in bytes")
    parser.add_argument("--jobs", type=int, default=4, help="devices working in parallel")
    parser.add_argument("--build", default=os.environ.get("NORVO_BUILD_DIR", REPO / "build"),
                        help="build directory (default $NORVO_BUILD_DIR or <repo>/build)")
    parser.add_argument("--work", help="folder for the device folders (default under /tmp)")
    parser.add_argument("--kill", action="store_true",
                        help="SIGKILL corvane at random instants instead (default 200 kills)")
    parser.add_argument("--inside", nargs=2, metavar=("PLAN", "RESULTS"),
                        help=argparse.SUPPRESS)
    parser.add_argument("--kill-inside", nargs=2, metavar=("PLAN", "RESULTS"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.inside:
        return inside(*args.inside)
    if args.kill_inside:
        return kill_inside(*args.kill_inside)
    if args.kill:
        if args.runs is None:
            args.runs = 200
        if args.runs < 1 or args.size < 16:
            parser.error("--runs must be at least 1 and --size at least 16")
        return kill_campaign(args)
    if args.runs is None:
        args.runs = 100
    if args.runs < 1 or args.size < 16:
        parser.error("--runs must be at least 1 and --size at least 16")
    return campaign(args)


if __name__ == "__main__":
    sys.exit(main())
