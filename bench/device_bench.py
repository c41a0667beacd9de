#!/usr/bin/python3
"""The benchmark's driver, run inside the emulated device by bench/bench.py.

It serves packages from a tmpfs (the device's /tmp when the device folder lives on a tmpfs)
and measures, for every size, downloads by corvane's second stage (with and without the
ROM record's md5) against `curl -o` to the same path, runs alternating. Then it measures
the resume cost (the reference server drops the first answer half-way) and the first
stage's latency against the same three requests made by the curl tool.

Every client process is waited for with wait4(), whose resource usage is that child's
alone: user + system CPU time and peak RSS (ru_maxrss, KiB). The results go to a JSON file
that bench/bench.py turns into the report.
"""
import argparse
import base64
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time

BUILD = os.environ.get("NORVO_BUILD_DIR", "")
CORVANE = os.path.join(BUILD, "bin", "corvane")
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REFSERVER = os.path.join(REPO, "tools", "refserver", "server.py")
sys.path.insert(0, os.path.join(REPO, "tools"))
import norvo_driver  # noqa: E402
from norvo_driver import FIRST, SECOND, Stage  # noqa: E402

HOST = "update.norvo.test"
PACKAGE_FILE = "/tmp/secure_update.zip"
PACKAGE_META = PACKAGE_FILE + ".meta"
DOWNLOAD_DIR = "/tmp/download"
NGINX_DIR = "/tmp/nginx"
NGINX_WWW = NGINX_DIR + "/www"
SERVER_ROOT = "/device/server"
PKG_PATH = "/pkgs/bench.zip"
MIB = 1 << 20


def log(msg):
    print(msg, file=sys.stderr, flush=True)


# -- packages and records ------------------------------------------------------------------

def make_package(path, size):
    """Writes `size` random bytes to `path` and returns their md5."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    digest = hashlib.md5()
    block = 4 * MIB
    with open(path, "wb") as f:
        left = size
        while left > 0:
            chunk = os.urandom(min(block, left))
            digest.update(chunk)
            f.write(chunk)
            left -= len(chunk)
    return digest.hexdigest()


def file_md5(path):
    digest = hashlib.md5()
    with open(path, "rb") as f:
        while True:
            chunk = f.read(4 * MIB)
            if not chunk:
                return digest.hexdigest()
            digest.update(chunk)


def write_rom_record(size, md5):
    """The ROM record as the first stage leaves it. md5=None leaves the md5 record out (no
    checksum check)."""
    norvo_driver.write_rom_record("/tmp", filesize=str(size), md5=md5)


def clear_download():
    for path in (PACKAGE_FILE, PACKAGE_META):
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


# -- measuring one client ------------------------------------------------------------------

def proc_cpu(pid):
    """user + system CPU seconds of a live process, from /proc."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return float("nan")


RUNSTAT = "runstat"  # set from the command line
RUN_LIMIT = 1800  # seconds that one client run (a 1 GiB download on a slow day) may take


def measure(argv=(), stdout=None, server_pid=None, stage=None):
    """Runs argv to its end under runstat and returns wall, cpu, rss and its exit code.

    stage=(FIRST,) or (SECOND, scheme, host, path) runs that stage of corvane instead, as
    the front end starts it: real pipes, the status pipe read to its end while it runs, the
    command pipe open (no commands) until it has ended."""
    result_path = "/tmp/runstat.txt"
    server_cpu0 = proc_cpu(server_pid) if server_pid else None
    out = stdout or subprocess.DEVNULL
    status = ""
    if stage is None:
        proc = subprocess.Popen([RUNSTAT, result_path, *argv], stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT)
        proc.wait(timeout=RUN_LIMIT)
    else:
        run = Stage(*stage, program=CORVANE, prefix=[RUNSTAT, result_path], stdout=out,
                    stderr=subprocess.STDOUT)
        status = run.read_to_end(RUN_LIMIT)
        run.wait(RUN_LIMIT)
    with open(result_path) as f:
        wall, user, system, rss, anon, code = f.read().split()
    os.unlink(result_path)
    result = {
        "wall": float(wall),
        "cpu": float(user) + float(system),
        "user": float(user),
        "sys": float(system),
        "rss_kib": int(rss),
        "anon_kib": int(anon),
        "exit": int(code),
        "status": status,
    }
    if server_pid:
        result["server_cpu"] = proc_cpu(server_pid) - server_cpu0
    return result


def run_corvane_second_stage(path, server_pid=None, log_path="/tmp/corvane.log"):
    with open(log_path, "wb") as out:
        return measure(stage=(SECOND, "http://", HOST, path), stdout=out,
                       server_pid=server_pid)


def run_curl_download(path, server_pid=None):
    return measure(["curl", "-sS", "-o", PACKAGE_FILE, f"http://{HOST}{path}"],
                   server_pid=server_pid)


def run_md5sum(path):
    """The checksum the peer would need for the same assurance, as its own process."""
    out_path = "/tmp/md5sum.txt"
    with open(out_path, "wb") as out:
        res = measure(["md5sum", path], stdout=out)
    with open(out_path) as f:
        res["md5"] = f.read().split(" ", 1)[0]
    os.unlink(out_path)
    return res


# -- servers -------------------------------------------------------------------------------

NGINX_CONF = """daemon off;
master_process off;
user root root;
worker_processes 1;
pid {d}/nginx.pid;
error_log {d}/error.log warn;
events {{ worker_connections 64; }}
http {{
  access_log off;
  client_body_temp_path {d}/client_body;
  proxy_temp_path {d}/proxy;
  fastcgi_temp_path {d}/fastcgi;
  uwsgi_temp_path {d}/uwsgi;
  scgi_temp_path {d}/scgi;
  default_type application/zip;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 10;
  server {{
    listen 127.0.0.1:80;
    root {www};
  }}
}}
"""


def wait_port(port=80, timeout=10.0):
    import socket
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return True
        time.sleep(0.02)
    return False


class Nginx:
    def __enter__(self):
        os.makedirs(NGINX_WWW, exist_ok=True)
        conf = os.path.join(NGINX_DIR, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX_CONF.format(d=NGINX_DIR, www=NGINX_WWW))
        err = os.path.join(NGINX_DIR, "error.log")
        self.proc = subprocess.Popen(["nginx", "-e", err, "-p", NGINX_DIR, "-c", conf],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=open(err, "ab"))
        if not wait_port():
            self.proc.kill()
            raise SystemExit("nginx did not start; see " + err)
        return self

    def __exit__(self, *exc):
        self.proc.send_signal(signal.SIGQUIT)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class RefServer:
    def __init__(self, config):
        self.config = config

    def __enter__(self):
        os.makedirs(os.path.join(SERVER_ROOT, "packages"), exist_ok=True)
        with open(os.path.join(SERVER_ROOT, "config.json"), "w") as f:
            json.dump(self.config, f)
        for name in ("ready", "requests.jsonl"):
            try:
                os.unlink(os.path.join(SERVER_ROOT, name))
            except FileNotFoundError:
                pass
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
        self.proc = subprocess.Popen(["/usr/bin/python3", REFSERVER, "--root", SERVER_ROOT],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=open(os.path.join(SERVER_ROOT, "server.log"), "ab"),
                                     env=env)
        deadline = time.monotonic() + 15
        while not os.path.exists(os.path.join(SERVER_ROOT, "ready")):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise SystemExit("the reference server did not start")
            time.sleep(0.02)
        return self

    def requests(self):
        try:
            with open(os.path.join(SERVER_ROOT, "requests.jsonl")) as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def reset_log(self):
        try:
            os.unlink(os.path.join(SERVER_ROOT, "requests.jsonl"))
        except FileNotFoundError:
            pass

    def __exit__(self, *exc):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


# -- the three measurements ----------------------------------------------------------------

def downloads(sizes, runs):
    """Per size: corvane with md5 record, corvane without it, curl; runs alternate."""
    results = []
    clients = ("corvane_md5", "corvane", "curl")
    with Nginx() as nginx:
        server_pid = nginx.proc.pid
        for size in sizes:
            log(f"== {size // MIB} MiB: making the package")
            package = NGINX_WWW + PKG_PATH
            md5 = make_package(package, size)
            per = {c: [] for c in clients + ("curl_md5sum",)}
            for i in range(runs):
                for client in clients:
                    clear_download()
                    if client == "curl":
                        res = run_curl_download(PKG_PATH, server_pid)
                        ok = res["exit"] == 0
                    else:
                        write_rom_record(size, md5 if client == "corvane_md5" else None)
                        res = run_corvane_second_stage(PKG_PATH, server_pid)
                        ok = res["exit"] == 0 and res["status"].endswith("3:c:\n")
                    got = os.path.getsize(PACKAGE_FILE) if os.path.exists(PACKAGE_FILE) else -1
                    ok = ok and got == size
                    if client == "curl" and ok:
                        # curl + md5sum: the peer doing the same work as corvane_md5.
                        check = run_md5sum(PACKAGE_FILE)
                        ok = check["md5"] == md5
                        both = {"wall": res["wall"] + check["wall"],
                                "cpu": res["cpu"] + check["cpu"],
                                "user": res["user"] + check["user"],
                                "sys": res["sys"] + check["sys"],
                                "rss_kib": max(res["rss_kib"], check["rss_kib"]),
                                "anon_kib": max(res["anon_kib"], check["anon_kib"]),
                                "server_cpu": res["server_cpu"], "ok": ok, "status": ""}
                        per["curl_md5sum"].append(both)
                    elif ok and i == 0:
                        ok = file_md5(PACKAGE_FILE) == md5  # once per client and size
                    res["ok"] = ok
                    if not ok:
                        tail = res["status"][-200:]
                        log(f"   {client} run {i}: FAILED (exit {res['exit']}, "
                            f"{got} bytes, status tail {tail!r})")
                    else:
                        log(f"   {client:12} run {i}: {res['wall']:.3f} s wall, "
                            f"{res['cpu']:.3f} s cpu, {res['rss_kib']} KiB, server "
                            f"{res['server_cpu']:.2f} s cpu")
                    res["status"] = res["status"][-400:]
                    per[client].append(res)
            clear_download()
            os.unlink(package)
            results.append({"size": size, "md5": md5, "runs": per})
    return results


def make_signed_package(path, size):
    """A package as a maker's build signs it: a stored zip holding `size` random bytes (and
    the updater), whole-file signed with the build's test key (the device's key store holds
    its certificate). Returns its MD5."""
    import make_package as signer
    payload = os.urandom(size)
    data = signer.archive([(signer.UPDATER_ENTRY, b"#!/bin/sh\n", 0o755),
                           ("payload.bin", payload, 0o644)])
    del payload
    key_dir = os.path.join(BUILD, "testkey")
    data = signer.sign_archive(data, *signer.test_key(key_dir))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    md5 = hashlib.md5(data).hexdigest()
    return md5, len(data)


def run_openssl_sha256(path):
    out_path = "/tmp/sha256.txt"
    with open(out_path, "wb") as out:
        res = measure(["openssl", "dgst", "-sha256", path], stdout=out)
    os.unlink(out_path)
    return res


CHECKS_LINE = ">> RomDownload: "
CHECKS_TAIL = " ms from the last byte to the complete line"


def corvane_checks_ms(log_path):
    """What corvane logged of its checks after the transfer's last byte (ms)."""
    with open(log_path, errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.endswith(CHECKS_TAIL) and CHECKS_LINE in line:
                return float(line.split(CHECKS_LINE, 1)[1][:-len(CHECKS_TAIL)])
    return float("nan")


def signed_downloads(sizes, runs):
    """Per size, as a handset downloads: a signed package, the device's key store and the
    record's MD5, so corvane checks the MD5 and the whole-file signature before 3:c:.
    The peer does the same work: curl, then md5sum and openssl dgst -sha256 of its file."""
    results = []
    with Nginx() as nginx:
        server_pid = nginx.proc.pid
        for size in sizes:
            log(f"== signed {size // MIB} MiB: making and signing the package")
            package = NGINX_WWW + PKG_PATH
            md5, total = make_signed_package(package, size)
            per = {"corvane_signed": [], "curl_md5_sha256": []}
            for i in range(runs):
                clear_download()
                write_rom_record(total, md5)
                log_path = "/tmp/corvane-signed.log"
                res = run_corvane_second_stage(PKG_PATH, server_pid, log_path=log_path)
                ok = res["exit"] == 0 and res["status"].endswith("3:c:\n")
                got = os.path.getsize(PACKAGE_FILE) if os.path.exists(PACKAGE_FILE) else -1
                res["ok"] = ok and got == total
                res["after_last_byte_ms"] = corvane_checks_ms(log_path)
                res["status"] = res["status"][-400:]
                per["corvane_signed"].append(res)
                clear_download()
                fetch = run_curl_download(PKG_PATH, server_pid)
                md5sum = run_md5sum(PACKAGE_FILE)
                sha = run_openssl_sha256(PACKAGE_FILE)
                both = {key: fetch[key] + md5sum[key] + sha[key]
                        for key in ("wall", "cpu", "user", "sys")}
                both.update({"rss_kib": max(fetch["rss_kib"], md5sum["rss_kib"], sha["rss_kib"]),
                             "anon_kib": max(fetch["anon_kib"], md5sum["anon_kib"],
                                             sha["anon_kib"]),
                             "curl_anon_kib": fetch["anon_kib"],
                             "after_last_byte_ms": (md5sum["wall"] + sha["wall"]) * 1000,
                             "server_cpu": fetch["server_cpu"],
                             "ok": fetch["exit"] == 0 and md5sum["md5"] == md5, "status": ""})
                per["curl_md5_sha256"].append(both)
                for name in per:
                    r = per[name][-1]
                    log(f"   {name:16} run {i}: {r['wall']:.3f} s wall, {r['cpu']:.3f} s cpu, "
                        f"{r['anon_kib']} KiB anon, {r['after_last_byte_ms']:.1f} ms after "
                        f"the last byte{'' if r['ok'] else ', FAILED'}")
            clear_download()
            os.unlink(package)
            results.append({"size": size, "package_bytes": total, "runs": per})
    return results


def resume(size):
    """One corvane download whose first answer the server drops at half the package."""
    log(f"== resume: {size // MIB} MiB, the first answer dropped at {size // 2} bytes")
    package = os.path.join(SERVER_ROOT, "packages", "bench.zip")
    md5 = make_package(package, size)
    config = {"faults": {PKG_PATH: {"drop_after": [size // 2]}}, "tls": False}
    with RefServer(config) as server:
        clear_download()
        write_rom_record(size, md5)
        res = run_corvane_second_stage(PKG_PATH, server.proc.pid,
                                       log_path="/tmp/corvane-resume.log")
        reqs = [r for r in server.requests() if r["path"] == PKG_PATH]
    got_md5 = file_md5(PACKAGE_FILE) if os.path.exists(PACKAGE_FILE) else None
    sent = sum(r.get("sent", 0) for r in reqs)
    out = {
        "size": size,
        "requests": [{"method": r["method"], "status": r["status"], "sent": r["sent"],
                      "range": r.get("range"), "dropped_at": r.get("dropped_at")}
                     for r in sorted(reqs, key=lambda r: r["time"])],
        "sent": sent,
        "ratio": sent / size,
        "complete": got_md5 == md5 and res["status"].endswith("3:c:\n"),
        "status": res["status"][-300:],
        "wall": res["wall"], "cpu": res["cpu"], "rss_kib": res["rss_kib"],
    }
    log(f"   {len(reqs)} requests, {sent} bytes sent, ratio {out['ratio']:.6f}, "
        f"complete={out['complete']}")
    clear_download()
    os.unlink(package)
    return out


FIRST_STAGE_ROM = {"version": "V2.0.1", "filename": "norvo-update.zip",
                   "filesize": "1M", "Validate": "bench", "md5": None}


def first_stage(runs):
    log(f"== first stage: {runs} runs each")
    package_rel = "V2.0.1/norvo-update.zip"
    package = os.path.join(SERVER_ROOT, "packages", package_rel)
    rom = dict(FIRST_STAGE_ROM, md5=make_package(package, MIB))
    config = {"catalogue": [{"LatestRom": rom}], "mirrors": [f"http://{HOST}/pkgs"],
              "tls": False}
    corvane_runs, curl_runs = [], []
    with RefServer(config) as server:
        # One run first to capture the form body that corvane posts.
        warm = run_first_stage_corvane(server)
        posts = [r for r in server.requests() if r["method"] == "POST"]
        if not posts or not warm["status"].startswith("0:s\n1:s\n2:s:0"):
            raise SystemExit(f"the first stage failed: status {warm['status']!r}; "
                             f"see the device's /tmp/corvane-first.log")
        body = base64.b64decode(posts[-1]["body"])
        body_path = "/tmp/update-form.txt"
        with open(body_path, "wb") as f:
            f.write(body)
        warm_curl = run_first_stage_curl(body_path)
        if not warm_curl["ok"]:
            raise SystemExit("the curl sequence failed")
        for _ in range(runs):
            corvane_runs.append(run_first_stage_corvane(server))
            curl_runs.append(run_first_stage_curl(body_path))
        ok = all(r["status"].startswith("0:s\n1:s\n2:s:0") for r in corvane_runs)
        ok = ok and all(r["ok"] for r in curl_runs)
    os.unlink(package)
    return {"corvane": corvane_runs, "curl": curl_runs, "ok": ok,
            "body_bytes": len(body)}


def run_first_stage_corvane(server):
    with open("/tmp/corvane-first.log", "wb") as out:
        return measure(stage=(FIRST,), stdout=out)


def run_first_stage_curl(body_path):
    """The same three requests, one curl process after the other, as a script would."""
    steps = [
        ["curl", "-sS", "-o", "/dev/null", "-I", f"http://{HOST}/"],
        ["curl", "-sS", "-o", "/tmp/answer.txt", "-H",
         "Content-type: application/x-www-form-urlencoded", "--data-binary", "@" + body_path,
         f"http://{HOST}/updates/kootaV3.php"],
        ["curl", "-sS", "-o", "/dev/null", "-I",
         f"http://{HOST}/pkgs/V2.0.1/norvo-update.zip"],
    ]
    total = {"wall": 0.0, "cpu": 0.0, "rss_kib": 0, "anon_kib": 0, "ok": True}
    for argv in steps:
        res = measure(argv)
        total["wall"] += res["wall"]
        total["cpu"] += res["cpu"]
        total["rss_kib"] = max(total["rss_kib"], res["rss_kib"])
        total["anon_kib"] = max(total["anon_kib"], res["anon_kib"])
        total["ok"] = total["ok"] and res["exit"] == 0
    return total


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", required=True, help="bytes, comma-separated")
    parser.add_argument("--runs", type=int, required=True)
    parser.add_argument("--resume-size", type=int, required=True)
    parser.add_argument("--first-stage-runs", type=int, required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--skip", default="",
                        help="comma-separated: downloads,resume,first,signed")
    parser.add_argument("--signed-sizes", default="", help="bytes, comma-separated")
    parser.add_argument("--runstat", required=True, help="the runstat program")
    args = parser.parse_args()
    global RUNSTAT
    RUNSTAT = args.runstat
    skip = set(filter(None, args.skip.split(",")))
    sizes = [int(s) for s in args.sizes.split(",")]
    os.makedirs(DOWNLOAD_DIR, exist_ok=True)
    result = {"tmp_fs": fs_type("/tmp")}
    if "signed" not in skip and args.signed_sizes:
        result["signed"] = signed_downloads([int(s) for s in args.signed_sizes.split(",")],
                                            args.runs)
    if "downloads" not in skip:
        result["downloads"] = downloads(sizes, args.runs)
    if "resume" not in skip and args.resume_size > 0:
        result["resume"] = resume(args.resume_size)
    if "first" not in skip and args.first_stage_runs > 0:
        result["first_stage"] = first_stage(args.first_stage_runs)
    tmp = args.out + ".tmp"
    with open(tmp, "w") as f:
        json.dump(result, f, indent=1)
    os.replace(tmp, args.out)
    shutil.rmtree(NGINX_DIR, ignore_errors=True)


def fs_type(path):
    """The type of the file system that holds path ("tmpfs", ...), from /proc/mounts."""
    best, kind = "", "?"
    path = os.path.realpath(path)
    with open("/proc/mounts") as f:
        for line in f:
            parts = line.split()
            if len(parts) < 3:
                continue
            mount = parts[1]
            if (path == mount or path.startswith(mount.rstrip("/") + "/")) and \
                    len(mount) >= len(best):
                best, kind = mount, parts[2]
    return kind


if __name__ == "__main__":
    main()
