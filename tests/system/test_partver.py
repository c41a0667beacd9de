"""partver in the emulated device: partition header, version record and target versions."""
import struct

import pytest

HEADER_SIZE = 4096
TARGET = "/tmp/norvo.targetversion"
VERSION_PROPS = ("ota.norvo.source.major", "ota.norvo.source.middle", "ota.norvo.source.minor")


def make_image(magic=True, dtbo_size=0x1800, dtbo_offset=0x3000, numbers=(1234, -5, 7),
               record=True):
    """A partition image: boot image header and, where the header says, the version record."""
    image = bytearray(HEADER_SIZE)
    image[0:8] = b"ANDROID!" if magic else b"NOTANIMG"
    struct.pack_into("<I", image, 1632, dtbo_size)
    struct.pack_into("<Q", image, 1636, dtbo_offset)
    if record:
        at = (dtbo_offset + dtbo_size + 4095) & ~4095
        image.extend(bytes(max(0, at + 20 - len(image))))
        if at:
            image[at:at + 8] = b"\xa5" * 8  # not used by the probe
        struct.pack_into("<iii", image, at + 8, *numbers)
    return bytes(image)


def run_partver(dev, args=("-v",), shell_prefix=None):
    argv = ["partver", *args]
    if shell_prefix:
        argv = ["/bin/sh", "-c", shell_prefix + " && exec partver " + " ".join(args)]
    res = dev.run(argv, timeout=30)
    assert res.returncode == 0, res.stderr
    return res.stdout.decode()


def props_of(dev, names):
    return {name: dev.getprop(name) for name in names}


@pytest.mark.parametrize("magic,existed", [(True, "1"), (False, "0")])
def test_version_published(build_dir, device, magic, existed):
    device.path("/dev/block/sda30").write_bytes(make_image(magic=magic))
    device.path(TARGET).write_text("a=1\nb=2=3\nflag\n")
    out = run_partver(device)
    assert out == ""
    assert device.getprop("ota.norvo.existed") == existed
    assert props_of(device, VERSION_PROPS) == dict(zip(VERSION_PROPS, ("123", "-5", "7")))
    assert props_of(device, ("a", "b", "flag")) == {"a": "1", "b": "2=3", "flag": "flag"}


def test_minor_1000_and_record_at_start(build_dir, device):
    # Size and offset 0: the record overlaps the header, right after the magic.
    device.path("/dev/block/sda30").write_bytes(
        make_image(dtbo_size=0, dtbo_offset=0, numbers=(7, 12, 1000)))
    run_partver(device)
    assert device.getprop("ota.norvo.existed") == "1"
    assert props_of(device, VERSION_PROPS) == dict(zip(VERSION_PROPS, ("7", "12", "100")))


def test_missing_device_still_applies_targets(build_dir, device):
    device.path(TARGET).write_text("ota.norvo.target=5\n")
    # The partition file is a bind mount in the device; take it away there.
    out = run_partver(device, shell_prefix="umount /dev/block/sda30 && rm /dev/block/sda30")
    assert out == ("failed to open norvo-dev (No such file or directory)\n")
    assert device.getprop("ota.norvo.existed") is None
    assert device.getprop("ota.norvo.target") == "5"


@pytest.mark.parametrize("image,message,existed", [
    (b"", "failed to read norvo-dev (No data available)\n", None),
    (make_image(record=False, dtbo_offset=1 << 20),
     "failed to read norvo_misc (No data available)\n", "1"),
    # An offset near 2**64 would wrap to a small position; it is refused instead.
    (make_image(record=False, dtbo_size=0x2000, dtbo_offset=(1 << 64) - 0x1000),
     "failed to seek norvo_dev to 0 (Value too large for defined data type)\n", "1"),
])
def test_partition_failures(build_dir, device, image, message, existed):
    device.path("/dev/block/sda30").write_bytes(image)
    device.path(TARGET).write_text("k=v")
    out = run_partver(device)
    assert out == message
    assert device.getprop("ota.norvo.existed") == existed
    assert props_of(device, VERSION_PROPS) == dict.fromkeys(VERSION_PROPS)
    assert device.getprop("k") == "v"


def test_missing_target_file(build_dir, device):
    device.path("/dev/block/sda30").write_bytes(make_image())
    out = run_partver(device)
    assert out == f"failed to open {TARGET}: No such file or directory\n"
    assert device.getprop("ota.norvo.source.major") == "123"


def test_refused_target_entries_are_skipped(build_dir, device):
    device.prop_preset("ro.fixed", "old")
    device.path("/dev/block/sda30").write_bytes(make_image())
    device.path(TARGET).write_text("ro.fixed=new\n../escape=x\nlong=" + "v" * 92 + "\nok=1\n")
    out = run_partver(device)
    assert out == ""
    assert device.getprop("ro.fixed") == "old"
    assert device.getprop("long") is None
    assert device.getprop("ok") == "1"
    assert not (device.root / "escape").exists()


@pytest.mark.parametrize("args", [(), ("-V",), ("-v", "-v"), ("--version", "-v"), ("v",)])
def test_other_arguments_do_nothing(build_dir, device, args):
    device.path("/dev/block/sda30").write_bytes(make_image())
    device.path(TARGET).write_text("a=1\n")
    out = run_partver(device, args=args)
    assert out == ""
    assert sorted(p.name for p in device.path("/dev/__properties__").iterdir()) == sorted(
        device.PRESETS)
