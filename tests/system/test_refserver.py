"""The reference server on its own: Range arithmetic, faults, the update-check answer and the
quality-service uploads. Runs inside the device with curl and tools/refserver/client.py, so
no program of ours is needed."""
import base64
import hashlib
import json
import os
import signal
import sys
import threading

import pytest

from conftest import REPO

sys.path.insert(0, str(REPO / "tools" / "refserver"))
import wire  # noqa: E402

PY = "/usr/bin/python3"
CLIENT = str(REPO / "tools" / "refserver" / "client.py")
PACKAGE = bytes(range(256)) * 4  # 1024 bytes, every offset recognisable


def exchange(device, requests, **plan):
    """Runs the requests through client.py in the device with the server up."""
    plan = dict(plan, requests=requests)
    res = device.run([PY, CLIENT], server=True, input=json.dumps(plan).encode())
    assert res.returncode == 0, res.stderr.decode()
    results = json.loads(res.stdout)
    for r in results:
        r["body"] = base64.b64decode(r["body_b64"])
        r["hdr"] = {k.lower(): v for k, v in r["headers"]}
    return results


def get(path, **extra):
    return dict({"method": "GET", "path": path}, **extra)


def test_range_arithmetic_on_one_keep_alive_connection(device):
    device.put_package("V1/p.zip", PACKAGE)
    cases = [  # Range header, status, body slice, Content-Range
        (None, 200, slice(0, 1024), None),
        ("bytes=0-99", 206, slice(0, 100), "bytes 0-99/1024"),
        ("bytes=1000-", 206, slice(1000, 1024), "bytes 1000-1023/1024"),
        ("bytes=-5", 206, slice(1019, 1024), "bytes 1019-1023/1024"),
        ("bytes=1020-5000", 206, slice(1020, 1024), "bytes 1020-1023/1024"),
        ("bytes=1023-1023", 206, slice(1023, 1024), "bytes 1023-1023/1024"),
        ("bytes=1024-", 416, slice(0, 0), "bytes */1024"),
        ("bytes=9-3", 200, slice(0, 1024), None),  # invalid: ignored
        ("bytes=0-1,5-6", 200, slice(0, 1024), None),  # several ranges: whole file
    ]
    reqs = [get("/pkgs/V1/p.zip", headers={"Range": r} if r else {}) for r, *_ in cases]
    reqs.append({"method": "HEAD", "path": "/pkgs/V1/p.zip"})
    results = exchange(device, reqs)
    for (rng, status, part, crange), r in zip(cases, results):
        assert r["error"] is None, rng
        assert r["status"] == status, rng
        assert r["body"] == PACKAGE[part], rng
        assert r["hdr"].get("content-range") == crange, rng
        assert int(r["hdr"]["content-length"]) == len(r["body"]), rng
    head = results[-1]
    assert head["status"] == 200 and head["body"] == b""
    assert head["hdr"]["content-length"] == "1024"
    log = device.server_log()
    assert len(log) == len(reqs)
    # Every request after the first reused the first connection: no one was refused.
    assert [e["sent"] for e in log] == [len(r["body"]) for r in results]


def test_drop_offsets_are_consumed_one_per_request(device):
    device.put_package("p.zip", PACKAGE)
    device.server_config({"faults": {"/pkgs/p.zip": {"drop_after": [100, 700]}}})
    results = exchange(device, [get("/pkgs/p.zip", new_connection=True) for _ in range(3)])
    assert [len(r["body"]) for r in results] == [100, 700, 1024]
    assert [r["error"] for r in results] == ["IncompleteRead", "IncompleteRead", None]
    assert results[1]["body"] == PACKAGE[:700]
    log = device.server_log()
    assert [e["sent"] for e in log] == [100, 700, 1024]
    assert [e.get("dropped_at") for e in log] == [100, 700, None]

    # Resuming with Range after each cut never sends a byte twice.
    device.server_config({"faults": {"/pkgs/p.zip": {"drop_after": [300, 300]}}})
    script = ("import json,subprocess,sys\n"
              "got=b''\n"
              "for _ in range(5):\n"
              "  r=subprocess.run(['curl','-s','-r',f'{len(got)}-',"
              "'http://update.norvo.test/pkgs/p.zip'],capture_output=True)\n"
              "  got+=r.stdout\n"
              "  if len(got)>=1024: break\n"
              "sys.stdout.buffer.write(got)\n")
    res = device.run([PY, "-c", script], server=True)
    assert res.stdout == PACKAGE
    resumed = device.server_log()[3:]
    assert sum(e["sent"] for e in resumed) == len(PACKAGE)


def test_status_faults_recover_and_redirects_follow(device):
    device.put_package("x.bin", PACKAGE)
    device.server_config({
        "extra_ports": [8080],
        "faults": {
            "/pkgs/flaky": {"status": [404, 500]},
            "/pkgs/r1": {"redirect": "/pkgs/r2"},
            "/pkgs/r2": {"redirect": "http://update.norvo.test:8080/pkgs/x.bin",
                         "redirect_status": 301},
            "/pkgs/loop1": {"redirect": "/pkgs/loop2"},
            "/pkgs/loop2": {"redirect": "http://update.norvo.test/pkgs/loop1"},
        }})
    fmt = "%{http_code} %{num_redirects} %{size_download}\\n"
    res = device.run(["/bin/sh", "-c",
                      f"for i in 1 2 3; do curl -s -o /dev/null -w '{fmt}' "
                      "http://update.norvo.test/pkgs/flaky; done;"
                      f"curl -sL -o /tmp/x -w '{fmt}' http://update.norvo.test/pkgs/r1;"
                      "curl -sL --max-redirs 6 -o /dev/null http://update.norvo.test/pkgs/loop1;"
                      "echo loop=$?"], server=True)
    lines = res.stdout.decode().split("\n")
    # /pkgs/flaky is not a package: after the two faults it answers 404 of its own.
    assert lines[:3] == ["404 0 11", "500 0 11", "404 0 16"]
    assert lines[3] == "200 2 1024"
    assert lines[4] == "loop=47"  # too many redirects
    assert device.path("/tmp/x").read_bytes() == PACKAGE
    log = device.server_log()
    assert [e["port"] for e in log if e["path"] == "/pkgs/x.bin"] == [8080]
    assert [e["status"] for e in log if e["path"] == "/pkgs/r2"] == [301]
    assert len([e for e in log if e["path"].startswith("/pkgs/loop")]) == 7


def test_ignored_range_and_wrong_content_range(device):
    device.put_package("p.zip", PACKAGE)
    device.put_package("q.zip", PACKAGE)
    device.server_config({"faults": {"/pkgs/p.zip": {"ignore_range": True},
                                     "/pkgs/q.zip": {"content_range": "bytes 0-9/99"}}})
    results = exchange(device, [get("/pkgs/p.zip", headers={"Range": "bytes=10-19"}),
                                get("/pkgs/q.zip", headers={"Range": "bytes=10-19"})])
    assert results[0]["status"] == 200 and results[0]["body"] == PACKAGE
    assert results[1]["status"] == 206 and results[1]["body"] == PACKAGE[10:20]
    assert results[1]["hdr"]["content-range"] == "bytes 0-9/99"


@pytest.mark.slow
def test_stall_keeps_socket_open_and_throttle_limits_rate(device):
    big = os.urandom(40000)
    device.put_package("s.zip", big)
    device.put_package("t.zip", big)
    device.server_config({"faults": {"/pkgs/s.zip": {"stall_after": 1000},
                                     "/pkgs/t.zip": {"throttle": 50000}}})
    results = exchange(device, [get("/pkgs/s.zip", timeout=1),
                                get("/pkgs/t.zip", new_connection=True)])
    assert results[0]["error"] == "timeout" or results[0]["error"] == "TimeoutError"
    assert results[0]["body"] == big[:1000]
    assert results[1]["body"] == big
    assert 0.6 < results[1]["elapsed"] < 5  # 40000 bytes at 50000 B/s
    log = device.server_log()
    stalled = next(e for e in log if e["path"] == "/pkgs/s.zip")
    # The server saw the client give up while it was stalled, and sent nothing more.
    assert stalled["client_closed"] and stalled["sent"] == 1000

    # A transfer stalled for good does not keep the device alive after its command ends,
    # and the server still logs it.
    res = device.run(["/bin/sh", "-c", "curl -sN -o /tmp/part http://127.0.0.1/pkgs/s.zip &"
                      " until [ -s /tmp/part ]; do sleep 0.05; done"],
                     server=True, timeout=20)
    assert res.returncode == 0
    last = device.server_log()[-1]
    assert last["path"] == "/pkgs/s.zip" and last.get("server_stopped") and last["sent"] == 1000


def test_hold_keeps_the_answer_until_the_test_releases_it(device):
    device.put_package("h.zip", PACKAGE)
    device.server_config({"faults": {"/pkgs/h.zip": {"hold_after": 100, "release": "go"}}})
    # The shell waits for the hold, looks at what arrived, then lets the answer go on.
    script = ("curl -sN -o /tmp/h http://127.0.0.1/pkgs/h.zip & "
              "until [ -s /device/server/held ]; do sleep 0.02; done; "
              "sleep 0.3; wc -c < /tmp/h; touch /device/server/go; wait; wc -c < /tmp/h")
    res = device.run(["/bin/sh", "-c", script], server=True, timeout=30)
    assert res.returncode == 0, res.stderr
    during, after = (int(n) for n in res.stdout.split())
    assert during <= 100 and after == len(PACKAGE)
    assert device.path("/tmp/h").read_bytes() == PACKAGE
    assert device.held() == [100]
    entry = next(e for e in device.server_log() if e["path"] == "/pkgs/h.zip")
    assert entry["held_at"] == 100 and entry["sent"] == len(PACKAGE)


def _query(**facts):
    facts.setdefault("d", "cetus")
    facts.setdefault("v", "V1.0.0")
    text = json.dumps(facts, indent="\t").encode()
    q = base64.b64encode(wire.encrypt(text)).decode()
    body = "q=" + q.replace("+", "%2B").replace("/", "%2F").replace("=", "%3D") + "&t=&s=1"
    return text, body.encode()


def _post_query(body):
    return {"method": "POST", "path": "/updates/kootaV3.php",
            "headers": {"Content-type": "application/x-www-form-urlencoded"},
            "body_b64": base64.b64encode(body).decode(), "new_connection": True}


def test_update_check_answers_from_the_catalogue(device):
    pkg = os.urandom(1536000)
    device.put_package("V2.0.0/cetus-ota.zip", pkg)
    rom = {"version": "V2.0.0", "filename": "cetus-ota.zip", "Validate": "vv"}
    device.server_config({
        "catalogue": [{"d": "cetus", "v": "V1.0.0", "LatestRom": rom,
                       "MirrorList": ["http://update.norvo.test/pkgs"]},
                      {"d": "other", "LatestRom": {"version": "9", "filename": "f",
                                                   "filesize": "980.3M", "md5": "m"}}]})
    q1, b1 = _query()
    _, b2 = _query(v="V0.9")
    _, b3 = _query(d="other", v="anything")
    results = exchange(device, [_post_query(b) for b in (b1, b2, b3)],
                       host_header="update.norvo.test")
    answers = [json.loads(wire.decrypt(wire.b64decode(r["body"]))) for r in results]
    offered = answers[0]["LatestRom"]
    assert offered["version"] == "V2.0.0" and offered["Validate"] == "vv"
    # The size text converts back to the exact byte count, as the agent converts it.
    assert offered["filesize"].endswith("M")
    assert int(float(offered["filesize"][:-1]) * 1024 * 1024) == len(pkg)
    assert offered["md5"] == hashlib.md5(pkg).hexdigest()
    assert answers[0]["CurrentRom"] == {"version": "V1.0.0"}
    assert answers[0]["MirrorList"] == ["http://update.norvo.test/pkgs"]
    assert "LatestRom" not in answers[1] and answers[1]["CurrentRom"] is None
    assert answers[2]["LatestRom"]["filesize"] == "980.3M"
    log = device.server_log()
    assert log[0]["query"] == q1.decode()
    assert json.loads(log[0]["answer"]) == answers[0]


@pytest.mark.parametrize("cfg,check", [
    ({"answer": "array"}, lambda b: isinstance(_clear(b)["LatestRom"], list)),
    ({"answer": "norom"}, lambda b: "LatestRom" not in _clear(b) and _clear(b)["CurrentRom"]),
    ({"answer": "badjson"}, lambda b: wire.decrypt(wire.b64decode(b)) == b"this is not json"),
    ({"answer_json": {"x": [1]}, "wrap_lf": True},
     lambda b: b[:1] == b"\n" and b[-1:] == b"\n" and _clear(b[1:-1]) == {"x": [1]}),
    ({"answer": "notbase64"}, lambda b: _fails(wire.b64decode, b)),
    ({"answer": "garbage"}, lambda b: len(b) == 96),
    ({"answer": "raw", "raw_body": "\n\nabc"}, lambda b: b == b"\n\nabc"),
])
def test_update_check_answer_modes(device, cfg, check):
    device.server_config(cfg)
    _, body = _query()
    (r,) = exchange(device, [_post_query(body)])
    assert r["status"] == 200
    assert check(r["body"])


def test_update_check_http_status_and_bad_queries(device):
    device.server_config({"answer": "http_status", "http_status": 503, "http_body": "busy"})
    _, body = _query()
    results = exchange(device, [_post_query(body), _post_query(b"t=&s=1"),
                                _post_query(b"q=%2F%2F%2F%2F&s=1"),
                                _post_query(b"q=" + base64.b64encode(wire.encrypt(b"[1]")))])
    assert (results[0]["status"], results[0]["body"]) == (503, b"busy")
    assert [r["status"] for r in results[1:]] == [400, 400, 400]
    log = device.server_log()
    assert all("query_error" in e for e in log[1:])


def _clear(body):
    return json.loads(wire.decrypt(wire.b64decode(body)))


def _fails(fn, arg):
    try:
        fn(arg)
    except ValueError:
        return True
    return False


def test_quality_service_uploads(device):
    # Bytes that look like part boundaries and line ends must survive the parsing.
    content = b"line1\r\n--boundary-lookalike\r\n\r\n\x00\xff tail\n"
    device.path("/tmp/x_RescuePartyLog_1").write_bytes(content)
    res = device.run(["/bin/sh", "-c",
                      "curl -s -H 'Host: zelas.norvo.test' -F bizName=norvo "
                      "-F file=@/tmp/x_RescuePartyLog_1 "
                      "http://127.0.0.1/zelas/fileUploadWithUrlId && echo &&"
                      "curl -sk -H 'Host: zelas.norvo.test' -H Content-Type:application/json "
                      "--data-binary '{\"events\":[{}]}' https://127.0.0.1/v2/data/quillon"],
                     server=True)
    assert res.stdout == b'{"code":0}\n{"code":0}'
    upload, diag = device.server_log()
    fields = {f["name"]: f for f in upload["fields"]}
    assert set(fields) == {"bizName", "file"}
    assert fields["bizName"]["text"] == "norvo"
    assert fields["file"]["filename"] == "x_RescuePartyLog_1"
    assert base64.b64decode(fields["file"]["data"]) == content
    assert diag["tls"] is True and diag["port"] == 443
    assert diag["json"] == {"events": [{}]}
    assert ["Host", "zelas.norvo.test"] in diag["headers"]


def test_root_date_delay_and_refusal(device):
    device.server_config({"date": "Wed, 21 Oct 2015 07:28:00 GMT",
                          "root_headers": [["Last-Date-Seen", "x"]]})
    res = device.run(["curl", "-sI", "http://update.norvo.test/"], server=True)
    assert b"\r\nDate: Wed, 21 Oct 2015 07:28:00 GMT\r\n" in res.stdout
    assert b"\r\nLast-Date-Seen: x\r\n" in res.stdout
    device.server_config({"date": None, "root_delay": 3})
    res = device.run(["/bin/sh", "-c", "curl -sI -m 1 http://update.norvo.test/; echo rc=$?"],
                     server=True)
    assert res.stdout.endswith(b"rc=28\n")
    device.server_config({"date": None})
    res = device.run(["curl", "-sI", "http://update.norvo.test/"], server=True)
    assert res.stdout.startswith(b"HTTP/1.1 200") and b"Date:" not in res.stdout

    # Refused from the start: couldn't connect (7) on 80 while 443 still answers; the
    # listener comes back when the config changes during the run.
    device.server_config({"refuse": True})
    script = ("curl -s -o /dev/null http://update.norvo.test/; echo http=$?;"
              "curl -sk -o /dev/null https://update.norvo.test/; echo https=$?;"
              "echo '{}' > /device/server/config.json;"
              "for i in $(seq 100); do curl -s -o /dev/null http://update.norvo.test/ && break;"
              " sleep 0.05; done; echo back=$?")
    res = device.run(["/bin/bash", "-c", script], server=True)
    assert res.stdout.decode().split() == ["http=7", "https=0", "back=0"]


def test_server_survives_bad_input(device):
    device.put_package("p.zip", PACKAGE)
    results = exchange(device, [
        {"raw_b64": base64.b64encode(b"\x00\xffGARBAGE\r\n\r\n").decode()},
        {"raw_b64": base64.b64encode(b"POST /updates/kootaV3.php HTTP/1.1\r\nHost: x\r\n"
                                     b"Content-Length: -5\r\n\r\n").decode()},
        {"method": "POST", "path": "/zelas/fileUploadWithUrlId", "body_b64": "AAAA",
         "headers": {"Content-Type": "multipart/form-data; boundary=zz"}},
        get("/pkgs/../../config.json", new_connection=True),
        get("/pkgs/p.zip", new_connection=True),
    ])
    assert b"400" in base64.b64decode(results[0]["raw_b64"])
    assert base64.b64decode(results[1]["raw_b64"]).startswith(b"HTTP/1.1 400")
    assert results[2]["status"] == 400
    assert results[3]["status"] == 404
    assert results[4]["status"] == 200 and results[4]["body"] == PACKAGE

    # Config values of the wrong shape fail the request they concern, not the server.
    device.server_config({"extra_ports": 5, "faults": {"/pkgs/p.zip": {"drop_after": "x"}}})
    bad, root = exchange(device, [get("/pkgs/p.zip"), get("/", new_connection=True)])
    assert bad["status"] == 500 and root["status"] == 200
    assert "ValueError" in device.server_log()[-2]["error"]


def lock_calls(handler):
    """The lock operations that one call of handler makes."""
    lock_types = (type(threading.Lock()), type(threading.RLock()))
    calls = []

    def profile(frame, event, arg):
        if event == "c_call" and isinstance(getattr(arg, "__self__", None), lock_types):
            calls.append(arg.__name__)

    sys.setprofile(profile)
    try:
        handler(signal.SIGTERM, None)
    finally:
        sys.setprofile(None)
    return calls


def test_stop_signal_handler_takes_no_lock(tmp_path):
    # The handler runs on the server's main thread between two bytecodes, maybe while
    # that thread holds a lock; one that took a lock too would never return, and the
    # device would never end (seen once as a download whose status pipe stayed open).
    import server

    server.SERVER = server.Server(str(tmp_path))
    stop = server.StopRequest()
    assert lock_calls(stop) == []
    assert stop.requested
    # The check sees a handler that sets the server's stop event directly.
    assert lock_calls(lambda *_: server.SERVER.stopping.set())
