"""What runs as root is what was verified: attacks on ``corvane --run_from_command 6`` by a
process of our own user id, running in the emulated device beside the install.

Each attacker tries to make its own updater run, or the genuine updater run on its package:
by rewriting the updater entry inside the package in place (after the "verified" line, timed
by the install's read activity, through a descriptor kept since before the download), or by
renaming files over /tmp/update-binary and over the package in a loop. The attacker's updater
leaves /cache/evil-ran; it must never appear. The genuine updater leaves /cache/genuine-ran with
the SHA-256 of the package it was given.
"""
import hashlib
import pathlib
import subprocess
import sys

import pytest
from norvo_driver import UPDATER_PROPS
from test_download import Download, serve

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))
import make_package  # noqa: E402

ENTRY = make_package.UPDATER_ENTRY
# It takes a moment, as a real install does: an attack that reacts to the install's output
# lands while it runs.
GENUINE = b"""#!/bin/bash
sleep 0.5
sha256sum "$3" | cut -c1-64 > /cache/genuine-ran
echo "ui_print genuine updater ran" >&"$2"
"""
EVIL = b"""#!/bin/bash
echo ran > /cache/evil-ran
echo "ui_print evil updater ran" >&"$2"
"""
# Same length, so that one can be written over the other inside a stored archive.
EVIL = EVIL + b"#" * (len(GENUINE) - len(EVIL) - 1) + b"\n"
assert len(EVIL) == len(GENUINE)

# Rewrites the updater entry in place once the install prints the "verified" line; the
# install's output passes through it.
AFTER_LINE = r"""
import sys
offset, evil = int(sys.argv[1]), bytes.fromhex(sys.argv[2])
for line in sys.stdin:
    sys.stdout.write(line)
    if line.rstrip("\n") == "I:package signature verified":
        with open("/tmp/secure_update.zip", "r+b") as f:
            f.seek(offset)
            f.write(evil)
        sys.stdout.write("ATTACKED\n")
    sys.stdout.flush()
"""

# Watches the install's read activity and rewrites the entry once it has read `after` bytes:
# by then the hashing pass has gone past the entry, which a second read would take again.
# The install is the process with corvane itself among its arguments (corvane, or its
# launcher and emulator): the shell that starts it names corvane only inside its script,
# and its read count grows by the install's only once the install has ended and been
# reaped, which would time the rewrite after the updater ran.
TIMED = r"""
import os, sys, time
offset, evil, after = int(sys.argv[1]), bytes.fromhex(sys.argv[2]), int(sys.argv[3])
deadline = time.monotonic() + 20
pid = None
while time.monotonic() < deadline:
    if pid is None:
        for p in os.listdir("/proc"):
            try:
                argv = open(f"/proc/{p}/cmdline", "rb").read().split(b"\0")
            except OSError:
                continue
            if any(os.path.basename(a) == b"corvane" for a in argv):
                pid = p
                break
        continue
    try:
        rchar = int(open(f"/proc/{pid}/io").read().split("rchar: ")[1].split()[0])
    except (OSError, IndexError):
        break
    if rchar >= after:
        with open("/tmp/secure_update.zip", "r+b") as f:
            f.seek(offset)
            f.write(evil)
        print(f"ATTACKED at {rchar}", flush=True)
        break
"""

# Renames fresh copies of the sources, in turn, over `target` in a tight loop until
# /tmp/stop-attack appears (or 30 s passed).
RENAME_LOOP = r"""
import os, sys, time
target, mode = sys.argv[1], int(sys.argv[2], 8)
sources = [open(path, "rb").read() for path in sys.argv[3:]]
deadline = time.monotonic() + 30
n = 0
while not os.path.exists("/tmp/stop-attack") and time.monotonic() < deadline:
    tmp = f"{target}.evil{n % 2}"
    with open(tmp, "wb") as f:
        f.write(sources[n % len(sources)])
    os.chmod(tmp, mode)
    os.rename(tmp, target)
    n += 1
print(f"RENAMED {n}", flush=True)
"""


def signed(build_dir, updater=GENUINE, payload_size=4096):
    payload = bytes(range(256)) * (payload_size // 256)
    data = make_package.archive([(ENTRY, updater, 0o755),
                                 (make_package.METADATA_ENTRY, make_package.metadata(), 0o644),
                                 ("payload.bin", payload, 0o644)])
    return make_package.sign_archive(data, *make_package.test_key(str(build_dir / "testkey")))


def put(device, name, text):
    path = device.path("/cache/" + name)
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    return "/cache/" + name


def outcome(device, out):
    """Which updater ran; the evil one never may."""
    assert not device.path("/cache/evil-ran").exists(), out
    assert "E:ui_print: evil updater ran" not in out
    marker = device.path("/cache/genuine-ran")
    return marker.read_text().strip() if marker.exists() else None


def run_install(device, script, timeout=120):
    result = device.run(["/bin/bash", "-c", script], timeout=timeout)
    assert result.returncode == 0, result.stderr
    return result.stdout.decode()


def test_genuine_package_installs_from_the_sealed_copy(device, build_dir):
    data = signed(build_dir)
    device.path("/tmp/secure_update.zip").write_bytes(data)
    out = run_install(device, "corvane --run_from_command 6")
    assert outcome(device, out) == hashlib.sha256(data).hexdigest()
    assert "E:ui_print: genuine updater ran" in out.splitlines()
    assert "changed" not in out


def test_rewrite_right_after_the_verified_line(device, build_dir):
    data = signed(build_dir)
    device.path("/tmp/secure_update.zip").write_bytes(data)
    attack = put(device, "after_line.py", AFTER_LINE)
    out = run_install(device, f"corvane --run_from_command 6 | /usr/bin/python3 {attack} "
                              f"{data.index(GENUINE)} {EVIL.hex()}")
    assert "ATTACKED" in out.splitlines()
    assert EVIL in device.path("/tmp/secure_update.zip").read_bytes()
    ran = outcome(device, out)
    # Either the start was refused, or the genuine updater ran, the log says the package
    # changed under it and the result is no success.
    if ran is None:
        assert "E:package rejected: package changed during the check: " in out
        assert "6:f:7" in out.splitlines()
    else:
        assert "E:/tmp/secure_update.zip changed while the updater ran" in out
        assert "6:f:32" in out.splitlines() and "6:s" not in out.splitlines()


def test_rewrite_timed_by_read_activity_on_a_large_package(device, build_dir):
    data = signed(build_dir, payload_size=96 << 20)
    device.path("/tmp/secure_update.zip").write_bytes(data)
    attack = put(device, "timed.py", TIMED)
    out = run_install(device, f"/usr/bin/python3 {attack} {data.index(GENUINE)} {EVIL.hex()} "
                              f"{8 << 20} & corvane --run_from_command 6; wait")
    assert any(line.startswith("ATTACKED at") for line in out.splitlines()), out
    ran = outcome(device, out)
    if ran is None:
        assert "E:package rejected: package changed during the check" in out
    else:
        assert ran == hashlib.sha256(device.path("/tmp/secure_update.zip").read_bytes()).hexdigest()


def test_descriptor_opened_before_the_download(make_device, build_dir):
    device = make_device(props=UPDATER_PROPS)
    data = signed(build_dir, payload_size=200_000)
    serve(device, data)
    # The attacker makes the package file first and keeps a writable descriptor on it.
    holder = device.popen(["/usr/bin/python3", "-c", r"""
import os, sys
fd = os.open("/tmp/secure_update.zip", os.O_RDWR | os.O_CREAT, 0o666)
print(os.fstat(fd).st_ino, flush=True)
offset, evil = sys.stdin.readline().split()
os.pwrite(fd, bytes.fromhex(evil), int(offset))
print("ATTACKED", flush=True)
"""], stdin=subprocess.PIPE)
    inode = int(holder.stdout.readline())
    assert Download(device).finish(timeout=60).endswith("3:c:\n")
    package = device.path("/tmp/secure_update.zip")
    assert package.read_bytes() == data
    assert package.stat().st_ino != inode
    assert package.stat().st_mode & 0o777 == 0o600
    holder.stdin.write(f"{data.index(GENUINE)} {EVIL.hex()}\n".encode())
    holder.stdin.flush()
    assert holder.stdout.readline() == b"ATTACKED\n"
    out = run_install(device, "corvane --run_from_command 6")
    assert outcome(device, out) == hashlib.sha256(data).hexdigest()


@pytest.mark.parametrize("target", ["/tmp/update-binary", "/tmp/secure_update.zip"])
def test_rename_loop(device, build_dir, target):
    data = signed(build_dir)
    device.path("/tmp/secure_update.zip").write_bytes(data)
    if target == "/tmp/update-binary":
        sources, mode = [put(device, "swapped", EVIL)], "755"
    else:
        # The genuine package and an unsigned one whose updater is the attacker's, in turn:
        # the check may open the genuine one and the swap come after it.
        swapped = make_package.archive([(ENTRY, EVIL, 0o755), ("payload.bin", b"evil", 0o644)])
        sources, mode = [put(device, "genuine", data), put(device, "swapped", swapped)], "644"
    attack = put(device, "rename_loop.py", RENAME_LOOP)
    out = run_install(device, f"/usr/bin/python3 {attack} {target} {mode} {' '.join(sources)} & "
                              "sleep 0.2; corvane --run_from_command 6; touch /tmp/stop-attack; wait")
    assert any(line.startswith("RENAMED") and int(line.split()[1]) > 0
               for line in out.splitlines()), out
    ran = outcome(device, out)
    if target == "/tmp/update-binary":
        assert ran == hashlib.sha256(data).hexdigest()
    elif ran is None:
        assert "E:package rejected: " in out
    elif ran != hashlib.sha256(data).hexdigest():
        # Swapped after the start: the genuine updater reopened the path and got the other
        # package. What remains for our own user id; the log says so.
        assert "E:/tmp/secure_update.zip changed while the updater ran" in out


@pytest.mark.parametrize("change", ["group writable", "second link"])
def test_package_open_to_other_writers_is_refused(device, build_dir, change):
    package = device.path("/tmp/secure_update.zip")
    package.write_bytes(signed(build_dir))
    if change == "group writable":
        package.chmod(0o664)
    else:
        (device.path("/tmp/download") / "alias.zip").hardlink_to(package)
    out = run_install(device, "corvane --run_from_command 6")
    assert "E:package rejected: package open to other writers: " in out
    assert "I:package signature verified" not in out
    assert outcome(device, out) is None


# -- the install's last window ---------------------------------------------------------------

# Says it started, waits until the attacker is done (bounded), then hashes the package it was
# given and lists what it sees of /tmp.
WAITING = b"""#!/bin/bash
echo started > /cache/updater-started
n=0
until [ -e /cache/attack-done ] || [ $n -ge 3000 ]; do sleep 0.02; n=$((n+1)); done
sha256sum "$3" | cut -c1-64 > /cache/genuine-ran
ls -A /tmp > /cache/updater-tmp
echo x 2>/dev/null > "$3" && echo writable > /cache/updater-wrote
echo "ui_print waiting updater ran" >&"$2"
"""

# Waits for the updater's start, then renames an unsigned package over the path.
RENAME_AFTER_START = """
until [ -e /cache/updater-started ]; do sleep 0.02; done
cp /cache/unsigned.zip /tmp/.swap && mv /tmp/.swap /tmp/secure_update.zip
touch /cache/attack-done
"""


@pytest.mark.parametrize("namespace", [True, False], ids=["private-tmp", "shared-tmp"])
def test_package_renamed_over_after_the_updater_started(device, build_dir, namespace):
    data = signed(build_dir, updater=WAITING)
    unsigned = make_package.archive([(ENTRY, WAITING, 0o755), ("payload.bin", b"evil", 0o644)])
    device.path("/tmp/secure_update.zip").write_bytes(data)
    put(device, "unsigned.zip", unsigned)
    attack = put(device, "rename_after_start.sh", RENAME_AFTER_START)
    env = "" if namespace else "NORVO_INSTALL_NAMESPACE=0 "
    out = run_install(device, f"/bin/bash {attack} & {env}corvane --run_from_command 6; wait")
    lines = out.splitlines()
    # The attack happened while the updater ran.
    assert device.path("/cache/attack-done").exists()
    ran = outcome(device, out)
    if namespace:
        # The updater's /tmp is its own: it read the verified bytes, could not write them,
        # and saw nothing else there; the install is a verified one.
        assert "I:the updater runs with a private /tmp: /tmp/secure_update.zip is the verified "\
               "file, read-only" in lines
        assert ran == hashlib.sha256(data).hexdigest()
        assert device.path("/cache/updater-tmp").read_text().split() == [
            "secure_update.zip", "update-binary"]
        assert not device.path("/cache/updater-wrote").exists()
        assert device.path("/tmp/secure_update.zip").read_bytes() == unsigned
        assert ("W:/tmp/secure_update.zip was renamed over while the updater ran; the "
                "updater's private /tmp kept the verified file") in lines, out
        assert lines[-2:] == ["6:s", "I:Bye bye, RUN_UPDATER"], out
    else:
        # Without the namespace the updater read the swapped bytes: never a success.
        assert any(l.startswith("W:the updater shares /tmp (switched off") for l in lines), out
        assert ran == hashlib.sha256(unsigned).hexdigest()
        assert "E:/tmp/secure_update.zip changed while the updater ran: " in out
        assert lines[-2:] == ["6:f:32", "I:Bye bye, RUN_UPDATER"], out


# Leaves a process behind that holds the command pipe (and stdout) for ten minutes.
LEAVES_A_CHILD = b"""#!/bin/bash
echo "ui_print before the exit" >&"$2"
sleep 600 &
exit 0
"""


def test_updater_leaving_a_process_on_its_pipe_still_gets_its_result(device, build_dir):
    data = signed(build_dir, updater=LEAVES_A_CHILD)
    device.path("/tmp/secure_update.zip").write_bytes(data)
    # Were the result to wait for the pipe's last writer, this would not end in time.
    out = run_install(device, "corvane --run_from_command 6", timeout=60)
    lines = out.splitlines()
    assert "E:ui_print: before the exit" in lines
    assert ("W:/tmp/update-binary exited, but a process it left still holds its command pipe; "
            "its result is written without waiting for it") in lines, out
    assert lines[-2:] == ["6:s", "I:Bye bye, RUN_UPDATER"], out
