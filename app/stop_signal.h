#pragma once
// SIGINT, SIGTERM and SIGHUP as a polite stop request, shared by both programs: the
// handler only records the signal; the frame loop looks at it between frames
// and then runs the normal shutdown. A second signal ends the process at once.

void install_stop_signals();
// The signal that asked to stop (SIGINT, SIGTERM or SIGHUP), or 0.
int stop_signal();
