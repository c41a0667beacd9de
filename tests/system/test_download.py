"""The second stage: the package download with real pipes, in the emulated device.

Each test stores a package on the reference server, writes the ROM record that the first
stage would have left (size and MD5), runs
``corvane --run_from_fork --second_stage W R http:// update.norvo.test <path>`` and reads the
status pipe while writing commands to the command pipe. The device runs as the dedicated
updater environment, so the package lands in /tmp/secure_update.zip.
"""
import functools
import hashlib
import re
import time

import pytest
from conftest import describe_processes
from norvo_driver import (NO_KEY_STORE, SECOND, UPDATER_PROPS, Stage, package_bytes,
                          write_rom_record)

PKG = "/pkgs/V1/pkg.zip"
HOST = "update.norvo.test"


def make_package(size, seed=7):
    return package_bytes(size, seed)


def write_record(dev, size=None, md5=None):
    """The record of the first stage with only a size and a checksum (None: none)."""
    write_rom_record(dev.path("/tmp"), filesize=size, md5=md5)


def Download(dev, path=PKG, host=HOST, env=(), options=(), **pipe):
    """One run of the second stage with its two pipes, through the device script."""
    return Stage(SECOND, "http://", host, path, env_prefix=env, describe=describe_processes,
                 start=functools.partial(dev.popen, server=True, options=options), **pipe)


@pytest.fixture
def updater(make_device, build_dir):
    return make_device(props=UPDATER_PROPS, options=NO_KEY_STORE)


def serve(dev, data, faults=None, record=True, **config):
    dev.put_package("V1/pkg.zip", data)
    if record:
        write_record(dev, len(data), hashlib.md5(data).hexdigest())
    cfg = dict(config)
    if faults is not None:
        cfg["faults"] = faults
    dev.server_config(cfg)


def package(dev):
    return dev.path("/tmp/secure_update.zip").read_bytes()


def downloads(dev, path=PKG):
    return [e for e in dev.server_log() if e["path"] == path]


def range_start(entry):
    for name, value in entry["headers"]:
        if name.lower() == "range":
            return int(re.fullmatch(r"bytes=(\d+)-", value).group(1))
    return 0


def assert_fetched_once(entries, size):
    """Every byte of the package went over the wire exactly once, in order."""
    offset = 0
    for entry in entries:
        assert range_start(entry) == offset, entries
        offset += entry["sent"]
    assert offset == size


def test_progress_speed_and_completion(updater):
    data = make_package(600_000)
    serve(updater, data, {PKG: {"throttle": 200_000}})
    run = Download(updater)
    text = run.finish()
    assert text.endswith("3:c:\n")
    assert text.count("3:c:") == 1
    percents = [int(v) for v in re.findall(r"^3:p:(\d+)$", text, re.M)]
    assert percents == sorted(set(percents)) and len(percents) >= 50
    assert 0 < percents[0] and 95 <= percents[-1] <= 100
    speeds = [t for t, line in run.stamps if line.startswith("3:s:")]
    assert len(speeds) >= 1
    assert all(b - a >= 0.9 for a, b in zip(speeds, speeds[1:]))
    for line in text.splitlines()[:-1]:
        assert re.fullmatch(r"3:(p:\d+|s:\d+)", line), line
    assert package(updater) == data
    assert len(downloads(updater)) == 1


def test_pause_holds_the_transfer_and_continue_finishes_it(updater):
    data = make_package(1_500_000)
    serve(updater, data, {PKG: {"throttle": 300_000}})
    # A pause longer than the low-speed limit must not be taken for a dead link.
    run = Download(updater, env=["NORVO_LOW_SPEED_TIME=2"])
    run.wait_for(r"3:p:10\n")
    run.send("pause\n")
    run.wait_for(r"3:r:p\n")
    time.sleep(0.5)  # bytes already under way may still land
    held = package(updater)
    during = run.quiet_for(4)
    assert "3:p:" not in during and "3:f:" not in during, during
    assert package(updater) == held
    run.send("c\n")
    text = run.finish()
    assert re.search(r"3:r:p\n(3:s:\d+\n)*3:r:c\n", text), text
    assert text.endswith("3:c:\n") and "3:f:" not in text
    assert package(updater) == data
    assert len(downloads(updater)) == 1


@pytest.mark.serial
def test_stop_while_running(updater):
    data = make_package(2_000_000)
    serve(updater, data, {PKG: {"throttle": 200_000}})
    run = Download(updater)
    run.wait_for(r"3:p:5\n")
    run.send("stop\n")
    start = time.monotonic()
    text = run.finish(timeout=10)
    assert time.monotonic() - start < 3
    assert text.endswith("3:r:s")  # no line feed
    assert "3:c:" not in text
    assert len(package(updater)) < len(data)


@pytest.mark.serial
def test_stop_while_paused(updater):
    data = make_package(2_000_000)
    serve(updater, data, {PKG: {"throttle": 200_000}})
    run = Download(updater)
    run.wait_for(r"3:p:5\n")
    run.send("p\n")
    run.wait_for(r"3:r:p\n")
    run.send("s\n")
    start = time.monotonic()
    text = run.finish(timeout=10)
    assert time.monotonic() - start < 3
    assert text.endswith("3:r:p\n3:r:s") or re.search(r"3:r:p\n(3:s:\d+\n)*3:r:s$", text)


@pytest.mark.serial
def test_stop_while_waiting_to_retry(updater):
    data = make_package(10_000)
    # A 404, then a 503 that asks for 30 s: after the second failure the download is
    # certainly waiting, however long the test takes to send the stop.
    serve(updater, data, {PKG: {"status": [404, 503] + [404] * 48,
                                "headers": [["Retry-After", "30"]]}})
    run = Download(updater)
    run.wait_for(r"3:f:22\n3:f:22\n")
    run.send("s\n")
    start = time.monotonic()
    text = run.finish(timeout=10)
    assert time.monotonic() - start < 2
    assert text == "3:f:22\n3:f:22\n3:r:s"
    assert len(downloads(updater)) == 2


def test_empty_body_reports_nothing_received(updater):
    updater.put_package("V1/pkg.zip", b"")
    write_record(updater, 0)
    run = Download(updater)
    assert run.finish() == "3:f:52\n"
    assert package(updater) == b""


@pytest.mark.parametrize("drops", [[1], [70_000, 65_536, 100_000], [299_999]])
def test_dropped_connections_resume_where_they_stopped(updater, drops):
    data = make_package(300_000)
    serve(updater, data, {PKG: {"drop_after": drops}})
    run = Download(updater)
    text = run.finish()
    assert text.count("3:f:18\n") == len(drops)
    assert text.endswith("3:c:\n")
    assert package(updater) == data
    entries = downloads(updater)
    assert len(entries) == len(drops) + 1
    assert_fetched_once(entries, len(data))


def test_server_ignoring_range_replaces_the_partial_file(updater):
    data = make_package(200_000)
    serve(updater, data, {PKG: {"drop_after": [80_000], "ignore_range": True}})
    text = Download(updater).finish()
    assert re.fullmatch(r"(3:[ps]:\d+\n)*3:f:18\n(3:[ps]:\d+\n)*3:c:\n", text), text
    assert package(updater) == data
    second = downloads(updater)[1]
    assert range_start(second) == 80_000 and second["status"] == 200


def test_wrong_content_range_starts_afresh(updater):
    data = make_package(200_000)
    serve(updater, data,
          {PKG: {"drop_after": [80_000], "content_range": "bytes 1000-199999/200000"}})
    text = Download(updater).finish()
    assert re.fullmatch(r"(3:[ps]:\d+\n)*3:f:18\n3:f:33\n(3:[ps]:\d+\n)*3:c:\n", text), text
    assert package(updater) == data
    entries = downloads(updater)
    assert [range_start(e) for e in entries] == [0, 80_000, 0]


def test_http_error_body_never_reaches_the_package(updater):
    data = make_package(50_000)
    serve(updater, data, {PKG: {"status": [500, 503], "status_body": "E" * 5000}})
    text = Download(updater, env=("NORVO_FIXED_BACKOFF=1",)).finish()
    assert text.startswith("3:f:22\n3:f:22\n") and text.endswith("3:c:\n")
    assert package(updater) == data
    entries = downloads(updater)
    assert [e["status"] for e in entries] == [500, 503, 200]
    # Paced on the fixed schedule: 1 s, then 2 s between the attempts.
    assert entries[1]["time"] - entries[0]["time"] >= 0.9
    assert entries[2]["time"] - entries[1]["time"] >= 1.9


def test_redirect_chain_reports_once(updater):
    data = make_package(100_000)
    serve(updater, data, {
        "/pkgs/a": {"redirect": "http://update.norvo.test/pkgs/b", "status_body": "x"},
        "/pkgs/b": {"redirect": "/pkgs/V1/pkg.zip"},
    })
    text = Download(updater, path="/pkgs/a").finish()
    assert text.endswith("3:c:\n") and text.count("3:c:") == 1 and "3:f:" not in text
    assert package(updater) == data
    assert [e["path"] for e in updater.server_log()] == ["/pkgs/a", "/pkgs/b", PKG]


def test_redirect_loop_is_bounded(updater):
    serve(updater, b"unused", {
        "/pkgs/a": {"redirect": "http://update.norvo.test/pkgs/b"},
        "/pkgs/b": {"redirect": "http://update.norvo.test/pkgs/a"},
    })
    run = Download(updater, path="/pkgs/a")
    run.wait_for(r"3:f:47\n")
    run.send("s\n")
    text = run.finish(timeout=10)
    assert text == "3:f:47\n3:r:s"
    assert len(updater.server_log()) == 11


def test_redirect_keeps_the_port(updater):
    data = make_package(80_000)
    serve(updater, data, {
        "/pkgs/a": {"redirect": "http://update.norvo.test:8080/pkgs/V1/pkg.zip"},
    }, extra_ports=[8080])
    text = Download(updater, path="/pkgs/a").finish()
    assert text.endswith("3:c:\n")
    assert package(updater) == data
    final = downloads(updater)[0]
    assert final["port"] == 8080
    assert ["Host", "update.norvo.test:8080"] in final["headers"]


@pytest.mark.slow
def test_stalled_transfer_is_aborted_and_resumed(updater):
    data = make_package(150_000)
    serve(updater, data, {PKG: {"stall_after": 100_000}})
    run = Download(updater, env=["NORVO_LOW_SPEED_TIME=2"])
    text = run.finish(timeout=30)
    assert re.fullmatch(r"(3:[ps]:\d+\n)*3:f:28\n(3:[ps]:\d+\n)*3:c:\n", text), text
    assert package(updater) == data
    entries = downloads(updater)
    assert [range_start(e) for e in entries] == [0, 100_000]


def test_partial_file_of_the_same_package_is_resumed(updater):
    data = make_package(120_000)
    serve(updater, data)
    updater.path("/tmp/secure_update.zip").write_bytes(data[:50_000])
    updater.path("/tmp/secure_update.zip.meta").write_text(f"path={PKG}\nsize={len(data)}\n")
    text = Download(updater).finish()
    assert text.endswith("3:c:\n")
    assert package(updater) == data
    assert [range_start(e) for e in downloads(updater)] == [50_000]


@pytest.mark.parametrize("meta", [None, "path=/pkgs/V0/old.zip\nsize=120000\n",
                                  f"path={PKG}\nsize=99999\n"])
def test_partial_file_of_another_package_is_replaced(updater, meta):
    data = make_package(120_000)
    serve(updater, data)
    updater.path("/tmp/secure_update.zip").write_bytes(b"old package" * 1000)
    if meta is not None:
        updater.path("/tmp/secure_update.zip.meta").write_text(meta)
    text = Download(updater).finish()
    assert text.endswith("3:c:\n")
    assert package(updater) == data
    if meta is None:
        # Bytes without a side file are resumed when the record has an MD5; the
        # check at the end finds the wrong prefix and the package is fetched again.
        assert [range_start(e) for e in downloads(updater)] == [11000, 0]
        assert "3:f:61\n" in text
    else:
        assert [range_start(e) for e in downloads(updater)] == [0]


def test_complete_package_is_not_fetched_again(updater):
    data = make_package(90_000)
    serve(updater, data)
    updater.path("/tmp/secure_update.zip").write_bytes(data)
    updater.path("/tmp/secure_update.zip.meta").write_text(f"path={PKG}\nsize={len(data)}\n")
    text = Download(updater).finish()
    assert text == "3:c:\n"
    assert package(updater) == data
    assert [e["status"] for e in downloads(updater)] == [416]


def test_checksum_mismatch_retries_three_times_then_fails(updater):
    data = make_package(30_000)
    serve(updater, data, record=False)
    write_record(updater, len(data), "0123456789abcdef0123456789abcdef")
    text = Download(updater).finish(timeout=30)
    # Two retries, then the final line: 100 + the cause.
    assert text == "3:f:61\n3:f:61\n3:f:161\n"
    assert "3:c:" not in text
    assert not updater.path("/tmp/secure_update.zip").exists()
    assert [range_start(e) for e in downloads(updater)] == [0, 0, 0]


def test_corrupt_prefix_is_caught_and_fetched_again(updater):
    data = make_package(60_000)
    serve(updater, data)
    bad = bytearray(data[:20_000])
    bad[100] ^= 0xFF
    updater.path("/tmp/secure_update.zip").write_bytes(bytes(bad))
    updater.path("/tmp/secure_update.zip.meta").write_text(f"path={PKG}\nsize={len(data)}\n")
    text = Download(updater).finish(timeout=30)
    assert re.fullmatch(r"(3:[ps]:\d+\n)*3:f:61\n(3:[ps]:\d+\n)*3:c:\n", text), text
    assert package(updater) == data
    assert [range_start(e) for e in downloads(updater)] == [20_000, 0]
