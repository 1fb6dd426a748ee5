// SPDX-License-Identifier: Apache-2.0
#pragma once
// The GLUT window of `vantrel`: one 640 x 480 double-buffered RGB window whose
// display callback traces one more frame and draws it. Shared by the program
// and the display benchmark.

// Whether the X display the window would open on (the command line's
// -display, else $DISPLAY) can be opened now. When it cannot, or none is
// named, one line on stderr says so and that vantrel-render works without a
// display. Asked before start-up, so that nothing has started when there is
// no window to show it.
bool window_display_opens(int argc, const char* const* argv);

// Initialises GLUT with the arguments (GLUT removes its own options such as
// -display from them), makes glutMainLoop return when the window is closed,
// and creates the window with its idle and display callbacks; then asks that
// buffer swaps not wait for the display's refresh (app/swap_control.h) and
// returns what was done about that, for the display benchmark.
const char* window_open(int* argc, char** argv);

// One frame: clear, trace_frame(g_frame), draw the byte image at the lower-left
// corner, swap. Leaves the main loop instead when a stop was requested or the
// engine has failed.
void display_callback();
// The drawing half of it: the byte image of g_frame, then the buffer swap.
void present_frame();

