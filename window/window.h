// SPDX-License-Identifier: Apache-2.0
#pragma once
// The GLUT window of `vantrel`: one 640 x 480 double-buffered RGB window whose
// display callback traces one more frame and draws it. Shared by the program
// and the display benchmark.

#include "window/window_options.h"

// Whether the window can open on the X display it would open on (the command
// line's -display, else $DISPLAY): 0 when it can; 1 when that display cannot
// be opened now, or none is named, with one line on stderr saying so and that
// vantrel-render works without a display; 2 when a -geometry does not fit
// the display's screen (window_geometry_misfit), with one line naming it.
// Asked before start-up, so that nothing has started when there is no
// window to show it.
int window_display_check(const char* const* argv, const CWindowOptions& options);

// Initialises GLUT with the arguments (GLUT removes its own options such as
// -display from them), makes glutMainLoop return when the window is closed,
// and creates the window (through make_window, window/window_failure.h: X's and
// GLUT's errors end the program there) with its idle and display callbacks;
// then asks that buffer swaps not wait for the display's refresh
// (window/swap_control.h) and returns what was done about that, for the display
// benchmark.
const char* window_open(int* argc, char** argv, const CWindowOptions& options);

// One frame: clear, trace_frame(g_frame), draw the byte image at the lower-left
// corner, swap. Leaves the main loop instead when a stop was requested or the
// engine has failed.
void display_callback();
// The drawing half of it: the byte image of g_frame, then the buffer swap.
void present_frame();

