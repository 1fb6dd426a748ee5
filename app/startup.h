#pragma once
// The start-up and shutdown sequence both programs share.

#include <cstdint>

// Milliseconds since boot from a monotonic clock, truncated to 32 bits.
uint32_t millisecond_clock();

// Prints the banner, seeds the host generator with `seed`, builds the normal
// table, the frame buffers, the scene with its seeds, and starts the engine,
// in that order. A failing step prints its own line; everything built so far
// is released again and the result is false.
bool startup(uint32_t seed);

// Stops the engine (when it runs) and releases the scene, the seeds, the
// frame buffers and the normal table, in that order. Safe on partial state.
void shutdown();
