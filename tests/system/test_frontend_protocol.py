"""The lines and codes this round gave a meaning of their own (docs/frontend-protocol.md), and
--version, as a front end sees them in the emulated device."""
import pathlib
import re

import pytest
from norvo_driver import TEST_PHONE_PROPS, UPDATER_PROPS
from test_download import PKG, Download, make_package, serve
from test_first_stage import offer, status_lines

REPO = pathlib.Path(__file__).resolve().parents[2]
FIXED = ("NORVO_FIXED_BACKOFF=1",)


def expected_version(build, program):
    config = (build / "generated" / "norvo_config.h").read_text()
    version = re.search(r'#define NORVO_VERSION "([^"]+)"', config).group(1)
    header = (REPO / "norvotools" / "norvo-root" / "version_text.h").read_text()
    protocol = re.search(r"kProtocolVersion = (\d+);", header).group(1)
    doc = (REPO / "docs" / "frontend-protocol.md").read_text()
    assert f"Protocol version: **{protocol}**" in doc
    return f"{program} {version}\nprotocol {protocol}\n"


@pytest.mark.parametrize("program", ["corvane", "quillon", "partver"])
def test_version_names_program_and_protocol_and_touches_nothing(device, build_dir, program):
    device.run(["true"])  # the device folder as every run leaves it
    before = sorted(str(p.relative_to(device.root)) for p in device.root.rglob("*"))
    result = device.run([program, "--version"])
    assert result.returncode == 0
    assert result.stdout.decode() == expected_version(device.build, program)
    assert result.stderr == b""
    # No work area, tmpfs, pid file or property: asking for the version changes nothing.
    after = sorted(str(p.relative_to(device.root)) for p in device.root.rglob("*"))
    assert after == before


@pytest.fixture
def phone(make_device, build_dir):
    return make_device(props=TEST_PHONE_PROPS)


def test_failed_lookup_in_the_first_stage_writes_a_line(phone):
    # The package host is in no hosts file and the device has no name server: the ROM URL
    # check cannot resolve it. Protocol version 1 wrote nothing; now 2:f:6 says why.
    offer(phone, mirrors=["http://nowhere.norvo.invalid/pkgs"])
    result = phone.run(["corvane", "--run_from_command", "2"], server=True, timeout=60)
    assert status_lines(result.stdout) == ["0:s", "1:s", "2:f:6"]


@pytest.fixture
def updater(make_device, build_dir):
    return make_device(props=UPDATER_PROPS)


def test_unparsable_redirect_target_has_its_own_codes(updater):
    # A target whose host is longer than any host name: the download cannot follow it.
    serve(updater, make_package(10_000), {PKG: {"redirect": "http://" + "h" * 1100 + "/pkg.zip"}})
    text = Download(updater, env=FIXED).finish(timeout=30)
    # Was 3:f:3 / 3:f:103, the final code of a missing package URL.
    assert text == "3:f:8\n3:f:8\n3:f:108\n"


def test_lock_that_cannot_be_made_has_its_own_code(updater):
    serve(updater, make_package(10_000))
    # A folder with content where the lock file belongs: no lock file can be made there.
    lock = updater.path("/tmp/secure_update.zip.lock")
    lock.mkdir()
    (lock / "keep").write_bytes(b"x")
    # Was 3:f:123, the code of a package that cannot be written three times.
    assert Download(updater).finish(timeout=30) == "3:f:201\n"
    assert updater.server_log() == []
