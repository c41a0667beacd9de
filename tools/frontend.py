#!/usr/bin/python3
"""Front-end simulator: drives corvane through a whole update as the updater front end does.

Runs inside the emulated device (``tools/device --server -- /usr/bin/python3
tools/frontend.py``; ``tools/demo.sh`` does that), where ``corvane`` is on PATH and the
reference server answers for the update host. Steps:

1. ``corvane --run_from_fork --first_stage W R`` with real pipes; shows its status lines.
2. Reads the package URL from the ROM record the first stage left (the CurrentRom link, the
   first mirror without "https", version and file name) and runs
   ``corvane --run_from_fork --second_stage W R <scheme> <host> <path>``, showing the
   download as a progress bar with percent, speed and time left. On a terminal the keys
   p (pause), c (continue) and s (stop) are sent on the command pipe; ``--script`` sends
   commands at given points instead (for tests and the demo).
3. Extracts the package's updater (META-INF/com/google/android/update-binary) into
   /tmp/update-binary (mode 0755) and runs ``corvane --run_from_command 6``, relaying its
   lines (corvane verifies the package's signature before the updater runs).

corvane's own log (its standard output in the pipe stages) goes to --log.
Exit status: 0 when the package was installed (the install command's result line is 6:s),
1 when a stage failed, 2 when stopped. The status lines are read by their names in
docs/frontend-protocol.md (LINES, classify).

--script is a comma-separated list of WHEN:COMMAND, where WHEN is a percentage ("30") or a
delay in seconds after the previous command ("+2.5"), and COMMAND is a command line such as
p, c, s or "l 262144" (cap the speed at 256 KiB/s; "l 0" lifts the cap). Example:
--script "20:l 262144,40:p,+3:c,60:l 0". --cap BYTES sets the cap from the first byte (the
property norvo.download.rate_cap, set before the second stage). On a terminal the key l
steps the cap through 256 KiB/s, 1 MiB/s and none.
"""
import argparse
import os
import select
import subprocess
import sys
import termios
import time
import tty
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from norvo_driver import FIRST, SECOND, Stage  # noqa: E402

EXIT_WAIT = 30  # seconds from the end of the status stream to corvane's exit
RECORD_LINKS = ["/tmp/download/CurrentRom", "/cache/tmp/download/CurrentRom"]
PACKAGES = ["/tmp/secure_update.zip", "/cache/tmp/secure_update.zip"]
UPDATER = "/tmp/update-binary"
UPDATER_ENTRY = "META-INF/com/google/android/update-binary"

# Every status line by its name in request/frontend_protocol.h and docs/frontend-protocol.md
# (a unit test holds the three together): the line as the document's code table shows it.
LINES = {
    "0:s": "kClockSynchronised",
    "1:s": "kUpdateChecked",
    "2:s:0": "kRomOffered",
    "2:s:2": "kNoRomOffered",
    "N:f:CURLE_OPERATION_TIMEDOUT": "kStepTimedOut",
    "N:f:6": "kStepLookupFailed",
    "N:f:7": "kStepConnectFailed",
    "N:f:23": "kStepWriteFailed",
    "0:f:120": "kDateUnparsable",
    "0:f:121": "kDateImplausible",
    "0:f:122": "kDateMissing",
    "1:f:26": "kAnswerUnreadable",
    "1:f:63": "kAnswerTooLarge",
    "2:f:22": "kPackageUrlHttpError",
    "N:f:<libcurl code>": "kStepFailed",
    "3:p:<percent>": "kProgress",
    "3:s:<bytes per second>": "kSpeed",
    "3:r:p": "kPaused",
    "3:r:c": "kContinued",
    "3:r:l:<bytes per second>": "kRateCap",
    "3:r:s": "kStopped",
    "3:c:": "kComplete",
    "3:m:<mirror index>": "kMirrorChanged",
    "3:f:52": "kNothingReceived",
    "3:f:1": "kRedirectProtocol",
    "3:f:3": "kUrlMalformed",
    "3:f:6": "kLookupFailed",
    "3:f:7": "kConnectFailed",
    "3:f:8": "kRedirectUnparsable",
    "3:f:18": "kCutShort",
    "3:f:22": "kHttpError",
    "3:f:23": "kWriteFailed",
    "3:f:24": "kEncodingRefused",
    "3:f:28": "kTimedOut",
    "3:f:33": "kRangeRefused",
    "3:f:47": "kTooManyRedirects",
    "3:f:56": "kReceiveFailed",
    "3:f:60": "kPeerNotVerified",
    "3:f:61": "kChecksumMismatch",
    "3:f:62": "kSignatureMismatch",
    "3:f:63": "kTooLarge",
    "3:f:<libcurl code>": "kAttemptFailed",
    "3:f:101": "kGaveUpRedirectProtocol",
    "3:f:102": "kPackageBusy",
    "3:f:103": "kNoPackageUrl",
    "3:f:108": "kGaveUpRedirectUnparsable",
    "3:f:118": "kGaveUpTooSmall",
    "3:f:122": "kGaveUpHttpError",
    "3:f:123": "kGaveUpWriteFailed",
    "3:f:124": "kGaveUpEncoding",
    "3:f:160": "kGaveUpPeerNotVerified",
    "3:f:161": "kGaveUpChecksum",
    "3:f:162": "kGaveUpSignature",
    "3:f:163": "kGaveUpTooLarge",
    "3:f:177": "kNoTrustStore",
    "3:f:<100 + libcurl code>": "kGaveUp",
    "3:f:201": "kPackageLockFailed",
    "3:f:202": "kNoSpace",
    "6:s": "kInstalled",
    "6:f:1": "kRefusedNoKeyStore",
    "6:f:2": "kRefusedUnreadable",
    "6:f:3": "kRefusedNoFooter",
    "6:f:4": "kRefusedMalformed",
    "6:f:5": "kRefusedDigestMismatch",
    "6:f:6": "kRefusedNoCertificateMatch",
    "6:f:7": "kRefusedChangedDuringCheck",
    "6:f:8": "kRefusedOpenToWriters",
    "6:f:9": "kRefusedSignatureInvalid",
    "6:f:20": "kRefusedNoUpdaterEntry",
    "6:f:21": "kRefusedUpdaterNotPlaced",
    "6:f:22": "kRefusedUnusableEntry",
    "6:f:23": "kRefusedNoMetadata",
    "6:f:24": "kRefusedNotForThisHandset",
    "6:f:25": "kRefusedRollback",
    "6:f:30": "kUpdaterNotStarted",
    "6:f:31": "kUpdaterFailed",
    "6:f:32": "kPackageChangedWhileRunning",
}

FIRST_STAGE_TEXT = {
    "kClockSynchronised": "clock synchronised with the update server",
    "kUpdateChecked": "update check answered",
    "kRomOffered": "a newer ROM is offered",
    "kNoRomOffered": "no newer ROM is offered",
    "kStepLookupFailed": "failed: the server's name cannot be resolved",
    "kStepTimedOut": "failed: no answer in time",
}


def classify(line):
    """The name of a status line (None for text that is not one). A code the table does not
    know takes its stage's generic name, as the protocol document says."""
    stage, _, rest = line.partition(":")
    if not stage.isdigit() or len(stage) != 1 or not rest:
        return None
    first = stage in "012"
    for key in (line, "N:" + rest if first else None):
        if key in LINES:
            return LINES[key]
    letter, _, detail = rest.partition(":")
    if stage == "3" and letter in "psm" and detail.isdigit():
        return {"p": "kProgress", "s": "kSpeed", "m": "kMirrorChanged"}[letter]
    if stage == "3" and letter == "r" and detail.startswith("l:") and detail[2:].isdigit():
        return "kRateCap"
    if letter == "f" and detail.isdigit():
        if first:
            return "kStepFailed"
        if stage == "3":
            code = int(detail)
            return "kGaveUp" if code >= 100 else "kAttemptFailed"
        if stage == "6":
            return "kUpdaterFailed"  # an unknown refusal: nothing was installed
    return None


def gave_up(line):
    """A download failure after which corvane does not retry: 52, or a code of 100 or more."""
    stage, _, rest = line.partition(":")
    letter, _, detail = rest.partition(":")
    return stage == "3" and letter == "f" and detail.isdigit() and (
        int(detail) >= 100 or int(detail) == 52)


def say(text):
    print(text, flush=True)


def send(stage, command):
    try:
        stage.send(command + "\n")
    except BrokenPipeError:
        pass  # corvane has gone; its end shows on the status pipe


def close(stage):
    # The status stream has ended, so corvane is leaving; a hung exit is killed.
    stage.wait(EXIT_WAIT, kill=True)


def first_stage(log):
    say("== first stage: clock, update check, ROM URL check")
    stage = Stage(FIRST, stdout=log, stderr=subprocess.STDOUT)
    seen = []
    while not stage.eof:
        for line in stage.new_lines(0.5):
            name = classify(line)
            seen.append(name)
            text = FIRST_STAGE_TEXT.get(name, "failed" if ":f:" in line else "")
            say(f"   {line:<10} {text}")
    close(stage)
    return seen


def read(path):
    with open(path) as f:
        return f.read()


def package_url():
    """(scheme, host, path, size) from the current ROM record, or None."""
    for link in RECORD_LINKS:
        if os.path.islink(link):
            record = os.path.realpath(link)
            break
    else:
        return None
    index = 0
    while True:
        try:
            host = read(f"{record}/{index}/host")
        except OSError:
            return None
        if len(host) >= 5 and "https" in host:
            index += 1
            continue
        break
    try:
        version, filename = read(f"{record}/version"), read(f"{record}/filename")
    except OSError:
        return None
    host, path = host[7:], f"/{version}/{filename}"
    if "/" in host:
        host, prefix = host.split("/", 1)
        path = "/" + prefix + path
    try:
        size = int(read(f"{record}/filesize"))
    except (OSError, ValueError):
        size = 0
    return "http://", host, path, size


def mirror_host(index):
    """The base URL of mirror `index` of the current ROM record, for the user's eyes."""
    for link in RECORD_LINKS:
        if os.path.islink(link) and index.isdigit():
            try:
                return read(f"{os.path.realpath(link)}/{int(index)}/host")[:200]
            except OSError:
                break
    return "?"


def parse_script(text):
    steps = []
    for item in filter(None, (text or "").split(",")):
        when, _, command = item.partition(":")
        if not command:
            raise ValueError(f"script step {item!r} is not WHEN:COMMAND")
        if when.startswith("+"):
            steps.append(("after", float(when[1:]), command))
        else:
            steps.append(("at", int(when), command))
    return steps


def human(n):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024.0


class Bar:
    def __init__(self, size, interactive):
        self.size, self.interactive = size, interactive
        self.percent, self.speed, self.note = 0, 0, ""
        self.last_plain = -10

    def draw(self):
        if self.size and self.speed:
            left = max(0, self.size * (100 - self.percent) / 100) / self.speed
            eta = f"{int(left) // 60:d}:{int(left) % 60:02d} left"
        else:
            eta = "--:-- left"
        filled = min(30, self.percent * 30 // 100)
        text = (f"   [{'#' * filled}{'.' * (30 - filled)}] {self.percent:3d}%  "
                f"{human(self.speed)}/s  {eta}  {self.note}")
        if self.interactive:
            sys.stdout.write("\r" + text.ljust(78)[:100])
            sys.stdout.flush()
        elif self.percent >= self.last_plain + 10 or self.note:
            self.last_plain = self.percent - self.percent % 10
            say(text.rstrip())
            self.note = ""

    def end(self):
        if self.interactive:
            sys.stdout.write("\n")
            sys.stdout.flush()


# What the key l steps through: bytes per second, 0 for no cap.
KEY_CAPS = (256 << 10, 1 << 20, 0)
CAP_PROPERTY = "norvo.download.rate_cap"


def second_stage(url, log, script):
    scheme, host, path, size = url
    say(f"== second stage: download {scheme}{host}{path} ({human(size) if size else 'size unknown'})")
    keyboard = sys.stdin.isatty() and not script
    if keyboard:
        say("   keys: p pause, c continue, s stop, l speed cap (256 KiB/s, 1 MiB/s, none)")
    caps = iter([])
    stage = Stage(SECOND, scheme, host, path, stdout=log, stderr=subprocess.STDOUT)
    bar = Bar(size, sys.stdout.isatty())
    steps = parse_script(script)
    last_command = time.monotonic()
    result = None
    saved = None
    if keyboard:
        saved = termios.tcgetattr(sys.stdin)
        tty.setcbreak(sys.stdin)
    try:
        while not stage.eof:
            if steps:
                kind, value, command = steps[0]
                due = (bar.percent >= value if kind == "at"
                       else time.monotonic() - last_command >= value)
                if due:
                    steps.pop(0)
                    send(stage, command)
                    last_command = time.monotonic()
                    bar.note = f"sent {command}"
            if keyboard and select.select([sys.stdin], [], [], 0)[0]:
                key = os.read(sys.stdin.fileno(), 1).decode(errors="replace")
                if key in "pcs":
                    send(stage, key)
                    bar.note = f"sent {key}"
                elif key == "l":
                    cap = next(caps, None)
                    if cap is None:
                        caps = iter(KEY_CAPS)
                        cap = next(caps)
                    send(stage, f"l {cap}")
                    bar.note = f"sent l {cap}"
            for line in stage.new_lines(0.1):
                name = classify(line)
                detail = line.split(":")[-1]
                if name == "kProgress":
                    bar.percent = min(100, int(detail))
                elif name == "kSpeed":
                    bar.speed = int(detail)
                elif name == "kPaused":
                    bar.note = "paused"
                elif name == "kContinued":
                    bar.note = "continued"
                elif name == "kRateCap":
                    cap = int(detail)
                    bar.note = f"capped at {human(cap)}/s" if cap else "cap lifted"
                elif name == "kStopped":
                    bar.note, result = "stopped", "stopped"
                elif name == "kComplete":
                    bar.percent, bar.note, result = 100, "complete", "complete"
                elif name == "kMirrorChanged":
                    # The download left a mirror that failed; its progress lines follow.
                    bar.note = f"from mirror {detail} {mirror_host(detail)}"
                    say(f"   the download goes on from mirror {detail} ({mirror_host(detail)})")
                elif gave_up(line):
                    bar.note, result = f"failed ({name} {detail}), giving up", "failed"
                elif line.startswith("3:f:"):
                    bar.note, result = f"failed ({name} {detail}), retrying", "failed"
                bar.draw()
    finally:
        if saved is not None:
            termios.tcsetattr(sys.stdin, termios.TCSADRAIN, saved)
    bar.end()
    close(stage)
    return result


def install():
    package = next((p for p in PACKAGES if os.path.isfile(p)), None)
    if package is None:
        say("   no downloaded package")
        return False
    say(f"== install: {package}")
    try:
        with zipfile.ZipFile(package) as zf:
            data = zf.read(UPDATER_ENTRY)
    except (OSError, KeyError, zipfile.BadZipFile) as err:
        say(f"   cannot take update-binary from the package: {err}")
        return False
    tmp = UPDATER + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.chmod(tmp, 0o755)
    os.replace(tmp, UPDATER)
    proc = subprocess.Popen(["corvane", "--run_from_command", "6"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    result = None
    for raw in proc.stdout:
        line = raw.decode(errors="replace").rstrip("\n")
        name = classify(line)
        if line.startswith("6:") and name is not None:
            result = name
        say("   " + line)
    proc.wait()
    if result != "kInstalled":
        say(f"   install failed ({result or 'no result line'})")
    return result == "kInstalled"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--script", default="", help='commands during the download, e.g. "30:p,+3:c"')
    parser.add_argument("--log", default="/tmp/frontend-corvane.log",
                        help="where corvane's own log goes (default %(default)s)")
    parser.add_argument("--no-install", action="store_true", help="stop after the download")
    parser.add_argument("--cap", type=int, default=None,
                        help="speed cap of the download from its first byte, bytes per second")
    args = parser.parse_args(argv)
    if args.cap is not None:
        if args.cap < 0:
            parser.error("--cap takes a number of bytes per second (0: none)")
        # The front end's way to cap the download from its first byte.
        subprocess.run(["setprop", CAP_PROPERTY, str(args.cap)], check=True)
        say(f"== speed cap {human(args.cap)}/s from the first byte" if args.cap else
            "== no speed cap")
    try:
        parse_script(args.script)
    except ValueError as err:
        parser.error(str(err))
    with open(args.log, "ab") as log:
        seen = first_stage(log)
        if not seen or seen[-1] != "kRomOffered":
            say("   nothing to download")
            return 1
        url = package_url()
        if url is None:
            say("   the ROM record holds no usable URL")
            return 1
        result = second_stage(url, log, args.script)
    if result == "stopped":
        say("   download stopped")
        return 2
    if result != "complete":
        say("   download failed")
        return 1
    if args.no_install:
        return 0
    return 0 if install() else 1


if __name__ == "__main__":
    sys.exit(main())
