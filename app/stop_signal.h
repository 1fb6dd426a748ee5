#pragma once
// SIGINT and SIGTERM as a polite stop request, shared by both programs: the
// handler only records the signal; the frame loop looks at it between frames
// and then runs the normal shutdown. A second signal ends the process at once.

void install_stop_signals();
// The signal that asked to stop (SIGINT or SIGTERM), or 0.
int stop_signal();
