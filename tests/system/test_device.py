"""The emulated device itself: isolation, layout, presets and pass-through of descriptors."""
import os
import pathlib
import shutil
import subprocess

from conftest import DEVICE_SCRIPT
from norvo_driver import hang_timeout

PY = "/usr/bin/python3"

# Sets the clock to the time it already is, so that even a broken sandbox changes nothing.
SET_CLOCK = """
import errno, os, time
host_userns = os.environ["HOST_USERNS"]
assert os.readlink("/proc/self/ns/user") != host_userns, "not in a user namespace"
try:
    time.clock_settime(time.CLOCK_REALTIME, time.time())
    print("set")
except OSError as err:
    print(errno.errorcode[err.errno])
"""


def test_tmpfs_mount_works_and_clock_is_refused(device):
    host_userns = os.readlink("/proc/self/ns/user")
    res = device.run(["/bin/sh", "-c",
                      "mkdir -p /cache/tmp && mount -t tmpfs none /cache/tmp && "
                      "echo x > /cache/tmp/f && grep ' /cache/tmp tmpfs ' /proc/mounts"])
    assert res.returncode == 0, res.stderr
    assert b"tmpfs" in res.stdout
    # The file went to the tmpfs, not to the device folder.
    assert not device.path("/cache/tmp/f").exists()

    res = device.run(["/usr/bin/env", f"HOST_USERNS={host_userns}", PY, "-c", SET_CLOCK])
    assert res.returncode == 0, res.stderr
    assert res.stdout.strip() == b"EPERM"


def test_fresh_layout_props_and_hosts(make_device):
    dev = make_device(props={"ro.bootimage.name": "norvo", "persist.x": "a b"})
    dev.prop_preset("debug.logcat", "1")
    res = dev.run(["/bin/sh", "-c",
                   "id -u; hostname; ls /tmp/download /tmp/zel; cat /dev/__properties__/persist.x;"
                   "echo; test -f /dev/block/sda30 && echo part;"
                   "getent hosts update.norvo.test zelas.norvo.test localhost"],
                  options=["--host", "10.1.2.3 extra.norvo.test"])
    assert res.returncode == 0, res.stderr
    lines = res.stdout.decode().splitlines()
    assert lines[0] == "0"
    assert "CrossRom" in lines and "LatestRom" in lines and "events" in lines
    assert "a b" in lines and "part" in lines
    resolved = [line.split() for line in lines if line.startswith("127.0.0.1")]
    assert {r[1] for r in resolved} >= {"update.norvo.test", "zelas.norvo.test"}
    hosts = dev.path("/etc/hosts").read_text()
    assert "10.1.2.3 extra.norvo.test" in hosts
    assert "127.0.0.1 intl.update.norvo.test" in hosts
    # Properties are one file per name holding exactly the value.
    assert dev.path("/dev/__properties__/persist.x").read_bytes() == b"a b"
    assert dev.getprop("debug.logcat") == "1"
    assert dev.getprop("absent") is None


def test_device_writes_stay_in_the_folder_and_host_is_read_only(device):
    res = device.run(["/bin/sh", "-c",
                      "echo v > /tmp/download/status; mkdir -p /cache/norvo; echo t > /cache/norvo/t;"
                      "printf 1 > /dev/__properties__/norvo.timesync.ready;"
                      "touch /usr/norvo-probe 2>/dev/null && echo usr-writable;"
                      f"touch {DEVICE_SCRIPT} 2>/dev/null && echo repo-writable; exit 0"])
    assert res.returncode == 0, res.stderr
    assert b"writable" not in res.stdout
    assert device.path("/tmp/download/status").read_text() == "v\n"
    assert device.path("/cache/norvo/t").read_text() == "t\n"
    assert device.getprop("norvo.timesync.ready") == "1"
    assert not pathlib.Path("/usr/norvo-probe").exists()


def test_exit_status_stdin_and_inherited_descriptors(device):
    r, w = os.pipe()
    try:
        res = device.run(["/bin/bash", "-c", f"cat; echo fd-ok >&{w}; exit 7"], pass_fds=(w,),
                         input=b"from stdin\n")
        os.close(w)
        w = -1
        assert res.returncode == 7
        assert res.stdout == b"from stdin\n"
        # The write end is closed everywhere once the device ends: EOF after the line.
        with os.fdopen(r, "rb") as reader:
            r = -1
            assert reader.read() == b"fd-ok\n"
    finally:
        for fd in (r, w):
            if fd >= 0:
                os.close(fd)


def test_only_loopback_network(device):
    res = device.run([PY, "-c",
                      "import socket; print(sorted(n for _, n in socket.if_nameindex()))"])
    assert res.returncode == 0, res.stderr
    assert res.stdout.strip() == b"['lo']"


def test_auto_folder_is_removed_unless_kept(tmp_path, device):
    env = dict(os.environ, NORVO_BUILD_DIR=str(device.build))
    res = subprocess.run([str(DEVICE_SCRIPT), "--", "/bin/true"], capture_output=True,
                         env=env, timeout=hang_timeout(60))
    assert res.returncode == 0
    folder = res.stderr.decode().split("device folder: ")[1].split()[0]
    assert not os.path.exists(folder)
    res = subprocess.run([str(DEVICE_SCRIPT), "--keep", "--", "/bin/true"],
                         capture_output=True, env=env, timeout=hang_timeout(60))
    folder = res.stderr.decode().split("device folder: ")[1].split()[0]
    try:
        assert os.path.isdir(os.path.join(folder, "tmp", "download", "LatestRom"))
    finally:
        shutil.rmtree(folder)


def test_refuses_without_bubblewrap(tmp_path, device):
    # A search path with the tools the script needs but no bwrap.
    bindir = tmp_path / "bin"
    bindir.mkdir()
    for tool in ("readlink", "dirname", "mktemp", "mkdir", "rm", "cat", "sed"):
        (bindir / tool).symlink_to(shutil.which(tool))
    env = dict(os.environ, PATH=str(bindir), NORVO_BUILD_DIR=str(device.build))
    marker = tmp_path / "ran"
    res = subprocess.run(["/bin/bash", str(DEVICE_SCRIPT), "--", "/usr/bin/touch", str(marker)],
                         capture_output=True, env=env, timeout=hang_timeout(30))
    assert res.returncode == 127
    assert b"bubblewrap" in res.stderr
    assert not marker.exists()


def test_image_is_copied_to_the_partition(tmp_path, device):
    image = tmp_path / "norvo.img"
    image.write_bytes(b"\x00HDR" * 100)
    res = device.run(["/usr/bin/cmp", "-s", "/dev/block/sda30", "/dev/stdin"],
                     options=["--image", str(image)], input=image.read_bytes())
    assert res.returncode == 0
    assert device.path("/dev/block/sda30").read_bytes() == image.read_bytes()
