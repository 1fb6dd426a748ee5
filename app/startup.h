// SPDX-License-Identifier: Apache-2.0
#pragma once
// The start-up and shutdown sequence both programs share.

#include <cstdint>

// The most CPU threads either program uses; more only costs memory.
constexpr int kMaxCpuThreads = 1024;

// Milliseconds since boot from a monotonic clock, truncated to 32 bits.
uint32_t millisecond_clock();

// Prints the banner, seeds the host generator with `seed`, builds the normal
// table, the frame buffers, the scene with its seeds, and starts the engine,
// in that order. A failing step prints its own line; everything built so far
// is released again and the result is false. A default thread count above
// kMaxCpuThreads (from OMP_NUM_THREADS) is lowered to it, with a line saying so.
bool startup(uint32_t seed);

// Stops the engine (when it runs) and releases the scene, the seeds, the
// frame buffers and the normal table, in that order. Safe on partial state
// and when called again.
void shutdown();

// Reports the exception being handled in one line on stderr, "<program>: out of
// memory; <consequence>" for std::bad_alloc, and shuts down. Call in a catch block.
void report_escaped_exception(const char* program, const char* consequence);

// Runs a program's work; an exception that escapes it is reported, everything is
// released and the result is 1, so no exception leaves main.
template <class Body>
int run_guarded(const char* program, const char* consequence, Body&& body)
{
    try {
        return body();
    } catch (...) {
        report_escaped_exception(program, consequence);
        return 1;
    }
}
