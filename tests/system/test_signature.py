"""The package's whole-file signature: ``corvane --run_from_command 6`` runs an updater only
from a package that verifies against the device's key store, and then only the package's own
updater. Each rejected package ends with an ERROR line saying why, and nothing runs: neither
the package's updater nor whatever already lies at /tmp/update-binary."""
import functools
import os
import pathlib
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))
import make_package  # noqa: E402

ENTRY = make_package.UPDATER_ENTRY
# The package's updater leaves /cache/package-updater-ran; the one an attacker put at
# /tmp/update-binary leaves /cache/swapped-updater-ran.
PACKAGE_UPDATER = b"""#!/bin/bash
echo ran > /cache/package-updater-ran
echo "ui_print package updater ran" >&"$2"
"""
SWAPPED_UPDATER = b"""#!/bin/bash
echo ran > /cache/swapped-updater-ran
echo "ui_print swapped updater ran" >&"$2"
"""
PAYLOAD = bytes(range(256)) * 64


METADATA = (make_package.METADATA_ENTRY, make_package.metadata(), 0o644)


@functools.lru_cache(maxsize=None)
def _signed(entries, key_dir, key_type):
    # signapk starts a JVM: each package is signed once per worker (and, through the
    # session's $NORVO_SIGN_CACHE, once per run).
    return make_package.signapk_sign(make_package.archive(entries), key_dir, key_type)


def package(build, updater=PACKAGE_UPDATER, key_dir=None, key_type="rsa"):
    """A package fit for the device, signed by the platform's signer."""
    entries = ((ENTRY, updater, 0o755), METADATA, ("payload.bin", PAYLOAD, 0o644))
    return _signed(entries, str(key_dir or build / "testkey"), key_type)


def flip(data, offset):
    return data[:offset] + bytes([data[offset] ^ 0x01]) + data[offset + 1:]


def install(device, data, swapped=True, options=()):
    """Puts the package (and, with swapped, an updater of someone else's) in place and runs
    the install command; returns its output."""
    if data is not None:
        device.path("/tmp/secure_update.zip").write_bytes(data)
    if swapped:
        target = device.path("/tmp/update-binary")
        target.write_bytes(SWAPPED_UPDATER)
        os.chmod(target, 0o755)
    result = device.run(["corvane", "--run_from_command", "6"], timeout=30, options=options)
    assert result.returncode == 0
    return result.stdout.decode()


def ran(device):
    return [name for name in ("package-updater-ran", "swapped-updater-ran")
            if device.path("/cache/" + name).exists()]


# The install command's result line for each refusal (docs/frontend-protocol.md).
RESULT_LINES = {"no key store": "6:f:1", "package unreadable": "6:f:2",
                "no signature footer": "6:f:3", "malformed signature block": "6:f:4",
                "digest mismatch": "6:f:5", "no certificate matches": "6:f:6",
                "signature does not verify under any trusted key": "6:f:9"}


def assert_rejected(device, out, reason):
    lines = out.splitlines()
    rejected = [line for line in lines if line.startswith("E:package rejected: ")]
    assert rejected and rejected[0].startswith(f"E:package rejected: {reason}"), out
    # A front end reads the refusal from the result line, just before the last line.
    assert lines[-2:] == [RESULT_LINES[reason], "I:Bye bye, RUN_UPDATER"], out
    assert "I:package signature verified" not in lines
    assert "E:command[0]:/tmp/update-binary" not in lines
    assert ran(device) == []


def test_signed_package_installs_its_own_updater(device, build_dir):
    data = package(build_dir)
    out = install(device, data, swapped=False)
    lines = out.splitlines()
    assert lines.index("I:package signature verified") < lines.index(
        "E:command[0]:/tmp/update-binary")
    assert "E:ui_print: package updater ran" in lines
    assert lines[-1] == "I:Bye bye, RUN_UPDATER"
    assert ran(device) == ["package-updater-ran"]
    updater = device.path("/tmp/update-binary")
    assert updater.read_bytes() == PACKAGE_UPDATER
    assert updater.stat().st_mode & 0o7777 == 0o755


def test_ec_signed_package_installs(device, build_dir, tmp_path):
    data = package(build_dir, key_dir=tmp_path / "eckey", key_type="ec")
    out = install(device, data, options=("--otacerts", str(tmp_path / "eckey" / "otacerts.zip")))
    assert "I:package signature verified" in out.splitlines()
    assert ran(device) == ["package-updater-ran"]


def test_swapped_updater_is_replaced_by_the_verified_one(device, build_dir):
    out = install(device, package(build_dir), swapped=True)
    assert any(line.startswith("E:/tmp/update-binary was missing or differed")
               for line in out.splitlines())
    assert ran(device) == ["package-updater-ran"]
    assert device.path("/tmp/update-binary").read_bytes() == PACKAGE_UPDATER


def test_updater_link_is_replaced_not_followed(device, build_dir):
    victim = device.path("/cache/victim")
    victim.write_bytes(b"keep me\n")
    device.path("/tmp/update-binary").symlink_to("/cache/victim")
    out = install(device, package(build_dir), swapped=False)
    assert out.splitlines()[-2:] == ["6:s", "I:Bye bye, RUN_UPDATER"]
    assert victim.read_bytes() == b"keep me\n"
    assert not device.path("/tmp/update-binary").is_symlink()
    assert ran(device) == ["package-updater-ran"]


def _offsets(data):
    """Offsets worth a flipped byte: the payload, the updater entry, the central directory,
    the signature value (the block's last byte before the footer)."""
    return {
        "payload": data.index(PAYLOAD) + 1000,
        "updater entry": data.index(PACKAGE_UPDATER) + 20,
        "central directory": data.index(b"PK\x01\x02") + 46,  # first name byte
        "signature": len(data) - 7,
    }


@pytest.mark.parametrize("where, reason", [
    ("payload", "digest mismatch"), ("updater entry", "digest mismatch"),
    ("central directory", "digest mismatch"),
    # A damaged signature is no signature of the trusted key: RSA recovers no digest from
    # it, as from a forgery, so it is not blamed on the package's bytes.
    ("signature", "signature does not verify under any trusted key")])
def test_one_flipped_byte_is_refused_with_its_reason(device, build_dir, where, reason):
    data = package(build_dir)
    out = install(device, flip(data, _offsets(data)[where]))
    assert_rejected(device, out, reason)


def test_flipped_byte_in_the_block_structure_is_malformed(device, build_dir):
    data = package(build_dir)
    block_start = len(data) - int.from_bytes(data[-6:-4], "little")
    out = install(device, flip(data, block_start + 1))  # the outer length
    assert_rejected(device, out, "malformed signature block")


@pytest.mark.parametrize("cut", [1, 300, "half"])
def test_truncated_package(device, build_dir, cut):
    data = package(build_dir)
    keep = len(data) // 2 if cut == "half" else len(data) - cut
    out = install(device, data[:keep])
    assert_rejected(device, out, "no signature footer")


def test_unsigned_package(device, build_dir):
    data = make_package.archive([(ENTRY, PACKAGE_UPDATER, 0o755), METADATA])
    out = install(device, data)
    assert_rejected(device, out, "no signature footer")


def test_package_signed_by_another_key(device, build_dir, tmp_path):
    out = install(device, package(build_dir, key_dir=tmp_path / "other"))
    assert_rejected(device, out, "no certificate matches")


def test_forgery_naming_the_trusted_certificate_is_not_blamed_on_changed_bytes(device,
                                                                              build_dir):
    """Another key's signature in a block that names the trusted certificate (its issuer
    and serial number): a forgery, told apart from changed bytes by the RSA key."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import rsa

    _, trusted = make_package.test_key(str(build_dir / "testkey"))
    forger = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    posing = (x509.CertificateBuilder().subject_name(trusted.subject)
              .issuer_name(trusted.issuer).public_key(forger.public_key())
              .serial_number(trusted.serial_number)
              .not_valid_before(trusted.not_valid_before).not_valid_after(trusted.not_valid_after)
              .sign(forger, hashes.SHA256()))
    data = make_package.archive([(ENTRY, PACKAGE_UPDATER, 0o755), ("payload.bin", PAYLOAD, 0o644)])
    out = install(device, make_package.sign_archive(data, forger, posing))
    assert_rejected(device, out, "signature does not verify under any trusted key")
    assert "E:package rejected: digest mismatch" not in out


def test_missing_key_store_runs_nothing(device, build_dir):
    out = install(device, package(build_dir), options=("--otacerts", "none"))
    assert_rejected(device, out, "no key store")


def test_key_store_without_certificates_runs_nothing(device, build_dir, tmp_path):
    junk = tmp_path / "otacerts.zip"
    junk.write_bytes(make_package.archive([("readme.pem", b"not a certificate\n", 0o644)]))
    out = install(device, package(build_dir), options=("--otacerts", str(junk)))
    assert_rejected(device, out, "no key store")
    assert "readme.pem skipped: not a PEM certificate" in out


def test_package_behind_a_link_is_not_read(device, build_dir):
    device.path("/cache/elsewhere.zip").write_bytes(package(build_dir))
    device.path("/tmp/secure_update.zip").symlink_to("/cache/elsewhere.zip")
    out = install(device, None)
    assert_rejected(device, out, "package unreadable")


def test_missing_package(device, build_dir):
    out = install(device, None)
    assert_rejected(device, out, "package unreadable")


def test_signed_package_without_updater(device, build_dir):
    data = _signed((METADATA, ("payload.bin", PAYLOAD, 0o644)), str(build_dir / "testkey"), "rsa")
    out = install(device, data)
    assert "I:package signature verified" in out.splitlines()
    assert f"E:package rejected: no {ENTRY} in the package" in out.splitlines()
    assert out.splitlines()[-2] == "6:f:20"
    assert "E:command[0]:/tmp/update-binary" not in out
    assert ran(device) == []
