"""Private work areas inside one emulated device, for tools that run many corvanes at once.

corvane's work paths are fixed (/tmp/secure_update.zip, /tmp/download/..., /cache/norvo/...),
so two of them in one device would share one package file. `private_area(folder)` returns a
`preexec_fn` for subprocess.Popen that gives the child a mount namespace of its own in which
FOLDER/cache is /cache and FOLDER/tmp is /tmp. It only works inside tools/device (root of the
device's user namespace, which may make mount namespaces); the host is never touched.

Everything else (the network with its reference server, the property store) stays shared,
which is what a fleet on one mirror, or one device killed and restarted, looks like.

The tools that run such fleets (campaign.py, fleet.py) also share their host-side set-up
and the small file helpers below.
"""
import ctypes
import json
import os
import pathlib
import random
import sys

_CLONE_NEWNS = 0x00020000
_MS_BIND = 4096
_MS_REC = 16384
_MS_PRIVATE = 1 << 18
_LIBC = ctypes.CDLL(None, use_errno=True)


def prepare(folder):
    """Makes FOLDER/tmp and FOLDER/cache with the folders a fresh device has."""
    for sub in ("tmp/download/LatestRom", "tmp/download/CrossRom", "tmp/zel/events", "cache"):
        os.makedirs(os.path.join(folder, sub), exist_ok=True)


def private_area(folder, keep=None):
    """The `preexec_fn`. KEEP lists folders that must stay visible to the child although
    they live under /tmp (a checkout or build folder there: the fresh /tmp would hide the
    program itself); by default the build folder and the repository."""
    cache = os.fsencode(os.path.join(folder, "cache"))
    tmp = os.fsencode(os.path.join(folder, "tmp"))
    if keep is None:
        keep = [os.environ.get("NORVO_BUILD_DIR", ""), os.path.dirname(os.path.dirname(
            os.path.abspath(__file__)))]
    carried = []
    for path in keep:
        path = os.path.realpath(path) if path else ""
        if not path.startswith("/tmp/"):
            continue
        # Bound into the private /tmp at the same place before /tmp is covered.
        inner = os.path.join(folder, "tmp", path[len("/tmp/"):])
        os.makedirs(inner, exist_ok=True)
        carried.append((os.fsencode(path), os.fsencode(inner)))

    def enter():
        # Runs in the child between fork and exec: no Python objects beyond these calls.
        # /cache first: FOLDER lives under /tmp, which the last bind hides; that bind is
        # recursive so that the carried folders come along.
        if _LIBC.unshare(_CLONE_NEWNS) != 0 or \
                _LIBC.mount(None, b"/", None, _MS_REC | _MS_PRIVATE, None) != 0:
            os._exit(126)
        for source, target in carried:
            if _LIBC.mount(source, target, None, _MS_BIND | _MS_REC, None) != 0:
                os._exit(126)
        if _LIBC.mount(cache, b"/cache", None, _MS_BIND, None) != 0 or \
                _LIBC.mount(tmp, b"/tmp", None, _MS_BIND | _MS_REC, None) != 0:
            os._exit(126)
    return enter


def write_atomic(path, text):
    """Writes TEXT as the whole of PATH so that a reader never sees half of it."""
    tmp = f"{path}.tmp"
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def read_log(path):
    """The complete lines of the reference server's request log (pathlib.Path)."""
    try:
        text = path.read_text()
    except FileNotFoundError:
        return []
    return [json.loads(line) for line in text.split("\n")[:-1] if line]


def host_setup(tool, build, work, seed):
    """Checks that BUILD has corvane, makes the work folder (WORK, or
    /tmp/norvo-TOOL.PID) and draws a seed when none is given. Returns (build, work, seed)
    as resolved paths and an int, or None after a message when corvane is not built."""
    build = pathlib.Path(build).resolve()
    if not (build / "bin" / "corvane").is_file():
        print(f"{tool}: {build}/bin/corvane is not built", file=sys.stderr)
        return None
    work = pathlib.Path(work or f"/tmp/norvo-{tool}.{os.getpid()}").resolve()
    work.mkdir(parents=True, exist_ok=True)
    if seed is None:
        seed = random.SystemRandom().randrange(1 << 32)
    return build, work, seed
