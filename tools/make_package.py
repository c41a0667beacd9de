#!/usr/bin/python3
"""Builds a demo update package: a zip holding an updater shell script at
``META-INF/com/google/android/update-binary``, the package metadata at
``META-INF/com/android/metadata`` and a payload of the requested size, signed as a whole
file by the platform's signer, as a maker's build signs update packages.

The script follows the updater interface of the installer bridge: it is started as
``update-binary 3 FD PACKAGE`` and writes "ui_print ...", "progress FRACTION SECONDS" and
"log ..." lines to descriptor FD.

    tools/make_package.py OUTPUT.zip [--payload-size BYTES] [--version TEXT]
                          [--updater FILE] [--key-dir DIR] [--key-type rsa|ec]
                          [--signer signapk|own] [--unsigned] [metadata options]

Metadata: one key=value per line. By default the package fits the demo handset that
tools/device presets: ``ota-type=BLOCK``, ``pre-device=vexa_one`` and a ``post-timestamp``
newer than the handset's build (``ro.build.date.utc``). The metadata options make the
packages that handset must refuse: --device NAME (another device; a ","-separated list is
allowed), --timestamp N or --older (a build older than the handset's), --downgrade
(``ota-downgrade=yes``), --pre-build FINGERPRINT ("|"-separated), --serial TEXT,
--incremental TEXT (``pre-build-incremental``), --ota-type AB, --duplicate KEY=VALUE (names
a key a second time), --no-metadata, --oversized-metadata (over the 64 KiB the handset
reads).

Signature: --signer signapk (default) runs Debian's ``signapk`` (``java -jar
/usr/bin/signapk -w CERT.x509.pem KEY.pk8 in.zip out.zip``), which also adds the signer's
certificate as ``META-INF/com/android/otacert``. --signer own signs here: a CMS (PKCS#7)
SignedData block, SHA-256, no signed attributes, detached, over the archive up to its
comment-length field; the block sits at the end of the zip comment, followed by a six-byte
footer (the block's start counted from the end of the file, 0xffff, the comment length; all
little-endian). Tests use it only for signatures the platform's signer cannot make.

Test key: --key-dir (default $NORVO_BUILD_DIR/testkey, else <repo>/build/testkey) holds
testkey.pk8.pem (private key), testkey.x509.pem (its certificate) and otacerts.zip (the
certificate as a device key store, which tools/device installs by default). They are
generated on first use; no private key is kept in the repository.
"""
import argparse
import datetime
import fcntl
import hashlib
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

UPDATER_ENTRY = "META-INF/com/google/android/update-binary"
METADATA_ENTRY = "META-INF/com/android/metadata"
# The demo handset (tools/device presets the same values, and the reference catalogue
# knows this device): its build time, and the time of the builds the demo offers.
DEMO_DEVICE = "vexa_one"
DEMO_BUILD_TIME = 1704067200  # 2024-01-01, ro.build.date.utc of the demo handset
DEMO_PACKAGE_TIME = 1735689600  # 2025-01-01
METADATA_LIMIT = 64 * 1024
SIGNAPK = "/usr/bin/signapk"
EOCD_MAGIC = b"PK\x05\x06"

UPDATE_BINARY = r"""#!/bin/bash
# Demo updater: $1 interface version, $2 command pipe descriptor, $3 the package.
fd=$2
say() { echo "$*" >&"$fd"; }
say "ui_print Norvo demo update __VERSION__"
say "ui_print Verifying $3"
say "log package size $(stat -c %s "$3" 2>/dev/null || echo unknown) bytes"
say "progress 0.5 10"
for step in 1 2 3; do
  sleep 0.3
  say "ui_print   installing part $step of 3  "
done
say "progress 0.5 0x5"
say "log demo update finished"
say "ui_print Done."
exit 0
"""


def default_key_dir():
    build = os.environ.get("NORVO_BUILD_DIR") or os.path.join(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build")
    return os.path.join(build, "testkey")


def test_key(key_dir, key_type="rsa"):
    """The (private key, certificate) of key_dir, generated when the folder has none."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec, rsa
    from cryptography.x509.oid import NameOID

    key_path = os.path.join(key_dir, "testkey.pk8.pem")
    cert_path = os.path.join(key_dir, "testkey.x509.pem")
    if not os.path.exists(key_path):
        if key_type == "ec":
            key = ec.generate_private_key(ec.SECP256R1())
        else:
            key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        name = x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Norvo"),
                          x509.NameAttribute(NameOID.COMMON_NAME, "Norvo test key")])
        now = datetime.datetime.utcnow()
        cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
                .public_key(key.public_key()).serial_number(x509.random_serial_number())
                .not_valid_before(now - datetime.timedelta(days=1))
                .not_valid_after(now + datetime.timedelta(days=3650))
                .sign(key, hashes.SHA256()))
        cert_pem = cert.public_bytes(serialization.Encoding.PEM)
        parent = os.path.dirname(os.path.abspath(key_dir))
        os.makedirs(parent, exist_ok=True)
        # Made whole in a folder beside it and renamed into place, so that builders
        # running at once never pair one's key with another's certificate.
        tmp = tempfile.mkdtemp(prefix=".testkey.", dir=parent)
        fd = os.open(os.path.join(tmp, "testkey.pk8.pem"), os.O_WRONLY | os.O_CREAT, 0o600)
        with os.fdopen(fd, "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.PEM,
                                      serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))
        with open(os.path.join(tmp, "testkey.x509.pem"), "wb") as f:
            f.write(cert_pem)
        with zipfile.ZipFile(os.path.join(tmp, "otacerts.zip"), "w") as zf:
            zf.writestr("testkey.x509.pem", cert_pem)
        try:
            os.rename(tmp, key_dir)
        except OSError:  # another builder was first
            for name in os.listdir(tmp):
                os.unlink(os.path.join(tmp, name))
            os.rmdir(tmp)
    with open(key_path, "rb") as f:
        key = serialization.load_pem_private_key(f.read(), password=None)
    with open(cert_path, "rb") as f:
        cert = x509.load_pem_x509_certificate(f.read())
    return key, cert


def sign_archive(data, key, cert):
    """Whole-file signature of a zip archive without comment: returns the signed archive."""
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.serialization import Encoding, pkcs7

    if len(data) < 22 or data[-22:-18] != EOCD_MAGIC or data[-2:] != b"\0\0":
        raise ValueError("the archive must end with an end-of-archive record without comment")
    signed = data[:-2]  # everything up to the comment length
    options = [pkcs7.PKCS7Options.DetachedSignature, pkcs7.PKCS7Options.NoAttributes,
               pkcs7.PKCS7Options.Binary]
    block = (pkcs7.PKCS7SignatureBuilder().set_data(signed)
             .add_signer(cert, key, hashes.SHA256()).sign(Encoding.DER, options))
    if EOCD_MAGIC in block:
        # A zip reader could take it for the archive's end; the verifier refuses it.
        raise ValueError("the signature holds an end-of-archive marker; change the package")
    comment_size = len(block) + 6
    if comment_size > 0xffff:
        raise ValueError("signature block too large")
    footer = struct.pack("<HHH", comment_size, 0xffff, comment_size)
    return signed + struct.pack("<H", comment_size) + block + footer


def metadata(device=DEMO_DEVICE, timestamp=DEMO_PACKAGE_TIME, ota_type="BLOCK", extra=()):
    """The metadata text: ota-type, pre-device and post-timestamp (each left out when None),
    then the (key, value) pairs of extra in order, a key named twice included."""
    lines = [f"{k}={v}" for k, v in (("ota-type", ota_type), ("pre-device", device),
                                       ("post-timestamp", timestamp)) if v is not None]
    lines += [f"{k}={v}" for k, v in extra]
    return ("\n".join(lines) + "\n").encode()


def oversized_metadata():
    """Metadata that fits the demo handset but is one byte over what the handset reads."""
    text = metadata()
    return text + b"#" * (METADATA_LIMIT + 1 - len(text))


def signapk_sign(data, key_dir=None, key_type="rsa"):
    """Signs the archive bytes with the platform's signer (one JVM per call); returns the
    signed package. With $NORVO_SIGN_CACHE naming a folder (the system tests set it), a
    package signed before with the same key is taken from there: the signer is
    deterministic, and the tests sign the same packages many times, in several workers."""
    key_dir = key_dir or default_key_dir()
    test_key(key_dir, key_type)
    cache = os.environ.get("NORVO_SIGN_CACHE")
    if not cache:
        return _signapk_run(data, key_dir)
    digest = hashlib.sha256(hashlib.sha256(data).digest())
    for name in ("testkey.pk8.pem", "testkey.x509.pem"):
        with open(os.path.join(key_dir, name), "rb") as f:
            digest.update(hashlib.sha256(f.read()).digest())
    stored = os.path.join(cache, digest.hexdigest() + ".zip")
    # One signer per package: the others wait for its result rather than start a JVM.
    fd = os.open(stored + ".lock", os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o600)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        try:
            with open(stored, "rb") as f:
                return f.read()
        except FileNotFoundError:
            pass
        signed = _signapk_run(data, key_dir)
        tmp = stored + ".tmp"
        with open(tmp, "wb") as f:
            f.write(signed)
        os.replace(tmp, stored)
        return signed
    finally:
        os.close(fd)


def _signapk_run(data, key_dir):
    from cryptography.hazmat.primitives import serialization

    key, _ = test_key(key_dir)
    cert_path = os.path.join(key_dir, "testkey.x509.pem")
    with tempfile.TemporaryDirectory(prefix="signapk.") as tmp:
        pk8 = os.path.join(tmp, "key.pk8")
        fd = os.open(pk8, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.DER,
                                      serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))
        src, dst = os.path.join(tmp, "in.zip"), os.path.join(tmp, "out.zip")
        with open(src, "wb") as f:
            f.write(data)
        java = shutil.which("java") or "java"
        # Its start-up dominates; the quick compiler tier is plenty for one file.
        result = subprocess.run([java, "-XX:TieredStopAtLevel=1", "-XX:+UseSerialGC", "-jar",
                                 SIGNAPK, "-w", cert_path, pk8, src, dst],
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        if result.returncode != 0:
            raise RuntimeError("signapk failed: " + result.stderr.decode(errors="replace"))
        with open(dst, "rb") as f:
            return f.read()


def archive(entries):
    """A stored zip of (name, bytes, mode) entries, without comment."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as zf:
        for name, data, mode in entries:
            info = zipfile.ZipInfo(name)
            info.external_attr = (0o100000 | mode) << 16
            zf.writestr(info, data)
    return out.getvalue()


def build(output, payload_size, version, updater=None, key_dir=None, key_type="rsa",
          signed=True, meta=None, signer="signapk"):
    """Writes the package; meta is the metadata entry's bytes (default: fits the demo
    handset; False: no metadata entry)."""
    # Deterministic payload, so repeated demos build the same package.
    seed = hashlib.sha256(version.encode()).digest()
    chunks, counter, made = [], 0, 0
    while made < payload_size:
        block = hashlib.sha256(seed + counter.to_bytes(8, "big")).digest() * 64
        chunks.append(block[:payload_size - made])
        made += len(chunks[-1])
        counter += 1
    script = UPDATE_BINARY.replace("__VERSION__", version).encode() if updater is None else updater
    entries = [(UPDATER_ENTRY, script, 0o755)]
    if meta is not False:
        entries.append((METADATA_ENTRY, metadata() if meta is None else meta, 0o644))
    entries.append(("payload.bin", b"".join(chunks), 0o644))
    data = archive(entries)
    if signed and signer == "signapk":
        data = signapk_sign(data, key_dir, key_type)
    elif signed:
        data = sign_archive(data, *test_key(key_dir or default_key_dir(), key_type))
    tmp = output + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, output)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("output", help="zip file to write")
    parser.add_argument("--payload-size", type=int, default=4 * 1024 * 1024,
                        help="bytes of payload besides the script (default 4 MiB)")
    parser.add_argument("--version", default="V2.0.1", help="version text shown by the script")
    parser.add_argument("--updater", help="file to ship as the updater instead of the demo script")
    parser.add_argument("--key-dir", help="test key folder (default $NORVO_BUILD_DIR/testkey)")
    parser.add_argument("--key-type", choices=("rsa", "ec"), default="rsa",
                        help="kind of key generated for a new key folder (default rsa)")
    parser.add_argument("--unsigned", action="store_true", help="leave the package unsigned")
    parser.add_argument("--signer", choices=("signapk", "own"), default="signapk",
                        help="the platform's signapk (default) or this script's own signer")
    meta = parser.add_argument_group("metadata (default: fits the demo handset)")
    meta.add_argument("--device", default=DEMO_DEVICE, help="pre-device (default %(default)s)")
    meta.add_argument("--timestamp", type=int, default=DEMO_PACKAGE_TIME,
                      help="post-timestamp (default %(default)s)")
    meta.add_argument("--older", action="store_true",
                      help="a post-timestamp a day older than the demo handset's build")
    meta.add_argument("--downgrade", action="store_true", help="ota-downgrade=yes")
    meta.add_argument("--pre-build", help="pre-build: the source build's fingerprint(s)")
    meta.add_argument("--serial", help="serialno")
    meta.add_argument("--incremental", help="pre-build-incremental")
    meta.add_argument("--ota-type", default="BLOCK", help="ota-type (default %(default)s)")
    meta.add_argument("--duplicate", action="append", default=[], metavar="KEY=VALUE",
                      help="a key named a second time (repeatable)")
    meta.add_argument("--no-metadata", action="store_true", help="no metadata entry")
    meta.add_argument("--oversized-metadata", action="store_true",
                      help="a metadata entry one byte over 64 KiB")
    args = parser.parse_args(argv)
    if args.payload_size < 0:
        parser.error("--payload-size must not be negative")
    updater = None
    if args.updater:
        with open(args.updater, "rb") as f:
            updater = f.read()
    extra = []
    if args.downgrade:
        extra.append(("ota-downgrade", "yes"))
    for key, value in (("pre-build", args.pre_build), ("serialno", args.serial),
                       ("pre-build-incremental", args.incremental)):
        if value is not None:
            extra.append((key, value))
    for pair in args.duplicate:
        if "=" not in pair:
            parser.error("--duplicate needs KEY=VALUE")
        extra.append(tuple(pair.split("=", 1)))
    if args.no_metadata:
        meta_bytes = False
    elif args.oversized_metadata:
        meta_bytes = oversized_metadata()
    else:
        timestamp = DEMO_BUILD_TIME - 86400 if args.older else args.timestamp
        meta_bytes = metadata(args.device, timestamp, args.ota_type, extra)
    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    build(args.output, args.payload_size, args.version, updater, args.key_dir, args.key_type,
          not args.unsigned, meta_bytes, args.signer)
    print(f"{args.output}: {os.path.getsize(args.output)} bytes", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
