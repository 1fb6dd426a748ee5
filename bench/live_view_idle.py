#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Whether idle connections can take the live view down: starts
vantrel-render --serve, opens IDLE connections that send nothing (or, with
--partial, half a request head), and while they are open times real clients:
GET /stats, GET /image.png and the first picture of /stream. Each real request
shows its status (or the error) and how long it took. With --reopen, every idle
connection is closed and opened again that often, as an attacker would to
outlast a time-out.

Usage: live_view_idle.py VANTREL_RENDER [--idle 100] [--rounds 5] [--partial] [--reopen SECONDS]"""

import argparse
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time


def request(port, path, timeout=30.0):
    """(status or error, seconds) of one real request, reading the answer's head
    and, for /stream, the first part's head."""
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as connection:
            connection.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % path).encode())
            answer = b""
            wanted = b"Content-Type: image/jpeg" if path == "/stream" else b"\r\n\r\n"
            while wanted not in answer:
                chunk = connection.recv(65536)
                if not chunk:
                    break
                answer += chunk
            status = answer.split(b" ", 2)[1].decode() if answer.startswith(b"HTTP/1.1 ") else "no answer"
            if path == "/stream" and status == "200" and wanted not in answer:
                status = "200 without a picture"
    except OSError as error:
        status = type(error).__name__
    return status, time.monotonic() - start


class IdleConnections(threading.Thread):
    """Holds `count` connections open, sending nothing or half a head; reopens them every `reopen` seconds."""

    def __init__(self, port, count, partial, reopen):
        super().__init__(daemon=True)
        self.port, self.count, self.partial, self.reopen = port, count, partial, reopen
        self.sockets, self.leave, self.opened = [], False, threading.Event()

    def open_all(self):
        for connection in self.sockets:
            connection.close()
        self.sockets = []
        for _ in range(self.count):
            connection = socket.create_connection(("127.0.0.1", self.port))
            if self.partial:
                connection.sendall(b"GET /stats HTTP/1.1\r\nHost: 127.0.0.1\r\n")
            self.sockets.append(connection)

    def run(self):
        self.open_all()
        self.opened.set()
        while not self.leave:
            time.sleep(self.reopen or 0.1)
            if self.reopen and not self.leave:
                self.open_all()
        for connection in self.sockets:
            connection.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("program")
    parser.add_argument("--idle", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--partial", action="store_true", help="the idle connections send half a request head")
    parser.add_argument("--reopen", type=float, default=0.0, help="reopen the idle connections this often (s)")
    arguments = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        render = subprocess.Popen([arguments.program, "--serve", "0", "--quiet", "--seed", "1", "--threads", "1",
                                   "--output", folder + "/idle.png"], stderr=subprocess.PIPE, text=True)
        said = ""
        while (found := re.search(r"live view at http://127\.0\.0\.1:(\d+)/", said)) is None:
            line = render.stderr.readline()
            if not line:
                sys.exit("vantrel-render ended: " + said)
            said += line
        port = int(found.group(1))
        while request(port, "/image.png")[0] != "200":
            time.sleep(0.1)

        idle = IdleConnections(port, arguments.idle, arguments.partial, arguments.reopen)
        idle.start()
        idle.opened.wait()
        time.sleep(0.5)
        print("%d idle connections%s%s" % (arguments.idle, " with half a head" if arguments.partial else "",
                                           ", reopened every %g s" % arguments.reopen if arguments.reopen else ""))
        worst = 0.0
        for round_number in range(arguments.rounds):
            answers = []
            for path in ("/stats", "/image.png", "/stream"):
                status, seconds = request(port, path)
                worst = max(worst, seconds)
                answers.append("%s %s in %.3f s" % (path, status, seconds))
            print("round %d: %s" % (round_number + 1, ", ".join(answers)), flush=True)
            time.sleep(1.0)
        print("slowest real request: %.3f s" % worst)
        idle.leave = True
        idle.join()
        render.terminate()
        render.communicate()


if __name__ == "__main__":
    main()
