"""The one driver of corvane's two pipes, for the tests, the tools and the benchmark.

The updater front end starts corvane once per stage with two pipes of its own:

    corvane --run_from_fork --first_stage W R
    corvane --run_from_fork --second_stage W R SCHEME HOST PATH

W is the status pipe (corvane writes lines such as ``3:p:42``; the last line of a stopped
download, ``3:r:s``, has no line feed), R the command pipe (``p``, ``c``, ``s`` lines).
`Stage` makes both pipes, starts the stage, reads status lines and sends commands, every wait
bounded by a time-out. `write_rom_record` writes the ROM record the first stage leaves for
the second (one value per file and the CurrentRom link), and DEVICE_PROPS is the phone the
reference server's catalogue knows.

Where corvane runs: inside the emulated device the default start is subprocess.Popen
(``Stage(SECOND, ..., stdout=log, env=..., preexec_fn=...)``); from the host a test passes
``start=`` a function that runs argv through tools/device with the pipes passed on, e.g.
``functools.partial(device.popen, server=True)`` (tests/system/conftest.py). corvane never
runs bare on the host.
"""
import fcntl
import hashlib
import os
import re
import select
import subprocess
import time

# Time-outs that only end a hung wait (never a promise of the product, such as a stop within
# a second) are multiplied by one factor. Under the emulator (NORVO_EMULATOR: qemu-user) every
# program runs several times slower, so that mode sets EMULATOR_TIMEOUT_SCALE unless
# NORVO_TIMEOUT_SCALE names another factor (1 to 100).
EMULATOR_TIMEOUT_SCALE = 4.0


def timeout_scale(environ=os.environ):
    text = environ.get("NORVO_TIMEOUT_SCALE")
    if text:
        try:
            value = float(text)
        except ValueError:
            value = 0.0
        if not 1.0 <= value <= 100.0:
            raise ValueError(f"NORVO_TIMEOUT_SCALE must be a number from 1 to 100, not {text!r}")
        return value
    return EMULATOR_TIMEOUT_SCALE if environ.get("NORVO_EMULATOR") else 1.0


TIMEOUT_SCALE = timeout_scale()


def hang_timeout(seconds):
    """`seconds` of a wait that only guards against a hang, scaled for the emulator."""
    return seconds * TIMEOUT_SCALE


FIRST = "--first_stage"
SECOND = "--second_stage"

# The phone of the reference catalogue: a vexa_one on V1.0.0 (the update query's d and v).
DEVICE_PROPS = {
    "ro.product.device": "vexa_one",
    "ro.build.version.incremental": "V1.0.0",
    "ro.build.version.release": "10",
    "ro.vexa.ui.version.name": "V12",
    "ro.product.locale": "zh-CN",
    "ro.product.board": "kona",
    "ro.rom.zone": "1",
    "ro.ril.vexa.imei": "861234567890123",
}
# The dedicated updater environment: the records and the package stay in the device's /tmp.
UPDATER_PROPS = {"ro.bootimage.name": "norvo"}
# That phone in the updater environment with a test build (every record may be dumped).
TEST_PHONE_PROPS = dict(DEVICE_PROPS, **UPDATER_PROPS, **{"ro.build.tags": "test-keys"})


# tools/device options of a device without a key store: a download is then not
# signature-checked before its 3:c:, so random test bytes can complete.
NO_KEY_STORE = ("--otacerts", "none")


def prop_options(props):
    """tools/device options that preset the properties."""
    return [word for name, value in props.items() for word in ("--prop", f"{name}={value}")]


class StageTimeout(TimeoutError):
    """A bounded wait ran out; the message holds the status read so far."""


class Stage:
    """One corvane stage with its status and command pipes.

    stage, *args: FIRST, or SECOND with scheme, host and path.
    start(argv, pass_fds=...) -> Popen starts it (default subprocess.Popen with **popen).
    prefix: argv words before the program (a wrapper such as runstat or a shell script);
    env_prefix: NAME=VALUE words run through env(1), for starts that take no env=.
    status_pipe_size / status_prefill: shrink the status pipe and fill it before the start,
    as a front end that stopped reading would have left it.
    describe(pid) -> str: extra text for a time-out (what the processes are doing).
    timeout_scale: the factor of the hang time-outs below (default TIMEOUT_SCALE); the
    time-outs of wait_for, read_to_end, wait_exit, wait and finish are multiplied by it,
    those of pump, new_lines, read_until and quiet_for (periods, not guards) are not.

    Status bytes are kept as text (latin-1, byte for byte) in `text`; `stamps` holds
    (arrival time, line) per complete line, and the last unterminated line at the end.
    """

    def __init__(self, stage, *args, start=None, program="corvane", prefix=(), env_prefix=(),
                 status_pipe_size=None, status_prefill=b"", describe=None, timeout_scale=None,
                 **popen):
        status_r, status_w = os.pipe()
        cmd_r, cmd_w = os.pipe()
        try:
            if status_pipe_size is not None:
                fcntl.fcntl(status_w, fcntl.F_SETPIPE_SZ, status_pipe_size)
            if status_prefill:
                os.write(status_w, status_prefill)
            argv = [*prefix, *(["env", *env_prefix] if env_prefix else []), program,
                    "--run_from_fork", stage, str(status_w), str(cmd_r), *map(str, args)]
            if start is None:
                self.proc = subprocess.Popen(argv, pass_fds=(status_w, cmd_r),
                                             stdin=subprocess.DEVNULL, **popen)
            else:
                self.proc = start(argv, pass_fds=(status_w, cmd_r), **popen)
        except BaseException:
            for fd in (status_r, cmd_w):
                os.close(fd)
            raise
        finally:
            os.close(status_w)
            os.close(cmd_r)
        self.status_fd, self.cmd_fd = status_r, cmd_w
        self.describe = describe
        self.scale = TIMEOUT_SCALE if timeout_scale is None else timeout_scale
        self.text = ""
        self.stamps = []
        self.eof = False
        self.killed = False
        self.log = ""
        self._partial = ""
        self._given = 0

    # -- status -------------------------------------------------------------------------
    def pump(self, timeout):
        """Waits up to `timeout` s for status bytes and takes what is there; False at EOF."""
        if self.eof or self.status_fd is None:
            return False
        ready, _, _ = select.select([self.status_fd], [], [], max(0.0, timeout))
        if not ready:
            return True
        data = os.read(self.status_fd, 65536).decode("latin-1")
        now = time.monotonic()
        if not data:
            self.eof = True
            if self._partial:
                self.stamps.append((now, self._partial))
                self._partial = ""
            return False
        self.text += data
        *done, self._partial = (self._partial + data).split("\n")
        self.stamps.extend((now, line) for line in done)
        return True

    def new_lines(self, timeout):
        """Lines completed since the last call, after waiting up to `timeout` s for more."""
        self.pump(timeout)
        lines = [line for _, line in self.stamps[self._given:]]
        self._given = len(self.stamps)
        return lines

    def read_until(self, predicate, timeout):
        """Reads until predicate(text) holds (None: until EOF); whether it holds (for None,
        whether EOF came) when it does, at EOF, or after `timeout` s."""
        holds = (lambda text: self.eof) if predicate is None else predicate
        deadline = time.monotonic() + timeout
        while not holds(self.text):
            left = deadline - time.monotonic()
            if left <= 0 or not self.pump(min(left, 0.2)):
                return holds(self.text)
        return True

    def _timeout(self, what):
        extra = f"\n{self.describe(self.proc.pid)}" if self.describe else ""
        return StageTimeout(f"{what}; status: {self.text[-2000:]!r}{extra}")

    def wait_for(self, pattern, timeout=20):
        """Reads until the status text matches the regular expression; the text so far."""
        timeout *= self.scale
        if not self.read_until(lambda text: re.search(pattern, text), timeout):
            raise self._timeout(f"no {pattern!r} within {timeout} s")
        return self.text

    def quiet_for(self, seconds):
        """Reads for `seconds` (less at EOF) and returns what arrived meanwhile."""
        before = len(self.text)
        self.read_until(lambda text: False, seconds)
        return self.text[before:]

    def read_to_end(self, timeout=60):
        """The whole status text, once corvane has closed the pipe within `timeout` s."""
        timeout *= self.scale
        if not self.read_until(None, timeout):
            raise self._timeout(f"the status stream did not end within {timeout} s")
        return self.text

    def close_status(self):
        """Stops reading, as a front end that went away: corvane's next write fails."""
        if self.status_fd is not None:
            os.close(self.status_fd)
            self.status_fd = None

    # -- commands -----------------------------------------------------------------------
    def send(self, text):
        """Writes command text (with its line feeds) to the command pipe."""
        os.write(self.cmd_fd, text.encode())

    def close_commands(self):
        if self.cmd_fd is not None:
            os.close(self.cmd_fd)
            self.cmd_fd = None

    def wait_exit(self, timeout):
        """Waits up to `timeout` s for the command pipe's reader to go, without reading the
        status pipe (a full one stays full). corvane holds the only reader, so the writer's
        end reports an error once it has exited. Whether it did."""
        poller = select.poll()
        poller.register(self.cmd_fd, select.POLLERR)
        deadline = time.monotonic() + timeout * self.scale
        while not poller.poll(50):
            if time.monotonic() >= deadline:
                return False
        return True

    # -- the end ------------------------------------------------------------------------
    def kill(self):
        self.killed = self.killed or self.proc.poll() is None
        self.proc.kill()

    def wait(self, timeout=10, kill=False):
        """The exit status, within `timeout` s; closes both pipes and keeps the program's
        piped output in `log`. On time-out: StageTimeout, or with kill=True a SIGKILL (and
        `killed` set) and the status it ends with."""
        timeout *= self.scale
        try:
            try:
                out, err = self.proc.communicate(timeout=timeout)
            except subprocess.TimeoutExpired:
                if not kill:
                    raise self._timeout(f"corvane did not end within {timeout} s") from None
                self.kill()
                out, err = self.proc.communicate(timeout=10)
        finally:
            self.close_status()
            self.close_commands()
        self.log = ((out or b"") + (err or b"")).decode("latin-1")
        return self.proc.returncode

    def finish(self, timeout=60):
        """The whole status text once the stage has ended, within `timeout` s."""
        self.read_to_end(timeout)
        self.wait(10)
        return self.text


RECORD = "/tmp/download/LatestRom"  # the absolute target of the CurrentRom link


def package_bytes(size, seed):
    """`size` bytes of a package that no two seeds share and that compress to nothing less
    (SHA-256 in counter mode), so that a splice or a wrong offset always shows."""
    block = hashlib.sha256(str(seed).encode()).digest()
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(block + counter.to_bytes(4, "big")).digest()
        counter += 1
    return bytes(out[:size])


def write_rom_record(tmp, **values):
    """The ROM record as the first stage leaves it, under `tmp` (the device's /tmp: "/tmp"
    inside, its folder from the host, or a private work area's tmp): one file per value in
    download/LatestRom (str or bytes; None removes the file) and the CurrentRom link to it."""
    record = os.path.join(tmp, "download", "LatestRom")
    os.makedirs(record, exist_ok=True)
    for name, value in values.items():
        path = os.path.join(record, name)
        if value is None:
            if os.path.lexists(path):
                os.unlink(path)
            continue
        with open(path, "wb") as f:
            f.write(value if isinstance(value, bytes) else str(value).encode())
    link = os.path.join(tmp, "download", "CurrentRom")
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(RECORD, link)
