"""A short kill campaign (tools/campaign.py --kill): ten SIGKILLs at seeded instants in both
stages, each followed by the stage again on the same work area. The record checks are also
fed hand-made snapshots, so that the campaign cannot pass because they never fire."""
import os
import re
import subprocess
import sys

TOOLS = os.path.join(os.path.dirname(__file__), "..", "..", "tools")
sys.path.insert(0, TOOLS)
import campaign  # noqa: E402
from norvo_driver import hang_timeout  # noqa: E402


def test_ten_kills_in_both_stages_end_good(build_dir, tmp_path):
    result = subprocess.run(
        ["/usr/bin/python3", os.path.join(TOOLS, "campaign.py"), "--kill", "--runs", "10",
         "--seed", "11", "--jobs", "2", "--build", str(build_dir),
         "--work", str(tmp_path / "kill")],
        capture_output=True, text=True, timeout=hang_timeout(180))
    out = result.stdout + result.stderr
    assert result.returncode == 0, out
    assert "10/10 good" in out
    assert "3:c: for a wrong file: 0" in out
    # Every kind of kill ran (the first four kills take one kind each).
    for kind in campaign.KILL_KINDS:
        assert re.search(rf"\b{kind} [1-9]\d*/[1-9]", out), out
    # Most instants fall while corvane runs; a kill after the stage ended proves nothing.
    killed = int(re.search(r"killed while running: (\d+)/10", out).group(1))
    assert killed >= 6, out


CLEAN = {
    "/tmp/download/CurrentRom": ("link", "/tmp/download/LatestRom"),
    "/tmp/download/LatestRom": ("dir", None),
    "/tmp/download/LatestRom/md5": ("file", b"0123456789abcdef0123456789abcdef"),
    "/tmp/download/LatestRom/0/host": ("file", b"http://update.norvo.test/pkgs"),
    "/tmp/download/status": ("file", b"RomInfo"),
}


def test_record_checks_find_what_a_kill_can_leave():
    assert campaign.record_problems(CLEAN, dict(CLEAN), []) == []
    # A value cut short, a missing mirror, a stray temporary file, a folder for a link.
    seen = dict(CLEAN)
    seen["/tmp/download/LatestRom/md5"] = ("file", b"0123")
    del seen["/tmp/download/LatestRom/0/host"]
    seen["/tmp/download/LatestRom/md5.tmp"] = ("file", b"")
    seen["/tmp/download/CurrentRom"] = ("dir", None)
    problems = " | ".join(campaign.record_problems(CLEAN, seen, []))
    for fault in ("md5: holds b'0123'", "0/host: missing", "md5.tmp: not in a clean run",
                  "CurrentRom: a dir where a clean run has a link"):
        assert fault in problems, problems
    # Values that differ between two clean runs are compared by kind only.
    assert not any("md5:" in p for p in campaign.record_problems(
        CLEAN, dict(CLEAN, **{"/tmp/download/LatestRom/md5": ("file", b"x")}),
        ["/tmp/download/LatestRom/md5"]))


def test_torn_records_are_prefixes_not_progress():
    seen = {"/tmp/download/LatestRom/0/host": ("file", b""),
            "/tmp/download/LatestRom/md5": ("file", b"0123"),
            "/tmp/download/status": ("file", b"AddressInfo")}
    torn = campaign.torn_records(CLEAN, seen)
    assert [t.split(":")[0] for t in torn] == ["/tmp/download/LatestRom/0/host",
                                               "/tmp/download/LatestRom/md5"]
    # Missing files and whole values are not torn.
    assert campaign.torn_records(CLEAN, {"/tmp/download/status": ("file", b"RomInfo")}) == []
