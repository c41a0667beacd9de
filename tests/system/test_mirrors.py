"""Mirror failover in the emulated device: the ROM URL check and the download move on to the
next mirror of the ROM record when one fails, and every download leaves its figures in the
event store, which quillon's next snapshot carries.

The mirrors are one reference server on several ports (``extra_ports``); the server's
``mirror_faults`` give each mirror its own faults, and its request log names the mirror
each request addressed.
"""
import functools
import hashlib
import re
import time

import pytest
from conftest import describe_processes
from norvo_driver import NO_KEY_STORE, SECOND, TEST_PHONE_PROPS, Stage, package_bytes
from test_quillon import Driver, posts

HOST = "update.norvo.test"
PORTS = [8081, 8082, 8083]
MIRRORS = [f"http://{HOST}:{port}/pkgs" for port in PORTS]
PATH = "/pkgs/V2/pkg.zip"
FIXED = ("NORVO_FIXED_BACKOFF=1",)


def make_package(size, seed=3):
    return package_bytes(size, seed)


@pytest.fixture
def phone(make_device, build_dir):
    return make_device(props=TEST_PHONE_PROPS, options=NO_KEY_STORE)


def offer(dev, data, mirrors=MIRRORS, mirror_faults=(), rom=None, **extra):
    """The catalogue offers V2/pkg.zip (its size and MD5 from the file unless `rom` says
    otherwise) on `mirrors`, each with its faults."""
    dev.put_package("V2/pkg.zip", data)
    latest = {"version": "V2", "filename": "pkg.zip", "Validate": "v"}
    latest.update(rom or {})
    config = {"catalogue": [{"d": "vexa_one", "LatestRom": latest}], "mirrors": list(mirrors),
              "extra_ports": PORTS, "mirror_faults": list(mirror_faults)}
    config.update(extra)
    dev.server_config(config)


def command(dev, digit, timeout=90):
    """corvane --run_from_command DIGIT: (status lines, whole output)."""
    result = dev.run(["env", *FIXED, "corvane", "--run_from_command", str(digit)], server=True,
                     timeout=timeout)
    out = result.stdout.decode(errors="replace")
    # Status lines share standard output with the log; 2:s:0 has no line end.
    found = re.findall(r"^([0-3]:[sfpcrm](?::(?:\d+|CURLE_OPERATION_TIMEDOUT)?)?)", out, re.M)
    return [line for line in found if not line.startswith(("3:p:", "3:s:"))], out


def second_stage(dev, url_path=PATH, port=PORTS[0], env=FIXED):
    return Stage(SECOND, "http://", f"{HOST}:{port}", url_path, env_prefix=env,
                 describe=describe_processes, start=functools.partial(dev.popen, server=True))


def record_for(dev):
    """The first stage's ROM record, written by the command mode's first three steps."""
    lines, out = command(dev, 2)
    assert "2:s:0" in lines, out
    return lines


def requests(dev, method=None, mirror=None):
    return [e for e in dev.server_log() if e["path"] == PATH
            and (method is None or e["method"] == method)
            and (mirror is None or e.get("mirror") == mirror)]


def range_start(entry):
    for name, value in entry["headers"]:
        if name.lower() == "range":
            return int(re.fullmatch(r"bytes=(\d+)-", value).group(1))
    return 0


def package(dev):
    return dev.path("/tmp/secure_update.zip").read_bytes()


def test_dead_first_mirror_is_skipped_by_the_check_and_the_download(phone):
    data = make_package(200_000)
    # An https mirror first (never chosen), then mirror 1 that answers 404, then a good one.
    offer(phone, data, mirrors=["https://update.norvo.test/pkgs", *MIRRORS[:2]],
          mirror_faults=[{}, {"status": [404] * 20}, {}])
    lines, out = command(phone, 3)
    # The check found mirror 2, so the download starts there: no failover line.
    assert lines == ["0:s", "1:s", "2:s:0", "3:c:"], out
    assert re.search(r"W:>> RomInfo skips mirror 1 \(http://update\.norvo\.test:8081/pkgs/V2/"
                     r"pkg\.zip\): HTTP error \(22\)", out), out
    assert package(phone) == data
    # Mirror 1 saw only the check's HEAD; the package came from mirror 2 alone.
    assert [e["method"] for e in requests(phone, mirror=1)] == ["HEAD"]
    assert [e["method"] for e in requests(phone, mirror=2)] == ["HEAD", "GET"]
    assert requests(phone, mirror=0) == []


def test_every_mirror_failing_the_check_gives_one_failure_line(phone):
    offer(phone, b"x" * 1000, mirror_faults=[{"status": [404] * 9}, {"status": [503] * 9},
                                            {"status": [410] * 9}])
    lines, out = command(phone, 3)
    assert lines == ["0:s", "1:s", "2:f:22"], out
    assert [e.get("mirror") for e in requests(phone)] == [0, 1, 2]
    assert len(re.findall(r"W:>> RomInfo skips mirror \d", out)) == 2, out


def test_check_of_unreachable_mirrors_stays_within_its_time_limit(phone):
    # Mirror 0 takes every connection and never answers (port 9, the server's black
    # hole); mirror 1 refuses; mirror 2 answers. Each costs at most the check's 5 s.
    offer(phone, b"y" * 1000,
          mirrors=[f"http://{HOST}:9/pkgs", MIRRORS[1], MIRRORS[2]], refuse=[PORTS[1]])
    start = time.monotonic()
    lines, out = command(phone, 2)
    assert time.monotonic() - start < 20
    assert lines == ["0:s", "1:s", "2:s:0"], out
    assert "RomInfo skips mirror 0" in out and "RomInfo skips mirror 1" in out
    assert [e.get("mirror") for e in requests(phone)] == [2]


@pytest.mark.slow
def test_cut_then_refusing_mirror_hands_over_the_missing_bytes(phone):
    data = make_package(400_000)
    cut = 150_000
    # Mirror 0 answers the check's HEAD, cuts the GET after `cut` bytes and then stops
    # listening; mirror 1 has the rest.
    offer(phone, data, mirror_faults=[{"drop_after": [cut] * 3, "refuse_after": 2}, {}])
    lines, out = command(phone, 3)
    assert package(phone) == data, out
    attempts = [line for line in lines if line.startswith("3:")]
    # The cut, three connections refused (the third hands over), the next mirror.
    assert attempts[:4] in (["3:f:18", "3:f:7", "3:f:7", "3:f:7"],
                            ["3:f:56", "3:f:7", "3:f:7", "3:f:7"]), out
    assert attempts[4:] == ["3:m:1", "3:c:"], out
    gets0 = requests(phone, "GET", mirror=0)
    gets1 = requests(phone, "GET", mirror=1)
    assert len(gets0) == 1 and gets0[0]["sent"] == cut
    # The record has an MD5, so only the missing bytes came from mirror 1, with no
    # If-Range: mirror 0's validator does not vouch for anything on mirror 1.
    assert [range_start(e) for e in gets1] == [cut]
    assert not any(k.lower() == "if-range" for k, _ in gets1[0]["headers"])
    assert gets1[0]["sent"] == len(data) - cut


@pytest.mark.slow
def test_without_an_md5_the_next_mirror_starts_over(phone):
    data = make_package(300_000)
    offer(phone, data, mirror_faults=[{"drop_after": [100_000] * 3, "refuse_after": 2}, {}],
          rom={"md5": ""})
    lines, out = command(phone, 3)
    assert package(phone) == data, out
    assert "3:m:1" in lines and lines[-1] == "3:c:", out
    assert [range_start(e) for e in requests(phone, "GET", mirror=1)] == [0]


@pytest.mark.slow
def test_every_mirror_failing_the_download_gives_one_final_line(phone):
    data = make_package(300_000)
    # The record says 1 MiB; every mirror serves 300 kB: a wrong size, whoever is asked.
    offer(phone, data, rom={"filesize": "1.0M", "md5": hashlib.md5(data).hexdigest()})
    record_for(phone)
    run = second_stage(phone, port=PORTS[1])
    text = run.finish(timeout=60)
    lines = text.splitlines()
    finals = [line for line in lines if re.fullmatch(r"3:f:(\d{3,})", line)]
    assert finals == [lines[-1]] and finals == ["3:f:118"], text
    # Mirror 1 (the one given) first, then 2, then 0: each gave up on three times.
    assert [line for line in lines if line.startswith("3:m:")] == ["3:m:2", "3:m:0"], text
    gets = requests(phone, "GET")
    assert [e["mirror"] for e in gets] == [1, 1, 1, 2, 2, 2, 0, 0, 0]


# A mirror that fails for ever in a way that retrying could mend is left after three
# attempts in a row without a new byte, as a dead one is.
FOREVER = {
    "503": ({"status": [503] * 50}, "3:f:22"),
    "429 past its Retry-After": ({"status": [429] * 50, "headers": [["Retry-After", "1"]]},
                                 "3:f:22"),
    "headers, then a stall": ({"stall_after": 0}, "3:f:28"),
    "cut before the first byte": ({"drop_after": [0] * 50}, "3:f:18"),
}


@pytest.mark.slow
@pytest.mark.parametrize("fault", list(FOREVER))
def test_mirror_failing_for_ever_is_left_for_the_next(phone, fault):
    faults, line = FOREVER[fault]
    data = make_package(200_000)
    offer(phone, data)
    record_for(phone)
    offer(phone, data, mirror_faults=[faults, {}])
    run = second_stage(phone, env=FIXED + ("NORVO_LOW_SPEED_TIME=1",))
    text = run.finish(timeout=60)
    lines = [l for l in text.splitlines() if not l.startswith(("3:p:", "3:s:"))]
    assert lines == [line] * 3 + ["3:m:1", "3:c:"], text
    assert package(phone) == data
    assert [e["mirror"] for e in requests(phone, "GET")] == [0, 0, 0, 1]
    assert "3 attempts in a row brought no new byte" in run.log, run.log[-3000:]


@pytest.mark.slow
def test_every_mirror_failing_for_ever_goes_round_them_waiting_longer(phone):
    data = make_package(50_000)
    offer(phone, data, mirrors=MIRRORS[:2])
    record_for(phone)
    offer(phone, data, mirrors=MIRRORS[:2], mirror_faults=[{"status": [503] * 50}] * 2)
    run = second_stage(phone)
    # Three attempts on mirror 0, three on mirror 1, then mirror 0 once more; its own
    # pacing has grown meanwhile, so the wait before its next attempt is 8 s.
    run.wait_for(r"(3:f:22\n){3}3:m:1\n(3:f:22\n){3}3:m:0\n3:f:22\n", timeout=60)
    phone.wait_for(lambda: len(requests(phone, "GET")) == 7)
    run.send("s\n")
    text = run.finish(timeout=10)
    assert text.endswith("3:m:0\n3:f:22\n3:r:s"), text
    assert [e["mirror"] for e in requests(phone, "GET")] == [0, 0, 0, 1, 1, 1, 0]
    # The fixed schedule: mirror 0 waits 1 s and 2 s, mirror 1 (its first visit) 1, 2, 4,
    # then mirror 0 goes on from its 4 s and 8 s: a fleet is not brought back faster.
    waits = [int(ms) for ms in re.findall(r"retries in (\d+) ms", run.log)]
    assert waits == [1000, 2000, 1000, 2000, 4000, 4000, 8000], run.log[-3000:]
    assert "goes on from mirror 0 (http://update.norvo.test:8081/pkgs/V2/pkg.zip), once more" \
        in run.log


@pytest.mark.serial
def test_stop_while_changing_mirrors_is_obeyed_within_a_second(phone):
    data = make_package(100_000)
    # Mirror 0 refuses every connection; mirror 1 (port 9) takes connections and never
    # answers, so the stop comes while the next mirror is waited for or connected to.
    offer(phone, data, mirrors=[MIRRORS[0], f"http://{HOST}:9/pkgs"])
    record_for(phone)
    offer(phone, data, mirrors=[MIRRORS[0], f"http://{HOST}:9/pkgs"], refuse=[PORTS[0]])
    run = second_stage(phone)
    run.wait_for(r"3:m:1\n", timeout=30)
    run.send("s\n")
    start = time.monotonic()
    text = run.finish(timeout=10)
    assert time.monotonic() - start < 1.0, text
    assert text.endswith("3:m:1\n3:r:s"), text


@pytest.mark.slow
def test_download_figures_reach_the_quality_service(phone):
    data = make_package(250_000)
    cut = 90_000
    offer(phone, data, mirror_faults=[{"drop_after": [cut] * 3, "refuse_after": 2}, {}])
    lines, out = command(phone, 3)
    assert lines[-1] == "3:c:" and package(phone) == data, out
    phone.path("/cache/norvo").mkdir(parents=True, exist_ok=True)
    drv = Driver(phone, ["--diag"])
    try:
        pidfile = phone.path("/cache/norvo/diagpid")
        phone.wait_for(lambda: pidfile.exists() and pidfile.read_text())
        assert drv.ask("usr1 1") == "sent"
        snapshot = phone.wait_for(lambda: posts(phone))[0]["json"]
    finally:
        drv.close()
    events = snapshot["events"][0]
    figures = {k[len("download_figures_"):]: v for k, v in events.items()
               if k.startswith("download_figures_")}
    gets = requests(phone, "GET")
    # What the server saw: the bytes it sent for the package, one request per attempt
    # that connected, and the mirror that sent the last bytes.
    assert int(figures["received"]) == sum(e["sent"] for e in gets) == len(data)
    assert figures["resumed"] == "0"
    assert figures["size"] == str(len(data))
    assert figures["mirrors"] == "0,1" and figures["mirror"] == "1"
    assert figures["mirror"] == str(gets[-1]["mirror"])
    assert figures["final"] == "0"
    # Attempts count the requests made, refused connections included (they made none).
    refused = lines.count("3:f:7")
    assert int(figures["attempts"]) == len(gets) + refused == 2 + refused
    retries = dict(item.split(":") for item in figures["retries"].split(","))
    assert retries.get("7") == str(refused) and sum(map(int, retries.values())) == refused + 1
    duration = int(figures["duration_ms"])
    assert duration > 0 and int(figures["speed"]) == len(data) * 1000 // duration
    # The result records stay as they were: the last one is the download's 0.
    assert events["download_status"] == "0"


def test_package_failing_its_signature_moves_on_to_the_next_mirror(make_device, build_dir):
    # A device with the key store: "complete" means signed. Mirror 0 serves the same
    # package unsigned (under its own path prefix), mirror 1 the signed one; the record
    # has no MD5, so only the signature check can tell them apart.
    from test_signature import flip, package as signed_package
    dev = make_device(props=TEST_PHONE_PROPS)
    good = signed_package(build_dir)
    bad = flip(good, len(good) // 2)
    dev.put_package("bad/V2/pkg.zip", bad)
    offer(dev, good, mirrors=[f"http://{HOST}:{PORTS[0]}/pkgs/bad", MIRRORS[1]],
          rom={"md5": ""})
    lines, out = command(dev, 3)
    attempts = [line for line in lines if line.startswith("3:")]
    assert attempts == ["3:f:62", "3:f:62", "3:f:62", "3:m:1", "3:c:"], out
    assert package(dev) == good
    # Without an MD5 nothing carries over: mirror 1 sends the whole package.
    assert [range_start(e) for e in dev.server_log() if e["method"] == "GET"
            and e.get("mirror") == 1] == [0]
