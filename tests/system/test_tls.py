"""TLS verification in the emulated device: every https transfer of corvane and quillon
checks the peer's chain and host name against the CA store /system/etc/security/cacerts.

The device mounts the build's test CA as its store (tools/device --cacerts); the reference
server's certificate comes from that CA unless the config's "tls_cert" asks for another
variant. The expired certificate's validity ended a day ago by the host's clock, which the
device shares and cannot set: no test depends on a clock set from the server's Date.
"""
import pathlib
import re
import shutil

import pytest
from test_download import Download, make_package, package, serve
from norvo_driver import NO_KEY_STORE, UPDATER_PROPS

DIAG_PATH = "/v2/data/quillon"
LOG_PATH = "/zelas/fileUploadWithUrlId"
ZEL_HOST = "zelas.norvo.test"
UPDATE_HOST = "update.norvo.test"
STORE = "/system/etc/security/cacerts"
REFUSED_STORE = f"no usable CA store in {STORE}"

# quillon --diag, one SIGUSR1, until the post has ended one way or the other (bounded
# waits of 50 ms steps); the service's log goes to /tmp/quillon.err.
DIAG_ONCE = r"""
quillon --diag 2>/tmp/quillon.err &
pid=$!
n=0
until [ -s /cache/norvo/diagpid ]; do n=$((n+1)); [ $n -lt 400 ] || break; sleep 0.05; done
kill -USR1 $pid
n=0
until grep -q "post data" /tmp/quillon.err; do n=$((n+1)); [ $n -lt 600 ] || break; sleep 0.05; done
kill $pid
cat /tmp/quillon.err >&2
"""

# What the server sees instead of the trusted certificate, or what store the device has.
REFUSALS = {
    "self_signed": ({"tls_cert": "self_signed"}, "store", "TLS verification"),
    "wrong_host": ({"tls_cert": "wrong_host"}, "store", "TLS verification"),
    "expired": ({"tls_cert": "expired"}, "store", "TLS verification"),
    "missing_store": ({}, "none", REFUSED_STORE),
    "empty_store": ({}, "empty", REFUSED_STORE),
}


def store_options(kind, tmp_path):
    if kind == "store":
        return []
    if kind == "none":
        return ["--cacerts", "none"]
    empty = tmp_path / "empty-store"
    empty.mkdir(exist_ok=True)
    return ["--cacerts", str(empty)]


def refused_store_error(log, host):
    """An ERROR line (console "E:" or libbase's "TAG E ... ]") naming the store folder."""
    return re.search(rf"(^|\n)(E:|\w* E [^\n]*\] )https to {re.escape(host)} refused: "
                     rf"{re.escape(REFUSED_STORE)} \(", log)


def tls_requests(dev):
    return [e for e in dev.server_log() if e["tls"]]


def run_diag(dev, options=()):
    dev.path("/cache/norvo").mkdir(parents=True, exist_ok=True)
    events = dev.path("/tmp/zel/events")
    events.mkdir(parents=True, exist_ok=True)
    (events / "download_status").write_text("7")
    res = dev.run(["sh", "-c", DIAG_ONCE], server=True, options=options, timeout=90)
    return res.stderr.decode(errors="replace")


def run_log(dev, options=()):
    zelas = dev.path("/cache/zelas")
    zelas.mkdir(parents=True, exist_ok=True)
    (zelas / "RescuePartyLog").write_bytes(b"rescue log\n")
    res = dev.run(["quillon", "--log"], server=True, options=options, timeout=90)
    assert res.returncode == 0
    assert dev.getprop("rescueparty.logged") == "1"
    return res.stderr.decode(errors="replace")


def run_download(dev, options=(), config=None):
    data = make_package(40_000)
    serve(dev, data, {"/pkgs/a": {"redirect": f"https://{UPDATE_HOST}/pkgs/V1/pkg.zip"}},
          **(config or {}))
    run = Download(dev, path="/pkgs/a", options=options)
    text = run.finish(timeout=60)
    return text, run.log, data


@pytest.fixture
def dev(make_device, build_dir):
    # The download serves bytes no key signed: the device has no key store, so that the
    # check before 3:c: does not refuse them (this file is about the TLS peer).
    return make_device(props=UPDATER_PROPS, options=NO_KEY_STORE)


def test_trusted_chain_diag_posts_its_snapshot(dev):
    err = run_diag(dev)
    assert "succ to post data" in err
    [post] = [e for e in dev.server_log() if e["path"] == DIAG_PATH]
    assert post["tls"] and post["port"] == 443 and post["status"] == 200
    assert post["json"] == {"events": [{"download_status": "7"}]}
    assert ["Host", ZEL_HOST] in post["headers"]


def test_trusted_chain_log_uploads_over_https(dev):
    err = run_log(dev)
    [upload] = [e for e in dev.server_log() if e["path"] == LOG_PATH]
    assert upload["tls"] and upload["port"] == 443 and upload["status"] == 200
    assert any(f["name"] == "file" and f["text"] == "rescue log\n" for f in upload["fields"])
    assert f"Uploaded: curl -v https://{ZEL_HOST}{LOG_PATH}" in err and "ret=0" in err
    assert "TLS verification" not in err


def test_trusted_chain_download_redirected_to_https_completes(dev):
    text, log, data = run_download(dev)
    assert text.endswith("3:c:\n") and "3:f:" not in text, text
    assert package(dev) == data
    first, final = dev.server_log()
    assert (first["path"], first["tls"]) == ("/pkgs/a", False)
    assert (final["path"], final["tls"], final["port"]) == ("/pkgs/V1/pkg.zip", True, 443)
    assert ["Host", UPDATE_HOST] in final["headers"]


@pytest.mark.parametrize("case", sorted(REFUSALS))
def test_quillon_refuses_an_untrusted_peer(dev, tmp_path, case):
    config, store, message = REFUSALS[case]
    dev.server_config(config)
    options = store_options(store, tmp_path)

    err = run_diag(dev, options)
    assert "failed to post data" in err and "succ to post data" not in err
    assert message in err
    if message == REFUSED_STORE:
        assert refused_store_error(err, ZEL_HOST)
    else:
        assert f"TLS verification of {ZEL_HOST} failed: " in err

    err = run_log(dev, options)
    assert message in err
    if message == REFUSED_STORE:
        assert refused_store_error(err, ZEL_HOST)
    else:
        assert f"TLS verification of {ZEL_HOST} failed: " in err
        assert "ret=15360" in err  # the curl tool's exit status 60
    # Neither the snapshot nor the log reached the server: no request got past TLS.
    assert tls_requests(dev) == []
    assert dev.server_log() == []


@pytest.mark.parametrize("case", sorted(REFUSALS))
def test_download_refuses_an_untrusted_mirror(dev, tmp_path, case):
    config, store, message = REFUSALS[case]
    text, log, _ = run_download(dev, store_options(store, tmp_path), config)
    if message == REFUSED_STORE:
        # No trust anchors: no attempt can succeed, the task ends at once.
        assert text == "3:f:177\n"
        assert refused_store_error(log, UPDATE_HOST)
    else:
        # A certificate that does not verify is permanent: three attempts.
        assert text == "3:f:60\n3:f:60\n3:f:160\n", text
        assert f"TLS verification of {UPDATE_HOST} failed: " in log
    assert message in log
    assert tls_requests(dev) == []
    assert [e["path"] for e in dev.server_log()] == ["/pkgs/a"]
    assert not dev.path("/tmp/secure_update.zip").exists() or package(dev) == b""


@pytest.fixture
def test_ca(build_dir):
    return pathlib.Path(build_dir) / "testca"


@pytest.mark.parametrize("with_ca", [True, False], ids=["ca_file_kept", "only_junk_and_link"])
def test_store_with_junk_and_a_link_is_read_safely(dev, tmp_path, test_ca, with_ca):
    store = tmp_path / "store"
    store.mkdir()
    (store / "00000000.0").write_text("junk, no certificate\n")
    (store / "11111111.0").write_bytes(b"-----BEGIN CERTIFICATE-----\n\xff\xfe\n")
    (store / "22222222.0").mkdir()
    (store / "big.0").write_bytes((test_ca / "ca.pem").read_bytes() + b"x" * 70_000)
    # A link to the trusted CA, at a path the device sees: not followed.
    (store / "33333333.0").symlink_to(test_ca / "ca.pem")
    if with_ca:
        for ca_file in (test_ca / "cacerts").iterdir():
            shutil.copy(ca_file, store / ca_file.name)
    err = run_log(dev, ["--cacerts", str(store)])
    uploads = [e for e in dev.server_log() if e["path"] == LOG_PATH]
    for name in ("00000000.0", "11111111.0", "22222222.0", "33333333.0", "big.0"):
        assert f"skipped {name} (" in err
    assert "skipped 33333333.0 (a link)" in err
    if with_ca:
        assert len(uploads) == 1 and uploads[0]["tls"]
        assert "1 certificates (5 entries skipped)" in err
    else:
        assert uploads == [] and REFUSED_STORE in err

