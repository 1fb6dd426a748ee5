// SPDX-License-Identifier: Apache-2.0
#pragma once
// The engine's threads as the programs use them: host work spread over the
// CPU backend's pool (the camera's rays), and threads of their own started as
// the pool starts its workers, taking no signal but the faults they cause.

#include <cstdint>
#include <functional>

// Runs body(begin, end, thread) over the items [0, count), `chunk` at a time,
// on `threads` threads of the CPU backend's pool, the caller among them;
// returns once every item is done. Not while a CPU pass runs, nor from body.
void host_parallel_for(int threads, uint32_t count, uint32_t chunk,
                       const std::function<void(uint32_t begin, uint32_t end, int thread)>& body);

// Runs `start` with the calling thread's signals blocked but the faults it
// causes, so the threads `start` starts begin that way and a signal sent to
// the process reaches a thread that expects it (a burst of stop signals goes
// to the main thread's handler one at a time, in the order it came). The
// caller's mask is back when it returns or throws.
void start_threads_without_signals(const std::function<void()>& start);
