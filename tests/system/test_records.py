"""ROM records and the record dump in the emulated device: the record written from an
update answer, the URL and size read back from it, and the copy to the cache partition."""
import json
import os
import stat

from test_storage import probe_built, run  # noqa: F401 (probe_built is a fixture)

ANSWER = {
    "CurrentRom": {"version": "1.0.0"},
    "LatestRom": {"version": "2.0.0", "filename": "ota-2.0.0.zip", "filesize": "980.3M",
                  "Validate": "sig", "md5": "0123abcd"},
    "MirrorList": ["https://secure.mirror.test", "http://dl.mirror.test/a/b"],
}


def write_record(dev, answer=ANSWER):
    dev.path("/tmp/answer.json").write_text(json.dumps(answer))
    return run(dev, "record", "/tmp/answer.json")


def test_record_url_size_and_status(make_device, probe_built):
    dev = make_device(props={"ro.bootimage.name": "norvo"})
    _, log = write_record(dev)
    rom = dev.path("/tmp/download/LatestRom")
    assert {p.name: p.read_text() for p in rom.iterdir() if p.is_file()} == {
        "version": "2.0.0", "filename": "ota-2.0.0.zip", "curr_version": "1.0.0",
        "filesize": "1027919052", "Validate": "sig", "md5": "0123abcd"}
    assert stat.S_IMODE((rom / "0").stat().st_mode) == 0o644
    assert (rom / "1" / "host").read_text() == "http://dl.mirror.test/a/b"
    assert os.readlink(dev.path("/tmp/download/CurrentRom")) == "/tmp/download/LatestRom"
    assert "I:>> Download ROM info:2.0.0 - ota-2.0.0.zip, 980.3M" in log

    out, _ = run(dev, "url", "0")
    assert out.splitlines() == ["http://", "dl.mirror.test", "/a/b/2.0.0/ota-2.0.0.zip"]
    out, _ = run(dev, "filesize")
    assert out == "1027919052\n"
    run(dev, "status", "RomInfo")
    assert dev.path("/tmp/download/status").read_bytes() == b"RomInfo"


def test_malformed_answer_gives_empty_record(make_device, probe_built):
    dev = make_device(props={"ro.bootimage.name": "norvo"})
    write_record(dev, {"LatestRom": {"version": 3, "filesize": "12xM"}, "MirrorList": "x"})
    rom = dev.path("/tmp/download/LatestRom")
    assert rom.joinpath("version").read_text() == ""
    assert not rom.joinpath("filesize").exists()
    assert not rom.joinpath("0").exists()
    out, log = run(dev, "url", "0")
    assert out == ""
    assert "E:failed to read host: No such file or directory" in log


def prepare_exchange(dev):
    for name, data in (("request.uncrypted", "{q}"), ("request.encrypted", "q=x"),
                       ("response.uncrypted", "{a}")):
        dev.path("/tmp/download/" + name).write_text(data)


def test_dump_in_android_copies_everything(make_device, probe_built):
    dev = make_device()
    write_record(dev)
    prepare_exchange(dev)
    dev.path("/cache/norvo").mkdir()
    os.symlink("/tmp", dev.path("/cache/norvo/download"))  # replaced by a directory

    run(dev, "dump")
    base = dev.path("/cache/norvo/download")
    assert base.is_dir() and not base.is_symlink()
    latest = base / "LatestRom"
    assert {p.name: p.read_text() for p in latest.iterdir()} == {
        "version": "2.0.0", "filename": "ota-2.0.0.zip", "curr_version": "1.0.0",
        "filesize": "1027919052", "Validate": "sig", "md5": "0123abcd", "0": "", "1": ""}
    assert (base / "CrossRom").is_dir() and not any((base / "CrossRom").iterdir())
    assert (base / "CurrentRom").read_text() == "LatestRom"
    assert (base / "request.android.uncrypted").read_text() == "{q}"
    assert (base / "request.android.encrypted").read_text() == "q=x"
    assert (base / "response.android.uncrypted").read_text() == "{a}"
    assert (base / "response.android.encrypted").read_text() == ""


def test_dump_in_recovery_keeps_only_what_the_guard_allows(make_device, probe_built):
    dev = make_device(props={"ro.bootimage.name": "recovery"})
    write_record(dev)
    prepare_exchange(dev)
    dev.path("/cache/norvo").mkdir()  # the agent's start-up makes the work area
    _, log = run(dev, "dump")
    base = dev.path("/cache/norvo/download")
    assert sorted(p.name for p in (base / "LatestRom").iterdir()) == [
        "0", "1", "filename", "md5", "version"]
    # Nothing else reaches the cache partition: no exchange, no CurrentRom answer.
    assert sorted(p.name for p in base.iterdir()) == ["CrossRom", "LatestRom"]
    assert "E:copy /cache/norvo/download/request.recovery.uncrypted only in test-keys" in log
    assert "E:copy /cache/norvo/download/LatestRom/Validate only in test-keys" in log
