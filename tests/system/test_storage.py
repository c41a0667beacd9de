"""Storage helpers in the emulated device: the creation guard under each environment and
build type, the whole-file writer and reader, and the time-stamped output redirection."""
import re
import stat

import pytest

PROBE = "storage_probe"
TMPFS = "I:file in tmpfs, allow dump"
ANDROID = "I:corvane running in android system only during debug"
LATEST = "/cache/norvo/download/LatestRom/"


@pytest.fixture
def probe_built(make_device):
    dev = make_device(name="check")
    if not (dev.build / "bin" / PROBE).is_file():
        pytest.fail(f"{PROBE} is not built in {dev.build}")


def run(dev, *args):
    res = dev.run([PROBE, *args], timeout=30)
    assert res.returncode == 0, res.stderr
    return res.stdout.decode(), res.stderr.decode().splitlines()


def sh(dev, script):
    res = dev.run(["/bin/sh", "-c", script], timeout=30)
    assert res.returncode == 0, res.stderr
    return res.stdout.decode(), res.stderr.decode()


@pytest.mark.parametrize("env", ["recovery", "norvo"])
def test_guard_on_release_build_in_updater_environments(make_device, probe_built, env):
    dev = make_device(props={"ro.bootimage.name": env, "ro.build.tags": "release-keys"})
    cases = {
        "/tmp/download/status": 1,
        "/cache/tmp/download/LatestRom/version": 1,
        "/tmpfoo/x": 1,
        LATEST + "version": 1,
        "/cache/norvo/download/CrossRom/2": 1,
        LATEST + "Validate": 0,
        "/cache/norvo/download/response.norvo.encrypted": 0,
        "/cache/norvo/last_tmp": 0,
        LATEST + "3": 0,
        LATEST + "version/": 0,
        "//tmp/x": 0,
        "/data/x": 0,
    }
    out, log = run(dev, "allow", *cases)
    assert [int(v) for v in out.split()] == list(cases.values())
    # The two scratch prefixes and the odd prefix each say why; table lookups are silent.
    assert log == [TMPFS] * 3


def test_guard_in_android_and_with_test_keys(make_device, probe_built):
    dev = make_device()
    out, log = run(dev, "allow", "/data/x", LATEST + "Validate")
    assert out.split() == ["1", "1"]
    assert log == [ANDROID, ANDROID]

    dev = make_device(props={"ro.bootimage.name": "recovery", "ro.build.tags": "test-keys"},
                      name="testkeys")
    out, log = run(dev, "allow", "/data/x", LATEST + "Validate", "relative")
    assert out.split() == ["1", "1", "1"]
    assert log == []

    # Blanks around the values make them different values.
    dev = make_device(props={"ro.bootimage.name": " android", "ro.build.tags": "test-keys "},
                      name="blanks")
    out, _ = run(dev, "allow", "/data/x")
    assert out.split() == ["0"]
    out, _ = run(dev, "env")
    assert out == " android\n"


def test_writer_modes_truncation_and_failures(make_device, probe_built):
    dev = make_device(props={"ro.bootimage.name": "recovery"})
    out, err = sh(dev, f"umask 022; {PROBE} write /tmp/f x; {PROBE} write3 /tmp/ g yz;"
                       f"{PROBE} write /tmp/nodir/f x; {PROBE} write /cache/norvo_refused x")
    assert out.split() == ["0", "0", "-2", "0"]
    f = dev.path("/tmp/f")
    assert f.read_bytes() == b"x"
    assert stat.S_IMODE(f.stat().st_mode) == 0o644
    assert dev.path("/tmp/g").read_bytes() == b"yz"
    assert "E:failed to open file /tmp/nodir/f(2)No such file or directory" in err.splitlines()
    assert "E:copy /cache/norvo_refused only in test-keys" in err.splitlines()
    assert not dev.path("/cache/norvo_refused").exists()

    out, _ = run(dev, "write", "/tmp/f", "")
    assert out == "0\n"
    assert f.exists() and f.read_bytes() == b""


def test_reader(make_device, probe_built):
    dev = make_device()
    dev.path("/tmp/r").write_bytes(b" two\nlines\n")
    out, log = run(dev, "read", "/tmp/r")
    assert out == " two\nlines\n"
    out, log = run(dev, "read", "/tmp/missing")
    assert out == ""
    assert "E:failed to open file/tmp/missing(2)No such file or directory" in log


STAMP = r"\[ {4}\d\.\d{6}\]"


def test_redirect_stamps_lines_until_every_writer_is_gone(make_device, probe_built):
    dev = make_device()
    dev.path("/cache/quillon.log").write_text("earlier\n")
    # cat holds the output the log writer inherited: its end means the writer exited.
    out, err = sh(dev, f"{PROBE} redirect /cache/quillon.log first '' '2>to stderr' last | cat")
    assert out == "getline failed"
    assert re.search(r'I:=+ Start logging "/cache/quillon.log" \[\d+\]\.\.\.', err)
    text = dev.path("/cache/quillon.log").read_text()
    assert re.fullmatch(f"earlier\n{STAMP} first\n{STAMP}\n{STAMP} to stderr\n{STAMP} last\n",
                        text), text
    stamps = [float(s) for s in re.findall(r"\[ *([\d.]+)\]", text)]
    assert stamps == sorted(stamps)


def test_redirect_writer_without_log_file_reports_and_exits(make_device, probe_built):
    dev = make_device()
    out, _ = sh(dev, f"{PROBE} redirect /cache/nodir/log line | cat")
    # Without a log the program's lines stay on its console.
    assert out == 'fopen "/cache/nodir/log" failed' + "line\n"
    assert not dev.path("/cache/nodir").exists()
