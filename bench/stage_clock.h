// SPDX-License-Identifier: Apache-2.0
#pragma once
// Where one fast pass spends its time, stage by stage: time-stamp counter
// readings at each change of stage. bench/frame_stages builds timed copies of
// engine/cpu/cpu_pass_lanes.cpp with this header forced in front and
// VANTREL_STAGE_CLOCK defined, and runs them on one thread; every product
// build of the pass leaves the marks out.

#include <x86intrin.h>

#include <cstdint>

// The stages, in the order bench/frame_stages prints them.
enum CStage : uint32_t {
    kStageOther,   // the tile loop itself, threads
    kStageRays,    // a lane group's camera rays and random states in at the first bounce; prefetches
    kStageLoad,    // a lane group's packed paths in at later bounces; prefetches
    kStageSearch,  // + bounce: the nearest-hit search, surface lookups
    kStageScatter = kStageSearch + 5u,  // + bounce: light and miss checks, surface response, the next segment
    kStagePack = kStageScatter + 5u,    // live paths packed for the next bounce, ended paths' random states
    kStageCombine,                      // colours back to front
    kStageAccumulate,                   // sums and counts, the averages
    kStageBytes,                        // display bytes converted and stored
    kStageCount
};

struct CStageClock {
    uint64_t ticks[kStageCount];
    uint64_t segments[5];  // searched at each bounce
    uint32_t current;
    uint64_t since;
};
extern CStageClock g_stage_clock;  // defined by the program that links the staged pass

// Charges the time since the last mark to the current stage, then enters
// `stage`; returns the stage left.
inline uint32_t stage_enter(uint32_t stage)
{
    const uint64_t now = __rdtsc();
    g_stage_clock.ticks[g_stage_clock.current] += now - g_stage_clock.since;
    g_stage_clock.since = now;
    const uint32_t left = g_stage_clock.current;
    g_stage_clock.current = stage;
    return left;
}

#define VANTREL_STAGE(stage) stage_enter(stage)
#define VANTREL_STAGE_SCATTER(k) stage_enter(kStageScatter + (k))
