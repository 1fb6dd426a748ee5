#pragma once
// The GLUT window of `vantrel`: one 640 x 480 double-buffered RGB window whose
// display callback traces one more frame and draws it. Shared by the program
// and the display benchmark.

// Initialises GLUT with the arguments (GLUT removes its own options such as
// -display from them), makes glutMainLoop return when the window is closed,
// and creates the window with its idle and display callbacks; then asks that
// buffer swaps not wait for the display's refresh (app/swap_control.h) and
// returns what was done about that, for the display benchmark. When no
// display is named it first says on stderr that vantrel-render works without
// one; GLUT itself then reports the failure and ends the process.
const char* window_open(int* argc, char** argv);

// One frame: clear, trace_frame(g_frame), draw the byte image at the lower-left
// corner, swap. Leaves the main loop instead when a stop was requested or the
// engine has failed.
void display_callback();
// The drawing half of it: the byte image of g_frame, then the buffer swap.
void present_frame();

