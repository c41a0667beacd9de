"""The download's checks go along with the transfer, and its room is held before the first
byte: with a key store (as on every handset) the whole-file signature's digest and the
record's MD5 are computed as the bytes arrive, so at the last byte only the signature's
public-key operation is left and nothing of the file is read again; and a package whose
file system lacks the room ends at once with 3:f:202, before any request for its body."""
import re

import pytest
from norvo_driver import UPDATER_PROPS
from test_download import PKG, Download, downloads, package, range_start, serve, write_record
from test_hostile_server import FIXED, keyed, outcome, signed_package  # noqa: F401

VERIFIED = re.compile(r">> RomDownload: package signature verified in \d+ ms, (\d+) bytes read "
                      r"at the end")


def read_at_end(log):
    return [int(n) for n in VERIFIED.findall(log)]


def test_signed_package_is_checked_as_it_arrives(keyed, build_dir):
    data = signed_package(build_dir, seed=11, size=3 << 20)
    serve(keyed, data)  # the record has the size and the MD5
    run = Download(keyed)
    assert run.finish(timeout=60).endswith("3:c:\n")
    assert package(keyed) == data
    # One pass: neither the signature nor the MD5 read the file again.
    assert read_at_end(run.log) == [0], run.log[-3000:]
    assert "read again" not in run.log and "already here once" not in run.log


@pytest.mark.parametrize("how", ["cut in this run", "left by an earlier run"])
def test_resumed_from_a_third_reads_nothing_at_the_end(keyed, build_dir, how):
    data = signed_package(build_dir, seed=12, size=3 << 20)
    third = len(data) // 3
    if how == "cut in this run":
        serve(keyed, data, {PKG: {"drop_after": [third]}})
        run = Download(keyed, env=FIXED)
    else:
        serve(keyed, data)
        # No side file: the record's MD5 and the signature judge these bytes at the end.
        keyed.path("/tmp/secure_update.zip").write_bytes(data[:third])
        run = Download(keyed)
    text = run.finish(timeout=60)
    assert text.endswith("3:c:\n") and package(keyed) == data, text
    assert [range_start(e) for e in downloads(keyed)][-1] == third
    assert read_at_end(run.log) == [0], run.log[-3000:]
    already = re.findall(r"the digests read the (\d+) bytes that were already here once", run.log)
    # Bytes of this run were hashed as they came; an earlier run's, once, at the start.
    assert already == ([] if how == "cut in this run" else [str(third)]), run.log[-3000:]


def test_bytes_changed_on_the_server_still_fail_the_signature(keyed, build_dir):
    data = bytearray(signed_package(build_dir, seed=13, size=1 << 20))
    data[len(data) // 2] ^= 0x40
    data = bytes(data)
    serve(keyed, data)  # the record's MD5 is the changed bytes': only the signature knows
    run = Download(keyed, env=FIXED)
    text = run.finish(timeout=60)
    assert outcome(text) == ["3:f:62", "3:f:62", "3:f:162"], text
    assert run.log.count("package rejected: digest mismatch") == 3, run.log[-3000:]
    assert not keyed.path("/tmp/secure_update.zip").exists()


def test_no_room_for_the_package_ends_before_any_body_is_asked_for(make_device, build_dir):
    # A work area of 1 MiB, a package of 2 MiB: the room is known to be short at once.
    dev = make_device(props=UPDATER_PROPS, options=("--otacerts", "none",
                                                    "--tmp-size", str(1 << 20)))
    data = bytes(2 << 20)
    serve(dev, data)
    run = Download(dev)
    assert run.finish(timeout=30) == "3:f:202\n"
    assert downloads(dev) == []
    match = re.search(r"the package needs (\d+) bytes more, /tmp/secure_update.zip has (\d+) "
                      r"bytes free", run.log)
    assert match, run.log[-3000:]
    needed, free = int(match.group(1)), int(match.group(2))
    assert needed >= len(data) and free < 1 << 20
    events = dev.path("/tmp/zel/events")
    assert (events / "download_figures_space_needed").read_text() == str(needed)
    assert (events / "download_figures_space_free").read_text() == str(free)
    assert (events / "download_figures_final").read_text() == "202"


# Runs the stage ("$@"); once the server holds its answer, another writer fills the work
# area, and the room it got is kept in /cache/taken; then the answer goes on.
FILL_WHILE_HELD = """
"$@" &
stage=$!
until [ -s /device/server/held ]; do sleep 0.02; done
dd if=/dev/zero of=/tmp/filler bs=64k 2>/dev/null
stat -c %s /tmp/filler > /cache/taken
rm -f /tmp/filler
touch /device/server/release
wait $stage
"""


def test_room_is_reserved_for_the_whole_package(make_device, build_dir):
    # Room for the package and one more MiB. The reservation holds the whole package's
    # blocks from the first byte, so a writer beside the download finds that one MiB only.
    dev = make_device(props=UPDATER_PROPS, options=("--otacerts", "none",
                                                    "--tmp-size", str(3 << 20)))
    data = bytes(range(256)) * (2 << 12)  # 2 MiB
    serve(dev, data, {PKG: {"hold_after": 100_000}})
    run = Download(dev, prefix=["/bin/sh", "-c", FILL_WHILE_HELD, "sh"])
    text = run.finish(timeout=60)
    assert text.endswith("3:c:\n"), text
    assert package(dev) == data
    taken = int(dev.path("/cache/taken").read_text())
    # Without the reservation the writer would have got all but the 100 kB received.
    assert taken <= (3 << 20) - len(data), taken
