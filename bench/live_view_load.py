#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""What viewers of the live view cost the render: vantrel-render --serve's
frames per second with 0, 1 and 8 (by default) clients reading /stream for the
whole run. The counts are interleaved round by round, so a machine whose load
drifts spreads the drift over all of them; the median of the rounds is shown.
Frames per second depend on what else the machine runs, so the CPU time of
the server's threads (named vantrel-live) is also shown as a share of the
render's: what the viewers would take from a render that had the machine to
itself.

Usage: live_view_load.py VANTREL_RENDER [--frames N] [--rounds R] [--viewers 0,1,8] [--threads N]"""

import argparse
import json
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request


def cpu_seconds(pid):
    """User and system time so far of the server's threads and of the others (the render)."""
    server = render = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            name = open("/proc/%d/task/%s/comm" % (pid, task)).read().strip()
            fields = open("/proc/%d/task/%s/stat" % (pid, task)).read().rsplit(")", 1)[1].split()
        except OSError:  # the thread just ended
            continue
        ticks = int(fields[11]) + int(fields[12])
        if name == "vantrel-live":
            server += ticks
        else:
            render += ticks
    return server / os.sysconf("SC_CLK_TCK"), render / os.sysconf("SC_CLK_TCK")


def stats(port):
    with urllib.request.urlopen("http://127.0.0.1:%d/stats" % port, timeout=30) as answer:
        return json.load(answer)


class Viewer(threading.Thread):
    """Reads /stream as fast as it comes and throws it away."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.bytes, self.leave = port, 0, False

    def run(self):
        with socket.create_connection(("127.0.0.1", self.port)) as connection:
            connection.sendall(b"GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            connection.settimeout(1.0)
            while not self.leave:
                try:
                    chunk = connection.recv(65536)
                except socket.timeout:
                    continue
                if not chunk:
                    break
                self.bytes += len(chunk)


def one_run(program, frames, viewers, threads, folder):
    err_path = os.path.join(folder, "stderr.txt")
    with open(err_path, "wb") as err:
        render = subprocess.Popen([program, "--serve", "0", "--frames", str(frames), "--seed", "1", "--quiet",
                                   "--threads", str(threads), "--output", os.path.join(folder, "bench.png")],
                                  stdout=subprocess.DEVNULL, stderr=err)
    try:
        port = None
        while port is None:
            found = re.search(r"live view at http://127\.0\.0\.1:(\d+)/", open(err_path).read())
            port = found and int(found.group(1))
            if render.poll() is not None:
                sys.exit("vantrel-render ended: " + open(err_path).read())
            time.sleep(0.01)
        readers = [Viewer(port) for _ in range(viewers)]
        for reader in readers:
            reader.start()
        start = None  # (frames, CPU seconds) once the first frame is done: start-up left out
        while True:
            cpu = cpu_seconds(render.pid)
            figures = stats(port)
            if start is None and figures["frames_done"] > 0:
                start = (figures["frames_done"], cpu)
            if figures["finished"]:
                break
            time.sleep(0.05)
        for reader in readers:
            reader.leave = True
        seconds = figures["elapsed_seconds"]
        received = sum(reader.bytes for reader in readers) / max(len(readers), 1) / seconds / 1e6
        server_share = (cpu[0] - start[1][0]) / max(cpu[1] - start[1][1], 1e-9)
        return figures["frames_per_second"], received, server_share
    finally:
        render.send_signal(signal.SIGINT)
        render.wait(timeout=120)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program")
    parser.add_argument("--frames", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--viewers", default="0,1,8")
    parser.add_argument("--threads", type=int, default=os.cpu_count())
    args = parser.parse_args()
    counts = [int(v) for v in args.viewers.split(",")]
    fps = {count: [] for count in counts}
    rate = {count: [] for count in counts}
    cpu = {count: [] for count in counts}
    with tempfile.TemporaryDirectory() as folder:
        for round_number in range(args.rounds):
            for count in counts:
                frames_per_second, megabytes, share = one_run(args.program, args.frames, count, args.threads, folder)
                fps[count].append(frames_per_second)
                rate[count].append(megabytes)
                cpu[count].append(share)
                print("round %d, %d viewers: %.2f frames/s, server CPU %.2f %% of the render's" %
                      (round_number + 1, count, frames_per_second, share * 100), flush=True)
    print("\nmedians of %d rounds" % args.rounds)
    print("viewers  frames/s (min-max)        change   server CPU / render CPU   MB/s per viewer")
    base = statistics.median(fps[counts[0]])
    for count in counts:
        median = statistics.median(fps[count])
        print("%7d  %7.2f (%.2f-%.2f)  %+7.1f %%   %6.2f %%                  %.2f" %
              (count, median, min(fps[count]), max(fps[count]), (median / base - 1) * 100,
               statistics.median(cpu[count]) * 100, statistics.median(rate[count])))


if __name__ == "__main__":
    main()
