"""quillon when its log cannot be written, with odd telemetry values, and against an
upload server that never answers; corvane with the same unwritable log."""
import base64
import json
import re
import time

import pytest

from test_quillon import LOG_PATH, Driver, make_zelas, posts, write_store

LAST_LOG = "/cache/norvo/last_log"
READ_ONLY_CACHE = "mount -o remount,ro,bind /cache"

def log_device(make_device, log_kind):
    """A device in the updater environment whose last_log is a folder or a file."""
    dev = make_device({"ro.bootimage.name": "norvo"})
    dev.path("/cache/norvo").mkdir(parents=True)
    if log_kind == "folder":
        dev.path(LAST_LOG).mkdir()
    else:
        dev.path(LAST_LOG).write_text("")
    return dev


# -- the log cannot be opened, or its writer goes away ------------------------------------

@pytest.mark.parametrize("case", ["folder", "read-only cache"])
def test_log_upload_without_writable_log_stays_on_console(build_dir, make_device, case):
    dev = log_device(make_device, "folder" if case == "folder" else "file")
    make_zelas(dev, {"RescuePartyLog": b"rescue\n", "b_RescuePartyLog": b"second\n"})
    prefix = READ_ONLY_CACHE + " && " if case != "folder" else ""
    res = dev.run(["sh", "-c", prefix + "exec quillon --log"], server=True, timeout=60)
    out = res.stdout.decode(errors="replace")
    # Killed by SIGPIPE before: 141 from the shell, -13 from exec.
    assert res.returncode == 0, (res.returncode, out)
    assert f'fopen "{LAST_LOG}" failed' in out
    assert "I:>> Bye bye, Quillon\n" in out
    assert out.count(", ret=0\n") == 2
    assert sorted(base64.b64decode(f["data"]) for e in posts(dev, LOG_PATH)
                  for f in e["fields"] if f["name"] == "file") == [b"rescue\n", b"second\n"]


def start_diag(make_device, log_kind):
    """quillon --diag on a device with one event, once it has recorded its pid."""
    dev = log_device(make_device, log_kind)
    write_store(dev, {"download_status": "7"})
    drv = Driver(dev, ["--diag"])
    pidfile = dev.path("/cache/norvo/diagpid")
    try:
        dev.wait_for(lambda: pidfile.exists() and pidfile.read_text())
    except BaseException:
        drv.close()
        raise
    return dev, drv


def test_diag_without_writable_log_still_posts(build_dir, make_device):
    dev, drv = start_diag(make_device, "folder")
    try:
        for n in (1, 2):
            assert drv.ask("usr1 1") == "sent"
            dev.wait_for(lambda: len(posts(dev)) == n, timeout=20)
            assert drv.ask("status") == "running"
        assert posts(dev)[0]["json"] == {"events": [{"download_status": "7"}]}
        out = drv.output()
        assert f'fopen "{LAST_LOG}" failed' in out
        assert "I:succ to post data" in out
    finally:
        drv.close()


def test_diag_outlives_its_log_writer(build_dir, make_device):
    dev, drv = start_diag(make_device, "file")
    try:
        log = dev.path(LAST_LOG)
        dev.wait_for(lambda: "is starting" in log.read_text())
        killed = drv.ask("killwriter").split()
        assert killed[0] == "killed" and len(killed) == 2, killed
        # Every line now meets a pipe without reader: EPIPE, not the end.
        for n in (1, 2):
            assert drv.ask("usr1 1") == "sent"
            dev.wait_for(lambda: len(posts(dev)) == n, timeout=20)
            assert drv.ask("status") == "running"
        assert "trigger to upload data" not in log.read_text()
    finally:
        drv.close()


def test_corvane_runs_with_an_unwritable_log(build_dir, make_device):
    # corvane keeps its output on the console and never opens last_log; a folder
    # there must change nothing in its first stage. (A read-only /cache is a
    # failure of corvane's own records, not of its log.)
    dev = make_device({"ro.bootimage.name": "norvo"})
    dev.path(LAST_LOG).mkdir(parents=True)
    dev.put_package("V2.0.1/norvo-update.zip", b"package")  # the ROM URL check's target
    res = dev.run(["corvane", "--run_from_command", "2"], server=True, timeout=60)
    assert res.returncode == 0
    lines = res.stdout.decode(errors="replace").splitlines()
    # 2:s:0 has no line end of its own.
    status = [l for l in lines if re.match(r"\d:[sf]\b", l)]
    assert status[:2] == ["0:s", "1:s"] and status[2].startswith("2:s:0"), status


# -- the snapshot --------------------------------------------------------------------------

def test_snapshot_posts_nul_bytes_and_bounds_the_rest(build_dir, make_device):
    dev = make_device()
    dev.path("/cache/norvo").mkdir(parents=True)
    events = dev.path("/tmp/zel/events")
    (events / "nul").write_bytes(b"ab\0cd")
    (events / "plain").write_bytes(b"7")
    (events / "big").write_bytes(b"x" * (64 * 1024 + 100))
    deep = dev.path("/tmp/zel/deep")
    nested = deep
    for _ in range(18):
        nested = nested / "d"
    nested.mkdir(parents=True)
    drv = Driver(dev, ["--diag"])
    try:
        pidfile = dev.path("/cache/norvo/diagpid")
        dev.wait_for(lambda: pidfile.exists() and pidfile.read_text())
        assert drv.ask("usr1 1") == "sent"
        entry = dev.wait_for(lambda: posts(dev), timeout=20)[0]
        body = base64.b64decode(entry["body"])
        assert b'"nul":\t"ab\\u0000cd"' in body
        got = json.loads(body)["events"][0]
        assert got["nul"] == "ab\0cd" and got["plain"] == "7"
        assert got["big"] == "x" * 64 * 1024
        assert dev.path("/cache/norvo/last_tmp").read_bytes() == body
        out = dev.wait_for(lambda: "succ to post data" in drv.output() and drv.output())
        assert "value of /tmp/zel/events/big cut to its first 65536 bytes" in out
        left_out = "/tmp/zel/deep" + "/d" * 16
        assert re.search(r"\bW?.*skip " + re.escape(left_out) + ": nested too deep", out), out
    finally:
        drv.close()


# -- an upload server that never answers ---------------------------------------------------

def test_log_pass_ends_against_a_silent_server(build_dir, device):
    limit = 2
    make_zelas(device, {"a_RescuePartyLog": b"one\n", "b_RescuePartyLog": b"two\n"})
    # The server takes the request and then waits an hour before answering.
    device.server_config({"faults": {LOG_PATH: {"delay": 3600}}})
    start = time.monotonic()
    res = device.run(["sh", "-c", f"NORVO_QUILLON_MAX_TIME={limit} exec quillon --log"],
                     server=True, timeout=45)
    elapsed = time.monotonic() - start
    assert res.returncode == 0
    err = res.stderr.decode(errors="replace")
    runs = re.findall(r"Uploaded: curl .*file=@/cache/zelas/(\w+)\", ret=(\d+)", err)
    # Both files are tried, each ended by the time limit (curl's exit 28).
    assert sorted(runs) == [("a_RescuePartyLog", str(28 << 8)), ("b_RescuePartyLog", str(28 << 8))]
    assert err.rstrip().endswith(">> Bye bye, Quillon")
    # Two limits and the device's start-up (server included), with room for a slow machine.
    assert elapsed < 2 * limit + 15, elapsed


@pytest.mark.serial
def test_tree_of_dangling_links_does_not_hold_the_diag_post(build_dir, make_device):
    """Entries the snapshot skips count against its budget: a folder of dangling links,
    reached through many links to it, once cost a look at every link through every path."""
    dev, drv = start_diag(make_device, "folder")
    try:
        events = dev.path("/tmp/zel/events")
        dead = events.parent / "dead"
        dead.mkdir()
        for i in range(20_000):
            (dead / f"l{i}").symlink_to("/nonexistent/target")
        for i in range(200):
            (events / f"to{i}").symlink_to("/tmp/zel/dead")
        asked = time.monotonic()
        assert drv.ask("usr1 1") == "sent"
        dev.wait_for(lambda: len(posts(dev)) == 1, timeout=120)
        took = time.monotonic() - asked
        print(f"diag post after {took:.2f} s")
        assert took < 3.0, took
        assert "W:snapshot full" in drv.output()
    finally:
        drv.close()
