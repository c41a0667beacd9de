"""The property store of the emulated device, through getprop and setprop."""


def sh(dev, script, timeout=60):
    res = dev.run(["/bin/sh", "-c", script], timeout=timeout)
    return res.returncode, res.stdout.decode(), res.stderr.decode()


def test_value_travels_between_processes(build_dir, device):
    res = device.run(["setprop", "norvo.timesync.ready", "1"])
    assert res.returncode == 0, res.stderr
    res = device.run(["getprop", "norvo.timesync.ready"])
    assert (res.returncode, res.stdout) == (0, b"1\n")
    # One file per property, exactly the value bytes.
    assert device.path("/dev/__properties__/norvo.timesync.ready").read_bytes() == b"1"


def test_getprop_defaults_and_listing(build_dir, make_device):
    dev = make_device(props={"ro.build.type": "user", "debug.logcat": "1", "empty": ""})
    code, out, _ = sh(dev, "getprop ro.build.type; getprop absent; getprop absent dflt;"
                           " getprop empty dflt")
    assert code == 0
    assert out == "user\n\ndflt\ndflt\n"
    code, out, _ = sh(dev, "getprop")
    assert code == 0
    assert out == ("[debug.logcat]: [1]\n[empty]: []\n[ro.build.date.utc]: [1704067200]\n"
                   "[ro.build.type]: [user]\n[ro.product.device]: [vexa_one]\n")


def test_setprop_refusals(build_dir, make_device):
    dev = make_device(props={"ro.serialno": "abc"})
    refused = [
        ["setprop", "ro.serialno", "other"],  # "ro." names are write-once
        ["setprop", "long", "v" * 92],
        ["setprop", "../escape", "x"],
        ["setprop", "only-name"],
    ]
    for argv in refused:
        res = dev.run(argv)
        assert res.returncode == 1, argv
        assert res.stderr, argv
    assert dev.getprop("ro.serialno") == "abc"
    assert dev.getprop("long") is None
    names = sorted(p.name for p in dev.path("/dev/__properties__").iterdir())
    assert names == sorted(["ro.serialno", *dev.PRESETS])
    assert not (dev.root / "escape").exists()
    # Limits that are allowed.
    assert dev.run(["setprop", "max", "m" * 91]).returncode == 0
    assert dev.run(["setprop", "ro.new", "r" * 200]).returncode == 0
    assert dev.getprop("max") == "m" * 91
    assert dev.getprop("ro.new") == "r" * 200


def test_readers_never_see_half_a_value(build_dir, device):
    # A writer alternates two long values while a reader polls: with atomic writes every
    # read is one of the two, never empty or cut.
    a, b = "a" * 91, "b" * 91
    device.prop_preset("race", a)
    script = (f"(i=0; while [ $i -lt 150 ]; do setprop race {b}; setprop race {a}; "
              f"i=$((i+1)); done) & "
              f"j=0; while [ $j -lt 300 ]; do getprop race; j=$((j+1)); done; wait")
    code, out, err = sh(device, script, timeout=120)
    assert code == 0, err
    reads = out.split("\n")[:-1]
    assert len(reads) == 300
    assert set(reads) <= {a, b}, {r for r in reads if r not in (a, b)}
    leftovers = [p.name for p in device.path("/dev/__properties__").iterdir()
                 if p.name != "race" and p.name not in device.PRESETS]
    assert leftovers == []
