// SPDX-License-Identifier: Apache-2.0
#pragma once
// How the window program ends when its window cannot go on: the X server gone
// or the connection closed (xkill), the window destroyed by another program,
// a request the X server refused, or no window made at all (a GL driver that
// did not load, for want of memory say). Xlib, GLUT and the driver would end
// the process with lines of their own, or crash, with the render engine still
// held; here the engine is released (shutdown), one line on stderr says what
// happened, and the status is 1.

#include <functional>

// Runs `make` (glutInit, glutCreateWindow) with X's and GLUT's errors handled
// here from then on. While it runs, what the GL driver prints on stderr is
// held back: shown once the window is made, or before a failure's own line,
// and dropped when memory ran out (the driver then blames a file it could not
// map, a line for each place it looked). A fault inside `make` while memory
// is short (a driver that does not check an allocation), or std::bad_alloc
// out of it, ends the same way.
void make_window(const std::function<void()>& make);

// Runs `draw`, a frame's calls into the GL driver, under the same guard: a
// fault in the driver while memory is short, or std::bad_alloc out of it,
// ends the program with "out of memory; the window failed" and status 1,
// the engine released.
void draw_in_driver(const std::function<void()>& draw);

// Called in a catch block in a GLUT callback, so that no exception crosses
// GLUT's C code: reports the exception as run_guarded would ("vantrel: out of
// memory; shut down"), shuts down and ends with status 1 without the exit
// handlers, whose GL driver teardown can hang once memory has run out.
[[noreturn]] void end_window_for_exception();
