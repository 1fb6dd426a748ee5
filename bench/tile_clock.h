// SPDX-License-Identifier: Apache-2.0
#pragma once
// A pass's time that a busy machine hardly moves: bench/frame_stages builds a
// copy of the tiled lane pass with this clock, which reads the time-stamp
// counter only where a tile ends and keeps every tile's fastest time over the
// frames. A frame is longer than the scheduler's time slice, so on a shared
// machine nearly every frame is interrupted somewhere; a tile (some 10
// microseconds) mostly is not, and the sum of the tiles' fastest times is the
// frame's cost uninterrupted.

#include <x86intrin.h>

#include <cstdint>

#include "engine/cpu/tile_steps.h"

constexpr uint32_t kMaxTiles = 4096u;

struct CTileTimes {
    uint64_t fastest[kMaxTiles];  // ticks; tiles in the order one thread takes them
    uint32_t tile;                // the next tile of this frame
    uint64_t since;               // the last tile's end, or the frame's start
};
extern CTileTimes g_tile_times;  // defined by the program that links the tile-timed pass

struct CTileClock {
    static void enter(uint32_t step)
    {
        if (step != kStepOther)
            return;
        const uint64_t now = __rdtsc();
        uint64_t& fastest = g_tile_times.fastest[g_tile_times.tile++ % kMaxTiles];
        if (now - g_tile_times.since < fastest)
            fastest = now - g_tile_times.since;
        g_tile_times.since = now;
    }
    static void searched(uint32_t /*k*/, uint32_t /*segments*/) {}
};
