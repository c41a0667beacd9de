"""The install gate: ``corvane --run_from_command 6`` runs the updater of a package whose
signature verified only when the package's metadata fits the handset (its device, its build,
no rollback). Every package here is signed by the platform's signer, so each refusal is the
gate's. The updater leaves /cache/updater-ran: its absence proves that nothing ran."""
import concurrent.futures
import os
import pathlib
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))
import make_package  # noqa: E402

UPDATER = b"""#!/bin/bash
echo ran > /cache/updater-ran
echo "ui_print gate test updater ran" >&"$2"
"""
FINGERPRINT = "norvo/vexa_one/vexa_one:10/QKQ1.200830.002/V1.0.0:user/release-keys"
# tools/device's demo handset (device vexa_one, build time below) with the facts that the
# optional rules compare. The update query's debug override of the build differs from the
# build's own property, which is what the gate reads.
HANDSET = {"ro.serialno": "a1b2c3", "ro.build.fingerprint": FINGERPRINT,
           "ro.build.version.incremental": "V1.0.0", "debug.build_version": "V0.9.0"}
BUILD = make_package.DEMO_BUILD_TIME
OLDER = BUILD - 86400
meta = make_package.metadata
DOWNGRADE = ("ota-downgrade", "yes")
THIS_BUILD = ("pre-build", "norvo/vexa_one/vexa_one:10/OLD/V0.9.0:user/release-keys|" + FINGERPRINT)
TIME_LINE = f'handset ro.build.date.utc "{BUILD}"'

# name: (metadata entry, or False for none; handset changes; the rejection after
# "E:package rejected: ")
REFUSED = {
    "other device": (meta(device="vexa_two"), {},
                     'pre-device: package "vexa_two", handset ro.product.device "vexa_one" '
                     "(made for another device)"),
    "older": (meta(timestamp=OLDER), {},
              f'post-timestamp: package "{OLDER}", {TIME_LINE} (older than this build)'),
    "older with downgrade, no pre-build": (
        meta(timestamp=OLDER, extra=[DOWNGRADE]), {},
        f'post-timestamp: package "{OLDER}", {TIME_LINE} (a downgrade (ota-downgrade=yes) '
        "needs a pre-build that names this build)"),
    "older with downgrade from another build": (
        meta(timestamp=OLDER, extra=[DOWNGRADE, ("pre-build", "norvo/vexa_one:10/OLD")]), {},
        'pre-build: package "norvo/vexa_one:10/OLD", handset ro.build.fingerprint '
        f'"{FINGERPRINT}" (made for another source build)'),
    "other serial number": (meta(extra=[("serialno", "zzz")]), {},
                            'serialno: package "zzz", handset ro.serialno "a1b2c3" '
                            "(made for another handset)"),
    "incremental for another source": (
        meta(extra=[("pre-build-incremental", "V0.9.0")]), {},
        'pre-build-incremental: package "V0.9.0", handset ro.build.version.incremental '
        '"V1.0.0" (made for another source build)'),
    "AB package": (meta(ota_type="AB"), {},
                   'ota-type: package "AB", handset "BLOCK" (this agent installs BLOCK '
                   "packages only)"),
    "no metadata": (False, {}, "no META-INF/com/android/metadata in the package"),
    "oversized metadata": (make_package.oversized_metadata(), {},
                           "unusable entry: META-INF/com/android/metadata is larger than 64 KiB"),
    "duplicate key": (meta(extra=[("pre-device", "vexa_two")]), {},
                      'pre-device: package "vexa_two" (named twice, first as "vexa_one")'),
    # Blanks that other parsers trim are trimmed here too: the same key, named twice.
    "key named twice beside a vertical tab": (
        meta(extra=[("\vota-type", "AB")]), {},
        'ota-type: package "AB" (named twice, first as "BLOCK")'),
    "key named twice beside a form feed": (
        meta(extra=[("pre-device\f", "vexa_two")]), {},
        'pre-device: package "vexa_two" (named twice, first as "vexa_one")'),
    # A key another parser would read without its byte-order mark.
    "key after a byte-order mark": (
        b"\xef\xbb\xbf" + meta(ota_type="AB") + b"ota-type=BLOCK\n", {},
        '\\xef\\xbb\\xbfota-type: package "AB" (the key holds a byte-order mark)'),
    "handset build time unset": (meta(), {"ro.build.date.utc": ""},
                                 'post-timestamp: package "1735689600", handset '
                                 "ro.build.date.utc (unset) (the handset's is unset)"),
}
# The result line a front end reads for each refusal: a rollback is told from a package made
# for another handset or build, and both from a package without (usable) metadata.
RESULT = dict.fromkeys(REFUSED, "6:f:24")
RESULT.update({"older": "6:f:25", "older with downgrade, no pre-build": "6:f:25",
               "no metadata": "6:f:23", "oversized metadata": "6:f:22"})
# name: (metadata entry, the build time the fitting line names, whether it is a downgrade)
FITS = {
    "newer build": (meta(), make_package.DEMO_PACKAGE_TIME, False),
    "same build again": (meta(timestamp=BUILD), BUILD, False),
    "downgrade from this build": (meta(timestamp=OLDER, extra=[DOWNGRADE, THIS_BUILD]), OLDER,
                                  True),
    "blanks around keys and values": (
        meta(device="\fvexa_one\v", extra=[("\vserialno\f", "\fa1b2c3\v\r")]),
        make_package.DEMO_PACKAGE_TIME, False),
    "device list, serial, incremental": (
        meta(device="vexa_two,vexa_one", timestamp=BUILD + 1,
             extra=[("serialno", "a1b2c3"), ("pre-build-incremental", "V1.0.0")]), BUILD + 1,
        False),
}


@pytest.fixture(scope="session")
def signed():
    """Every package of the module, each signed once by signapk (a JVM per package, run a
    few at a time). Once per session: in a parallel run this module's tests are spread
    over the workers and interleaved with others' (the signer's results are shared
    between workers through $NORVO_SIGN_CACHE)."""
    key_dir = str(pathlib.Path(os.environ.get("NORVO_BUILD_DIR", REPO / "build")) / "testkey")
    make_package.test_key(key_dir)  # made before the signers run at once

    def sign(entry):
        entries = [(make_package.UPDATER_ENTRY, UPDATER, 0o755), ("payload.bin", b"p" * 999, 0o644)]
        if entry is not False:
            entries.insert(1, (make_package.METADATA_ENTRY, entry, 0o644))
        return make_package.signapk_sign(make_package.archive(entries), key_dir)

    wanted = {name: case[0] for name, case in list(REFUSED.items()) + list(FITS.items())}
    with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
        futures = {name: pool.submit(sign, entry) for name, entry in wanted.items()}
        return {name: future.result() for name, future in futures.items()}


def install(make_device, data, changes=(), extracted=True, name="dev"):
    """Runs the install of data on the handset; with extracted, a front end has already put
    the package's updater at /tmp/update-binary, as front ends do."""
    device = make_device(props=dict(HANDSET, **dict(changes)), name=name)
    device.path("/tmp/secure_update.zip").write_bytes(data)
    if extracted:
        target = device.path("/tmp/update-binary")
        target.write_bytes(UPDATER)
        os.chmod(target, 0o755)
    result = device.run(["corvane", "--run_from_command", "6"], timeout=30)
    assert result.returncode == 0
    return device, result.stdout.decode().splitlines()


@pytest.mark.parametrize("name", list(REFUSED))
def test_refused_package_runs_nothing(make_device, build_dir, signed, name):
    _, changes, reason = REFUSED[name]
    # Half the cases find the front end's copy of the package's updater in place.
    extracted = list(REFUSED).index(name) % 2 == 0
    device, lines = install(make_device, signed[name], changes, extracted)
    # An entry too large to take out of the verified bytes is refused by the check itself.
    assert ("I:package signature verified" in lines) == (name != "oversized metadata")
    rejected = [line for line in lines if line.startswith("E:package rejected: ")]
    assert rejected == ["E:package rejected: " + reason], lines
    assert not any(line.startswith("E:command[") for line in lines)
    assert not device.path("/cache/updater-ran").exists()
    assert not device.path("/tmp/update-binary").exists()
    assert lines[-2:] == [RESULT[name], "I:Bye bye, RUN_UPDATER"]


@pytest.mark.parametrize("name", list(FITS))
def test_fitting_package_installs_without_error_lines_of_its_own(make_device, build_dir, signed,
                                                                 name):
    _, package_time, downgrade = FITS[name]
    device, lines = install(make_device, signed[name], extracted=False)
    fits = (f"I:package fits this handset: device vexa_one, build time {package_time} "
            f"(this build's {BUILD})")
    assert lines.index(fits) < lines.index("E:command[0]:/tmp/update-binary")
    assert device.path("/cache/updater-ran").exists()
    assert device.path("/tmp/update-binary").read_bytes() == UPDATER
    # ERROR only for the relay's own lines: the argument list and the updater's words.
    relayed = ("E:command[", "E:ui_print")
    assert [line for line in lines if line.startswith("E:") and not line.startswith(relayed)] == []
    assert ("W:package is older than this build: a downgrade that ota-downgrade=yes allows "
            "from this build" in lines) == downgrade
    assert lines[-2:] == ["6:s", "I:Bye bye, RUN_UPDATER"]


def test_make_package_options_make_what_the_gate_refuses(make_device, build_dir, tmp_path):
    """The command line's negative cases, through the same signer as the demo."""
    out = tmp_path / "pkg.zip"
    cases = [(["--older", "--downgrade"], "post-timestamp: "),
             (["--serial", "zzz"], "serialno: "),
             (["--incremental", "V0.9.0"], "pre-build-incremental: "),
             (["--ota-type", "AB"], "ota-type: "),
             (["--duplicate", "ota-type=AB"], "ota-type: ")]
    for i, (options, reason) in enumerate(cases):
        make_package.main([str(out), "--payload-size", "100", *options])
        _, lines = install(make_device, out.read_bytes(), extracted=False, name=f"dev{i}")
        rejected = [line for line in lines if line.startswith("E:package rejected: ")]
        assert len(rejected) == 1 and rejected[0].startswith("E:package rejected: " + reason), \
            (options, lines)


def code_table_row(line):
    """The meaning column of a line's row in docs/frontend-protocol.md's code table."""
    text = (REPO / "docs" / "frontend-protocol.md").read_text()
    for row in text.split("<!-- code table begin -->")[1].split("<!-- code table end -->")[0] \
            .splitlines():
        cells = [c.strip() for c in row.strip().strip("|").split("|")]
        if cells and cells[0] == f"`{line}`":
            return cells[4]
    raise AssertionError(f"no row for {line}")


def test_a_metadata_entry_named_twice_is_the_unusable_entry_the_document_names(
        make_device, build_dir):
    """The archive holds two entries of the metadata's name (a zip reader may take either):
    the program's result line and the protocol document's row of it say the same thing."""
    key, cert = make_package.test_key(str(build_dir / "testkey"))
    with pytest.warns(UserWarning, match="Duplicate name"):
        data = make_package.archive([
            (make_package.UPDATER_ENTRY, UPDATER, 0o755),
            (make_package.METADATA_ENTRY, meta(), 0o644),
            (make_package.METADATA_ENTRY, meta(device="vexa_two"), 0o644)])
    device, lines = install(make_device, make_package.sign_archive(data, key, cert))
    assert "E:package rejected: unusable entry: two entries named " \
        f"{make_package.METADATA_ENTRY}" in lines, lines
    assert lines[-2:] == ["6:f:22", "I:Bye bye, RUN_UPDATER"]
    assert not device.path("/tmp/updater-ran").exists()
    assert "named twice" in code_table_row("6:f:22")
