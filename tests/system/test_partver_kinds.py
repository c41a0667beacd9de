"""partver refuses what is neither a partition nor a file, instead of hanging on it."""
import pytest

from test_partver import TARGET, VERSION_PROPS, make_image

PART = "/dev/block/sda30"
# The partition file is a bind mount in the device; replace it there.
REPLACE_PART = f"umount {PART} && rm {PART} && "


def run_sh(dev, script, timeout=15):
    # A partver that waited on a FIFO or read a device for ever would not end: the run's
    # time-out fails the test then.
    res = dev.run(["/bin/sh", "-c", script], timeout=timeout)
    assert res.returncode == 0, res.stderr
    return res.stdout.decode()


@pytest.mark.parametrize("make", [f"mkfifo {PART}", f"ln -s /dev/zero {PART}", f"mkdir {PART}"],
                         ids=["fifo", "char-device", "folder"])
def test_partition_of_the_wrong_kind_is_refused(build_dir, device, make):
    device.path(TARGET).write_text("ota.norvo.target=5\n")
    out = run_sh(device, REPLACE_PART + make + " && exec partver -v", timeout=10)
    assert out == "failed to open norvo-dev (not a block device or regular file)\n"
    assert device.getprop("ota.norvo.existed") is None
    assert {n: device.getprop(n) for n in VERSION_PROPS} == dict.fromkeys(VERSION_PROPS)
    # The target block still runs.
    assert device.getprop("ota.norvo.target") == "5"


def test_target_file_fifo_and_oversized_are_refused(build_dir, device):
    device.path(PART).write_bytes(make_image())
    out = run_sh(device, f"mkfifo {TARGET} && exec partver -v")
    assert out == f"failed to open {TARGET}: not a regular file\n"
    assert device.getprop("ota.norvo.source.major") == "123"

    device.path(TARGET).unlink()
    device.path(TARGET).write_text("big=1\n" + "x" * (64 * 1024))
    out = run_sh(device, "exec partver -v")
    assert out == f"failed to read {TARGET}: File too large\n"
    assert device.getprop("big") is None
