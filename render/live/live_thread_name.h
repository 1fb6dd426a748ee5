// SPDX-License-Identifier: Apache-2.0
#pragma once
// Every thread of the live view is named "vantrel-live", so tools (and
// bench/live_view_load.py) can tell the server's CPU time from the render's.

#include <pthread.h>

// Names the calling thread.
inline void name_live_thread() { pthread_setname_np(pthread_self(), "vantrel-live"); }
