"""The third round of attacks on the trust boundary, each against its defence in the
emulated device: the clock step's Date header, the command mode's header lines, TLS
(a redirect to clear text, TLS 1.1, weak keys), proxies from the environment, and text
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


# -- TLS --------------------------------------------------------------------------------------

def test_redirect_from_https_to_http_is_refused_like_another_protocol(updater):
    data = make_package(30_000)
    serve(updater, data, {"/pkgs/a": {"redirect": f"https://{UPDATE_HOST}/pkgs/b"},
                          "/pkgs/b": {"redirect": f"http://{UPDATE_HOST}/pkgs/V1/pkg.zip"}})
    run = Download(updater, path="/pkgs/a")
    text = run.finish(timeout=60)
    # A permanent failure: three attempts, then the final line of a refused redirect.
    assert text == "3:f:1\n3:f:1\n3:f:101\n", text
    assert "refuses the redirect from https to http://update.norvo.test/pkgs/V1/pkg.zip" in run.log
    log = updater.server_log()
    assert [(e["path"], e["tls"]) for e in log] == [("/pkgs/a", False)] + [("/pkgs/b", True)] * 3
    assert not updater.path("/tmp/secure_update.zip").exists() or package(updater) == b""


def test_a_peer_that_speaks_only_tls_1_1_gets_no_request(updater):
    updater.server_config({"tls_version": "1.1"})
    err = test_tls.run_diag(updater)
    assert "failed to post data35" in err  # CURLE_SSL_CONNECT_ERROR: no handshake

    data = make_package(30_000)
    serve(updater, data, {"/pkgs/a": {"redirect": f"https://{UPDATE_HOST}/pkgs/V1/pkg.zip"}},
          tls_version="1.1")
    run = Download(updater, path="/pkgs/a")
    run.wait_for(r"3:f:35\n3:f:35\n")  # retried, as a handshake that failed may pass
    run.send("s\n")
    text = run.finish(timeout=30)
    assert text.endswith("3:r:s") and "3:c:" not in text, text
    assert test_tls.tls_requests(updater) == []


WEAK = {
    "weak_rsa": "certificate 0 of the chain (the server's) has a 1024-bit RSA key",
    "weak_rsa_in_chain": "certificate 1 of the chain has a 1024-bit RSA key",
    "weak_ec_in_chain": "certificate 1 of the chain has a 224-bit EC key",
}


@pytest.mark.parametrize("variant", sorted(WEAK))
def test_a_chain_with_a_weak_key_gets_no_request(updater, variant):
    updater.server_config({"tls_cert": variant})
    err = test_tls.run_diag(updater)
    assert "failed to post data" in err and "succ to post data" not in err
    assert f"TLS verification of {ZEL_HOST} failed: {WEAK[variant]}" in err
    text, log, _ = test_tls.run_download(updater, config={"tls_cert": variant})
    # Refused like a certificate that does not verify: permanent, three attempts.
    assert text == "3:f:60\n3:f:60\n3:f:160\n", text
    assert f"TLS verification of {UPDATE_HOST} failed: {WEAK[variant]}" in log
    assert test_tls.tls_requests(updater) == []


# An OpenSSL configuration that would let the curl tool take anything: its own options
# must set the rule, not the system's defaults (Debian's are at level 2 already).
LAX_OPENSSL = """openssl_conf = openssl_init
[openssl_init]
ssl_conf = ssl_sect
[ssl_sect]
system_default = system_default_sect
[system_default_sect]
CipherString = DEFAULT:@SECLEVEL=0
MinProtocol = TLSv1
"""


def run_log_with_lax_openssl(dev):
    dev.path("/tmp/lax-openssl.cnf").write_text(LAX_OPENSSL)
    zelas = dev.path("/cache/zelas")
    zelas.mkdir(parents=True, exist_ok=True)
    (zelas / "RescuePartyLog").write_bytes(b"rescue log\n")
    res = dev.run(["env", "OPENSSL_CONF=/tmp/lax-openssl.cnf", "quillon", "--log"], server=True,
                  timeout=90)
    assert res.returncode == 0
    return res.stderr.decode(errors="replace")


@pytest.mark.parametrize("config, status", [
    ({"tls_cert": "weak_rsa"}, "ret=15360"),  # exit status 60: the certificate did not verify
    ({"tls_version": "1.1"}, "ret=8960"),     # exit status 35: no handshake
], ids=["weak_rsa", "tls_1_1"])
def test_the_curl_tool_sets_the_tls_rule_itself(updater, config, status):
    updater.server_config(config)
    err = run_log_with_lax_openssl(updater)
    assert status in err
    assert f"TLS verification of {ZEL_HOST} failed: " in err
    assert test_tls.tls_requests(updater) == []


# -- proxies from the environment --------------------------------------------------------------

def test_proxies_from_the_environment_are_ignored_by_every_transfer(make_device, build_dir):
    device = make_device(props=TEST_PHONE_PROPS, options=NO_KEY_STORE)
    data = make_package(1 << 16)  # a size the catalogue's "<MiB>M" text gives exactly
    device.put_package("V2.0.1/norvo-update.zip", data)
    device.put_package("V2.0.1/secure.zip", data)
    # The whole chain in clear, the package behind an https redirect (the ROM URL
    # check's HEAD takes the redirect for an answer); the trap port serves whatever a
    # proxied request asks, so a request sent there would succeed and be logged.
    device.server_config({
        "extra_ports": [TRAP_PORT], "mirrors": [f"http://{UPDATE_HOST}/pkgs"],
        # Size and MD5 from the package file.
        "catalogue": [{"LatestRom": {"version": "V2.0.1", "filename": "norvo-update.zip"}}],
        "faults": {"/pkgs/V2.0.1/norvo-update.zip": {
            "redirect": f"https://{UPDATE_HOST}/pkgs/V2.0.1/secure.zip"}}})
    result = command(device, 3, env=PROXY_ENV, timeout=120)
    assert picked_status_lines(result.stdout)[:3] == ["0:s", "1:s", "2:s:0"], result.stdout
    assert b"3:c:" in result.stdout
    assert device.path("/tmp/secure_update.zip").read_bytes() == data

    zelas = device.path("/cache/zelas")
    zelas.mkdir(parents=True, exist_ok=True)
    (zelas / "RescuePartyLog").write_bytes(b"rescue log\n")
    assert device.run(["env", *PROXY_ENV, "quillon", "--log"], server=True).returncode == 0
    events = device.path("/tmp/zel/events")
    (events / "download_status").write_text("0")
    diag = device.run(["env", *PROXY_ENV, "sh", "-c", test_tls.DIAG_ONCE], server=True, timeout=90)
    assert "succ to post data" in diag.stderr.decode(errors="replace")

    log = device.server_log()
    assert [e for e in log if e["port"] == TRAP_PORT] == []
    paths = [(e["path"], e["port"]) for e in log]
    for wanted in [("/", 80), ("/updates/kootaV3.php", 80), ("/zelas/fileUploadWithUrlId", 443),
                   ("/v2/data/quillon", 443)]:
        assert wanted in paths, paths


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
