"""The download against a hostile server, network or work area.

The package that the download writes is later run as root, so nothing the server sends and
nothing planted in /tmp may steer where bytes go, which protocol is spoken, how large the
file grows or whether a wrong file is reported complete.
"""
import hashlib
import os
import stat
import time

import pytest
from norvo_driver import NO_KEY_STORE, UPDATER_PROPS
from test_download import (PKG, Download, downloads, make_package, package, range_start,
                           serve, write_record)

FIXED = ("NORVO_FIXED_BACKOFF=1",)


@pytest.fixture
def updater(make_device, build_dir):
    return make_device(props=UPDATER_PROPS, options=NO_KEY_STORE)


@pytest.mark.parametrize("scheme", ["gopher", "dict", "ftp", "scp"])
def test_redirect_to_another_protocol_is_refused_and_nothing_is_sent(updater, scheme):
    # The target would deliver an HTTP request line to the server's port 7777, so any
    # byte sent there shows up in its log.
    smuggled = "_GET%20/smuggled%20HTTP/1.0%0D%0A%0D%0A"
    serve(updater, make_package(10_000), {PKG: {"redirect": f"{scheme}://127.0.0.1:7777/{smuggled}"}},
          extra_ports=[7777])
    text = Download(updater, env=FIXED).finish(timeout=30)
    # Three attempts, then the final line: 100 + CURLE_UNSUPPORTED_PROTOCOL.
    assert text == "3:f:1\n3:f:1\n3:f:101\n"
    log = updater.server_log()
    assert [e["path"] for e in log] == [PKG] * 3
    assert not any(e.get("port") == 7777 for e in log)


def test_planted_links_and_fifos_are_replaced_never_written_through(updater):
    data = make_package(300_000)
    serve(updater, data)
    victim = updater.path("/cache/victim")
    victim.write_bytes(b"precious")
    # A link at the package, at its side file and its temporary name, and a FIFO
    # at the lock: each would take the server's bytes (or hang) elsewhere.
    os.symlink("/cache/victim", updater.path("/tmp/secure_update.zip"))
    os.symlink("/cache/victim", updater.path("/tmp/secure_update.zip.meta.tmp"))
    os.mkfifo(updater.path("/tmp/secure_update.zip.lock"))
    text = Download(updater).finish(timeout=30)
    assert text.endswith("3:c:\n")
    assert victim.read_bytes() == b"precious"
    target = updater.path("/tmp/secure_update.zip")
    assert stat.S_ISREG(os.lstat(target).st_mode) and package(updater) == data
    assert stat.S_ISREG(os.lstat(updater.path("/tmp/secure_update.zip.lock")).st_mode)


def test_fifo_at_the_package_path_is_replaced(updater):
    data = make_package(100_000)
    serve(updater, data)
    os.mkfifo(updater.path("/tmp/secure_update.zip"))
    text = Download(updater).finish(timeout=30)
    assert text.endswith("3:c:\n") and package(updater) == data


@pytest.mark.parametrize("mode", ["plain", "chunked"])
def test_endless_body_stops_at_the_record_size_and_gives_up(updater, mode):
    data = make_package(2 << 20)
    serve(updater, data, {PKG: {"endless": mode}})
    text = Download(updater, env=FIXED).finish(timeout=60)
    assert [l for l in text.splitlines() if ":f:" in l] == ["3:f:63", "3:f:63", "3:f:163"]
    assert text.endswith("3:f:163\n") and "3:c:" not in text
    # The record's 2 MiB plus a tenth of a MiB of rounding, never more.
    size = updater.path("/tmp/secure_update.zip").stat().st_size
    assert size <= (2 << 20) + (1 << 20) // 10 + 1
    assert package(updater)[:len(data)] == data
    assert len(downloads(updater)) == 3


@pytest.mark.parametrize("validator", ["etag", "last_modified"])
def test_package_changed_between_attempts_is_fetched_whole_not_spliced(updater, validator):
    old, new = make_package(1 << 20, seed=1), make_package(1 << 20, seed=2)
    # No MD5 in the record: only the validator can tell the two apart.
    serve(updater, old, {PKG: {"drop_after": [300_000]}}, record=False,
          validators=[validator])
    write_record(updater, len(old))
    run = Download(updater, env=FIXED)
    run.wait_for(r"3:f:18\n")
    # The server now has another package of the same size.
    stored = updater.put_package("V1/pkg.zip", new)
    later = time.time() + 10
    os.utime(stored, (later, later))
    text = run.finish(timeout=30)
    assert text.endswith("3:c:\n")
    assert package(updater) == new
    entries = downloads(updater)
    assert [range_start(e) for e in entries] == [0, 300_000]
    assert entries[1].get("if_range_failed") and entries[1]["status"] == 200


@pytest.mark.parametrize("factor,final", [(0.5, "3:f:118\n"), (2, "3:f:163\n")])
def test_half_or_double_package_is_not_reported_complete(updater, factor, final):
    record_size = 2 << 20
    serve(updater, make_package(int(record_size * factor)), record=False)
    write_record(updater, record_size)
    text = Download(updater, env=FIXED).finish(timeout=30)
    assert "3:c:" not in text and text.endswith(final)
    assert len(downloads(updater)) == 3
    # The answer was refused before a byte of it landed.
    assert package(updater) == b""


def test_lying_416_does_not_complete_half_a_package(updater):
    data = make_package(1 << 20)
    half = len(data) // 2
    serve(updater, data, {PKG: {"drop_after": [half], "status": [0, 416],
                                "headers": [["Content-Range", f"bytes */{half}"]]}},
          record=False)
    write_record(updater, len(data))
    text = Download(updater, env=FIXED).finish(timeout=30)
    assert text.endswith("3:c:\n") and package(updater) == data
    statuses = [e["status"] for e in downloads(updater)]
    assert statuses[:2] == [200, 416] and statuses[-1] == 200
    # After the lie the partial file is dropped: the last attempt starts from 0.
    assert range_start(downloads(updater)[-1]) == 0


def test_second_download_on_the_same_work_area_leaves_the_first_alone(updater):
    data = make_package(1 << 20)
    # The server holds the first answer part-way until the second download has tried, so
    # the first certainly holds the lock meanwhile, however fast either runs.
    serve(updater, data, {PKG: {"hold_after": 300_000}})
    first = Download(updater)
    first.wait_for(r"3:p:\d+\n")
    updater.wait_for(updater.held, timeout=30)
    second = Download(updater)
    assert second.finish(timeout=15) == "3:f:102\n"
    updater.release()
    assert first.finish(timeout=30).endswith("3:c:\n")
    assert package(updater) == data
    assert hashlib.md5(package(updater)).hexdigest() == hashlib.md5(data).hexdigest()
