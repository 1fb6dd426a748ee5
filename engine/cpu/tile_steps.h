// SPDX-License-Identifier: Apache-2.0
#pragma once
// The steps of a tile's work in the tiled lane passes (engine/cpu/tiled_pass.h),
// which the pass reports to a clock type as it enters each: the product's
// CNoTileClock does nothing with them, so no trace of timing is compiled in;
// bench/frame_stages builds the pass with clocks that time them.

#include <cstdint>

enum CTileStep : uint32_t {
    kStepOther,   // the tile loop itself, threads; entered when a tile ends
    kStepRays,    // a lane group's camera rays and random states in at the first bounce; prefetches
    kStepLoad,    // a lane group's packed paths in at later bounces; prefetches
    kStepSearch,  // + bounce: the nearest-hit search, surface lookups
    kStepScatter = kStepSearch + 5u,  // + bounce: light and miss checks, surface response, the next segment
    kStepPack = kStepScatter + 5u,    // live paths packed for the next bounce, random states kept
    kStepCombine,                     // colours and last random states back to front
    kStepAccumulate,                  // sums and counts, the averages
    kStepBytes,                       // display bytes converted and stored
    kStepCount
};

struct CNoTileClock {
    static void enter(uint32_t /*step*/) {}
    // `segments` searched at bounce k.
    static void searched(uint32_t /*k*/, uint32_t /*segments*/) {}
};
