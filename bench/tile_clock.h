// SPDX-License-Identifier: Apache-2.0
#pragma once
// A pass's time that a busy machine hardly moves: bench/frame_stages builds a
// third copy of the lane pass with this header forced in front, which reads
// the time-stamp counter only where a tile ends and keeps every tile's
// fastest time over the frames. A frame is longer than the scheduler's time
// slice, so on a shared machine nearly every frame is interrupted somewhere;
// a tile (some 10 microseconds) mostly is not, and the sum of the tiles'
// fastest times is the frame's cost uninterrupted.

#include <x86intrin.h>

#include <cstdint>

#include "bench/stage_clock.h"

constexpr uint32_t kMaxTiles = 4096u;

struct CTileClock {
    uint64_t fastest[kMaxTiles];  // ticks; tiles in the order one thread takes them
    uint32_t tile;                // the next tile of this frame
    uint64_t since;               // the last tile's end, or the frame's start
};
extern CTileClock g_tile_clock;  // defined by the program that links the tile-timed pass

inline void tile_mark(uint32_t stage)
{
    if (stage != kStageOther)
        return;
    const uint64_t now = __rdtsc();
    uint64_t& fastest = g_tile_clock.fastest[g_tile_clock.tile++ % kMaxTiles];
    if (now - g_tile_clock.since < fastest)
        fastest = now - g_tile_clock.since;
    g_tile_clock.since = now;
}

#undef VANTREL_STAGE
#undef VANTREL_STAGE_SCATTER
#define VANTREL_STAGE(stage) tile_mark(stage)
