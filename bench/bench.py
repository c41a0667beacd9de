#!/usr/bin/python3
"""Download benchmark of corvane against the curl tool, in the emulated device.

    bench/bench.py [--sizes 16M,256M,1G] [--runs N] [--build DIR] [--json FILE]

One run of the emulated device (tools/device) serves each package from nginx on port 80
inside the device's network namespace, from a tmpfs, and downloads it N times, alternating,
with corvane's second stage (real status and command pipes, the status pipe drained; once
with the ROM record's md5 present, so that the checksum is computed, once without) and with
`curl -o` to the same path. Per run: wall time, the client's own CPU time (user + system)
and peak RSS. Then the resume cost (the reference server drops the first answer half-way
and corvane's automatic restart completes the package) and the first stage's latency
against the same three requests made by the curl tool.

Installs what it needs with apt-get (nginx, curl, bubblewrap) and builds the programs when
the build folder has none. Not a test: it prints figures and ratios, and checks them
against the goals only to say which are met.
"""
import argparse
import json
import os
import pathlib
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile

from device_bench import fs_type  # the device's driver, beside this file

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
from norvo_driver import NO_KEY_STORE, TEST_PHONE_PROPS, prop_options  # noqa: E402

REPO = pathlib.Path(__file__).resolve().parents[1]
MIB = 1 << 20
GOALS = {"wall": 1.05, "cpu": 1.2, "rss": 1.0, "resume": 1.001, "first_stage": 1.2}
# The signed download against curl + md5sum + openssl dgst -sha256 (the same work), and the
# time from the transfer's last byte to 3:c:.
SIGNED_GOALS = {"wall": 0.6, "cpu": 0.9, "anon": 1.2, "after_last_byte_ms": 50}
# The reference phone in the updater environment (records and the package stay in the
# device's /tmp), a test build, with logcat off.
DEVICE_PROPS = dict(TEST_PHONE_PROPS, **{"debug.logcat": "0"})


def parse_size(text):
    text = text.strip().upper().removesuffix("IB").removesuffix("B")
    factor = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}.get(text[-1:], 1)
    number = text[:-1] if text[-1:] in "KMG" else text
    return int(float(number) * factor)


def human(size):
    for unit, factor in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if size >= factor and size % factor == 0:
            return f"{size // factor} {unit}"
    return f"{size} B"


# -- setting up the machine ------------------------------------------------------------------

def ensure_packages(extra=None):
    """apt-get installs what is missing (the peers and tools, plus `extra`: package -> path),
    without starting any service on the host."""
    wanted = {"nginx": "/usr/sbin/nginx", "curl": "/usr/bin/curl", "bubblewrap": "/usr/bin/bwrap",
              "gcc": "/usr/bin/cc", "openssl": "/usr/bin/openssl", **(extra or {})}
    missing = [pkg for pkg, path in wanted.items() if not os.path.exists(path)]
    if not missing:
        return
    if os.geteuid() != 0:
        sys.exit(f"bench: missing {', '.join(missing)}; install them (apt-get) as root")
    print(f"bench: installing {' '.join(missing)} with apt-get", flush=True)
    # nginx's package would start a host-wide server on port 80; forbid service starts for
    # the duration of the install when no policy exists yet.
    policy = pathlib.Path("/usr/sbin/policy-rc.d")
    made_policy = False
    if not policy.exists():
        policy.write_text("#!/bin/sh\nexit 101\n")
        policy.chmod(0o755)
        made_policy = True
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    try:
        subprocess.run(["apt-get", "update", "-qq"], check=True, env=env)
        subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", *missing],
                       check=True, env=env)
    finally:
        if made_policy:
            policy.unlink()


def ensure_build(build):
    if (build / "bin" / "corvane").is_file() and (build / "deployment.env").is_file():
        return
    print(f"bench: building the programs in {build}", flush=True)
    subprocess.run(["cmake", "-S", str(REPO), "-B", str(build)], check=True)
    subprocess.run(["cmake", "--build", str(build), "-j", str(os.cpu_count() or 2), "--target",
                    "corvane"], check=True)


def build_runstat(folder):
    """Compiles the measuring wrapper into the device's /tmp; returns its device path."""
    target = folder / "tmp" / "runstat"
    target.parent.mkdir(parents=True, exist_ok=True)
    source = REPO / "bench" / "runstat.c"
    base = ["cc", "-O2", "-Wall", "-Wextra", "-pthread", "-o", str(target), str(source)]
    # Static when the C library allows it: the smaller the wrapper, the lower the floor
    # that the kernel adds to the measured program's peak RSS.
    if subprocess.run(base + ["-static"], capture_output=True).returncode != 0:
        subprocess.run(base, check=True)
    return "/tmp/runstat"


def machine():
    info = {"nproc": os.cpu_count(), "kernel": platform.release()}
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                info["cpu"] = line.split(":", 1)[1].strip()
                break
        for line in pathlib.Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal:"):
                info["mem_gib"] = round(int(line.split()[1]) / (1 << 20), 1)
    except OSError:
        pass
    for name, argv in (("curl", ["curl", "--version"]), ("nginx", ["nginx", "-v"])):
        try:
            out = subprocess.run(argv, capture_output=True, text=True)
            info[name] = (out.stdout or out.stderr).splitlines()[0].strip()
        except (OSError, IndexError):
            info[name] = "?"
    return info


def device_folder():
    """A device folder on a tmpfs, so that the device's /tmp (packages served and
    downloaded) is memory, as on the handset."""
    for base in ("/dev/shm", "/run"):
        if os.path.isdir(base) and fs_type(base) == "tmpfs" and os.access(base, os.W_OK):
            return pathlib.Path(tempfile.mkdtemp(prefix="norvo-bench.", dir=base))
    sys.exit("bench: no writable tmpfs (/dev/shm) for the device folder")


# -- report ------------------------------------------------------------------------------------

def med(runs, key):
    values = [r[key] for r in runs if r.get("ok", True)]
    return statistics.median(values) if values else float("nan")


def verdict(value, goal):
    return "met" if value <= goal else "NOT met"


def report(result, info, runs):
    lines = []
    say = lines.append
    say(f"machine: {info.get('nproc')} CPUs ({info.get('cpu', '?')}), "
        f"{info.get('mem_gib', '?')} GiB memory, Linux {info.get('kernel')}")
    say(f"peer: {info.get('curl')}")
    say(f"server: {info.get('nginx')} in the device's network namespace; "
        f"device /tmp on {result.get('tmp_fs')}")
    say("")
    downloads = result.get("downloads", [])
    failures = 0
    if downloads:
        say(f"Downloads, median of {runs} runs each, runs alternating. corvane_md5: the ROM "
            "record holds the md5, so corvane checks it; corvane: no md5 record; "
            "curl_md5sum: curl's run plus md5sum of its file, the peer doing the same work")
        say(f"{'size':>8} {'client':12} {'wall s':>8} {'MiB/s':>8} {'cpu s':>7} "
            f"{'user':>6} {'sys':>6} {'RSS KiB':>8} {'anon KiB':>8} {'srv cpu%':>8}")
        for entry in downloads:
            size = entry["size"]
            for client, rs in entry["runs"].items():
                failures += sum(1 for r in rs if not r.get("ok"))
                wall = med(rs, "wall")
                srv = statistics.median([r["server_cpu"] / r["wall"] for r in rs]) * 100
                say(f"{human(size):>8} {client:12} {wall:8.3f} {size / MIB / wall:8.1f} "
                    f"{med(rs, 'cpu'):7.3f} {med(rs, 'user'):6.3f} {med(rs, 'sys'):6.3f} "
                    f"{med(rs, 'rss_kib'):8.0f} {med(rs, 'anon_kib'):8.0f} {srv:7.0f}%")
        say("")
        say("Ratios of medians (goals at 256 MiB and up: "
            f"wall <= {GOALS['wall']}, cpu <= {GOALS['cpu']}, peak RSS <= {GOALS['rss']}; "
            "anon: sampled peak of anonymous memory, the program's own heap and stacks, "
            "no goal)")
        for entry in downloads:
            size = entry["size"]
            pairs = (("corvane_md5", "curl"), ("corvane", "curl"),
                     ("corvane_md5", "curl_md5sum"))
            for client, peer in pairs:
                rs, ps = entry["runs"][client], entry["runs"][peer]
                ratios = {"wall": med(rs, "wall") / med(ps, "wall"),
                          "cpu": med(rs, "cpu") / med(ps, "cpu"),
                          "rss": med(rs, "rss_kib") / med(ps, "rss_kib"),
                          "anon": med(rs, "anon_kib") / med(ps, "anon_kib")}
                entry.setdefault("ratios", {})[f"{client}/{peer}"] = ratios
                judged = size >= 256 * MIB
                marks = ", ".join(
                    f"{k} {v:.3f}" + (f" ({verdict(v, GOALS[k])})" if judged and k in GOALS
                                      else "")
                    for k, v in ratios.items())
                say(f"{human(size):>8} {client + '/' + peer:24} {marks}")
        say("")
        if len(downloads) >= 2:
            small, large = downloads[0], downloads[-1]
            factor = large["size"] / small["size"]
            say(f"Scaling from {human(small['size'])} to {human(large['size'])} "
                f"(size x{factor:.0f}):")
            for client in ("corvane_md5", "corvane", "curl", "curl_md5sum"):
                per_mib = []
                for entry in downloads:
                    mib = entry["size"] / MIB
                    rs = entry["runs"][client]
                    per_mib.append(f"{human(entry['size'])}: "
                                   f"{med(rs, 'wall') / mib * 1000:.2f} ms/MiB wall, "
                                   f"{med(rs, 'cpu') / mib * 1000:.2f} ms/MiB cpu")
                growth = med(large["runs"][client], "rss_kib") - \
                    med(small["runs"][client], "rss_kib")
                anon = med(large["runs"][client], "anon_kib") - \
                    med(small["runs"][client], "anon_kib")
                say(f"  {client:12} " + "; ".join(per_mib))
                # Linear growth: the cost of each further MiB stays the same from one size
                # to the next (the fixed start-up cost drops out of the difference).
                steps = []
                for a, b in zip(downloads, downloads[1:]):
                    extra = (b["size"] - a["size"]) / MIB
                    ra, rb = a["runs"][client], b["runs"][client]
                    steps.append(f"{human(a['size'])}->{human(b['size'])}: "
                                 f"{(med(rb, 'wall') - med(ra, 'wall')) / extra * 1000:.2f} "
                                 f"ms/MiB wall, "
                                 f"{(med(rb, 'cpu') - med(ra, 'cpu')) / extra * 1000:.2f} "
                                 "ms/MiB cpu")
                say(f"  {'':12} marginal cost " + "; ".join(steps))
                say(f"  {'':12} peak RSS growth {growth:+.0f} KiB "
                    f"({'flat, under 1 MiB' if growth < 1024 else 'NOT flat'}), "
                    f"anonymous memory growth {anon:+.0f} KiB")
            say("")
    res = result.get("resume")
    if res:
        say(f"Resume: {human(res['size'])}, the first answer dropped at half by the server")
        for r in res["requests"]:
            say(f"  {r['method']} status {r['status']} range {r['range']} sent {r['sent']}"
                + (f" (dropped at {r['dropped_at']})" if r.get("dropped_at") else ""))
        say(f"  bytes sent / package size = {res['ratio']:.6f} (goal <= {GOALS['resume']}: "
            f"{verdict(res['ratio'], GOALS['resume'])}); package complete and md5 right: "
            f"{res['complete']}; {res['wall']:.2f} s wall including the retry pause")
        if not res["complete"]:
            failures += 1
        say("")
    signed = result.get("signed")
    if signed:
        say(f"Signed downloads, as a handset runs them (median of {runs} runs each, runs "
            "alternating): corvane_signed has the device's key store and the record's MD5, "
            "so it checks the MD5 and the whole-file signature before 3:c:; "
            "curl_md5_sha256 is curl's run plus md5sum and openssl dgst -sha256 of its file, "
            "one after the other")
        say(f"{'size':>8} {'client':16} {'wall s':>8} {'cpu s':>7} {'anon KiB':>8} "
            f"{'after last byte ms':>18}")
        for entry in signed:
            for client, rs in entry["runs"].items():
                failures += sum(1 for r in rs if not r.get("ok"))
                say(f"{human(entry['size']):>8} {client:16} {med(rs, 'wall'):8.3f} "
                    f"{med(rs, 'cpu'):7.3f} {med(rs, 'anon_kib'):8.0f} "
                    f"{med(rs, 'after_last_byte_ms'):18.1f}")
        say("Ratios (goals: wall <= {wall}, cpu <= {cpu} against the peer; anonymous memory "
            "<= {anon} against curl's own; at most {after_last_byte_ms} ms from the last byte "
            "to 3:c:)".format(**SIGNED_GOALS))
        for entry in signed:
            rs, ps = entry["runs"]["corvane_signed"], entry["runs"]["curl_md5_sha256"]
            ratios = {"wall": med(rs, "wall") / med(ps, "wall"),
                      "cpu": med(rs, "cpu") / med(ps, "cpu"),
                      "anon": med(rs, "anon_kib") / med(ps, "curl_anon_kib")}
            after = med(rs, "after_last_byte_ms")
            entry["ratios"] = dict(ratios, after_last_byte_ms=after)
            marks = ", ".join(f"{k} {v:.3f} ({verdict(v, SIGNED_GOALS[k])})"
                              for k, v in ratios.items())
            say(f"{human(entry['size']):>8} corvane_signed/curl_md5_sha256 {marks}; "
                f"last byte to 3:c: {after:.1f} ms "
                f"({verdict(after, SIGNED_GOALS['after_last_byte_ms'])})")
        say("")
    fs = result.get("first_stage")
    if fs:
        cw, uw = med(fs["corvane"], "wall"), med(fs["curl"], "wall")
        say(f"First stage, median of {len(fs['corvane'])} runs against the reference server "
            f"(form body {fs['body_bytes']} bytes):")
        say(f"  corvane --first_stage: {cw * 1000:.1f} ms wall, "
            f"{med(fs['corvane'], 'cpu') * 1000:.1f} ms cpu, "
            f"{med(fs['corvane'], 'rss_kib'):.0f} KiB peak RSS")
        say(f"  curl x3 in sequence:   {uw * 1000:.1f} ms wall, "
            f"{med(fs['curl'], 'cpu') * 1000:.1f} ms cpu, "
            f"{med(fs['curl'], 'rss_kib'):.0f} KiB peak RSS")
        ratio = cw / uw
        fs["ratio"] = ratio
        say(f"  ratio {ratio:.3f} (goal <= {GOALS['first_stage']}: "
            f"{verdict(ratio, GOALS['first_stage'])}); all runs succeeded: {fs['ok']}")
        if not fs["ok"]:
            failures += 1
    if failures:
        say(f"\n{failures} failed run(s): see the per-run lines above")
    return "\n".join(lines), failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", default="16M,256M,1G",
                        help="package sizes, comma-separated (K, M, G are binary units)")
    parser.add_argument("--runs", type=int, default=5, help="downloads per client and size")
    parser.add_argument("--resume-size", default="256M",
                        help="package size of the resume measurement (0 to skip)")
    parser.add_argument("--first-stage-runs", type=int, default=11)
    parser.add_argument("--build", default=os.environ.get("NORVO_BUILD_DIR", str(REPO / "build")))
    parser.add_argument("--json", help="also write the raw figures to this file")
    parser.add_argument("--keep", action="store_true", help="keep the device folder")
    parser.add_argument("--skip", default="",
                        help="comma-separated: downloads,resume,first,signed")
    parser.add_argument("--signed-sizes", default="256M,1G",
                        help="sizes of the signed case (a key store, as on a handset)")
    args = parser.parse_args()
    sizes = sorted(parse_size(s) for s in args.sizes.split(",") if s.strip())
    if args.runs < 5:
        print("bench: fewer than 5 runs; medians will be noisy", file=sys.stderr)

    ensure_packages()
    build = pathlib.Path(args.build).resolve()
    ensure_build(build)
    info = machine()
    folder = device_folder()
    runstat = build_runstat(folder)
    skip = set(filter(None, args.skip.split(",")))
    signed_sizes = [parse_size(s) for s in args.signed_sizes.split(",") if s.strip()]
    # The test key: the signed case's packages are signed with it, and the device's key
    # store holds its certificate.
    import make_package
    key_dir = build / "testkey"
    make_package.test_key(str(key_dir))

    def device_run(options, extra, out):
        argv = [str(REPO / "tools" / "device"), "--dir", str(folder), "--build", str(build),
                *prop_options(DEVICE_PROPS), *options]
        argv += ["--", "/usr/bin/python3", str(REPO / "bench" / "device_bench.py"),
                 "--runs", str(args.runs), "--out", out, "--runstat", runstat, *extra]
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
        done = subprocess.run(argv, env=env)
        result_file = folder / "tmp" / out.removeprefix("/tmp/")
        if done.returncode != 0 or not result_file.exists():
            sys.exit(f"bench: the device run failed (status {done.returncode}); "
                     f"device folder {folder} kept")
        return json.loads(result_file.read_text())

    try:
        # Random bytes without a key store: the download itself against the curl tool.
        result = device_run(NO_KEY_STORE,
                            ["--sizes", ",".join(str(s) for s in sizes),
                             "--resume-size", str(parse_size(args.resume_size)),
                             "--first-stage-runs", str(args.first_stage_runs),
                             "--skip", ",".join(skip | {"signed"})],
                            "/tmp/bench-result.json")
        if "signed" not in skip and signed_sizes:
            # What every handset runs: a signed package, its key store, the record's MD5.
            signed = device_run(("--otacerts", str(key_dir / "otacerts.zip")),
                                ["--sizes", "0", "--resume-size", "0", "--first-stage-runs", "0",
                                 "--skip", "downloads,resume,first",
                                 "--signed-sizes", ",".join(str(s) for s in signed_sizes)],
                                "/tmp/bench-signed.json")
            result["signed"] = signed.get("signed", [])
    except BaseException:
        args.keep = True
        raise
    finally:
        if args.keep:
            print(f"bench: device folder kept: {folder}", file=sys.stderr)
        else:
            shutil.rmtree(folder, ignore_errors=True)
    text, failures = report(result, info, args.runs)
    print()
    print(text)
    if args.json:
        result["machine"] = info
        pathlib.Path(args.json).write_text(json.dumps(result, indent=1))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
