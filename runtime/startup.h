// SPDX-License-Identifier: Apache-2.0
#pragma once
// The start-up and shutdown sequence both programs share.

#include <cstdint>
#include <string>

// First thing in both programs: opens /dev/null on any of descriptors 0 to 2
// that is closed, so no file or socket opened later takes its place (and gets
// the console lines), and ignores SIGPIPE and SIGXFSZ, so a closed pipe or a
// file-size limit fails a write with an error instead of ending the program.
void prepare_standard_streams();
// Whether descriptor `fd` (0 to 2) was closed when prepare_standard_streams
// ran: what it holds now is /dev/null, and what is written there is lost.
bool standard_stream_was_closed(int fd);

// Milliseconds since boot from a monotonic clock, truncated to 32 bits.
uint32_t millisecond_clock();

// Prints the banner, seeds the host generator with `seed`, builds the normal
// table, the frame buffers, the scene with its seeds, and starts the engine,
// in that order. On a failing step everything built so far is released
// again, `failure` (where given) says which step failed and why, else the
// engine prints its reason in a line, and the result is false. First the engine's CPU thread count is decided
// (engine_decide_cpu_threads): one from OMP_NUM_THREADS above kMaxCpuThreads
// is lowered to it, and later a count above what can start (a thread limit,
// little memory) to what can, each with a line saying so.
bool startup(uint32_t seed, std::string* failure = nullptr);

// Stops the engine (when it runs) and releases the scene, the seeds, the
// frame buffers and the normal table, in that order. Safe on partial state
// and when called again.
void shutdown();

// Reports the exception being handled in one line on stderr, "<program>: out of
// memory; <consequence>" for std::bad_alloc, and shuts down. Call in a catch
// block.
void report_escaped_exception(const char* consequence);

// Runs a program's work; an exception that escapes it is reported, everything is
// released and the result is 1, so no exception leaves main.
template <class Body>
int run_guarded(const char* consequence, Body&& body)
{
    try {
        return body();
    } catch (...) {
        report_escaped_exception(consequence);
        return 1;
    }
}
