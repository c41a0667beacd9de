"""The shared stage driver (tools/norvo_driver.py) against a stand-in stage: a shell script
that speaks the two pipes, so that the driver's own line handling, time-outs and exit
detection are checked without corvane (which never runs on the host)."""
import os
import time

import pytest
from norvo_driver import FIRST, SECOND, Stage, StageTimeout, write_rom_record

# $1 is the program word, then --run_from_fork, the stage, W, R and the stage's arguments.
STAND_IN = """
status=$4; commands=$5
printf '3:p:1\\n3:p:' >&$status
sleep 0.2
printf '2\\n' >&$status
read -r line <&$commands
printf '3:r:%s\\n3:r:s' "$line" >&$status
[ "$6" = wait ] && exec sleep 30
exit 3
"""


def stand_in(*args, **kwargs):
    return Stage(SECOND, *args, program="stand-in", prefix=["/bin/bash", "-c", STAND_IN, "sh"],
                 **kwargs)


def test_lines_are_whole_and_the_last_unterminated_one_is_kept():
    stage = stand_in("go")
    assert stage.wait_for(r"3:p:2\n", timeout=10).endswith("3:p:1\n3:p:2\n")
    # A line split over two writes is one line, stamped when it was complete.
    assert stage.new_lines(0) == ["3:p:1", "3:p:2"]
    stage.send("x\n")
    assert stage.finish(timeout=10) == "3:p:1\n3:p:2\n3:r:x\n3:r:s"
    assert [line for _, line in stage.stamps][-2:] == ["3:r:x", "3:r:s"]
    assert stage.proc.returncode == 3 and stage.status_fd is None and stage.cmd_fd is None


def test_every_wait_is_bounded():
    # The driver's own time-outs, so without the emulator's factor.
    stage = stand_in("wait", timeout_scale=1)
    stage.wait_for(r"3:p:2\n", timeout=30)
    started = time.monotonic()
    with pytest.raises(StageTimeout, match="no 'never'.*3:p:2"):
        stage.wait_for("never", timeout=0.5)
    assert stage.quiet_for(0.3) == ""
    assert not stage.wait_exit(0.3)  # still reading its command pipe
    stage.send("y\n")
    with pytest.raises(StageTimeout, match="did not end within 0.5 s"):
        stage.read_to_end(0.5)  # the script sleeps holding the status pipe
    assert stage.wait(0.3, kill=True) == -9 and stage.killed
    assert time.monotonic() - started < 5


def test_exit_is_seen_on_the_command_pipe_without_reading_status():
    stage = Stage(FIRST, program="true", prefix=["/bin/sh", "-c", "exit 0", "sh"])
    assert stage.wait_exit(10)
    assert stage.read_to_end(10) == ""
    assert stage.wait(10) == 0


def test_record_values_links_and_removal(tmp_path):
    write_rom_record(tmp_path, filesize="5", md5="ab", version=b"V\xff")
    os.unlink(tmp_path / "download" / "CurrentRom")
    os.symlink("/elsewhere", tmp_path / "download" / "CurrentRom")
    write_rom_record(tmp_path, filesize=7, md5=None)
    record = tmp_path / "download" / "LatestRom"
    assert sorted(p.name for p in record.iterdir()) == ["filesize", "version"]
    assert (record / "filesize").read_text() == "7"
    assert (record / "version").read_bytes() == b"V\xff"
    assert os.readlink(tmp_path / "download" / "CurrentRom") == "/tmp/download/LatestRom"
