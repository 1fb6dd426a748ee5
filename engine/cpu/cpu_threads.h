// SPDX-License-Identifier: Apache-2.0
#pragma once
// The CPU backend's threads: one pool for the camera rays and every CPU pass.
//
// A thread that has finished its share waits for the others, or for the next
// frame, by spinning for a short while and then sleeping. OpenMP's threads
// (libgomp) spin for milliseconds by default: whenever anything else runs on
// the machine, a waiting thread then holds the core its still-working partner
// needs, and one render on two threads falls far behind two renders on one.

#include <signal.h>

#include <cstdint>
#include <functional>
#include <string>

// How many threads the CPU backend runs on, decided here alone: `asked` when
// it is above 0 (--threads), else OMP_NUM_THREADS when it names a positive
// count (its first entry, as OpenMP reads it), else the cores this process may
// run on; never above kMaxCpuThreads. `note`, when given, receives a line for
// the user where OMP_NUM_THREADS was lowered or could not be read (else empty).
int cpu_thread_count(int asked, std::string* note = nullptr);

// Runs body(begin, end, thread) over the items [0, count), `chunk` items at a
// time, handed out in order to `threads` threads as each asks for more (thread
// 0 is the caller, the others 1 .. threads - 1). Returns once every item is
// done; an exception thrown by body is rethrown here after all threads have
// stopped taking items. threads < 2, or fewer items than one chunk, run on the
// caller alone. One call at a time: not from two threads at once, nor from
// inside body.
void cpu_parallel_for(int threads, uint32_t count, uint32_t chunk,
                      const std::function<void(uint32_t begin, uint32_t end, int thread)>& body);

// While one lives, the calling thread takes no signal but the faults it
// causes, and threads it starts meanwhile begin that way: the pool's workers
// and those the programs start (engine/host_threads.h). A signal sent to the process then reaches a
// thread that expects it: a burst of stop signals goes to the main thread's
// handler one at a time, in the order it came.
class CWorkerSignalMask {
public:
    CWorkerSignalMask();
    ~CWorkerSignalMask();
    CWorkerSignalMask(const CWorkerSignalMask&) = delete;
    CWorkerSignalMask& operator=(const CWorkerSignalMask&) = delete;

private:
    sigset_t caller_;
};
