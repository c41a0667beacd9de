"""A hostile or broken server against corvane, second round: server-paced retries, weak
validators, coded bodies, bytes nobody vouches for, endless answers, huge mirror lists,
absurd dates, stale package URLs and bytes already on disk. Every case runs in the emulated
device against the reference server; each attacks one defence."""
import email.utils
import os
import pathlib
import re
import sys
import time

import pytest
import test_first_stage
from norvo_driver import NO_KEY_STORE, TEST_PHONE_PROPS, UPDATER_PROPS
from test_download import PKG, Download, downloads, make_package, package, range_start, serve
from test_download import write_record

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))
import make_package as signer  # noqa: E402

FIXED = ["NORVO_FIXED_BACKOFF=1"]


@pytest.fixture
def updater(make_device, build_dir):
    return make_device(props=UPDATER_PROPS, options=NO_KEY_STORE)


@pytest.fixture
def keyed(make_device, build_dir):
    """A device whose key store holds the test key: downloads are signature-checked."""
    key_dir = build_dir / "testkey"
    signer.test_key(str(key_dir))
    return make_device(props=UPDATER_PROPS,
                       options=("--otacerts", str(key_dir / "otacerts.zip")))


def signed_package(build_dir, seed, size=1 << 20):
    payload = make_package(size, seed=seed)
    data = signer.archive([(signer.UPDATER_ENTRY, b"#!/bin/sh\n", 0o755),
                           ("payload.bin", payload, 0o644)])
    return signer.sign_archive(data, *signer.test_key(str(build_dir / "testkey")))


def header(entry, name):
    for key, value in entry["headers"]:
        if key.lower() == name.lower():
            return value
    return None


def outcome(text):
    """The status lines other than progress and speed, which come as timing allows."""
    return [line for line in text.splitlines() if not re.fullmatch(r"3:[ps]:\d+", line)]


def change_package(dev, data):
    """The server's package becomes another one (a later modification time)."""
    stored = dev.put_package("V1/pkg.zip", data)
    later = time.time() + 10
    os.utime(stored, (later, later))


# -- server-paced waits ---------------------------------------------------------------------

@pytest.mark.slow
@pytest.mark.parametrize("value", ["0", "past", "soon"])
def test_retry_after_never_shortens_the_backoff(updater, value):
    if value == "past":
        value = email.utils.formatdate(time.time() - 3600, usegmt=True)
    data = make_package(10_000)
    serve(updater, data, {PKG: {"status": [503] * 4, "headers": [["Retry-After", value]]}})
    # Randomised back-off: the draw may be 0 ms, the floor may not.
    text = Download(updater).finish(timeout=60)
    assert outcome(text) == ["3:f:22"] * 4 + ["3:c:"], text
    times = [e["time"] for e in downloads(updater)]
    assert len(times) == 5
    gaps = [b - a for a, b in zip(times, times[1:])]
    assert min(gaps) >= 0.95, gaps


# -- validators and encodings -----------------------------------------------------------

@pytest.mark.parametrize("validators, ignore_if_range", [(["weak_etag"], True),
                                                         (["weak_etag", "last_modified"], False)])
def test_weak_etag_never_vouches_for_a_splice(updater, validators, ignore_if_range):
    old, new = make_package(1 << 20, seed=1), make_package(1 << 20, seed=2)
    # No MD5 and no key store: only a validator could tell the two packages apart.
    serve(updater, old, {PKG: {"drop_after": [300_000], "ignore_if_range": ignore_if_range}},
          record=False, validators=validators)
    write_record(updater, len(old))
    run = Download(updater, env=FIXED)
    run.wait_for(r"3:f:18\n")
    change_package(updater, new)
    text = run.finish(timeout=30)
    assert text.endswith("3:c:\n") and text.count("3:c:") == 1, text
    assert package(updater) == new
    entries = downloads(updater)
    assert all(not (header(e, "If-Range") or "").startswith("W/") for e in entries), entries
    if "last_modified" in validators:
        # Last-Modified stands in for the weak tag; the changed package comes back whole.
        date = r"\w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d GMT"
        assert re.fullmatch(date, header(entries[1], "If-Range") or ""), entries[1]
        assert entries[1].get("if_range_failed") and entries[1]["status"] == 200
    else:
        # Nothing vouches for the first bytes (a server that splices whatever If-Range
        # says): the second attempt starts from 0.
        assert [range_start(e) for e in entries] == [0, 0]


@pytest.mark.parametrize("coding", ["gzip", "br"])
def test_coded_package_body_is_refused(updater, coding):
    data = make_package(50_000)
    serve(updater, data, {PKG: {"headers": [["Content-Encoding", coding]]}})
    text = Download(updater, env=FIXED).finish(timeout=30)
    assert outcome(text) == ["3:f:24", "3:f:24", "3:f:124"], text
    entries = downloads(updater)
    assert [header(e, "Accept-Encoding") for e in entries] == ["identity"] * 3
    assert package(updater) == b""


def test_no_validator_no_md5_no_key_store_never_resumes(updater):
    old, new = make_package(1 << 20, seed=3), make_package(1 << 20, seed=4)
    serve(updater, old, {PKG: {"drop_after": [300_000]}}, record=False, validators=[])
    write_record(updater, len(old))
    run = Download(updater, env=FIXED)
    run.wait_for(r"3:f:18\n")
    change_package(updater, new)
    text = run.finish(timeout=30)
    assert text.endswith("3:c:\n") and text.count("3:c:") == 1
    assert package(updater) == new
    assert [range_start(e) for e in downloads(updater)] == [0, 0]
    assert "nothing vouches for the 300000 bytes here" in run.log


# -- the signature vouches before 3:c: -------------------------------------------------------

def test_signed_package_completes_and_unsigned_bytes_never_do(keyed, build_dir):
    data = signed_package(build_dir, seed=5)
    serve(keyed, data, record=False)
    write_record(keyed, len(data))
    run = Download(keyed)
    assert run.finish(timeout=30).endswith("3:c:\n")
    assert "package signature verified" in run.log
    assert package(keyed) == data
    # Random bytes with a matching size and MD5: the record agrees, nothing signed them.
    junk = make_package(len(data), seed=6)
    serve(keyed, junk)
    run = Download(keyed, env=FIXED)
    text = run.finish(timeout=30)
    assert outcome(text) == ["3:f:62", "3:f:62", "3:f:162"], text
    assert "package rejected: no signature footer" in run.log
    assert not keyed.path("/tmp/secure_update.zip").exists()


def test_spliced_package_is_caught_by_its_signature_and_fetched_again(keyed, build_dir):
    old, new = signed_package(build_dir, seed=7), signed_package(build_dir, seed=8)
    assert len(old) == len(new)
    # No validator and no MD5: the resumed bytes are spliced from two packages.
    serve(keyed, old, {PKG: {"drop_after": [300_000]}}, record=False, validators=[])
    write_record(keyed, len(old))
    run = Download(keyed, env=FIXED)
    run.wait_for(r"3:f:18\n")
    change_package(keyed, new)
    text = run.finish(timeout=30)
    assert "3:f:62\n" in text and text.endswith("3:c:\n") and text.count("3:c:") == 1, text
    assert "package rejected: digest mismatch" in run.log
    assert package(keyed) == new
    assert [range_start(e) for e in downloads(keyed)] == [0, 300_000, 0]


# -- progress from the first byte ------------------------------------------------------------

@pytest.mark.parametrize("throttle", [None, 400_000])
def test_resumed_bytes_on_disk_report_progress(updater, throttle):
    data = make_package(2 << 20)
    serve(updater, data, {PKG: {"throttle": throttle}} if throttle else None)
    # Half the package already here, no side file; the record has the MD5.
    updater.path("/tmp/secure_update.zip").write_bytes(data[:1 << 20])
    run = Download(updater)
    text = run.finish(timeout=30)
    assert text.endswith("3:c:\n") and package(updater) == data
    percents = [int(v) for v in re.findall(r"^3:p:(\d+)$", text, re.M)]
    assert percents and percents[0] >= 50 and percents == sorted(set(percents)), text
    if throttle:
        assert re.search(r"^3:s:\d+$", text, re.M), text
    assert [range_start(e) for e in downloads(updater)] == [1 << 20]


# -- the first stage --------------------------------------------------------------------

@pytest.fixture
def phone(make_device, build_dir):
    return make_device(props=dict(TEST_PHONE_PROPS, **{"ro.build.date.utc": "1790000000"}))


def first_stage(device, timeout=120):
    result = device.run(["corvane", "--run_from_command", "2"], server=True, timeout=timeout)
    assert result.returncode == 0
    return test_first_stage.status_lines(result.stdout), result.stdout.decode("latin-1")


@pytest.mark.parametrize("date, code", [
    ("not a date", 120),
    ("Thu, 01 Jan 1970 00:00:00 GMT", 121),
    ("Sat, 01 Aug 2026 00:00:00 GMT", 121),  # before this build
    ("Fri, 31 Dec 9999 23:59:59 GMT", 121),
    ("Wed, 05 Nov 2150 10:09:37 GMT", 121),
])
def test_absurd_date_is_a_failure_of_step_zero(phone, date, code):
    test_first_stage.offer(phone, date=date)
    lines, out = first_stage(phone)
    assert lines == [f"0:f:{code}"], lines
    assert phone.getprop("norvo.timesync.ready") is None
    assert "the clock is left unchanged" in out


def test_plausible_date_still_synchronises(phone):
    test_first_stage.offer(phone)
    lines, _ = first_stage(phone)
    assert lines[:2] == ["0:s", "1:s"], lines
    assert phone.getprop("norvo.timesync.ready") == "1"


@pytest.mark.parametrize("announced", [False, True])
def test_endless_update_answer_is_cut_off_as_it_arrives(phone, announced):
    phone.server_config({"answer": "endless", "endless_size": 64 << 20,
                         "endless_length": announced})
    lines, out = first_stage(phone)
    assert lines == ["0:s", "1:f:63"], lines
    assert phone.path("/cache/norvo/response.body").stat().st_size == 0
    posts = [r for r in phone.server_log() if r["method"] == "POST"]
    # Nothing near the 64 MiB went over the wire, let alone to /cache.
    assert posts[0]["sent"] <= (24 << 20), posts[0]["sent"]


@pytest.mark.serial
def test_two_hundred_thousand_mirrors_are_bounded_and_linear(phone):
    mirrors = [f"https://m{i}.norvo.test/pkgs" for i in range(200_000)]
    phone.put_package("V2/far.zip", b"x" * 1000)
    phone.server_config({"answer_json": {
        "LatestRom": {"version": "V2", "filename": "far.zip", "filesize": "1M",
                      "Validate": "v", "md5": "0" * 32},
        "CurrentRom": {"version": "V1.0.0"}, "MirrorList": mirrors}})
    started = time.monotonic()
    lines, out = first_stage(phone)
    took = time.monotonic() - started
    print(f"first stage with 200,000 mirrors: {took:.1f} s")
    assert took < 30, took
    record = phone.path("/tmp/download/LatestRom")
    kept = sorted(int(p.name) for p in record.iterdir() if p.name.isdigit())
    assert kept == list(range(32))
    assert "W:the answer lists more than 32 mirrors; the rest is left out" in out


def test_no_rom_with_a_stale_record_url_is_not_an_error(phone):
    test_first_stage.offer(phone)
    lines, _ = first_stage(phone)
    assert lines[-1] == "2:s:0"
    # Later: nothing new on offer, and the older record's package is gone from its mirror.
    test_first_stage.offer(phone, answer="norom")
    phone.path("/device/server/packages/V2.0.1/norvo-update.zip").unlink()
    before = len(phone.server_log())
    lines, out = first_stage(phone)
    assert lines == ["0:s", "1:s", "2:s:2"], lines
    heads = [r for r in phone.server_log()[before:] if r["method"] == "HEAD" and r["path"] != "/"]
    assert heads == []
