"""The uploader service in the emulated device, against the reference server."""
import base64
import re
import selectors
import subprocess
import time

import pytest

DIAG_PATH = "/v2/data/quillon"
LOG_PATH = "/zelas/fileUploadWithUrlId"
ZEL_HOST = "zelas.norvo.test"

HELP = (
    "\t" + "*" * 62 + "\n"
    "\tdetect the program running in android system\n"
    "\tplease ensure two things below:\n"
    "\t1.these shared library must be existed:\t\t1.libcares.so\n"
    "\t\t2.libnorvo-dns.so\n"
    "\t\t3.libnorvo-property.so\n"
    "\t\twhich live in NORVO/system/lib64\n"
    "\t2.if the signature is test-keys, and not in velmor company, \n"
    "\t\tplease execute `setprop norvo.ignore.testkey 1` to use\n"
    "\t\touter internet nameserver ip\n"
    "\t" + "*" * 62 + "\n"
)

# Runs inside the device, in its pid namespace, so that it can signal the
# service: starts "quillon ARGS" with its output in /tmp/quillon.out, then
# obeys one command per line on stdin ("usr1 N", "status", "killwriter" (ends the
# forked log writer, the service's only child, and answers with its pid), "quit").
DRIVER = r"""
import os, signal, subprocess, sys
out = open("/tmp/quillon.out", "wb")
proc = subprocess.Popen(["quillon"] + sys.argv[1:], stdout=out, stderr=subprocess.STDOUT)
print("pid", proc.pid, flush=True)
for line in sys.stdin:
    cmd = line.split()
    if cmd[0] == "usr1":
        for _ in range(int(cmd[1])):
            os.kill(proc.pid, signal.SIGUSR1)
        print("sent", flush=True)
    elif cmd[0] == "killwriter":
        with open("/proc/%d/task/%d/children" % (proc.pid, proc.pid)) as f:
            kids = [int(p) for p in f.read().split()]
        for kid in kids:
            os.kill(kid, signal.SIGKILL)
        print("killed", *kids, flush=True)
    elif cmd[0] == "status":
        code = proc.poll()
        print("running" if code is None else "exited %d" % code, flush=True)
    else:
        break
proc.kill()
proc.wait()
"""


class Driver:
    def __init__(self, device, args):
        self.device = device
        self.proc = device.popen(["/usr/bin/python3", "-c", DRIVER, *args], server=True,
                                 stdin=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.sel = selectors.DefaultSelector()
        self.sel.register(self.proc.stdout, selectors.EVENT_READ)
        self.pid = int(self._line(30).split()[1])

    def _line(self, timeout=10.0):
        deadline = time.monotonic() + timeout
        buf = b""
        while not buf.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not self.sel.select(left):
                pytest.fail(f"no answer from the driver within {timeout} s")
            chunk = self.proc.stdout.read1(256)
            if not chunk:
                pytest.fail(f"driver ended: {self.output()!r}")
            buf += chunk
        return buf.decode()

    def ask(self, command):
        self.proc.stdin.write(command.encode() + b"\n")
        self.proc.stdin.flush()
        return self._line().strip()

    def output(self):
        try:
            return self.device.path("/tmp/quillon.out").read_text(errors="replace")
        except FileNotFoundError:
            return ""

    def close(self):
        try:
            self.proc.stdin.write(b"quit\n")
            self.proc.stdin.close()
            self.proc.wait(timeout=10)
        except (BrokenPipeError, subprocess.TimeoutExpired):
            pass


def posts(device, path=DIAG_PATH):
    return [e for e in device.server_log() if e["path"] == path]


def header(entry, name):
    return [v for k, v in entry["headers"] if k.lower() == name.lower()]


def write_store(device, values):
    events = device.path("/tmp/zel/events")
    events.mkdir(parents=True, exist_ok=True)
    for key, value in values.items():
        (events / key).write_text(value)


@pytest.fixture
def diag_device(build_dir, make_device):
    dev = make_device()
    dev.path("/cache/norvo").mkdir(parents=True)
    write_store(dev, {"download_status": "7", "download_reason": ""})
    return dev


def test_diag_records_pid_and_posts_one_snapshot_per_signal(diag_device):
    dev = diag_device
    drv = Driver(dev, ["--diag"])
    try:
        pidfile = dev.path("/cache/norvo/diagpid")
        assert dev.wait_for(lambda: pidfile.exists() and pidfile.read_text()) == str(drv.pid)
        assert pidfile.stat().st_mode & 0o777 == 0o755
        assert posts(dev) == []

        assert drv.ask("usr1 1") == "sent"
        first = dev.wait_for(lambda: posts(dev))
        assert len(first) == 1
        entry = first[0]
        assert entry["status"] == 200 and entry["tls"] and entry["port"] == 443
        assert entry["json"] == {"events": [{"download_reason": "", "download_status": "7"}]}
        assert header(entry, "Host") == [ZEL_HOST]
        assert header(entry, "Content-Type") == ["application/json"]
        body = base64.b64decode(entry["body"])
        # The copy of the posted document, as printed (tabs and newlines).
        assert dev.path("/cache/norvo/last_tmp").read_bytes() == body
        assert b"\t" in body

        # Every signal is a fresh snapshot of the store.
        write_store(dev, {"download_status": "28"})
        assert drv.ask("usr1 1") == "sent"
        both = dev.wait_for(lambda: len(posts(dev)) == 2 and posts(dev))
        assert both[1]["json"] == {"events": [{"download_reason": "", "download_status": "28"}]}
        assert drv.ask("status") == "running"
        out = dev.wait_for(lambda: drv.output().count("succ to post data") == 2 and drv.output())
        assert "Resolved domain is Host: " + ZEL_HOST in out
    finally:
        drv.close()


def settle(dev, drv, quiet=1.5):
    """Waits until the service is idle: every started pass has posted and
    nothing new happened for `quiet` seconds (several server delays)."""

    def state():
        out = drv.output()
        return (len(posts(dev)), out.count("trigger to upload data"),
                out.count("succ to post data"))

    last, since = state(), time.monotonic()
    while True:
        time.sleep(0.05)
        now = state()
        if now != last:
            last, since = now, time.monotonic()
        elif now[0] == now[1] == now[2] and time.monotonic() - since >= quiet:
            return now[0]
        if time.monotonic() - since > 30:
            pytest.fail(f"service did not settle: {now}")


def test_diag_burst_of_signals_runs_sequential_passes(diag_device):
    dev = diag_device
    delay = 0.3
    dev.server_config({"faults": {DIAG_PATH: {"delay": delay}}})
    drv = Driver(dev, ["--diag"])
    try:
        pidfile = dev.path("/cache/norvo/diagpid")
        dev.wait_for(lambda: pidfile.exists() and pidfile.read_text())
        assert drv.ask("usr1 10") == "sent"
        dev.wait_for(lambda: posts(dev))
        # Signals that meet a pass collapse into one further pass: never one
        # per signal.
        burst = settle(dev, drv)
        assert 1 <= burst <= 2

        # A request after the service went idle is exactly one more pass, and
        # it carries what the store holds by then.
        write_store(dev, {"marker": "after-burst"})
        assert drv.ask("usr1 1") == "sent"
        dev.wait_for(lambda: len(posts(dev)) > burst, timeout=30)
        assert settle(dev, drv) == burst + 1
        assert drv.ask("status") == "running"

        entries = sorted(posts(dev), key=lambda e: e["time"])
        assert ["marker" in e["json"]["events"][0] for e in entries] == [False] * burst + [True]
        for earlier, later in zip(entries, entries[1:]):
            # Each post waits for the previous answer (delayed by the server).
            assert later["time"] - earlier["time"] >= delay * 0.9
        assert all(e["status"] == 200 and not e["client_closed"] for e in entries)
    finally:
        drv.close()


def test_diag_without_work_dir_gives_up(build_dir, device):
    res = device.run(["quillon", "--diag"], timeout=30)
    assert res.returncode == 0
    assert b"failed to record pid No such file or directory" in res.stderr
    assert not device.path("/cache/norvo").exists()


def test_diag_lookup_failure_keeps_serving(build_dir, make_device):
    dev = make_device()
    dev.path("/cache/norvo").mkdir(parents=True)
    # A hosts file without the quality-service name (and no network for DNS).
    dev.path("/etc/hosts").write_text("127.0.0.1 localhost\n")
    drv = Driver(dev, ["--diag"])
    try:
        pidfile = dev.path("/cache/norvo/diagpid")
        dev.wait_for(lambda: pidfile.exists() and pidfile.read_text())
        assert drv.ask("usr1 1") == "sent"
        dev.wait_for(lambda: "lookup failed: " in drv.output(), timeout=30)
        assert drv.ask("status") == "running"
        assert posts(dev) == []
    finally:
        drv.close()


def make_zelas(device, files):
    zelas = device.path("/cache/zelas")
    zelas.mkdir(parents=True, exist_ok=True)
    for name, data in files.items():
        (zelas / name).write_bytes(data)
    return zelas


def uploaded(device):
    """{file content: (filename, other fields)} of the log uploads."""
    result = {}
    for e in posts(device, LOG_PATH):
        fields = {f["name"]: f for f in e["fields"]}
        file = fields["file"]
        result[base64.b64decode(file["data"])] = (file["filename"], fields["bizName"]["text"],
                                                  header(e, "Host"))
    return result


def test_log_uploads_matching_regular_files(build_dir, device):
    zelas = make_zelas(device, {"RescuePartyLog": b"first log\n",
                                "x_RescuePartyLog_1": b"\x00\x01binary\xff",
                                "other": b"not me"})
    (zelas / "dir_RescuePartyLog").mkdir()
    res = device.run(["quillon", "--log"], server=True)
    assert res.returncode == 0
    got = uploaded(device)
    assert got == {
        b"first log\n": ("RescuePartyLog", "norvo", [ZEL_HOST]),
        b"\x00\x01binary\xff": ("x_RescuePartyLog_1", "norvo", [ZEL_HOST]),
    }
    assert device.getprop("rescueparty.logged") == "1"
    err = res.stderr.decode()
    for name in ("RescuePartyLog", "x_RescuePartyLog_1"):
        assert (f'Uploaded: curl -v https://{ZEL_HOST}{LOG_PATH} -H "Host: {ZEL_HOST}" '
                f'-F "bizName=norvo" -F "file=@/cache/zelas/{name}", ret=0') in err
    # Rescue logs travel over https, verified like the snapshot.
    assert all(e["tls"] and e["port"] == 443 for e in posts(device, LOG_PATH))
    assert err.rstrip().endswith(">> Bye bye, Quillon")
    assert all(zelas.joinpath(n).exists() for n in ("RescuePartyLog", "x_RescuePartyLog_1"))


def test_log_odd_file_name_is_uploaded_as_itself(build_dir, device):
    name = "a'b\"c;type=text;x,d $(touch pwned1)`touch pwned2`;touch pwned3_RescuePartyLog"
    make_zelas(device, {name: b"odd content"})
    res = device.run(["sh", "-c", "cd /tmp && exec quillon --log"], server=True)
    assert res.returncode == 0
    got = uploaded(device)
    assert list(got) == [b"odd content"]
    # curl writes a double quote in a file name as %22.
    assert got[b"odd content"][0].replace("%22", '"') == name
    for marker in ("pwned1", "pwned2", "pwned3"):
        assert not device.path("/tmp/" + marker).exists()
    assert "ret=0" in res.stderr.decode()


@pytest.mark.parametrize("state", ["missing", "empty"])
def test_log_nothing_to_upload(build_dir, device, state):
    if state == "empty":
        make_zelas(device, {})
    res = device.run(["quillon", "--log"], server=True)
    assert res.returncode == 0
    assert "Nothing to upload" in res.stderr.decode()
    assert device.getprop("rescueparty.logged") == "1"
    assert posts(device, LOG_PATH) == []


@pytest.mark.parametrize("args", [[], ["--diag", "--log"]])
def test_wrong_argument_count(build_dir, device, args):
    device.path("/cache/norvo").mkdir(parents=True)
    res = device.run(["quillon", *args], server=True)
    assert res.returncode == 234
    assert not device.path("/cache/norvo/diagpid").exists()
    assert device.server_log() == []


def test_other_argument_only_says_goodbye(build_dir, device):
    device.path("/cache/norvo").mkdir(parents=True)
    res = device.run(["quillon", "--other"])
    assert res.returncode == 0
    assert b">> Bye bye, Quillon" in res.stderr
    assert device.getprop("rescueparty.logged") is None
    assert not device.path("/cache/norvo/diagpid").exists()


@pytest.mark.parametrize("env,shown", [(None, True), ("android", True), ("recovery", False),
                                       ("norvo", False), ("norvo2", True)])
def test_help_text(build_dir, make_device, env, shown):
    dev = make_device({} if env is None else {"ro.bootimage.name": env})
    res = dev.run(["quillon"])
    assert res.returncode == 234
    assert res.stdout == ((HELP + "\n").encode() if shown else b"")


def test_last_log_gets_timed_console_lines(build_dir, make_device):
    dev = make_device({"ro.bootimage.name": "norvo"})
    dev.path("/cache/norvo").mkdir(parents=True)
    dev.path("/cache/norvo/last_log").write_text("")
    # The pipe keeps the shell until the log writer, which holds the original
    # output, has written everything and exited.
    res = dev.run(["bash", "-c", "set -o pipefail; quillon --log | cat"], server=True)
    assert res.returncode == 0
    lines = dev.path("/cache/norvo/last_log").read_text().splitlines()
    timed = re.compile(r"^\[ *\d+\.\d{6}\] ([VDIWEF]):(.*)$")
    messages = [m.groups() for m in map(timed.match, lines) if m]
    assert ("I", ">> Bye bye, Quillon") in messages
    assert ("I", "Nothing to upload") in messages
    assert any(level == "I" and re.fullmatch(r'>> Quillon service "--log" \[\d+\] is starting\.\.\.', text)
               for level, text in messages)
    # The resolver's lines on standard error land in the same file.
    assert any(re.match(r"^\[ *\d+\.\d{6}\] lookup addr: 127\.0\.0\.1$", l) for l in lines)


def test_last_log_with_logcat_keeps_platform_logger(build_dir, make_device):
    dev = make_device({"ro.bootimage.name": "norvo", "debug.logcat": "1"})
    dev.path("/cache/norvo").mkdir(parents=True)
    dev.path("/cache/norvo/last_log").write_text("")
    res = dev.run(["bash", "-c", "set -o pipefail; quillon --log | cat"], server=True)
    assert res.returncode == 0
    text = dev.path("/cache/norvo/last_log").read_text()
    assert ">> Bye bye, Quillon" in text
    assert "] I:>> Bye bye, Quillon" not in text
