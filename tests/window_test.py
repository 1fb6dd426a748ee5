#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""End-to-end tests of the vantrel window on a private Xvfb display.

usage: window_test.py VANTREL CLOSE_HELPER close|sigterm|sighup|refused|lost|memory

close:     the picture is upright, a key press and a mouse click change
           nothing, closing the window (WM_DELETE_WINDOW) shuts down cleanly.
sigterm:   with GLUT's options naming the display (and DISPLAY unset) and a
           -geometry other than the default, which the window takes, SIGTERM
           shuts down cleanly.
sighup:    with stdout a pipe nobody reads, the window still opens (at the
           -geometry -0-0 it is given, in its own size), and SIGHUP (a closed
           terminal) shuts down cleanly.
refused:   without a display that opens, with an argument that is not
           GLUT's, or a -geometry that is none or does not fit the screen, the
           program says so in one line and fails before anything starts.
lost:      the window destroyed by another program, its connection killed,
           the X server ended, or too little memory for the GL driver: the
           program releases the engine, says so in one line and exits with 1.
memory:    under address-space limits from 40 to 400 MB, the window opens
           and draws, or the program says it ran out of memory in one line and
           exits with 1; never a crash, never silence.
Every wait is bounded; nothing sleeps longer than a fraction of a second.
"""

import os
import re
import resource
import select
import signal
import subprocess
import sys
import tempfile
import time

TITLE = "Vantrel Prototype 1"
WIDTH, HEIGHT = 640, 480
EXPECTED_STDOUT = "Vantrel Prototype 1\nInitializing CUDA engine\nDeinitializing CUDA engine\n"


class Failure(Exception):
    pass


def wait_for(condition, timeout, what):
    """Polls condition() until it returns a true value; fails after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.05)


def start_xvfb():
    read_end, write_end = os.pipe()
    # -noreset: the server would reset when its last client leaves, and refuse the next one meanwhile.
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                             "-noreset"],
                            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    deadline = time.monotonic() + 20
    while not number.endswith(b"\n"):
        remaining = deadline - time.monotonic()
        if remaining <= 0 or not select.select([read_end], [], [], remaining)[0]:
            xvfb.kill()
            raise Failure("Xvfb did not report its display within 20 s")
        chunk = os.read(read_end, 16)
        if not chunk:
            raise Failure(f"Xvfb exited with status {xvfb.wait()} before reporting a display")
        number += chunk
    os.close(read_end)
    return xvfb, ":" + number.decode().strip()


def stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def screenshot(env):
    """The window's 640 x 480 area as RGB bytes, top row first (no window manager: it sits at +100+100)."""
    shot = subprocess.run("xwd -root -silent | convert xwd:- -crop 640x480+100+100 +repage -depth 8 rgb:-",
                          shell=True, env=env, capture_output=True, timeout=30)
    if shot.returncode != 0 or len(shot.stdout) != WIDTH * HEIGHT * 3:
        raise Failure(f"screenshot failed: {shot.stderr.decode(errors='replace')}")
    return shot.stdout


def region_mean(pixels, x0, y0, x1, y1):
    sums = [0, 0, 0]
    for y in range(y0, y1):
        row = pixels[3 * (y * WIDTH + x0):3 * (y * WIDTH + x1)]
        for c in range(3):
            sums[c] += sum(row[c::3])
    n = (x1 - x0) * (y1 - y0)
    return [s / n for s in sums]


def roughness(pixels):
    """Mean step between neighbouring pixels on the back wall: falls as samples accumulate."""
    total = 0
    for y in range(120, 200):
        row = pixels[3 * (y * WIDTH + 200) + 1:3 * (y * WIDTH + 440):3]
        total += sum(abs(a - b) for a, b in zip(row, row[1:]))
    return total / (80 * 239)


def picture_problems(pixels):
    """What is wrong with the picture's layout (empty when it shows the box upright)."""
    problems = []
    top = region_mean(pixels, 200, 0, 440, 12)
    left = region_mean(pixels, 10, 150, 120, 300)
    right = region_mean(pixels, 520, 150, 630, 300)
    floor = region_mean(pixels, 250, 440, 400, 476)
    if min(top) < 235:
        problems.append(f"top rows not white (ceiling): mean RGB {top}")
    if left[0] < max(left[1], left[2]) + 20:
        problems.append(f"left wall not reddish: mean RGB {left}")
    if right[2] < max(right[0], right[1]) + 15:
        problems.append(f"right wall not bluish: mean RGB {right}")
    if max(floor) - min(floor) > 40 or not 50 <= sum(floor) / 3 <= 220:
        problems.append(f"floor not grey: mean RGB {floor}")
    return problems


def find_window(env, geometry=(WIDTH, HEIGHT, 100, 100)):
    """The window's id, once it is mapped with `geometry` (width, height, x, y)."""
    # On a loaded machine xdotool's search can give up while the window is
    # still being mapped: ask again, a few times.
    for _ in range(5):
        found = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", f"^{TITLE}$"], env=env,
                               capture_output=True, text=True, timeout=60)
        ids = found.stdout.split()
        if found.returncode == 0 and len(ids) == 1:
            break
        time.sleep(0.5)
    if found.returncode != 0 or len(ids) != 1:
        raise Failure(f"expected one visible window titled {TITLE!r}, xdotool found {ids} (status "
                      f"{found.returncode}, stderr {found.stderr.strip()!r})")
    found_geometry = subprocess.run(["xdotool", "getwindowgeometry", ids[0]], env=env, capture_output=True,
                                    text=True, timeout=10).stdout
    width, height, x, y = geometry
    if f"Position: {x},{y}" not in found_geometry or f"Geometry: {width}x{height}" not in found_geometry:
        raise Failure(f"window not {width}x{height} at {x},{y}:\n{found_geometry}")
    return ids[0]


def wait_for_frames(env, previous, frames):
    """Waits until the screen has changed `frames` times after `previous`; returns the last screenshot."""
    for _ in range(frames):
        previous = wait_for(lambda p=previous: (lambda s: s if s != p else None)(screenshot(env)), 60,
                            "a new frame on the screen")
    return previous


def check_exit(vantrel, stdout_file, stderr_file, expected_stdout=EXPECTED_STDOUT):
    try:
        status = vantrel.wait(timeout=60)
    except subprocess.TimeoutExpired:
        raise Failure("vantrel did not exit within 60 s")
    out = ""
    if stdout_file is not None:
        stdout_file.seek(0)
        out = stdout_file.read()
    stderr_file.seek(0)
    err = stderr_file.read()
    if out != expected_stdout or status != 0:
        raise Failure(f"exit status {status}, stdout {out!r}, stderr {err!r}")


def run_window(vantrel_path, close_helper, mode):
    xvfb, display = start_xvfb()
    env = dict(os.environ, DISPLAY=display)
    command, vantrel_env, geometry = [vantrel_path], env, (WIDTH, HEIGHT, 100, 100)
    if mode == "sighup":
        # A place alone: the window keeps the picture's size, its corner counted from the screen's.
        geometry = (WIDTH, HEIGHT, 1024 - WIDTH, 768 - HEIGHT)
        command += ["-geometry", "-0-0"]
    if mode == "sigterm":
        geometry = (800, 600, 10, 20)
        command += ["-display", display, "-geometry", "{}x{}+{}+{}".format(*geometry), "-sync", "-gldebug"]
        vantrel_env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    vantrel = None
    try:
        with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
            stdout = out
            if mode == "sighup":
                # Both as a closed terminal leaves them: SIGHUP not ignored, output going nowhere.
                signal.signal(signal.SIGHUP, signal.SIG_DFL)
                read_end, stdout = os.pipe()
                os.close(read_end)
            vantrel = subprocess.Popen(command, env=vantrel_env, stdout=stdout, stderr=err, text=True)
            if mode == "sighup":
                os.close(stdout)
            window = find_window(env, geometry)
            if mode == "close":
                last = [b""]

                def upright():
                    last[0] = screenshot(env)
                    return not picture_problems(last[0])

                try:
                    wait_for(upright, 60, "the picture")
                except Failure:
                    raise Failure("picture wrong: " + "; ".join(picture_problems(last[0])))
                # Refine until the noise is clearly below the first frames', so a reset would show.
                first = roughness(last[0])
                before = wait_for(lambda: (lambda s: s if roughness(s) < 0.75 * first else None)(screenshot(env)),
                                  90, "the noise to fall")
                subprocess.run(["xdotool", "key", "--window", window, "space", "Escape", "r"], env=env, check=True,
                               timeout=10)
                subprocess.run(["xdotool", "mousemove", "--window", window, "320", "240", "click", "1", "click",
                                "3"], env=env, check=True, timeout=10)
                after = wait_for_frames(env, screenshot(env), 2)
                if vantrel.poll() is not None:
                    raise Failure(f"vantrel ended after a key press and a click (status {vantrel.returncode})")
                if picture_problems(after):
                    raise Failure("picture wrong after key and click: " + "; ".join(picture_problems(after)))
                if roughness(after) > roughness(before) + 1.0:
                    raise Failure(f"picture got noisier after key and click ({roughness(before):.1f} -> "
                                  f"{roughness(after):.1f}): the samples were reset")
                subprocess.run([close_helper, window], env=env, check=True, timeout=10)
            elif mode == "sighup":
                vantrel.send_signal(signal.SIGHUP)
                check_exit(vantrel, None, err, expected_stdout="")
                return
            else:
                vantrel.send_signal(signal.SIGTERM)
            check_exit(vantrel, out, err)
    finally:
        if vantrel is not None:
            stop(vantrel)
        stop(xvfb)


def run_refused(vantrel_path):
    """A display that works is up throughout, so a start that went on would open a window and not end."""
    xvfb, display = start_xvfb()
    hint = r", so no window can open; vantrel-render renders the picture to an image file without a display"
    unreachable = ":64999"
    cases = [  # arguments, DISPLAY (None: unset), exit status, the one line on stderr
        ([], None, 1, "DISPLAY is not set" + hint),
        ([], "", 1, "DISPLAY is empty" + hint),
        ([], unreachable, 1, f"cannot open display '{unreachable}'" + hint),
        (["-display", unreachable], display, 1, f"cannot open display '{unreachable}'" + hint),
        (["--verison"], display, 2, r"unknown option '--verison' \(see vantrel --help\)"),
        (["-iconic", "frames=5"], display, 2, r"unexpected argument 'frames=5' \(see vantrel --help\)"),
        (["-geometry", "-0-0", "-sync", "-display"], display, 2, r"-display needs a value \(see vantrel --help\)"),
        (["out\x1b[2J"], display, 2, r"unexpected argument 'out\\x1b\[2J' \(see vantrel --help\)"),
        (["-geometry", "foo"], display, 2, r"-geometry 'foo' is not WIDTHxHEIGHT, WIDTHxHEIGHT\+X\+Y or \+X\+Y " +
         r"\(see vantrel --help\)"),
        (["-geometry", "0x0"], display, 2, r"-geometry '0x0' has a width or height of 0 \(see vantrel --help\)"),
        # Xvfb's screen is 1024x768.
        (["-geometry", "65535x65535"], display, 2, r"-geometry '65535x65535' is larger than the 1024x768 screen of " +
         f"display '{display}' " + r"\(see vantrel --help\)"),
        (["-geometry", "+0+768"], display, 2, r"-geometry '\+0\+768' puts the window off the 1024x768 screen of " +
         f"display '{display}' " + r"\(see vantrel --help\)"),
    ]
    problems = []
    try:
        for arguments, display_variable, status, line in cases:
            env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
            if display_variable is not None:
                env["DISPLAY"] = display_variable
            what = f"DISPLAY={display_variable} vantrel {' '.join(arguments)}"
            try:
                result = subprocess.run([vantrel_path] + arguments, env=env, capture_output=True, text=True,
                                        timeout=30)
            except subprocess.TimeoutExpired:
                problems.append(f"{what}: still running after 30 s")
                continue
            if (result.returncode, result.stdout) != (status, "") or \
                    not re.fullmatch("vantrel: " + line + "\n", result.stderr):
                problems.append(f"{what}: status {result.returncode}, stdout {result.stdout!r}, "
                                f"stderr {result.stderr!r}")
    finally:
        stop(xvfb)
    if problems:
        raise Failure("\n".join(problems))


def run_lost(vantrel_path):
    lost = r"the display '{}' was lost \(the X server ended or closed the connection\)"
    cases = [  # what is done once the window shows, the address-space limit (KiB), the last line on stderr
        (["xdotool", "windowclose"], None, r"the window was destroyed"),
        (["xdotool", "windowkill"], None, lost),  # as xkill does
        ("end the X server", None, lost),
        (None, 250_000, r"out of memory; .*"),  # too little for the GL driver: no window shows
    ]
    problems = []
    for action, kib, line in cases:
        xvfb, display = start_xvfb()
        env = dict(os.environ, DISPLAY=display)
        limit = None if kib is None else lambda: resource.setrlimit(resource.RLIMIT_AS, (kib << 10, kib << 10))
        vantrel = subprocess.Popen([vantrel_path], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                   preexec_fn=limit)
        try:
            if isinstance(action, list):
                subprocess.run(action + [find_window(env)], env=env, check=True, capture_output=True, timeout=10)
            elif action is not None:
                find_window(env)
                stop(xvfb)
            out, err = vantrel.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            raise Failure(f"{action}: vantrel did not exit within 60 s")
        finally:
            stop(vantrel)
            stop(xvfb)
        # A build with the CUDA backend first says it renders on the CPU here.
        lines = [l for l in err.splitlines() if not l.startswith("vantrel: no usable CUDA device")]
        # Under the memory limit a fallback may say more first (threads that did not start, say).
        if vantrel.returncode != 1 or out != EXPECTED_STDOUT or not lines or \
                not all(l.startswith("vantrel: ") for l in lines) or (limit is None and len(lines) != 1) or \
                not re.fullmatch("vantrel: " + line.format(display), lines[-1]):
            problems.append(f"{action}: status {vantrel.returncode}, stdout {out!r}, stderr {err!r}")
    if problems:
        raise Failure("\n".join(problems))


# Lines a run under a memory limit may give before its failure's: the CUDA
# build's fallback, and threads that could not start.
WARNINGS = r"vantrel: (no usable CUDA device .*|only \d+ of \d+ threads could start .*)"


def memory_outcome(vantrel_path, env, kib):
    """How vantrel ends under an address-space limit of `kib` KiB: "window" when its window shows and draws
    for a while, then closes cleanly on SIGTERM; "line" when it exits with 1 and one line saying why (stdout
    then ends with "Deinitializing CUDA engine" once the engine was started); anything else described."""
    limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (kib << 10, kib << 10))
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        vantrel = subprocess.Popen([vantrel_path], env=env, stdout=out, stderr=err, text=True, preexec_fn=limit)
        try:
            shown = None
            deadline = time.monotonic() + 60
            while vantrel.poll() is None and time.monotonic() < deadline:
                found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{TITLE}$"], env=env,
                                       capture_output=True, timeout=30).returncode == 0
                shown = shown or (time.monotonic() if found else None)
                if shown and time.monotonic() > shown + 1.5:  # some frames drawn
                    vantrel.send_signal(signal.SIGTERM)
                    break
                time.sleep(0.1)
            status = vantrel.wait(timeout=60)
        except subprocess.TimeoutExpired:
            return "no exit within 60 s"
        finally:
            stop(vantrel)
        out.seek(0)
        err.seek(0)
        stdout, stderr = out.read(), err.read()
    lines = [l for l in stderr.splitlines() if not re.fullmatch(WARNINGS, l)]
    if status == 0 and shown and stdout == EXPECTED_STDOUT and not lines:
        return "window"
    # A start-up that failed released what it built; later, the engine was running and is stopped.
    failed_start = len(lines) == 1 and lines[0].startswith("vantrel: start-up failed: ")
    expected = (EXPECTED_STDOUT[:20], EXPECTED_STDOUT[:45]) if failed_start else (EXPECTED_STDOUT,)
    if status == 1 and len(lines) == 1 and "out of memory" in lines[0] and stdout in expected:
        return "line"
    return f"status {status}, stdout {stdout!r}, stderr {stderr!r}"


def run_memory(vantrel_path):
    """Less and less address space: start-up, the GL driver's loading and its first frames each run out
    somewhere in this range."""
    xvfb, display = start_xvfb()
    env = dict(os.environ, DISPLAY=display)
    problems = []
    try:
        # With two limits where the GL driver threw out of its loading and crashed in a first frame.
        for kib in sorted(set(range(40_000, 400_001, 24_000)) | {260_000, 316_000}):
            outcome = memory_outcome(vantrel_path, env, kib)
            if outcome not in ("window", "line"):
                problems.append(f"{kib} KiB: {outcome}")
    finally:
        stop(xvfb)
    if problems:
        raise Failure("\n".join(problems))


def main():
    modes = ("close", "sigterm", "sighup", "refused", "lost", "memory")
    if len(sys.argv) != 4 or sys.argv[3] not in modes:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        if sys.argv[3] == "refused":
            run_refused(sys.argv[1])
        elif sys.argv[3] == "lost":
            run_lost(sys.argv[1])
        elif sys.argv[3] == "memory":
            run_memory(sys.argv[1])
        else:
            run_window(sys.argv[1], sys.argv[2], sys.argv[3])
    except (Failure, subprocess.SubprocessError) as error:
        print(f"FAIL: {error}", file=sys.stderr)
        return 1
    print(f"{sys.argv[3]}: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
