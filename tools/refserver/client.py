#!/usr/bin/python3
"""A small HTTP client for poking the reference server from inside the emulated device.

Reads a JSON document on standard input:
  {"host": "127.0.0.1", "port": 80, "tls": false, "host_header": "update.norvo.test",
   "requests": [{"method": "GET", "path": "/", "headers": {"Range": "bytes=0-9"},
                 "body_b64": "...", "new_connection": false, "timeout": 10,
                 "raw_b64": "..."}]}
and prints one JSON list with, per request, {"status", "headers" ([name, value] pairs),
"body_b64", "error" (null, or the failure, for example "IncompleteRead"), "elapsed"}.
Requests share one keep-alive connection unless "new_connection" is set (or the previous
one ended). "raw_b64" sends those bytes as they are on a fresh connection and returns
whatever comes back until the server closes it, in "raw_b64".
"""
import base64
import http.client
import json
import socket
import ssl
import sys
import time


def connect(plan, timeout):
    if plan.get("tls"):
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        return http.client.HTTPSConnection(plan["host"], plan["port"], timeout=timeout,
                                           context=ctx)
    return http.client.HTTPConnection(plan["host"], plan["port"], timeout=timeout)


def raw_exchange(plan, data, timeout):
    sock = socket.create_connection((plan["host"], plan["port"]), timeout=timeout)
    if plan.get("tls"):
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        sock = ctx.wrap_socket(sock)
    with sock:
        sock.sendall(data)
        sock.shutdown(socket.SHUT_WR)
        out = bytearray()
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            out += chunk
    return bytes(out)


def main():
    plan = json.load(sys.stdin)
    plan.setdefault("host", "127.0.0.1")
    plan.setdefault("port", 443 if plan.get("tls") else 80)
    results = []
    conn = None
    for req in plan["requests"]:
        timeout = req.get("timeout", 10)
        t0 = time.monotonic()
        result = {"status": None, "headers": [], "body_b64": "", "error": None}
        if "raw_b64" in req:
            try:
                result["raw_b64"] = base64.b64encode(
                    raw_exchange(plan, base64.b64decode(req["raw_b64"]), timeout)).decode()
            except OSError as err:
                result["error"] = type(err).__name__
            result["elapsed"] = time.monotonic() - t0
            results.append(result)
            continue
        if conn is None or req.get("new_connection"):
            if conn is not None:
                conn.close()
            conn = connect(plan, timeout)
        headers = dict(req.get("headers", {}))
        if plan.get("host_header"):
            headers.setdefault("Host", plan["host_header"])
        body = base64.b64decode(req["body_b64"]) if "body_b64" in req else None
        try:
            conn.request(req.get("method", "GET"), req.get("path", "/"), body=body,
                         headers=headers)
            resp = conn.getresponse()
            result["status"] = resp.status
            result["headers"] = [[k, v] for k, v in resp.getheaders()]
            data = bytearray()
            try:
                while True:  # in pieces, so that a stall or a drop keeps what arrived
                    piece = resp.read1(65536)
                    if not piece:
                        break
                    data += piece
            except http.client.IncompleteRead as err:
                data += err.partial
                result["error"] = "IncompleteRead"
            except OSError as err:
                result["error"] = type(err).__name__
            length = resp.getheader("Content-Length")
            if (not result["error"] and req.get("method", "GET") != "HEAD" and length
                    and len(data) < int(length)):
                result["error"] = "IncompleteRead"
            result["body_b64"] = base64.b64encode(bytes(data)).decode()
            resp.close()  # done with this response; the connection may carry the next
            if result["error"] or resp.will_close:
                conn.close()
                conn = None
        except (OSError, http.client.HTTPException) as err:
            result["error"] = type(err).__name__
            conn.close()
            conn = None
        result["elapsed"] = time.monotonic() - t0
        results.append(result)
    if conn is not None:
        conn.close()
    json.dump(results, sys.stdout)


if __name__ == "__main__":
    main()
