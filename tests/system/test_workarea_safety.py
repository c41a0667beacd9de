"""The work area against planted files and full storage: a link planted at one of corvane's
paths never takes a write outside the work area, a FIFO never hangs a stage, and a record
or answer that cannot be written fails its step with CURLE_WRITE_ERROR (23) and a log line
naming the file and the system's error."""
import os
import re

import pytest
import test_first_stage
from norvo_driver import NO_KEY_STORE, TEST_PHONE_PROPS
from test_hostile import Download, package, put_record
OFFERED = ["0:s", "1:s", "2:s:0"]


@pytest.fixture
def phone(make_device, build_dir):
    dev = make_device(props=TEST_PHONE_PROPS, options=NO_KEY_STORE)  # the dump to /cache is allowed too
    test_first_stage.offer(dev)
    (dev.root / "cache" / "norvo").mkdir(exist_ok=True)
    return dev


def first_stage(device, timeout=60):
    """A first stage in command mode, bounded in time; its status lines and log."""
    result = device.run(["corvane", "--run_from_command", "2"], server=True, timeout=timeout)
    assert result.returncode == 0
    out = result.stdout + result.stderr
    return test_first_stage.status_lines(out), out.decode("latin-1")


# -- planted links ------------------------------------------------------------------------

FILE_PATHS = ["/tmp/download/status", "/cache/norvo/response.body", "/cache/norvo/time",
              "/tmp/zel/events/download_status", "/tmp/download/request.encrypted",
              "/cache/norvo/download/CurrentRom"]
FOLDER_PATHS = ["/tmp/download/LatestRom", "/cache/norvo/download/LatestRom",
                "/cache/norvo/download/CrossRom"]


@pytest.mark.parametrize("path", FILE_PATHS)
def test_link_at_a_work_file_is_replaced_not_written_through(phone, path):
    victim = phone.path("/cache/victim")
    victim.write_text("keep")
    host = phone.path(path)
    host.parent.mkdir(parents=True, exist_ok=True)
    os.symlink("/cache/victim", host)
    states, out = first_stage(phone)
    assert states == OFFERED, out[-3000:]
    assert victim.read_text() == "keep"
    assert host.is_file() and not host.is_symlink()


@pytest.mark.parametrize("path", FOLDER_PATHS)
def test_link_at_a_record_folder_is_replaced_not_written_through(phone, path):
    victim = phone.path("/cache/victim")
    victim.mkdir()
    (victim / "version").write_text("keep")
    host = phone.path(path)
    host.parent.mkdir(parents=True, exist_ok=True)
    if host.is_dir():
        host.rmdir()
    os.symlink("/cache/victim", host)
    states, out = first_stage(phone)
    assert states == OFFERED, out[-3000:]
    assert sorted(p.name for p in victim.iterdir()) == ["version"]
    assert (victim / "version").read_text() == "keep"
    assert host.is_dir() and not host.is_symlink()
    assert phone.path("/tmp/download/LatestRom/version").read_text() == "V2.0.1"


# -- FIFOs ----------------------------------------------------------------------------------

@pytest.mark.parametrize("path", ["/tmp/download/LatestRom/md5", "/tmp/download/LatestRom/0",
                                  "/cache/norvo/diagpid", "/cache/norvo/enable_android_request",
                                  "/cache/norvo/time", "/tmp/download/response.encrypted"])
def test_fifo_in_the_work_area_does_not_hang_the_first_stage(phone, path):
    host = phone.path(path)
    host.parent.mkdir(parents=True, exist_ok=True)
    os.mkfifo(host)
    states, out = first_stage(phone, timeout=60)
    assert states == OFFERED, out[-3000:]
    # The record the download will use is whole and made of regular files.
    record = phone.path("/tmp/download/LatestRom")
    assert (record / "md5").read_text() == test_first_stage.ROM["md5"]
    assert (record / "1" / "host").read_text() == test_first_stage.MIRRORS[1]


@pytest.mark.parametrize("record", ["filesize", "md5"])
def test_fifo_as_a_record_does_not_hang_the_download(phone, record):
    data = package(200 * 1024, seed=11)
    put_record(phone, "fifo.bin", data)
    os.unlink(phone.path("/tmp/download/LatestRom/" + record))
    os.mkfifo(phone.path("/tmp/download/LatestRom/" + record))
    dl = Download(phone, "/pkgs/fifo.bin")
    status = dl.read_to_end(30)
    assert dl.wait(10) == 0
    assert status.endswith("3:c:\n"), status
    assert phone.path("/tmp/secure_update.zip").read_bytes() == data


# -- full storage ---------------------------------------------------------------------------

def run_with_full(device, mount_point, prepare=""):
    """A first stage with a 512 KiB tmpfs at mount_point, filled to the last block after
    `prepare` ran. The build folder is bound back in case it lives under that path."""
    script = f"""
set -e
mkdir -p /device/build
mount --bind "$NORVO_BUILD_DIR" /device/build
mount -t tmpfs -o size=512k tmpfs {mount_point}
mkdir -p "$NORVO_BUILD_DIR"
mount --bind /device/build "$NORVO_BUILD_DIR"
mkdir -p /tmp/download/LatestRom /tmp/download/CrossRom /tmp/zel/events /cache/norvo
{prepare}
dd if=/dev/zero of={mount_point}/fill bs=4k 2>/dev/null || true
set +e
corvane --run_from_command 2
"""
    result = device.run(["/bin/bash", "-c", script], server=True, timeout=60)
    out = result.stdout + result.stderr
    return test_first_stage.status_lines(out), out.decode("latin-1"), result.stdout.decode()


def test_full_tmp_fails_the_update_check_and_keeps_the_old_record(phone):
    old = "printf %s V1.9 >/tmp/download/LatestRom/version; " \
          "printf %s old.zip >/tmp/download/LatestRom/filename; " \
          "ln -s /tmp/download/LatestRom /tmp/download/CurrentRom"
    states, out, stdout = run_with_full(phone, "/tmp", old + "\n" +
                                "trap 'cat /tmp/download/LatestRom/version' EXIT")
    assert states == ["0:s", "1:f:23"], out[-3000:]
    assert re.search(r"E:failed to (write|copy) record /tmp/download/LatestRom/\S+: "
                     r"No space left on device", out), out[-3000:]
    # The old record is still whole: the trap printed its version after the run.
    assert stdout.rstrip().endswith("V1.9"), stdout[-500:]


def test_full_cache_fails_the_clock_step_naming_the_time_file(phone):
    states, out, _ = run_with_full(phone, "/cache")
    assert states == ["0:f:23"], out[-3000:]
    assert "E:failed to write /cache/norvo/time: No space left on device" in out, out[-3000:]
    assert "no Date header" not in out


def test_full_cache_fails_the_update_check_naming_the_answer_file(phone):
    # An earlier time file is larger than the new headers, so the clock step still
    # has room; the answer body then finds none.
    states, out, _ = run_with_full(
        phone, "/cache", "head -c 4096 /dev/zero >/cache/norvo/time")
    assert states == ["0:s", "1:f:23"], out[-3000:]
    assert "E:failed to write /cache/norvo/response.body: No space left on device" in out, \
        out[-3000:]
    assert "failed to use" not in out  # neither Base64 nor the cipher is blamed
