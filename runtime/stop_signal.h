// SPDX-License-Identifier: Apache-2.0
#pragma once
// SIGINT, SIGTERM and SIGHUP as a polite stop request, shared by both programs:
// the handler only records the signal; the frame loop looks at it between
// frames and then runs the normal shutdown. Stop signals within a second of the
// first are the same request; one that comes later, whichever it is, ends the
// process at once. A stop signal the process was started with ignored
// (nohup, a background job) stays ignored.

void install_stop_signals();
// The signal that asked to stop (SIGINT, SIGTERM or SIGHUP), or 0.
int stop_signal();
// "SIGINT", "SIGTERM", "SIGHUP", or "signal N" for another number.
const char* signal_name(int signal_number);
