// SPDX-License-Identifier: Apache-2.0
#pragma once
// SIGINT, SIGTERM and SIGHUP as a polite stop request, shared by both programs:
// the handler only records the signal; the frame loop looks at it between
// frames and then runs the normal shutdown. Stop signals within a second of the
// first are the same request; one that comes later, whichever it is, ends the
// process at once (or, deferred, at the program's next step). A stop signal the process was started with ignored
// (nohup, a background job) stays ignored.

void install_stop_signals();
// The signal that asked to stop (SIGINT, SIGTERM or SIGHUP), or 0.
int stop_signal();
// For a program's last steps (its files, its summary): true makes a later
// stop signal only noted instead of ending the process, so the program ends
// by it at the next step and says what was written; false ends the process
// at once by one noted meanwhile.
void defer_later_stop_signals(bool defer);
// The stop signal noted while deferred, or 0.
int later_stop_signal();
// "SIGINT", "SIGTERM", "SIGHUP", or "signal N" for another number.
const char* signal_name(int signal_number);
