"""The first stage in the emulated device against the reference server: clock
synchronisation, the update check and the ROM URL check, in the command mode and
through the front end's pipes."""
import base64
import calendar
import email.utils
import functools
import json
import os
import re
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools", "refserver"))
import wire  # noqa: E402
from norvo_driver import DEVICE_PROPS, FIRST, TEST_PHONE_PROPS, Stage  # noqa: E402

RELEASE_PROPS = {"ro.build.tags": "release-keys"}
ROM = {"version": "V2.0.1", "filename": "norvo-update.zip", "filesize": "1.5G",
       "Validate": "validate-me", "md5": "0123456789abcdef0123456789abcdef"}
MIRRORS = ["https://secure.norvo.test/pkgs", "http://update.norvo.test/pkgs"]


def lines(out: bytes) -> list:
    return out.decode(errors="replace").splitlines()


STATUS = re.compile(r"^([0-2]:[sf](?::(?:\d+|CURLE_OPERATION_TIMEDOUT))?)")


def status_lines(out: bytes) -> list:
    """The status lines of a command-mode run. They share standard output with the log,
    and the ROM URL check's line has no line end, so the next log line follows on it."""
    found = []
    for line in lines(out):
        match = STATUS.match(line)
        if match:
            found.append(match.group(1))
    return found


def offer(device, answer="rom", **extra):
    config = {"catalogue": [{"d": "vexa_one", "LatestRom": ROM}], "mirrors": MIRRORS,
              "answer": answer}
    config.update(extra)
    device.server_config(config)
    # The ROM URL check asks for the package's head: it must be there.
    device.put_package("V2.0.1/norvo-update.zip", b"package")


def requests(device, method=None, path=None):
    return [r for r in device.server_log()
            if (method is None or r["method"] == method) and (path is None or r["path"] == path)]


def header(request, name):
    for key, value in request["headers"]:
        if key.lower() == name.lower():
            return value
    return None


@pytest.fixture
def phone(make_device, build_dir):
    """The updater environment of a test-keys build: records stay in the device's /tmp
    (visible from the host after the run) and every dump is allowed."""
    return make_device(props=TEST_PHONE_PROPS)


# -- clock synchronisation ------------------------------------------------------------------

def test_time_sync_sets_clock_property_records_and_dump(phone):
    date = "Tue, 08 Dec 2026 05:00:00 GMT"
    phone.server_config({"date": date})
    result = phone.run(["corvane", "--run_from_command", "0"], server=True)
    out = lines(result.stdout)
    assert result.returncode == 0
    assert status_lines(result.stdout) == ["0:s"]
    assert out.index("0:s") > out.index("I:>> SyncServerTime is running...")
    seconds = calendar.timegm(email.utils.parsedate(date))
    # The sandbox refuses to set the clock: the line carries the EPERM result.
    assert f"{seconds} 0 1 Operation not permitted" in out
    assert "I:this is the last task, byebye" in out

    heads = requests(phone, "HEAD", "/")
    assert len(heads) == 1
    assert header(heads[0], "Host") == "update.norvo.test"
    assert header(heads[0], "Cache-Contorl") == "no-cache"
    # "Cookie:" with no value tells libcurl to send no Cookie header at all.
    assert header(heads[0], "Cookie") is None
    assert header(heads[0], "Content-type") == "application/x-www-form-urlencoded"
    assert len(requests(phone)) == 1, "no update check may follow stage 0"

    assert phone.getprop("norvo.timesync.ready") == "1"
    raw = phone.path("/cache/norvo/time").read_bytes()
    assert raw.startswith(b"HTTP/1.") and f"Date: {date}\r\n".encode() in raw
    assert phone.path("/tmp/download/status").read_bytes() == b"SyncServerTime"
    assert phone.path("/tmp/zel/events/download_status").read_bytes() == b"0"
    assert phone.path("/tmp/zel/events/download_reason").read_bytes() == b""
    assert phone.path("/cache/norvo/download/LatestRom").is_dir()
    assert phone.path("/cache/norvo/download/request.norvo.uncrypted").exists()


def test_time_sync_without_date_fails_step_zero_and_leaves_clock_alone(phone):
    phone.server_config({"date": None})
    # Up to the update check: a failed step 0 ends the chain before it.
    result = phone.run(["corvane", "--run_from_command", "1"], server=True)
    out = lines(result.stdout)
    assert status_lines(result.stdout) == ["0:f:122"]
    assert not any(l.endswith("Operation not permitted") or l.startswith("-1 0") for l in out)
    assert ("E:no Date header in the server's answer, the clock is left unchanged" in out)
    assert phone.getprop("norvo.timesync.ready") is None
    assert requests(phone, "POST") == []


def test_time_sync_refused_and_timed_out(phone):
    phone.server_config({"refuse": [80]})
    refused = phone.run(["corvane", "--run_from_command", "1"], server=True)
    assert status_lines(refused.stdout) == ["0:f:7"]
    assert "E:in 0, function for 7 has not been registed" in lines(refused.stdout)
    assert phone.path("/tmp/zel/events/download_status").read_bytes() == b"7"

    phone.server_config({"root_delay": 6})
    slow = phone.run(["corvane", "--run_from_command", "1"], server=True)
    assert status_lines(slow.stdout) == ["0:f:CURLE_OPERATION_TIMEDOUT"]
    assert requests(phone, "POST") == []
    assert phone.getprop("norvo.timesync.ready") is None


# -- environments and command line ------------------------------------------------------------

@pytest.mark.parametrize("environment, moved", [("android", True), ("recovery", True),
                                                 ("norvo", False)])
def test_record_paths_follow_environment(make_device, build_dir, environment, moved):
    device = make_device(props={"ro.bootimage.name": environment})
    result = device.run(["sh", "-c", "corvane --run_from_command 0 >/dev/null 2>&1; "
                         "grep ' /cache/tmp ' /proc/mounts; cat /cache/tmp/download/status; "
                         "echo; cat /tmp/download/status"], server=True)
    out = result.stdout.decode()
    if moved:
        assert "tmpfs" in out
        assert out.splitlines()[1:] == ["SyncServerTime"]
    else:
        assert "tmpfs" not in out
        assert out.splitlines() == ["", "SyncServerTime"]


@pytest.mark.parametrize("argv, expected", [
    (["--run_from_command"], "argc"),
    (["--run_from_command", "0", "x", "y"], "argc"),
    (["--foo"], "wrong command format --foo"),
    (["--run_from_fork", "--first_stage"], "wrong command format --run_from_fork"),
    (["--run_from_fork", "--first_stage", "99", "98"], "cannot open the status stream"),
])
def test_bad_command_lines_explain_and_exit_zero(phone, argv, expected):
    result = phone.run(["corvane"] + argv)
    assert result.returncode == 0
    assert expected in (result.stdout + result.stderr).decode()
    assert requests(phone) == []


# -- update check and ROM URL check ---------------------------------------------------------------

def test_first_stage_through_pipes_offers_rom(phone):
    offer(phone)
    stage = Stage(FIRST, start=functools.partial(phone.popen, server=True))
    status = stage.read_to_end(60)
    assert stage.wait(60) == 0
    assert status == "0:s\n1:s\n2:s:0"

    post = requests(phone, "POST", "/updates/kootaV3.php")[0]
    assert header(post, "Host") == "update.norvo.test"
    query = json.loads(post["query"])
    assert query["d"] == "vexa_one" and query["v"] == "VEXA-V1.0.0" and query["bv"] == "12"
    assert query["l"] == "zh-CN" and query["r"] == "CN" and query["c"] == "10"
    assert query["options"] == {"zone": "1", "ab": "0", "express": "0"}
    assert list(query)[-1] == "options"
    body = base64.b64decode(post["body"])
    assert wire.decode_query(body).decode() == post["query"]

    record = phone.path("/tmp/download/LatestRom")
    assert (record / "version").read_text() == "V2.0.1"
    assert (record / "filename").read_text() == "norvo-update.zip"
    assert (record / "curr_version").read_text() == "VEXA-V1.0.0"
    assert (record / "filesize").read_text() == "1610612736"
    assert (record / "Validate").read_text() == "validate-me"
    assert (record / "md5").read_text() == ROM["md5"]
    assert [(record / str(i) / "host").read_text() for i in range(2)] == MIRRORS
    assert os.readlink(phone.path("/tmp/download/CurrentRom")) == "/tmp/download/LatestRom"

    head = requests(phone, "HEAD", "/pkgs/V2.0.1/norvo-update.zip")
    assert len(head) == 1 and header(head[0], "Host") == "update.norvo.test"
    dump = phone.path("/cache/norvo/download")
    assert (dump / "CurrentRom").read_text() == "LatestRom"
    assert (dump / "LatestRom" / "version").read_text() == "V2.0.1"
    assert (dump / "response.norvo.uncrypted").read_text() == \
        phone.path("/tmp/download/response.uncrypted").read_text()


def test_release_build_in_recovery_dumps_only_allowed_entries(make_device, build_dir):
    device = make_device(props=dict(DEVICE_PROPS, **RELEASE_PROPS,
                                    **{"ro.bootimage.name": "recovery"}))
    offer(device)
    result = device.run(["corvane", "--run_from_command", "2"], server=True)
    assert status_lines(result.stdout)[-1] == "2:s:0"
    dump = device.path("/cache/norvo/download")
    assert (dump / "LatestRom" / "version").read_text() == "V2.0.1"
    assert not (dump / "LatestRom" / "Validate").exists()
    assert not (dump / "LatestRom" / "filesize").exists()
    assert not (dump / "request.recovery.uncrypted").exists()
    assert any("only in test-keys" in l for l in lines(result.stdout))


@pytest.mark.parametrize("current, expected", [({"version": "VEXA-V1.0.0"}, "VEXA-V1.0.0"),
                                               (None, "VEXA-V1.0.0 (N/A)")])
def test_no_rom_offered(phone, current, expected):
    phone.server_config({"answer": "norom", "wrap_lf": True,
                         "catalogue": [{"d": "vexa_one", "CurrentRom": current}]})
    result = phone.run(["corvane", "--run_from_command", "2"], server=True)
    assert status_lines(result.stdout) == ["0:s", "1:s", "2:s:2"]
    record = phone.path("/tmp/download/LatestRom")
    assert (record / "version").read_text() == "???"
    assert (record / "curr_version").read_text() == expected
    assert requests(phone, "HEAD", "/pkgs/V2.0.1/norvo-update.zip") == []
    assert "I:>> No available rom to update!!" in lines(result.stdout)


def test_rom_array_and_undecodable_json_mean_no_rom(phone):
    offer(phone, answer="array")
    assert status_lines(phone.run(["corvane", "--run_from_command", "2"],
                                  server=True).stdout)[-1] == "2:s:2"
    phone.server_config({"answer": "badjson", "answer_text": "{\"LatestRom\": {"})
    result = phone.run(["corvane", "--run_from_command", "2"], server=True)
    assert status_lines(result.stdout) == ["0:s", "1:s", "2:s:2"]


@pytest.mark.parametrize("config, message", [
    ({"answer": "garbage"}, "failed to use"),
    ({"answer": "notbase64"}, "failed to use base64 to decode /cache/norvo/response.body"),
    ({"answer": "http_status", "http_status": 500}, "failed to use base64 to decode"),
    ({"answer": "raw", "raw_body": "\n\n" + wire.encode_answer(b"{}").decode()},
     "failed to use base64 to decode"),
    ({"answer": "raw", "raw_body_b64": base64.b64encode(
        wire.b64encode(wire.encrypt(b"{}"))[:-4] + b"AAAA").decode()},
     "failed to use aes-128-cbc to decrypt /cache/norvo/response.body"),
])
def test_bad_answers_fail_with_26(phone, config, message):
    phone.server_config(config)
    result = phone.run(["corvane", "--run_from_command", "2"], server=True)
    assert status_lines(result.stdout) == ["0:s", "1:f:26"]
    assert any(message in l for l in lines(result.stdout))
    assert requests(phone, "HEAD", "/pkgs/V2.0.1/norvo-update.zip") == []


def test_slow_update_check_times_out(phone):
    offer(phone, answer_delay=6)
    result = phone.run(["corvane", "--run_from_command", "2"], server=True)
    assert status_lines(result.stdout) == ["0:s", "1:f:CURLE_OPERATION_TIMEDOUT"]


def test_unwritable_response_file_fails_before_posting(phone):
    offer(phone)
    result = phone.run(["sh", "-c", "mkdir -p /cache/norvo/response.body && "
                        "corvane --run_from_command 2"], server=True)
    assert status_lines(result.stdout) == ["0:s", "1:f:23"]
    assert requests(phone, "POST") == []


def test_command_digit_one_stops_after_update_check(phone):
    offer(phone)
    result = phone.run(["corvane", "--run_from_command", "1"], server=True)
    assert status_lines(result.stdout) == ["0:s", "1:s"]
    assert requests(phone, "HEAD", "/pkgs/V2.0.1/norvo-update.zip") == []


# -- replay switches ------------------------------------------------------------------------

CAPTURED_QUERY = b'{"d":"captured"}'


def captured_body():
    return b"q=" + wire.b64encode(wire.encrypt(CAPTURED_QUERY)).replace(b"+", b"%2B").replace(
        b"/", b"%2F").replace(b"=", b"%3D") + b"&t=&s=1\n"


def setup_replay(device):
    cache = device.path("/cache/norvo/download")
    cache.mkdir(parents=True, exist_ok=True)
    (cache / "request.android.encrypted").write_bytes(captured_body())
    (cache / "request.android.uncrypted").write_bytes(CAPTURED_QUERY)
    (cache / "response.android.uncrypted").write_text(json.dumps(
        {"LatestRom": ROM, "CurrentRom": None, "MirrorList": ["http://replay.norvo.test/r"]}))
    device.path("/cache/norvo/enable_android_request").write_text("1")
    device.path("/cache/norvo/enable_android_response").write_text("1")


@pytest.mark.parametrize("environment", ["norvo", "recovery", "android"])
def test_replay_switches(make_device, build_dir, environment):
    device = make_device(props=dict(DEVICE_PROPS, **{"ro.bootimage.name": environment}))
    setup_replay(device)
    offer(device)
    base = "/tmp/download" if environment == "norvo" else "/cache/tmp/download"
    # Outside the updater environment the records live in a tmpfs of the sandbox:
    # read them inside.
    result = device.run(["sh", "-c", "corvane --run_from_command 1; echo; "
                         f"cat {base}/LatestRom/0/host; echo; cat {base}/request.uncrypted"],
                        server=True)
    assert status_lines(result.stdout) == ["0:s", "1:s"]
    out = lines(result.stdout)
    post = requests(device, "POST", "/updates/kootaV3.php")[0]
    body = base64.b64decode(post["body"])
    if environment == "android":
        assert body != captured_body() and post["query"] != CAPTURED_QUERY.decode()
    else:
        # Posted byte for byte, trailing line end included.
        assert body == captured_body()
    if environment == "norvo":
        # Answer replay: the captured clear answer decides, whatever the server said.
        assert out[-2:] == ["http://replay.norvo.test/r", CAPTURED_QUERY.decode()]
    elif environment == "recovery":
        # Request replay only: the server answered the captured query, which asks for
        # an unknown device, so no ROM record was written.
        assert out[-1] == CAPTURED_QUERY.decode()
        assert "I:>> No available rom to update!!" in out
    else:
        assert MIRRORS[0] in out and out[-1] == "}"
