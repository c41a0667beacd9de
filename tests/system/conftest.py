"""Shared fixtures of the system tests: the emulated device and its reference server.

Every program under test runs inside ``tools/device`` (a bubblewrap sandbox), never on the
host. Each test gets a fresh device folder under pytest's ``tmp_path``, kept after the run
for inspection.

Fixtures
--------
``build_dir``
    The build directory (``$NORVO_BUILD_DIR``, default ``<repo>/build``) as a Path. Fails
    the test with a clear message when the programs (corvane, quillon, partver, getprop,
    setprop) have not been built. Tests that run the C++ programs request it.
``device``
    A fresh :class:`Device`. Needs only the build folder with its ``deployment.env`` (the
    host names mapped in the device's /etc/hosts), so tests of the device and of the
    reference server run without the C++ programs.
``make_device``
    A factory ``make_device(props={...}, name="dev")`` for tests that need presets or more
    than one device.

Device
------
``Device(root, build, props={}, options=())``
    ``root`` is the host folder of the device (layout in tools/README.md). ``options``
    go to tools/device on every run, before a run's own (norvo_driver's ``NO_KEY_STORE`` for a device
    without the test key store: downloads of unsigned test bytes are then not
    signature-checked).
``prop_preset(name, value)``
    Presets a property (one file per property in the device's property store).
    ``Device.PRESETS`` are the properties tools/device adds where a device has none.
``getprop(name) -> str | None``
    Reads a property from the host side; None when it is not set.
``run(argv, server=False, timeout=60, pass_fds=(), input=None, options=())``
    Runs argv in the device (with the reference server when ``server``); returns a
    ``subprocess.CompletedProcess`` with ``stdout``/``stderr`` bytes. A run that exceeds
    its timeout is killed (the whole process group) and fails the test, with what its
    processes were doing (see ``describe_processes``).
``popen(argv, server=False, pass_fds=(), stdin=..., stdout=..., stderr=...)``
    Starts a long run and returns the Popen; the caller waits. Leftovers are killed when
    the test ends.
``path(device_path) -> pathlib.Path``
    The host path of a device path ("/cache/norvo/time", "/tmp/download/status",
    "/dev/__properties__/x", "/dev/block/sda30", "/etc/hosts", "/device/server/...").
``server_config(dict)``
    Writes the reference server's config.json (read by the server on every request, so it
    may change between and during runs). ``server_config(None)`` removes it (defaults).
``put_package(name, data) -> pathlib.Path``
    Stores a file that the server serves under its package prefix.
``held() -> list[int]`` / ``release(name="release")``
    The body offsets at which the server holds answers (the ``hold_after`` fault), and the
    file that lets them go on.
``server_log() -> list[dict]``
    The requests the server has completed, in order of arrival (see tools/README.md).
``wait_for(predicate, timeout=10, interval=0.02)``
    Polls ``predicate`` until it returns a true value, which it returns; fails the test on
    timeout.

Time-outs
---------
A verdict never depends on how fast the machine is: a test that needs an ordering waits
for the event (a status line, a server log entry, a file, a fault the test releases, such
as the reference server's ``hold_after``), never for a time. Time-outs only end a hung
test, and every one of them (``run``, ``wait_for``, the stage driver's waits, the tests'
own ``hang_timeout(...)``) is multiplied by norvo_driver's ``TIMEOUT_SCALE``, which the
emulator mode (``NORVO_EMULATOR``) sets to 4 (``NORVO_TIMEOUT_SCALE`` overrides it).
The product's own time promises (a stop within a second, a diag post within three) are
asserted as measured, never scaled, and only in the serial pass.

Running in parallel
-------------------
The tests mostly wait (back-off, time-outs, servers), so the test command runs them in
several pytest-xdist workers (``-n N``); tools/system-tests.sh runs the two passes below.
Every device has its own folder and network namespace; what the tests share in the build
folder (the test key, the test CA) is made once at session start, before any worker runs.

``@pytest.mark.serial``
    A test whose time bound holds only on a machine otherwise idle (stop latency, a post
    within seconds): left out of the parallel pass (``-m "not serial"``) and run in a
    second pass of its own (``-m serial``), one test at a time.
``@pytest.mark.slow``
    A test of tens of seconds: started first, so that the parallel pass does not end
    waiting on it. Workers take one test at a time from the queue (not batches), so a
    worker never holds tests back while others are idle.
``$NORVO_SIGN_CACHE``
    Set at session start to a folder shared by the workers: tools/make_package.py keeps
    each package it has signed with signapk there, so that the same package is signed
    once per session rather than once per module and worker.
"""
import json
import os
import pathlib
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))  # norvo_driver, the tools' shared stage driver
sys.path.insert(0, str(REPO / "tools" / "refserver"))  # testca
from norvo_driver import hang_timeout  # noqa: E402
DEVICE_SCRIPT = REPO / "tools" / "device"
PROGRAMS = ("corvane", "quillon", "partver", "getprop", "setprop")

# Device paths that live in the device folder on the host, longest prefix first.
_MOUNTS = (
    ("/dev/__properties__", "properties"),
    ("/dev/block/sda30", "sda30"),
    ("/device/server", "server"),
    ("/etc/hosts", "hosts"),
    ("/cache", "cache"),
    ("/tmp", "tmp"),
)


def _build_root() -> pathlib.Path:
    return pathlib.Path(os.environ.get("NORVO_BUILD_DIR", REPO / "build")).resolve()


def pytest_configure(config):
    config.addinivalue_line("markers", "serial: time bound that holds only on an idle "
                            "machine; run in a pass of its own, one test at a time")
    config.addinivalue_line("markers", "slow: tens of seconds; started first")
    if config.pluginmanager.hasplugin("xdist"):
        config.pluginmanager.register(_OneAtATime(), "norvo-one-at-a-time")
    if hasattr(config, "workerinput"):
        return  # a worker: the controller has prepared the session
    _prepare_shared(config)


def _prepare_shared(config):
    """What every test may use from the build folder, made before the workers start: the
    test key (its otacerts.zip is the device's default key store, so it must not appear
    part-way through a run) and the test CA. Both makers are safe against a concurrent
    maker anyway (a whole folder renamed into place)."""
    build = _build_root()
    if (build / "deployment.env").is_file():
        import make_package
        import testca

        make_package.test_key(str(build / "testkey"))
        testca.ensure(build)
    if "NORVO_SIGN_CACHE" not in os.environ:
        cache = tempfile.mkdtemp(prefix="norvo-signed.")
        os.environ["NORVO_SIGN_CACHE"] = cache  # inherited by the workers
        config._norvo_sign_cache = cache


def pytest_unconfigure(config):
    cache = getattr(config, "_norvo_sign_cache", None)
    if cache:
        shutil.rmtree(cache, ignore_errors=True)
        os.environ.pop("NORVO_SIGN_CACHE", None)


def pytest_collection_modifyitems(config, items):
    # Stable: the slow tests first, each group in its collected order. Every worker
    # collects, and must order, alike.
    items.sort(key=lambda item: item.get_closest_marker("slow") is None)


class _OneAtATime:
    """xdist's default scheduler hands each worker a batch of tests at a time; with tests
    that take from a tenth of a second to a minute, a worker may then sit on several slow
    ones while the others are idle. This one keeps each worker at two tests (the running
    one and the next, which a worker needs to know before it ends the running one)."""

    def pytest_xdist_make_scheduler(self, config, log):
        if config.getoption("dist") != "load":
            return None  # another distribution was asked for: xdist's own
        from xdist.scheduler import LoadScheduling

        class Scheduler(LoadScheduling):
            def schedule(self):
                assert self.collection_is_completed
                if self.collection is not None:
                    for node in self.nodes:
                        self.check_schedule(node)
                    return
                if not self._check_nodes_have_same_collection():
                    self.log("**Different tests collected, aborting run**")
                    return
                self.collection = list(self.node2collection.values())[0]
                self.pending[:] = range(len(self.collection))
                for node in self.nodes:
                    self.check_schedule(node)

            def check_schedule(self, node, duration=0):
                if node.shutting_down:
                    return
                if self.pending:
                    wanted = 2 - len(self.node2pending[node])
                    if wanted > 0:
                        self._send_tests(node, min(wanted, len(self.pending)))
                else:
                    node.shutdown()

        return Scheduler(config, log)


def _kill_group(proc: subprocess.Popen) -> None:
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        pass


def describe_processes(root_pid: int) -> str:
    """What a run that did not end is doing: every process under root_pid with its
    state and wait channel, and a backtrace of each corvane or quillon (gdb, when
    the host has it). For the failure message of a hang."""
    children = {}
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
            children.setdefault(int(fields[1]), []).append(int(entry.name))
        except (OSError, IndexError, ValueError):
            continue
    lines, todo = [], [root_pid]
    while todo:
        pid = todo.pop()
        todo.extend(children.get(pid, []))
        proc = pathlib.Path(f"/proc/{pid}")
        try:
            cmd = (proc / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
            state = (proc / "stat").read_text().rsplit(")", 1)[1].split()[0]
            wchan = (proc / "wchan").read_text()
        except OSError:
            continue
        lines.append(f"{pid} {state} {wchan or '-'} {cmd[:200]}")
        name = os.path.basename(cmd.split(" ", 1)[0])
        if name in ("corvane", "quillon") and os.path.exists("/usr/bin/gdb"):
            try:
                bt = subprocess.run(["gdb", "-batch", "-p", str(pid), "-ex",
                                     "thread apply all bt 20"], capture_output=True,
                                    timeout=60, text=True).stdout
            except (OSError, subprocess.TimeoutExpired) as err:
                bt = f"gdb: {err}"
            lines.extend("    " + line for line in bt.splitlines()
                         if line.startswith(("#", "Thread")))
    return "\n".join(lines)


def read_output_until(proc: subprocess.Popen, marker: bytes, timeout: float) -> bytes:
    """Reads proc's piped stdout until `marker` appears, it ends, or `timeout` s pass; what
    it read (the rest stays in the pipe for communicate())."""
    fd = proc.stdout.fileno()
    seen = b""
    deadline = time.monotonic() + timeout
    while marker not in seen:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        seen += chunk
    return seen


class Device:
    # What tools/device gives a device that lacks them: the demo handset's device and build
    # time, which the install gate compares packages with.
    PRESETS = {"ro.build.date.utc": "1704067200", "ro.product.device": "vexa_one"}

    def __init__(self, root, build, props=None, options=()):
        self.root = pathlib.Path(root)
        self.options = tuple(options)
        self.build = pathlib.Path(build)
        self.root.mkdir(parents=True, exist_ok=True)
        (self.root / "properties").mkdir(exist_ok=True)
        # The fresh layout that tools/device makes, so that tests can put files in place
        # before the first run.
        for sub in ("tmp/download/LatestRom", "tmp/download/CrossRom", "tmp/zel/events",
                    "cache"):
            (self.root / sub).mkdir(parents=True, exist_ok=True)
        (self.root / "server" / "packages").mkdir(parents=True, exist_ok=True)
        self._procs = []
        for name, value in (props or {}).items():
            self.prop_preset(name, value)

    # -- files -------------------------------------------------------------------------
    def path(self, device_path: str) -> pathlib.Path:
        for prefix, sub in _MOUNTS:
            if device_path == prefix or device_path.startswith(prefix + "/"):
                return self.root / sub / device_path[len(prefix) + 1:]
        raise ValueError(f"{device_path} is not kept in the device folder")

    def prop_preset(self, name: str, value: str) -> None:
        if not name or "/" in name:
            raise ValueError(f"bad property name {name!r}")
        (self.root / "properties" / name).write_text(value)

    def getprop(self, name: str):
        try:
            return (self.root / "properties" / name).read_text()
        except FileNotFoundError:
            return None

    # -- reference server ----------------------------------------------------------------
    def server_config(self, config) -> None:
        target = self.root / "server" / "config.json"
        if config is None:
            target.unlink(missing_ok=True)
            return
        tmp = target.with_suffix(".json.tmp")
        tmp.write_text(json.dumps(config))
        os.replace(tmp, target)  # the server never sees half a file

    def put_package(self, name: str, data: bytes) -> pathlib.Path:
        target = self.root / "server" / "packages" / name
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
        return target

    def held(self) -> list:
        """Body offsets at which answers are being (or were) held by a ``hold_after`` fault."""
        try:
            text = (self.root / "server" / "held").read_text()
        except FileNotFoundError:
            return []
        return [int(line) for line in text.split("\n")[:-1] if line]

    def release(self, name: str = "release") -> None:
        """Lets the answers held by ``hold_after`` (with that ``release`` name) go on."""
        (self.root / "server" / name).touch()

    def server_log(self) -> list:
        try:
            text = (self.root / "server" / "requests.jsonl").read_text()
        except FileNotFoundError:
            return []
        # Only complete lines: an entry being written has no line end yet.
        entries = [json.loads(line) for line in text.split("\n")[:-1] if line]
        # Entries are written as requests complete; order them by arrival.
        return sorted(entries, key=lambda e: e["time"])

    # -- running -------------------------------------------------------------------------
    def _argv(self, argv, server, options):
        cmd = [str(DEVICE_SCRIPT), "--dir", str(self.root), "--build", str(self.build)]
        if server:
            cmd.append("--server")
        cmd += list(self.options) + list(options)
        return cmd + ["--"] + [str(a) for a in argv]

    def popen(self, argv, server=False, pass_fds=(), options=(), stdin=subprocess.DEVNULL,
              stdout=subprocess.PIPE, stderr=subprocess.PIPE) -> subprocess.Popen:
        proc = subprocess.Popen(self._argv(argv, server, options), pass_fds=tuple(pass_fds),
                                stdin=stdin, stdout=stdout, stderr=stderr,
                                start_new_session=True)
        self._procs.append(proc)
        return proc

    def run(self, argv, server=False, timeout=60, pass_fds=(), input=None,
            options=()) -> subprocess.CompletedProcess:
        timeout = hang_timeout(timeout)
        proc = self.popen(argv, server=server, pass_fds=pass_fds, options=options,
                          stdin=subprocess.PIPE if input is not None else subprocess.DEVNULL)
        try:
            out, err = proc.communicate(input=input, timeout=timeout)
        except subprocess.TimeoutExpired:
            stuck = describe_processes(proc.pid)
            _kill_group(proc)
            out, err = proc.communicate()
            pytest.fail(f"{argv} did not finish within {timeout} s\n"
                        f"stdout: {out[-2000:]!r}\nstderr: {err[-2000:]!r}\n{stuck}")
        return subprocess.CompletedProcess(proc.args, proc.returncode, out, err)

    def wait_for(self, predicate, timeout=10.0, interval=0.02):
        timeout = hang_timeout(timeout)
        deadline = time.monotonic() + timeout
        while True:
            value = predicate()
            if value:
                return value
            if time.monotonic() > deadline:
                pytest.fail(f"condition not met within {timeout} s")
            time.sleep(interval)

    def close(self):
        for proc in self._procs:
            _kill_group(proc)
            for stream in (proc.stdin, proc.stdout, proc.stderr):
                if stream:
                    stream.close()


@pytest.fixture
def build_dir() -> pathlib.Path:
    build = _build_root()
    missing = [p for p in PROGRAMS if not (build / "bin" / p).is_file()]
    if missing:
        pytest.fail(f"programs not built in {build}: {', '.join(missing)} "
                    f"(build first, or set NORVO_BUILD_DIR)")
    return build


@pytest.fixture
def make_device(tmp_path):
    build = _build_root()
    if not (build / "deployment.env").is_file():
        pytest.fail(f"{build} is not a configured build directory (no deployment.env); "
                    f"run cmake first or set NORVO_BUILD_DIR")
    devices = []

    def make(props=None, name="dev", options=()):
        dev = Device(tmp_path / name, build, props, options)
        devices.append(dev)
        return dev

    yield make
    for dev in devices:
        dev.close()


@pytest.fixture
def device(make_device) -> Device:
    return make_device()
