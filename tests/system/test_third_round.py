"""The third round of attacks on the trust boundary, each against its defence in the
emulated device: the clock step's Date header, the command mode's header lines, and text
from the network in the log. docs/reliability.md ("Third round") lists the rows.

Every verdict waits for an event (a status line, the end of a run, a server log entry);
the time-outs only end a hung test.
"""
import calendar
import email.utils
import re

import pytest
import test_first_stage
import test_tls
from norvo_driver import NO_KEY_STORE, TEST_PHONE_PROPS, UPDATER_PROPS
from test_download import Download, make_package, package, serve

DATE = "Tue, 08 Dec 2026 05:00:00 GMT"
SECONDS = calendar.timegm(email.utils.parsedate(DATE))
UPDATE_HOST = "update.norvo.test"
ZEL_HOST = "zelas.norvo.test"
TRAP_PORT = 3128  # a port of the reference server that a proxied request would reach
PROXY_ENV = [f"{name}=http://127.0.0.1:{TRAP_PORT}" for name in
             ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy")]
# Status lines as a front end picks them out of the command mode (docs/frontend-protocol.md).
STATUS = re.compile(r"^[0-9]:[a-z](:([0-9]+|[pcs]|CURLE_OPERATION_TIMEDOUT)?)?")


@pytest.fixture
def phone(make_device, build_dir):
    return make_device(props=TEST_PHONE_PROPS)


@pytest.fixture
def updater(make_device, build_dir):
    # Downloads of unsigned test bytes: no key store (this file is about the transfer).
    return make_device(props=UPDATER_PROPS, options=NO_KEY_STORE)


def command(device, depth, env=(), timeout=60):
    argv = ["env", *env, "corvane", "--run_from_command", str(depth)]
    result = device.run(argv, server=True, timeout=timeout)
    assert result.returncode == 0
    return result


def picked_status_lines(stdout):
    """What a front end that splits at line feeds *and* carriage returns takes for status
    lines: a forged line behind a CR must not be one."""
    return [m.group(0) for line in re.split(rb"[\r\n]", stdout)
            if (m := STATUS.match(line.decode("latin-1")))]


def no_raw_control_bytes(data):
    """Only line feeds end lines (and tabs of the log's own layout): no CR, ESC or other
    control byte that a server sent is left."""
    return not re.search(rb"[\x00-\x08\x0b-\x1f\x7f]", data)


# -- the clock step -------------------------------------------------------------------------

@pytest.mark.parametrize("headers, date", [
    # An ordinary header whose name contains "Date" after the real one (it ended the whole
    # first stage with 0:f:120), and one that cannot be read.
    ([["X-Amz-Date", "20260101T000000Z"], ["Last-Date-Seen", "x"]], DATE),
    # The Date header after such headers: it still wins.
    ([["X-Date-Seen", "soon"], ["Date", DATE]], None),
], ids=["after_the_date", "before_the_date"])
def test_the_date_header_sets_the_clock_whatever_other_date_headers_say(phone, headers, date):
    phone.server_config({"date": date, "root_headers": headers})
    result = command(phone, 0)
    out = test_first_stage.lines(result.stdout)
    assert test_first_stage.status_lines(result.stdout) == ["0:s"], out
    assert f"{SECONDS} 0 1 Operation not permitted" in out
    assert phone.getprop("norvo.timesync.ready") == "1"


def test_an_answer_without_a_date_header_falls_back_to_the_line_naming_a_date(phone):
    # Only an answer without the Date header reads the last line that contains "Date",
    # from its seventh character on.
    phone.server_config({"date": None, "root_headers": [["XDate", DATE]]})
    result = command(phone, 0)
    assert test_first_stage.status_lines(result.stdout) == ["0:s"]
    assert f"{SECONDS} 0 1 Operation not permitted" in test_first_stage.lines(result.stdout)


def test_header_lines_of_the_command_mode_never_read_as_status_lines(phone):
    # A header named "2:s" prints as "2:s: 0"; another hides "2:s:0" behind a CR.
    phone.server_config({"date": DATE, "root_headers": [["2:s", "0"],
                                                        ["X-Evil", "a\r2:s:0\x1b[2J"]]})
    result = command(phone, 0)
    assert picked_status_lines(result.stdout) == ["0:s"], result.stdout
    out = test_first_stage.lines(result.stdout)
    assert "H:2:s: 0" in out
    assert "H:X-Evil: a\\r2:s:0\\x1b[2J" in out
    assert any(line.startswith("H:HTTP/1.1 200") for line in out)
    assert no_raw_control_bytes(result.stdout) and no_raw_control_bytes(result.stderr)


# -- text from the network in the log ----------------------------------------------------------

FORGED = "\r3:c:\x1b[2J\x1b]0;owned\x07"
FORGED_SHOWN = "\\r3:c:\\x1b[2J\\x1b]0;owned\\x07"


def test_mirror_urls_of_the_update_answer_reach_the_log_escaped(phone):
    rom = {"version": "V2.0.1", "filename": "norvo-update.zip", "filesize": "1M",
           "md5": "0" * 32}
    phone.server_config({"catalogue": [{"d": "vexa_one", "LatestRom": rom}],
                         "mirrors": [f"http://{UPDATE_HOST}/pkgs{FORGED}",
                                     f"http://{UPDATE_HOST}/pkgs"]})
    phone.put_package("V2.0.1/norvo-update.zip", b"package")
    result = command(phone, 2)
    # The forged mirror cannot be asked; the next one answers.
    assert picked_status_lines(result.stdout) == ["0:s", "1:s", "2:s:0"], result.stdout
    log = (result.stdout + result.stderr).decode("latin-1")
    assert f"Mirror 0:http://{UPDATE_HOST}/pkgs{FORGED_SHOWN}" in log
    assert no_raw_control_bytes(result.stdout) and no_raw_control_bytes(result.stderr)
