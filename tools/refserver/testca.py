#!/usr/bin/python3
"""The build's test CA: a certificate authority made on first use into BUILD/testca, whose
certificate the emulated device mounts as its CA store and whose key the reference server
issues its TLS certificates with. Nothing of it is kept in the repository.

    testca.py BUILD          makes BUILD/testca when it is missing; prints the store folder

BUILD/testca holds ca.pem, ca.key.pem (the CA's private key: test use only) and cacerts/,
a CA store as a handset has it: one PEM file named like a subject hash, followed by a text
dump of the certificate.

The server side (``issue``) makes the leaf certificates the tests need:
``trusted`` (the deployment's host names, issued by the CA), ``wrong_host`` (issued by the
CA for another name), ``expired`` (issued by the CA, validity over a day ago: a date test
that needs no clock set by anyone) and ``self_signed`` (right names, no CA). Three more
break the key-size rule of the client while verifying as well as ``trusted``:
``weak_rsa`` (the right names, issued by the CA, a 1024-bit RSA key), and
``weak_rsa_in_chain`` / ``weak_ec_in_chain`` (the trusted leaf, followed in the chain the
server sends by a certificate issued by the CA with a 1024-bit RSA key or a 224-bit EC
key; a verifier builds its path without it, so only a check of every certificate the
peer sent finds it). A variant's file holds the chain the server sends, leaf first.
"""
import datetime
import hashlib
import ipaddress
import os
import pathlib
import shutil
import sys
import tempfile

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.x509.oid import NameOID

VARIANTS = ("trusted", "wrong_host", "expired", "self_signed", "weak_rsa", "weak_rsa_in_chain",
            "weak_ec_in_chain")
# The variants whose keys a TLS library at its default security level refuses to load.
WEAK = ("weak_rsa", "weak_rsa_in_chain", "weak_ec_in_chain")
DEFAULT_NAMES = ["update.norvo.test", "intl.update.norvo.test", "zelas.norvo.test",
                 "preview.zelas.norvo.test", "intl.zelas.norvo.test"]
HOST_KEYS = ("NORVO_UPDATE_HOST", "NORVO_UPDATE_HOST_INTL", "NORVO_ZEL_HOST",
             "NORVO_ZEL_PREVIEW_HOST", "NORVO_ZEL_INTL_HOST")


def _now():
    return datetime.datetime.now(datetime.timezone.utc)


def host_names(build):
    """The deployment's host names (BUILD/deployment.env), and localhost."""
    names = []
    try:
        for line in (pathlib.Path(build) / "deployment.env").read_text().splitlines():
            key, _, value = line.partition("=")
            if key in HOST_KEYS and value and value not in names:
                names.append(value)
    except OSError:
        pass
    return (names or DEFAULT_NAMES) + ["localhost"]


def _pem(cert):
    return cert.public_bytes(serialization.Encoding.PEM)


def _key_pem(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def _dump(cert):
    """A short text dump after the PEM block, as platform CA files carry one."""
    return (f"Certificate:\n    Data:\n        Serial Number: {cert.serial_number:x}\n"
            f"        Issuer: {cert.issuer.rfc4514_string()}\n"
            f"        Not Before: {cert.not_valid_before}\n"
            f"        Not After : {cert.not_valid_after}\n"
            f"        Subject: {cert.subject.rfc4514_string()}\n").encode()


def ensure(build):
    """BUILD/testca, made atomically when missing (devices may start in parallel)."""
    build = pathlib.Path(build)
    final = build / "testca"
    if (final / "cacerts").is_dir():
        return final
    tmp = pathlib.Path(tempfile.mkdtemp(prefix=".testca.", dir=build))
    try:
        key = ec.generate_private_key(ec.SECP256R1())
        name = x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Norvo test"),
                          x509.NameAttribute(NameOID.COMMON_NAME, "Norvo test CA")])
        now = _now()
        cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
                .public_key(key.public_key()).serial_number(x509.random_serial_number())
                .not_valid_before(now - datetime.timedelta(days=2))
                .not_valid_after(now + datetime.timedelta(days=3650))
                .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
                .add_extension(x509.KeyUsage(digital_signature=False, content_commitment=False,
                                             key_encipherment=False, data_encipherment=False,
                                             key_agreement=False, key_cert_sign=True,
                                             crl_sign=True, encipher_only=False,
                                             decipher_only=False), critical=True)
                .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                               critical=False)
                .sign(key, hashes.SHA256()))
        (tmp / "ca.pem").write_bytes(_pem(cert))
        (tmp / "ca.key.pem").write_bytes(_key_pem(key))
        os.chmod(tmp / "ca.key.pem", 0o600)
        (tmp / "cacerts").mkdir()
        # Named like a subject hash; nothing relies on the name.
        stem = hashlib.sha1(cert.subject.public_bytes()).hexdigest()[:8]
        (tmp / "cacerts" / f"{stem}.0").write_bytes(_pem(cert) + _dump(cert))
        os.chmod(tmp, 0o755)
        try:
            os.rename(tmp, final)
        except OSError:
            if not (final / "cacerts").is_dir():
                raise
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return final


def issue(ca_dir, variant, names, out_dir):
    """Writes OUT/VARIANT.pem and OUT/VARIANT.key.pem; returns their paths."""
    if variant not in VARIANTS:
        raise ValueError(f"unknown certificate variant {variant!r}")
    out_dir = pathlib.Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    if variant == "weak_rsa":
        key = rsa.generate_private_key(public_exponent=65537, key_size=1024)
    else:
        key = ec.generate_private_key(ec.SECP256R1())
    now = _now()
    not_before, not_after = now - datetime.timedelta(days=1), now + datetime.timedelta(days=365)
    if variant == "expired":
        not_before, not_after = now - datetime.timedelta(days=30), now - datetime.timedelta(days=1)
    if variant == "wrong_host":
        names = ["other.example.test"]
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, names[0])])
    san = [x509.DNSName(n) for n in names]
    if variant != "wrong_host":
        san.append(x509.IPAddress(ipaddress.ip_address("127.0.0.1")))
    if variant == "self_signed":
        issuer_name, issuer_key = subject, key
    else:
        ca_dir = pathlib.Path(ca_dir)
        ca_cert = x509.load_pem_x509_certificate((ca_dir / "ca.pem").read_bytes())
        issuer_key = serialization.load_pem_private_key((ca_dir / "ca.key.pem").read_bytes(), None)
        issuer_name = ca_cert.subject
    cert = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer_name)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(not_before).not_valid_after(not_after)
            .add_extension(x509.SubjectAlternativeName(san), critical=False)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]),
                           critical=False)
            .sign(issuer_key, hashes.SHA256()))
    chain = _pem(cert)
    if variant in ("weak_rsa_in_chain", "weak_ec_in_chain"):
        weak = (rsa.generate_private_key(public_exponent=65537, key_size=1024)
                if variant == "weak_rsa_in_chain" else ec.generate_private_key(ec.SECP224R1()))
        extra = (x509.CertificateBuilder()
                 .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME,
                                                             "Norvo weak extra")]))
                 .issuer_name(issuer_name).public_key(weak.public_key())
                 .serial_number(x509.random_serial_number())
                 .not_valid_before(not_before).not_valid_after(not_after)
                 .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
                 .sign(issuer_key, hashes.SHA256()))
        chain += _pem(extra)
    cert_path, key_path = out_dir / f"{variant}.pem", out_dir / f"{variant}.key.pem"
    key_path.write_bytes(_key_pem(key))
    cert_path.write_bytes(chain)
    return cert_path, key_path


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    print(ensure(argv[1]) / "cacerts")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
