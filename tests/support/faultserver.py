#!/usr/bin/env python3
"""Scripted HTTP server on 127.0.0.1 for download fault tests.

Serves the files below --root. Each path can be given a script: a list of steps, one per request
(the last step repeats). Commands arrive as JSON lines on stdin and are answered with one JSON line
on stdout; the first line written is {"port": N}.

Step fields (all optional):
  status    HTTP status (default 200); a 3xx carries "location" as its Location header
  length    send Content-Length (default true; false ends the body by closing the connection)
  keepAlive keep the connection for the next request (default false: a client that reuses
            connections may resend a request by itself when a reused one breaks)
  send      body bytes to send before "then" (default: all of them)
  then      what follows the first "send" bytes:
              finish  send the rest and end normally (default)
              close   close the connection (a truncated transfer)
              reset   close with a TCP reset
            (A client may resend by itself when the connection breaks before it has read the
            answer's head; hold first to make sure it has.)
              stall   send nothing more until the client goes away
              hold    wait for a "release" command, then do what "after" says
  after     after a release: finish (default), close or reset, as for "then"
              silent  read the request, never answer (nothing at all is sent)
  delay     seconds to sleep between pieces of the body
  piece     bytes of such a piece (default 64 KiB; 1 with a delay makes a trickle)
  headers   extra response headers, {"Name": "value"}
  endless   after the body, keep sending zero bytes until the client goes away

Commands:
  {"cmd": "script", "path": P, "steps": [...]}   install a script for path P
  {"cmd": "release", "path": P, "count": N}      let N held transfers of P go on
  {"cmd": "stats"}                                requests per path, active and most active at once,
                                                  and the request headers last seen per path
  {"cmd": "resetMax"}                             start counting the most active at once afresh
  {"cmd": "quit"}
"""

import argparse
import json
import os
import select
import socket
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

lock = threading.Condition()
scripts = {}
requests = {}
request_headers = {}
released = {}
active = 0
max_active = 0
stopping = threading.Event()


def client_gone(sock, timeout):
    """True when the peer has closed (or reset) the connection within `timeout` seconds."""
    readable, _, _ = select.select([sock], [], [], timeout)
    if not readable:
        return False
    try:
        return sock.recv(1, socket.MSG_PEEK) == b""
    except OSError:
        return True


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        global active, max_active
        path = self.path
        with lock:
            count = requests.get(path, 0)
            requests[path] = count + 1
            request_headers[path] = {k.lower(): v for k, v in self.headers.items()}
            steps = scripts.get(path) or [{}]
            step = steps[min(count, len(steps) - 1)]
            active += 1
            max_active = max(max_active, active)
        try:
            self.serve(path, step)
        except OSError:
            self.close_connection = True
        finally:
            with lock:
                active -= 1

    def serve(self, path, step):
        then = step.get("then", "finish")
        self.piece = step.get("piece", 65536)
        if then == "silent":
            self.wait_until_gone()
            return
        status = step.get("status", 200)
        body = b""
        if status == 200:
            local = os.path.join(root, path.lstrip("/"))
            if not os.path.isfile(local):
                status = 404
            else:
                with open(local, "rb") as f:
                    body = f.read()
        self.send_response(status)
        if "location" in step:
            self.send_header("Location", step["location"])
        for name, value in step.get("headers", {}).items():
            self.send_header(name, value)
        if step.get("length", True):
            self.send_header("Content-Length", str(len(body)))
        if not step.get("length", True) or not step.get("keepAlive", False):
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        first = step.get("send", len(body))
        self.write_body(body[:first], step.get("delay", 0))
        self.wfile.flush()
        if then in ("close", "reset"):
            self.end(then, b"", 0)
        elif then == "stall":
            self.close_connection = True
            self.wait_until_gone()
        elif then == "hold":
            if not self.wait_for_release(path):
                self.close_connection = True
            else:
                self.end(step.get("after", "finish"), body[first:], step.get("delay", 0))
        else:
            self.write_body(body[first:], step.get("delay", 0))
        if step.get("endless", False):
            self.close_connection = True
            self.send_endlessly()

    def send_endlessly(self):
        piece = bytes(65536)
        while not stopping.is_set():
            self.wfile.write(piece)

    def end(self, how, rest, delay):
        if how == "close":
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
        elif how == "reset":
            self.close_connection = True
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
        else:
            self.write_body(rest, delay)

    def write_body(self, data, delay):
        piece = self.piece
        for i in range(0, len(data), piece):
            self.wfile.write(data[i:i + piece])
            if delay:
                self.wfile.flush()
                time.sleep(delay)

    def wait_until_gone(self):
        while not stopping.is_set() and not client_gone(self.connection, 0.05):
            pass

    def wait_for_release(self, path):
        """Waits for a release of `path`; False when the client went away first."""
        while not stopping.is_set():
            with lock:
                if released.get(path, 0) > 0:
                    released[path] -= 1
                    return True
                lock.wait(0.02)
            if client_gone(self.connection, 0):
                return False
        return False


def answer(obj):
    sys.stdout.write(json.dumps(obj) + "\n")
    sys.stdout.flush()


def control():
    global max_active
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        command = json.loads(line)
        cmd = command.get("cmd")
        with lock:
            if cmd == "script":
                scripts[command["path"]] = command["steps"]
                reply = {"ok": True}
            elif cmd == "release":
                path = command["path"]
                released[path] = released.get(path, 0) + command.get("count", 1)
                lock.notify_all()
                reply = {"ok": True}
            elif cmd == "stats":
                reply = {"requests": requests, "active": active, "maxActive": max_active,
                         "headers": request_headers}
            elif cmd == "resetMax":
                max_active = active
                reply = {"ok": True}
            elif cmd == "quit":
                reply = {"ok": True}
            else:
                reply = {"ok": False, "error": "unknown command"}
        answer(reply)
        if cmd == "quit":
            break
    stopping.set()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    root = parser.parse_args().root
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    answer({"port": server.server_address[1]})
    threading.Thread(target=server.serve_forever, daemon=True).start()
    control()
    server.shutdown()
