"""A stop is obeyed within a second in every state of the download, and a task that cannot
succeed ends with a final line instead of retrying for ever."""
import os
import re
import time

import pytest
import test_first_stage
from norvo_driver import DEVICE_PROPS, NO_KEY_STORE, UPDATER_PROPS
from test_download import PKG, Download, downloads, make_package, serve

FIXED = ("NORVO_FIXED_BACKOFF=1",)
STOP_LIMIT = 1.0


@pytest.fixture
def updater(make_device, build_dir):
    return make_device(props=UPDATER_PROPS, options=NO_KEY_STORE)


def _downloading(dev):
    serve(dev, make_package(4 << 20), {PKG: {"throttle": 200_000}})
    return {}, r"3:p:\d+\n"


def _paused(dev):
    serve(dev, make_package(4 << 20), {PKG: {"throttle": 200_000}})
    return {"pause": True}, r"3:r:p\n"


def _backing_off(dev):
    # The server asks for 30 s: after the first failure the download is certainly waiting.
    serve(dev, make_package(10_000), {PKG: {"status": [503] * 20,
                                            "headers": [["Retry-After", "30"]]}})
    return {}, r"3:f:22\n"


def _resolving(dev):
    # The host is in no hosts file and the only name server never answers.
    serve(dev, make_package(10_000))
    return {"host": "silent.norvo.test", "options": ("--nameserver", "127.0.0.1")}, None


def _connecting(dev):
    # Port 9 of the device drops every connection attempt.
    serve(dev, make_package(10_000))
    return {"host": "127.0.0.1:9"}, None


def _trickle(dev):
    serve(dev, make_package(100_000), {PKG: {"throttle": 1}})
    return {}, None


def _full_status_pipe(dev):
    # The front end stopped reading: its pipe is all but full before corvane starts.
    serve(dev, make_package(8 << 20), {PKG: {"throttle": 2_000_000}})
    return {"status_pipe_size": 4096, "status_prefill": b"#" * 4000}, None


def _full_pipe_queued_replies(dev):
    # The same unread pipe, and then twenty pause/continue pairs ahead of the stop: each
    # reply would wait for room the front end never makes.
    setup, ready = _full_status_pipe(dev)
    return dict(setup, queue=b"p\nc\n" * 20), ready


def _fifo_record(dev):
    serve(dev, make_package(100_000), {PKG: {"throttle": 20_000}})
    md5 = dev.path("/tmp/download/LatestRom/md5")
    md5.unlink()
    os.mkfifo(md5)
    return {}, r"3:p:\d+\n"


def _hashing(dev):
    # 64 MiB already here, which the digests read at the start, on their own thread, while
    # the transfer of the rest begins: the stop comes while they are at it.
    data = os.urandom(68 << 20)
    serve(dev, data, {PKG: {"throttle": 200_000}})
    dev.path("/tmp/secure_update.zip").write_bytes(data[:64 << 20])
    return {}, r"3:p:\d+\n"


def _capped(dev):
    # A speed cap of 1 KiB/s: the body is held between its pieces when the stop comes.
    serve(dev, make_package(1 << 20))
    return {"env": (), "options": ("--prop", "norvo.download.rate_cap=1024")}, r"3:p:\d+\n"


STATES = {"downloading": _downloading, "hashing": _hashing, "capped": _capped, "paused": _paused, "backing_off": _backing_off,
          "resolving": _resolving, "connecting": _connecting, "trickle": _trickle,
          "full_status_pipe": _full_status_pipe, "full_pipe_queued_replies": _full_pipe_queued_replies,
          "fifo_record": _fifo_record}


@pytest.mark.serial
@pytest.mark.parametrize("state", list(STATES))
def test_stop_ends_the_download_within_a_second(updater, state):
    setup, ready = STATES[state](updater)
    pause = setup.pop("pause", False)
    queue = setup.pop("queue", b"")
    run = Download(updater, **setup)
    if pause:
        run.wait_for(r"3:p:\d+\n")
        run.send("p\n")
    if ready is not None:
        run.wait_for(ready, timeout=30)
    elif state.startswith("full_"):
        time.sleep(1.5)  # the front end is not reading: the pipe stays as full as it is
    else:
        run.quiet_for(1.5)  # long enough to be well inside the state
    run.send(queue.decode() + "s\n")
    sent = time.monotonic()
    # Exit is seen on the command pipe; the status pipe is left alone meanwhile, so a
    # full one stays full.
    run.wait_exit(10)
    elapsed = time.monotonic() - sent
    text = run.finish(timeout=10)
    print(f"stop latency {state}: {elapsed:.3f} s")
    assert elapsed <= STOP_LIMIT, f"{state}: {elapsed:.2f} s from s to exit; {text[-200:]!r}"
    assert text.endswith("3:r:s"), text[-200:]


def test_permanent_404_ends_after_three_attempts(updater):
    serve(updater, make_package(10_000), {PKG: {"status": [404] * 10}})
    run = Download(updater, env=FIXED)
    text = run.finish(timeout=20)
    assert text == "3:f:22\n3:f:22\n3:f:122\n"
    assert [e["status"] for e in downloads(updater)] == [404, 404, 404]


def test_retry_after_on_503_sets_the_wait(updater):
    data = make_package(10_000)
    serve(updater, data, {PKG: {"status": [503], "headers": [["Retry-After", "2"]]}})
    run = Download(updater)
    text = run.finish(timeout=20)
    assert text.startswith("3:f:22\n") and text.endswith("3:c:\n")
    # The wait is the server's 2 s (the back-off alone would draw at most 1 s): as logged,
    # and as the server saw it (a busy machine may only lengthen the gap).
    assert re.findall(r">> RomDownload retries in (\d+) ms(, as the server asked)?",
                      run.log) == [("2000", ", as the server asked")], run.log[-2000:]
    first, second = downloads(updater)[:2]
    assert second["time"] - first["time"] >= 1.9


def test_head_answered_404_fails_the_rom_url_check(make_device, build_dir):
    device = make_device(props=DEVICE_PROPS)
    test_first_stage.offer(device)
    (device.path("/device/server/packages") / "V2.0.1" / "norvo-update.zip").unlink()
    result = device.run(["corvane", "--run_from_command", "2"], server=True)
    lines = test_first_stage.status_lines(result.stdout)
    assert lines[-1] == "2:f:22", lines
