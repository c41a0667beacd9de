#!/usr/bin/python3
"""Reference update server, run inside the emulated device.

Serves the update server's side of the exchange (Date on the root page, the encrypted update
check, package downloads with Range support and faults on demand) and the quality-service
uploads, on 127.0.0.1:80 (HTTP), 127.0.0.1:443 (HTTPS, a certificate of the build's test
CA, or self-signed without one) and any extra HTTP ports of the config. Its folder (--root) holds:

  config.json    behaviour, re-read on every request (absent = defaults; keys in
                 tools/README.md)
  packages/      files served under the package prefix
  requests.jsonl one JSON object per completed request
  tls/           the certificates and keys it issued (one pair per "tls_cert" variant)
  ready          written once the listeners of the start-up config are open

Standard library and python3-cryptography only.
"""
import argparse
import base64
import ctypes
import email.utils
import hashlib
import http.server
import json
import os
import re
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import testca  # noqa: E402  (lives beside this file)
import wire  # noqa: E402

DEFAULT_MIRRORS = ["https://update.norvo.test/pkgs", "http://update.norvo.test/pkgs"]
DEFAULT_ROM = {"version": "V2.0.1", "filename": "norvo-update.zip", "filesize": "12.5M",
               "Validate": "norvo-validate", "md5": "0" * 32}
UPDATE_PATH = "/updates/kootaV3.php"
DIAG_PATH = "/v2/data/quillon"
LOG_UPLOAD_PATH = "/zelas/fileUploadWithUrlId"
CHUNK = 64 * 1024


class StopRequest:
    """The SIGTERM handler. Python runs it on the main thread between two bytecodes, which
    may be while that thread holds a lock (the one inside Event.wait(), for one); a handler
    that took a lock as well would wait for ever, and the device with it. So it only sets
    a flag, and the main loop does the stopping."""

    def __init__(self):
        self.requested = False

    def __call__(self, signum=None, frame=None):
        self.requested = True


class Server:
    """Shared state: the folder, the request log and the per-path fault counters."""

    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.packages = os.path.join(self.root, "packages")
        self.log_lock = threading.Lock()
        self.state_lock = threading.Lock()
        self.counters = {}  # (path, fault key) -> (list seen, requests counted)
        self.stopping = threading.Event()
        self.active = 0  # requests being handled, so that a stop lets them finish
        self.idle = threading.Condition(self.state_lock)
        self.bandwidth_clock = 0.0  # when the shared link is free again (monotonic)
        # Per-mirror state of "mirror_faults": requests counted per mirror index and the
        # ports that stopped listening ("refuse_after"), both for the faults last seen.
        self.mirror_faults_seen = None
        self.mirror_hits = {}
        self.mirror_refused = set()
        os.makedirs(self.packages, exist_ok=True)

    def config(self):
        try:
            with open(os.path.join(self.root, "config.json"), "rb") as f:
                data = json.loads(f.read() or b"{}")
            return data if isinstance(data, dict) else {}
        except FileNotFoundError:
            return {}
        except (OSError, ValueError) as err:
            print(f"refserver: bad config.json ({err}); using defaults", file=sys.stderr)
            return {}

    def log(self, entry):
        line = json.dumps(entry, sort_keys=True) + "\n"
        with self.log_lock:
            with open(os.path.join(self.root, "requests.jsonl"), "a") as f:
                f.write(line)
                f.flush()

    def take(self, path, key, values):
        """The value of a per-request fault list for this request, consumed one per request.

        The count restarts when the list in the config changes, so a test can re-arm it."""
        if not isinstance(values, list):
            values = [values]
        with self.state_lock:
            seen, count = self.counters.get((path, key), (None, 0))
            if seen != values:
                count = 0
            self.counters[(path, key)] = (values, count + 1)
        return values[count] if count < len(values) else None

    def count_mirror_request(self, faults, index, port):
        """Counts a request to mirror `index`; with "refuse_after": N its port stops listening
        once N requests came (the main loop closes it within 50 ms). A change of the config's
        "mirror_faults" starts the counts afresh."""
        with self.state_lock:
            if faults != self.mirror_faults_seen:
                self.mirror_faults_seen = faults
                self.mirror_hits, self.mirror_refused = {}, set()
            hits = self.mirror_hits.get(index, 0) + 1
            self.mirror_hits[index] = hits
            fault = faults[index] if index < len(faults) and isinstance(faults[index], dict) else {}
            after = fault.get("refuse_after")
            if isinstance(after, int) and hits >= after:
                self.mirror_refused.add(port)

    def refused_mirror_ports(self, cfg):
        with self.state_lock:
            if cfg.get("mirror_faults") != self.mirror_faults_seen:
                return set()
            return set(self.mirror_refused)

    def reserve_bandwidth(self, size, rate):
        """The moment at which `size` more bytes fit in a link of `rate` bytes/s that all
        package answers share: each answer books the next free slot, so the total stays
        within the rate however many clients there are."""
        with self.state_lock:
            start = max(self.bandwidth_clock, time.monotonic())
            self.bandwidth_clock = start + size / rate
            return self.bandwidth_clock


SERVER = None  # set in main


class ClientGone(Exception):
    pass


class ServerStopping(Exception):
    pass


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "norvo-refserver"
    sys_version = ""

    def log_message(self, fmt, *args):  # the request log is ours; keep stderr quiet
        pass

    # -- plumbing --------------------------------------------------------------------------
    def _begin(self):
        self.cfg = SERVER.config()
        self.entry = {
            "time": time.time(), "method": self.command, "path": self.path,
            "port": self.server.server_address[1], "tls": self.server.tls,
            "headers": [[k, v] for k, v in self.headers.items()],
            "status": None, "sent": 0, "client_closed": False,
        }
        self.sent = 0
        self.fault = {}
        self.fault_key = self.path
        self.status_sent = None
        self.body = b""

    def _read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            data = bytearray()
            while True:
                line = self.rfile.readline(1024)
                if not line:
                    raise ClientGone()
                size = int(line.split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                        pass
                    break
                data += self.rfile.read(size)
                self.rfile.readline(1024)
            return bytes(data)
        length = int(self.headers.get("Content-Length") or 0)
        if length < 0:
            raise ValueError("negative Content-Length")
        data = self.rfile.read(length)
        if len(data) != length:
            raise ClientGone()
        return data

    def _start(self, status, headers=(), length=None):
        self.send_response_only(status)
        date = self.cfg.get("date", "now")
        if date == "now":
            date = email.utils.formatdate(usegmt=True)
        if date is not None:
            self.send_header("Date", str(date))
        self.send_header("Server", self.server_version)
        for name, value in headers:
            self.send_header(name, str(value))
        for name, value in self.fault.get("headers", []):
            self.send_header(name, str(value))
        if length is not None:
            self.send_header("Content-Length", str(length))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.status_sent = status
        self.entry["status"] = status

    def _write(self, data):
        if not data or self.command == "HEAD":
            return
        try:
            self.wfile.write(data)
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError) as err:
            raise ClientGone() from err
        self.sent += len(data)

    def _reply(self, status, body=b"", ctype="text/plain", headers=()):
        if isinstance(body, str):
            body = body.encode()
        self._start(status, [("Content-Type", ctype), *headers], len(body))
        self._write(body)

    def _finish(self):
        self.entry["sent"] = self.sent
        self.entry["body"] = base64.b64encode(self.body).decode()
        SERVER.log(self.entry)

    def _hold(self, pos, release):
        """Holds the answer after `pos` body bytes until the file `release` (in the server's
        folder) exists: a test releases it once it has seen what it waits for, so that the
        order of events never depends on how fast the machine is. The holding answers are
        counted in the file "held" (one line each), which a test can wait on."""
        self.entry["held_at"] = pos
        flag = os.path.join(SERVER.root, os.path.basename(str(release)))
        with SERVER.state_lock:
            with open(os.path.join(SERVER.root, "held"), "a") as f:
                f.write(f"{pos}\n")
        while not os.path.exists(flag):
            self._wait_or_gone(0.02)

    def _wait_or_gone(self, seconds):
        """Sleeps (None: until the server stops), returning early with ClientGone when the
        client closes the connection."""
        deadline = None if seconds is None else time.monotonic() + float(seconds)
        sock = self.connection
        while True:
            if SERVER.stopping.is_set():
                raise ServerStopping()
            left = 0.05 if deadline is None else min(0.05, deadline - time.monotonic())
            if left <= 0:
                return
            if isinstance(sock, ssl.SSLSocket):  # no peeking below the TLS layer
                time.sleep(left)
                continue
            try:
                sock.settimeout(left)
                closed = sock.recv(1, socket.MSG_PEEK) == b""
            except socket.timeout:
                closed = False
            except OSError as err:
                raise ClientGone() from err
            finally:
                sock.settimeout(None)
            if closed:
                raise ClientGone()

    # -- dispatch --------------------------------------------------------------------------
    def _handle(self):
        with SERVER.state_lock:
            SERVER.active += 1
        try:
            self._handle_counted()
        finally:
            with SERVER.state_lock:
                SERVER.active -= 1
                SERVER.idle.notify_all()

    def _handle_counted(self):
        self._begin()
        try:
            try:
                if self.command == "POST" or "Content-Length" in self.headers or \
                        "Transfer-Encoding" in self.headers:
                    self.body = self._read_body()
            except ValueError:
                self.close_connection = True
                self.fault = {}
                self._reply(400, "bad request body\n")
                return
            path = urllib.parse.urlsplit(self.path).path
            self.fault_key = path
            self.fault = self._fault_for(path)
            if self._generic_faults(path):
                return
            if path == "/" and self.command in ("GET", "HEAD"):
                self._root()
            elif path == UPDATE_PATH and self.command == "POST":
                self._update_check()
            elif path == DIAG_PATH and self.command == "POST":
                self._diag_post()
            elif path == LOG_UPLOAD_PATH and self.command == "POST":
                self._log_upload()
            elif self.command in ("GET", "HEAD") and self._package_path(path) is not None:
                self._package(path)
            else:
                self._reply(404, "not found\n")
        except ClientGone:
            self.entry["client_closed"] = True
            self.close_connection = True
        except ServerStopping:
            self.entry["server_stopped"] = True
            self.close_connection = True
        except Exception as err:  # never let bad input take the server down
            self.entry["error"] = f"{type(err).__name__}: {err}"
            self.close_connection = True
            if self.status_sent is None:
                try:
                    self._reply(500, "internal error\n")
                except ClientGone:
                    self.entry["client_closed"] = True
        finally:
            self._finish()

    # CONNECT too: a client that took a port of ours for a proxy shows in the log.
    do_GET = do_HEAD = do_POST = do_PUT = do_DELETE = do_CONNECT = _handle

    def _fault_for(self, path):
        faults = self.cfg.get("faults") or {}
        fault = faults.get(path) if isinstance(faults, dict) else None
        fault = dict(fault) if isinstance(fault, dict) else {}
        mirror_faults = self.cfg.get("mirror_faults")
        if isinstance(mirror_faults, list):
            index, port = self._mirror_of(path)
            if index is not None:
                # The faults of the mirror this request addressed (by its Host line and
                # path prefix) come on top of the path's; their counters are its own.
                self.entry["mirror"] = index
                self.fault_key = f"{path}@mirror{index}"
                SERVER.count_mirror_request(mirror_faults, index, port)
                if index < len(mirror_faults) and isinstance(mirror_faults[index], dict):
                    fault.update(mirror_faults[index])
        return fault

    def _mirror_of(self, path):
        """(index, port) of the config's mirror whose base URL this request addressed: the
        same host and port as its Host line, and the longest path prefix; (None, None)."""
        mirrors = self.cfg.get("mirrors", DEFAULT_MIRRORS)
        host = self.headers.get("Host", "").strip().lower()
        best, best_len, best_port = None, -1, None
        for index, base in enumerate(mirrors if isinstance(mirrors, list) else []):
            try:
                parts = urllib.parse.urlsplit(str(base))
                default = 443 if parts.scheme == "https" else 80
                port = parts.port or default
            except ValueError:
                continue
            names = {parts.netloc.lower(), f"{(parts.hostname or '').lower()}:{port}"}
            if port == default:
                names.add((parts.hostname or "").lower())
            prefix = parts.path.rstrip("/")
            if host in names and path.startswith(prefix + "/") and len(prefix) > best_len:
                best, best_len, best_port = index, len(prefix), port
        return best, best_port

    def _generic_faults(self, path):
        """Delay, forced status and redirects, for any path. True when the reply is sent."""
        f = self.fault
        if f.get("delay"):
            self._wait_or_gone(f["delay"])
        if "outage" in f:
            since, until = f["outage"]
            if float(since) <= time.time() < float(until):
                status = int(f.get("outage_status", 503))
                self._reply(status, f.get("status_body", f"status {status}\n"))
                return True
        if "status" in f:
            status = SERVER.take(self.fault_key, "status", f["status"])
            if status:
                self._reply(int(status), f.get("status_body", f"status {status}\n"))
                return True
        if "redirect" in f:
            count = f.get("redirect_count")
            if count is None or SERVER.take(self.fault_key, "redirect", [1] * int(count)):
                self._reply(int(f.get("redirect_status", 302)), "",
                            headers=[("Location", f["redirect"])])
                return True
        return False

    # -- root page: the time source ------------------------------------------------------
    def _root(self):
        if self.cfg.get("root_delay"):
            self._wait_or_gone(self.cfg["root_delay"])
        headers = [tuple(h) for h in self.cfg.get("root_headers", [])]
        self._reply(int(self.cfg.get("root_status", 200)), "<html>norvo</html>\n",
                    "text/html", headers)

    # -- update check ----------------------------------------------------------------------
    def _update_check(self):
        cfg = self.cfg
        delay = cfg.get("answer_delay")
        if delay:
            self._wait_or_gone(delay)
        try:
            query_text = wire.decode_query(self.body)
            self.entry["query"] = query_text.decode("utf-8", "replace")
            query = json.loads(query_text)
            if not isinstance(query, dict):
                raise ValueError("query is not an object")
        except (KeyError, ValueError, UnicodeDecodeError) as err:
            self.entry["query_error"] = f"{type(err).__name__}: {err}"
            self._reply(400, "bad query\n")
            return
        mode = cfg.get("answer", "rom")
        if mode == "http_status" or "http_status" in cfg:
            self._reply(int(cfg.get("http_status", 500)), cfg.get("http_body", "server error\n"))
            return
        if mode == "garbage":
            self._reply(200, os.urandom(int(cfg.get("garbage_size", 96))))
            return
        if mode == "notbase64":
            self._reply(200, "this is *not* base64 !!\n")
            return
        if mode == "endless":
            self._send_endless_answer(int(cfg.get("endless_size", 1 << 30)),
                                      bool(cfg.get("endless_length")))
            return
        if mode == "raw":
            raw = cfg.get("raw_body", "")
            if "raw_body_b64" in cfg:
                raw = base64.b64decode(cfg["raw_body_b64"])
            self._reply(200, raw)
            return
        if mode == "badjson":
            clear = cfg.get("answer_text", "this is not json").encode()
        elif "answer_json" in cfg:
            clear = json.dumps(cfg["answer_json"]).encode()
        else:
            clear = json.dumps(self._catalogue_answer(query, mode)).encode()
        self.entry["answer"] = clear.decode()
        self._reply(200, wire.encode_answer(clear, bool(cfg.get("wrap_lf"))))

    def _send_endless_answer(self, size, announce):
        """`size` bytes of Base64 letters as the update answer, sent as fast as the client
        takes them: with that Content-Length when `announce`, else without one (closed at
        the end). Ends early when the client goes away."""
        self.close_connection = True
        self._start(200, [("Content-Type", "text/plain")], size if announce else None)
        filler = b"A" * CHUNK
        while self.sent < size:
            self._write(filler[:min(CHUNK, size - self.sent)])

    def _catalogue_answer(self, query, mode):
        cfg = self.cfg
        device, version = query.get("d"), query.get("v")
        catalogue = cfg.get("catalogue")
        if catalogue is None:
            catalogue = [{"LatestRom": DEFAULT_ROM}]
        match = None
        for item in catalogue if isinstance(catalogue, list) else []:
            if not isinstance(item, dict):
                continue
            if "d" in item and item["d"] != device:
                continue
            if "v" in item and item["v"] != version:
                continue
            match = item
            break
        answer = {}
        mirrors = cfg.get("mirrors", DEFAULT_MIRRORS)
        if match is None:
            answer["CurrentRom"] = None  # the device's version is not listed
            answer["MirrorList"] = mirrors
            return answer
        rom = self._complete_rom(dict(match.get("LatestRom", DEFAULT_ROM)))
        current = match.get("CurrentRom", {"version": version})
        if mode != "norom":
            answer["LatestRom"] = [rom] if mode == "array" else rom
        answer["CurrentRom"] = current
        if "CrossRom" in match:
            answer["CrossRom"] = match["CrossRom"]
        answer["MirrorList"] = match.get("MirrorList", mirrors)
        return answer

    def _complete_rom(self, rom):
        """Fills "filesize" and "md5" from the package file when the entry leaves them out."""
        if "filesize" in rom and "md5" in rom:
            return rom
        name = os.path.join(str(rom.get("version", "")), str(rom.get("filename", "")))
        local = self._package_file(name) or self._package_file(str(rom.get("filename", "")))
        if local is None:
            rom.setdefault("filesize", DEFAULT_ROM["filesize"])
            rom.setdefault("md5", DEFAULT_ROM["md5"])
            return rom
        digest, size = hashlib.md5(), 0
        with open(local, "rb") as f:
            for piece in iter(lambda: f.read(1 << 20), b""):
                digest.update(piece)
                size += len(piece)
        # size / 2**20 is exact in binary and repr() round-trips, so the M text converts
        # back to exactly the file's size.
        rom.setdefault("filesize", f"{size / 1048576!r}M")
        rom.setdefault("md5", digest.hexdigest())
        return rom

    # -- quality service -------------------------------------------------------------------
    def _diag_post(self):
        try:
            self.entry["json"] = json.loads(self.body)
        except ValueError as err:
            self.entry["json_error"] = str(err)
        self._reply(200, '{"code":0}', "application/json")

    def _log_upload(self):
        ctype = self.headers.get("Content-Type", "")
        try:
            self.entry["fields"] = parse_multipart(ctype, self.body)
        except ValueError as err:
            self.entry["form_error"] = str(err)
            self._reply(400, "bad form\n")
            return
        self._reply(200, '{"code":0}', "application/json")

    # -- packages --------------------------------------------------------------------------
    def _package_path(self, path):
        prefixes = self.cfg.get("package_prefix", "/pkgs")
        for prefix in prefixes if isinstance(prefixes, list) else [prefixes]:
            prefix = prefix.rstrip("/")
            if path.startswith(prefix + "/"):
                return urllib.parse.unquote(path[len(prefix) + 1:])
        return None

    def _package_file(self, rel):
        """The file under packages/ for a relative path; None if absent or outside."""
        base = os.path.realpath(SERVER.packages)
        full = os.path.realpath(os.path.join(base, rel))
        if not full.startswith(base + os.sep) or not os.path.isfile(full):
            return None
        return full

    def _package(self, path):
        rel = self._package_path(path)
        local = self._package_file(rel) or self._package_file(os.path.basename(rel))
        if local is None:
            self._reply(404, "no such package\n")
            return
        with open(local, "rb") as pkg:
            self._send_package(path, pkg, os.fstat(pkg.fileno()).st_size)

    def _validators(self, pkg, size):
        """ETag and Last-Modified of the package, as the config's "validators" asks."""
        st = os.fstat(pkg.fileno())
        wanted = self.cfg.get("validators", ["etag", "last_modified"])
        out = []
        if isinstance(wanted, list) and "etag" in wanted:
            out.append(("ETag", f'"{st.st_mtime_ns:x}-{size:x}"'))
        if isinstance(wanted, list) and "weak_etag" in wanted:
            out.append(("ETag", f'W/"{st.st_mtime_ns:x}-{size:x}"'))
        if isinstance(wanted, list) and "last_modified" in wanted:
            out.append(("Last-Modified", email.utils.formatdate(st.st_mtime, usegmt=True)))
        return out

    def _send_endless(self, pkg, mode):
        """The package, then filler for ever: no length (plain, closed at the end) or
        chunked. Ends when the client goes away, or after 1 GiB."""
        self.close_connection = True
        headers = [("Content-Type", "application/zip")]
        if mode == "chunked":
            headers.append(("Transfer-Encoding", "chunked"))
        self._start(200, headers, None)
        filler = b"\xee" * CHUNK
        while self.sent < (1 << 30) and self.command != "HEAD":
            piece = pkg.read(CHUNK) or filler
            self._write(b"%x\r\n%s\r\n" % (len(piece), piece) if mode == "chunked" else piece)

    def _send_package(self, path, pkg, size):
        f = self.fault
        if f.get("endless"):
            self._send_endless(pkg, f["endless"])
            return
        start, end, status = 0, size, 200
        validators = self._validators(pkg, size)
        headers = [("Content-Type", "application/zip"), ("Accept-Ranges", "bytes"), *validators]
        rng = self.headers.get("Range")
        cond = self.headers.get("If-Range")
        if (rng and cond is not None and cond not in [v for _, v in validators]
                and not f.get("ignore_if_range")):
            # The client's bytes are of another version: it gets the whole file.
            self.entry["if_range_failed"] = True
            rng = None
        if rng and not f.get("ignore_range"):
            self.entry["range"] = rng
            parsed = parse_range(rng, size)
            if parsed == "unsatisfiable":
                self._reply(416, "", headers=[("Content-Range", f"bytes */{size}")])
                return
            if parsed is not None:
                start, end = parsed
                status = 206
                headers.append(("Content-Range",
                                f.get("content_range", f"bytes {start}-{end - 1}/{size}")))
        length = end - start
        pkg.seek(start)
        drop = (SERVER.take(self.fault_key, "drop_after", f["drop_after"])
                if "drop_after" in f else None)
        stall_at = f.get("stall_after")
        hold_at = None if f.get("hold_after") is None else int(f["hold_after"])
        if drop is not None or stall_at is not None:
            self.close_connection = True
        # Fault values are checked before the status goes out, so a bad one gets a 500.
        rate = float(f["throttle"]) if f.get("throttle") else None
        shared = float(self.cfg["bandwidth"]) if self.cfg.get("bandwidth") else None
        limit = length if drop is None else min(length, int(drop))
        stall_at = None if stall_at is None else int(stall_at)
        self._start(status, headers, length)
        pos, t0 = 0, time.monotonic()
        while pos < limit and self.command != "HEAD":
            if stall_at is not None and pos >= stall_at:
                self.entry["stalled_at"] = pos
                self._wait_or_gone(f.get("stall_seconds"))
                stall_at = None
            if hold_at is not None and pos >= hold_at:
                self._hold(pos, f.get("release", "release"))
                hold_at = None
            step = min(CHUNK, limit - pos)
            if stall_at is not None and pos < stall_at:
                step = min(step, stall_at - pos)
            if hold_at is not None and pos < hold_at:
                step = min(step, hold_at - pos)
            if rate:
                step = min(step, max(1, int(rate) // 20))
            if shared:
                step = min(step, max(1, int(shared) // 50))
            piece = pkg.read(step)
            if not piece:  # the file shrank under us: the client sees a short body
                self.close_connection = True
                break
            if shared:
                self._wait_or_gone(SERVER.reserve_bandwidth(len(piece), shared) -
                                   time.monotonic())
            self._write(piece)
            pos += len(piece)
            if rate:
                ahead = pos / rate - (time.monotonic() - t0)
                if ahead > 0:
                    self._wait_or_gone(ahead)
        if drop is not None and limit < length:
            self.entry["dropped_at"] = limit
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def parse_range(header, size):
    """(start, end-exclusive) for one "bytes=" range, "unsatisfiable", or None to ignore.

    Several ranges, other units and malformed text are ignored (a full 200 answer), as a
    server may."""
    m = re.fullmatch(r"\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*", header)
    if not m or (m.group(1) == "" and m.group(2) == ""):
        return None
    first, last = m.group(1), m.group(2)
    if first == "":  # suffix: the last N bytes
        n = int(last)
        if n == 0 or size == 0:
            return "unsatisfiable"
        return (max(0, size - n), size)
    start = int(first)
    if last != "" and int(last) < start:
        return None
    if start >= size:
        return "unsatisfiable"
    end = size if last == "" else min(size, int(last) + 1)
    return (start, end)


def _disposition_params(value):
    params = {}
    for m in re.finditer(r';\s*([^=;\s]+)\s*=\s*("((?:[^"\\]|\\.)*)"|[^;]*)', value):
        raw = m.group(3) if m.group(3) is not None else m.group(2).strip()
        params[m.group(1).lower()] = re.sub(r"\\(.)", r"\1", raw)
    return params


def parse_multipart(content_type, body):
    """Fields of a multipart/form-data body: [{"name", "filename", "data" (base64), "text"}].

    Parsed by hand so that the bytes of a part come back exactly as sent."""
    m = re.search(r'boundary=("([^"]+)"|[^;\s]+)', content_type)
    if not content_type.lower().startswith("multipart/form-data") or not m:
        raise ValueError("not multipart/form-data with a boundary")
    boundary = (m.group(2) or m.group(1)).encode()
    delim = b"\r\n--" + boundary
    segments = (b"\r\n" + body).split(delim)
    if len(segments) < 3 or not segments[-1].startswith(b"--"):
        raise ValueError("missing boundaries")
    fields = []
    for seg in segments[1:-1]:
        if not seg.startswith(b"\r\n"):
            raise ValueError("bad part start")
        head, sep, data = seg[2:].partition(b"\r\n\r\n")
        if not sep:
            raise ValueError("part without header end")
        headers = {}
        for line in head.split(b"\r\n"):
            name, colon, value = line.decode("utf-8", "replace").partition(":")
            if colon:
                headers[name.strip().lower()] = value.strip()
        params = _disposition_params(headers.get("content-disposition", ""))
        field = {"name": params.get("name"), "filename": params.get("filename"),
                 "content_type": headers.get("content-type"),
                 "data": base64.b64encode(data).decode()}
        try:
            field["text"] = data.decode("utf-8")
        except UnicodeDecodeError:
            pass
        fields.append(field)
    return fields


class Listener(http.server.ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True

    def __init__(self, port, tls_context=None):
        self.tls = tls_context is not None
        self.tls_context = tls_context
        super().__init__(("127.0.0.1", port), Handler)

    def finish_request(self, request, client_address):
        # The handshake happens in the connection's own thread, never in the accept loop.
        if self.tls_context is not None:
            request.settimeout(10)
            try:
                cfg = SERVER.config()
                context = self.tls_context.get(cfg.get("tls_cert", "trusted"),
                                               cfg.get("tls_version"))
                request = context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
            request.settimeout(None)
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        print(f"refserver: error on a connection from {client_address}", file=sys.stderr)


class TlsContexts:
    """One server context per certificate variant (config "tls_cert"), made on first use.
    Certificates come from the build's test CA (tools/refserver/testca.py, under
    $NORVO_BUILD_DIR/testca); without one every variant is a self-signed certificate."""

    def __init__(self, root):
        self.dir = os.path.join(root, "tls")
        build = os.environ.get("NORVO_BUILD_DIR", "")
        ca = os.path.join(build, "testca") if build else ""
        self.ca = ca if ca and os.path.exists(os.path.join(ca, "ca.key.pem")) else None
        self.names = testca.host_names(build) if build else testca.DEFAULT_NAMES + ["localhost"]
        self.lock = threading.Lock()
        self.contexts = {}  # (variant, version) -> context
        self.issued = {}  # variant -> (certificate chain file, key file)

    def get(self, variant, version=None):
        """The context of a certificate variant; with version "1.1" it speaks TLS 1.1 and
        nothing else (any other value: the library's range)."""
        if variant not in testca.VARIANTS:
            variant = "trusted"
        if self.ca is None and variant != "self_signed":
            variant = "self_signed"
        version = "1.1" if version == "1.1" else None
        with self.lock:
            if (variant, version) not in self.contexts:
                if variant not in self.issued:
                    self.issued[variant] = testca.issue(self.ca, variant, self.names, self.dir)
                cert, key = self.issued[variant]
                ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                if version == "1.1" or variant in testca.WEAK:
                    # What the client must refuse: a library at its default level
                    # would refuse to serve it in the first place.
                    ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
                if version == "1.1":
                    ctx.minimum_version = ssl.TLSVersion.TLSv1_1
                    ctx.maximum_version = ssl.TLSVersion.TLSv1_1
                ctx.load_cert_chain(cert, key)
                self.contexts[(variant, version)] = ctx
            return self.contexts[(variant, version)]


def wanted_ports(cfg, refused_mirrors=()):
    """{port: tls} that the config asks to be open (less the ports of mirrors that have
    reached their "refuse_after")."""
    refuse = cfg.get("refuse", False)
    if refuse is True:
        refuse = [80]
    elif not isinstance(refuse, list):
        refuse = []
    refuse = list(refuse) + list(refused_mirrors)
    ports = {}
    if 80 not in refuse:
        ports[80] = False
    if 443 not in refuse and cfg.get("tls", True):
        ports[443] = True
    extra = cfg.get("extra_ports") or []
    for p in extra if isinstance(extra, list) else []:
        if isinstance(p, int) and p not in refuse and 0 < p < 65536:
            ports.setdefault(p, False)
    return ports


def quiet_listeners():
    """Two peers that never answer, for the tests of a client's stop: a name server
    on UDP 127.0.0.1:53 (a device started with --nameserver 127.0.0.1 asks it) and a
    TCP port, 9 ("discard"), whose full accept queue drops every connection attempt,
    so that a connect hangs as it does towards a blackholed address."""
    kept = []
    try:
        dns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        dns.bind(("127.0.0.1", 53))
        kept.append(dns)
    except OSError as err:
        print(f"refserver: no silent name server: {err}", file=sys.stderr)
    try:
        hole = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        hole.bind(("127.0.0.1", 9))
        hole.listen(0)
        # One connection fills the queue of a backlog of 0; it is never accepted.
        filler = socket.create_connection(("127.0.0.1", 9), timeout=2)
        kept += [hole, filler]
    except OSError as err:
        print(f"refserver: no blackhole port: {err}", file=sys.stderr)
    return kept


def main():
    global SERVER
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", required=True, help="server folder (config, packages, log)")
    args = parser.parse_args()
    try:  # end with the process that started us, whatever namespace we are in
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)
    except (OSError, AttributeError):
        pass
    SERVER = Server(args.root)
    stop = StopRequest()
    signal.signal(signal.SIGTERM, stop)
    tls = None
    open_ = {}  # port -> (Listener, thread)

    def reconcile():
        nonlocal tls
        cfg = SERVER.config()
        want = wanted_ports(cfg, SERVER.refused_mirror_ports(cfg))
        for port in [p for p in open_ if p not in want]:
            listener, thread = open_.pop(port)
            listener.shutdown()
            listener.server_close()
            thread.join()
        for port, is_tls in want.items():
            if port in open_:
                continue
            try:
                if is_tls and tls is None:
                    tls = TlsContexts(SERVER.root)
                listener = Listener(port, tls if is_tls else None)
            except OSError as err:
                print(f"refserver: cannot listen on {port}: {err}", file=sys.stderr)
                continue
            thread = threading.Thread(target=listener.serve_forever,
                                      kwargs={"poll_interval": 0.05}, daemon=True)
            thread.start()
            open_[port] = (listener, thread)

    reconcile()
    silent = quiet_listeners()
    with open(os.path.join(SERVER.root, "ready"), "w") as f:
        f.write(" ".join(str(p) for p in sorted(open_)) + "\n")
    print(f"refserver: listening on {sorted(open_)}", file=sys.stderr, flush=True)
    # Listeners follow the config: "refuse" and "extra_ports" may change during a run.
    while True:
        time.sleep(0.05)
        if stop.requested:
            break
        try:
            reconcile()
        except Exception as err:  # a config of the wrong shape must not stop the server
            print(f"refserver: listeners not updated: {err}", file=sys.stderr)
    SERVER.stopping.set()  # ends the stalls in progress
    for listener, _ in open_.values():
        listener.server_close()
    # Let the requests in progress finish and log themselves (stalls end at once).
    with SERVER.idle:
        SERVER.idle.wait_for(lambda: SERVER.active == 0, timeout=3)


if __name__ == "__main__":
    main()
