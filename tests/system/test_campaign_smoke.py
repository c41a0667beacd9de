"""A short interrupted-download campaign (tools/campaign.py) and the checks it relies on.

The full campaign runs 100 downloads; this one runs three (cuts with Range honoured, cuts
with Range ignored, a stall that outlives the download's low-speed limit) so that CI sees
the whole road. The checker is also fed hand-made logs, so that a campaign cannot pass
because its checks never fire."""
import os
import subprocess
import sys

import pytest

TOOLS = os.path.join(os.path.dirname(__file__), "..", "..", "tools")
sys.path.insert(0, TOOLS)
import campaign  # noqa: E402
from norvo_driver import hang_timeout  # noqa: E402


@pytest.mark.slow
def test_three_interrupted_downloads_end_identical(build_dir, tmp_path):
    result = subprocess.run(
        ["/usr/bin/python3", os.path.join(TOOLS, "campaign.py"), "--runs", "3", "--seed", "7",
         "--size", "200000", "--jobs", "3", "--build", str(build_dir),
         "--work", str(tmp_path / "campaign")],
        capture_output=True, text=True, timeout=hang_timeout(240))
    out = result.stdout
    assert result.returncode == 0, out + result.stderr
    assert "3/3 identical" in out
    assert "(outside ignored Range: 0)" in out
    # Range ignored after a cut serves the first bytes again; those are the only duplicates.
    duplicates = int(out.split("duplicate bytes served: ")[1].split()[0])
    assert duplicates > 0
    # The server's cuts end transfers as partial (18) and the long stall times out (28).
    restarts = out.split("restarts by result code: ")[1].splitlines()[0]
    assert "18:" in restarts and "28:" in restarts


def entry(status, sent, start=None, t=0.0):
    headers = [["Host", "update.norvo.test"]]
    if start is not None:
        headers.append(["Range", f"bytes={start}-"])
    return {"method": "GET", "status": status, "sent": sent, "headers": headers, "time": t}


def test_served_bytes_count_duplicates_only_where_range_was_ignored():
    # Honoured ranges that follow each cut: nothing twice.
    assert campaign.check_requests([entry(200, 40), entry(206, 60, 40)], 100) == (0, 0, [])
    # Range ignored: the 40 bytes served again are expected duplicates.
    dup, unexpected, problems = campaign.check_requests([entry(200, 40), entry(200, 100, 40)],
                                                        100)
    assert (dup, unexpected, problems) == (40, 0, [])
    # A range that starts before the bytes already served is a fault of the client.
    dup, unexpected, problems = campaign.check_requests([entry(200, 40), entry(206, 70, 30)],
                                                        100)
    assert (dup, unexpected) == (10, 10) and problems
    # A gap (a range past the bytes served) is reported as well.
    _, _, problems = campaign.check_requests([entry(200, 40), entry(206, 50, 50)], 100)
    assert any("do not cover" in p for p in problems)


@pytest.mark.parametrize("stream,requests,fault", [
    ("3:p:10\n3:p:20\n3:f:18\n3:p:15\n3:c:\n", 2, None),
    ("3:p:10\n3:p:5\n3:c:\n", 1, "percentage fell"),
    ("3:p:10\n3:f:18\n", 2, "no restart follows"),
    ("3:c:\n3:c:\n", 1, "2 completion lines"),
    ("3:p:10\n3:f:18\n3:c:\n", 1, "every failure must restart"),
    ("3:p:10\n3:c:", 1, "has no line feed"),
    ("3:p:10\nE:oops\n3:c:\n", 1, "not a download status line"),
])
def test_status_protocol_checks(stream, requests, fault):
    problems = campaign.check_status(stream, requests)
    if fault is None:
        assert problems == []
    else:
        assert any(fault in p for p in problems), problems
