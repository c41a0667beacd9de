"""tools/device with NORVO_EMULATOR: every program of the build folder starts through the
emulator, whether the command names it, or a shell or env starts it by name. A stand-in
emulator logs each start and then runs the program (through the real emulator when the
suite itself runs under one, as in the aarch64 step)."""
import os


def test_programs_start_through_the_emulator(build_dir, device, monkeypatch):
    real = os.environ.get("NORVO_EMULATOR", "")
    # The server folder is visible in the device as /device/server.
    script = device.path("/device/server/emulator")
    script.write_text("#!/bin/sh\n"
                      "echo \"$*\" >>/tmp/emulated\n"
                      "[ \"$1\" = --mark ] && shift\n"
                      f"exec {real} \"$@\"\n")
    script.chmod(0o755)
    monkeypatch.setenv("NORVO_EMULATOR", "/device/server/emulator --mark")

    result = device.run(["sh", "-c", "setprop debug.emu 'a b' && env X=1 getprop debug.emu && "
                         "corvane --foo"])
    assert result.stdout.decode().splitlines()[0] == "a b"
    assert b"wrong command format --foo" in result.stdout + result.stderr
    started = device.path("/tmp/emulated").read_text().splitlines()
    bin_dir = build_dir / "bin"
    assert started == [f"--mark {bin_dir}/setprop debug.emu a b",
                       f"--mark {bin_dir}/getprop debug.emu", f"--mark {bin_dir}/corvane --foo"]

    # A program named directly is started through it as well.
    device.run(["getprop", "debug.emu"])
    assert device.path("/tmp/emulated").read_text().splitlines()[-1] == \
        f"--mark {bin_dir}/getprop debug.emu"


def test_without_emulator_the_build_programs_come_first(build_dir, device, monkeypatch):
    monkeypatch.delenv("NORVO_EMULATOR", raising=False)
    result = device.run(["sh", "-c", "command -v corvane"])
    assert result.stdout.decode().strip() == f"{build_dir}/bin/corvane"
