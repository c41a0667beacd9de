"""The installer bridge: ``corvane --run_from_command 6`` runs /tmp/update-binary in the
emulated device and relays the lines it writes on its command pipe into the log. The updater
is the signed package's own (tests/system/test_signature.py attacks the signature)."""
import os
import pathlib
import re
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))
import make_package  # noqa: E402
from conftest import read_output_until  # noqa: E402
from norvo_driver import TEST_PHONE_PROPS, hang_timeout  # noqa: E402

UPDATER = r"""#!/bin/bash
# $1: interface version, $2: command pipe descriptor, $3: package
echo "ARGS:$1:$3"
echo "UMASK:$(umask)"
w=$(readlink /proc/$$/fd/$2)
n=0
for f in /proc/$$/fd/*; do [ "$(readlink "$f")" = "$w" ] && n=$((n+1)); done
echo "SAMEPIPE:$n"
{
  echo "ui_print   Installing  "
  echo "progress 0.5 10"
  echo "progress 0.5"
  echo "progress x 10"
  echo "set_progress 0.2"
  echo "log hello"
  echo "log"
  echo " indented words are ignored"
  echo ""
  printf 'y%.0s' $(seq 3000); echo
  echo "ui_print after the long line"
} >&"$2"
exit 3
"""


def install(device, script):
    """Installs a package signed with the build's test key whose updater is script (None:
    a package without updater)."""
    entries = [(make_package.METADATA_ENTRY, make_package.metadata(), 0o644),
               ("payload.bin", b"payload", 0o644)]
    if script is not None:
        entries.insert(0, (make_package.UPDATER_ENTRY, script.encode(), 0o755))
    device.path("/tmp/secure_update.zip").write_bytes(
        make_package.signapk_sign(make_package.archive(entries), str(device.build / "testkey")))
    result = device.run(["corvane", "--run_from_command", "6"], timeout=30)
    assert result.returncode == 0
    return result.stdout.decode()


def test_relays_the_updater_lines(device, build_dir):
    out = install(device, UPDATER)
    lines = out.splitlines()
    fd = re.search(r"^E:command\[2\]:(\d+)$", out, re.M).group(1)
    assert "E:command[0]:/tmp/update-binary" in lines
    assert "E:command[1]:3" in lines
    assert "E:command[3]:/tmp/secure_update.zip" in lines
    assert int(fd) > 2
    assert "ARGS:3:/tmp/secure_update.zip" in lines
    assert "UMASK:0022" in lines
    assert "SAMEPIPE:1" in lines  # the updater holds the write end only
    relayed = [line for line in lines if line.startswith("E:") and "command[" not in line
               and not line.startswith("E:/tmp/update-binary was missing")]
    assert relayed[:4] == ["E:ui_print", "E:ui_print: Installing", "E:progress",
                           "E:progress"]
    assert 'E:invalid "progress" parameters: progress 0.5' in lines
    assert 'E:invalid "progress" parameters: progress x 10' in lines
    assert "E:unknown command [set_progress]" in lines
    assert 'E:invalid "log" parameters: log' in lines
    assert "E:log" in lines and "hello" not in out
    assert "indented" not in out
    # 3000 characters arrive as pieces of at most 1023, each handled as a line.
    pieces = re.findall(r"^E:unknown command \[(y+)\]$", out, re.M)
    assert [len(p) for p in pieces] == [1023, 1023, 954]
    assert "E:ui_print: after the long line" in lines
    # The updater exited with 3: the install failed, and the result line says so.
    assert "E:/tmp/update-binary failed (exit status 3)" in lines
    assert lines[-2:] == ["6:f:31", "I:Bye bye, RUN_UPDATER"]


def test_missing_updater_is_taken_from_the_package(device, build_dir):
    out = install(device, UPDATER)
    assert "ARGS:3:/tmp/secure_update.zip" in out.splitlines()
    target = device.path("/tmp/update-binary")
    assert target.read_text() == UPDATER and (target.stat().st_mode & 0o7777) == 0o755


def test_package_without_updater_runs_nothing(device, build_dir):
    out = install(device, None)
    lines = out.splitlines()
    assert f"E:package rejected: no {make_package.UPDATER_ENTRY} in the package" in lines
    assert "E:command[0]:/tmp/update-binary" not in lines
    assert lines[-2:] == ["6:f:20", "I:Bye bye, RUN_UPDATER"]
    assert not device.path("/tmp/update-binary").exists()


def test_updater_that_cannot_be_started(device, build_dir):
    # Neither a program nor a script: the child reports it and the bridge still ends.
    out = install(device, "not a program\n")
    assert "E:Can't run /tmp/update-binary (Exec format error)" in out.splitlines()
    assert out.splitlines()[-2:] == ["6:f:31", "I:Bye bye, RUN_UPDATER"]


def test_front_end_runs_the_whole_update(make_device, build_dir, tmp_path):
    """First stage, download with a pause and a continue, install: the front-end
    simulator with the demo package, as tools/demo.sh runs it."""
    repo = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
    device = make_device(props=TEST_PHONE_PROPS)
    zip_path = device.root / "server" / "packages" / "V2.0.1" / "norvo-update.zip"
    subprocess.run([sys.executable, os.path.join(repo, "tools", "make_package.py"),
                    str(zip_path), "--payload-size", "600000"], check=True)
    device.server_config({
        "catalogue": [{"LatestRom": {"version": "V2.0.1", "filename": "norvo-update.zip"}}],
        "mirrors": ["https://secure.norvo.test/pkgs", "http://update.norvo.test/pkgs"],
        # The answer is held past the pause's 30 % until the front end has continued, so
        # the download cannot end before the commands, however fast it runs.
        "faults": {"/pkgs/V2.0.1/norvo-update.zip": {"hold_after": zip_path.stat().st_size * 2
                                                     // 3}},
    })
    proc = device.popen(["/usr/bin/python3", os.path.join(repo, "tools", "frontend.py"),
                         "--script", "30:p,+1:c"], server=True, stderr=subprocess.STDOUT)
    seen = read_output_until(proc, b"continued", hang_timeout(60))
    device.release()
    rest, _ = proc.communicate(timeout=hang_timeout(60))
    out = (seen + rest).decode()
    assert proc.returncode == 0, out
    assert "2:s:0" in out and "paused" in out and "continued" in out and "complete" in out
    assert device.path("/tmp/secure_update.zip").read_bytes() == zip_path.read_bytes()
    assert (device.path("/tmp/update-binary").stat().st_mode & 0o777) == 0o755
    assert "I:package signature verified" in out
    # The demo shows that the package fits the handset before its updater starts.
    fits = out.index("I:package fits this handset: device vexa_one, build time ")
    assert fits < out.index("E:command[0]:/tmp/update-binary")
    errors = [line.strip() for line in out.splitlines() if line.strip().startswith("E:")]
    assert [e for e in errors if not e.startswith(("E:command[", "E:ui_print", "E:progress",
                                                   "E:log"))] == []
    assert "E:ui_print: Norvo demo update V2.0.1" in out
    assert "E:ui_print: Done." in out
    assert out.rstrip().endswith("I:Bye bye, RUN_UPDATER")
