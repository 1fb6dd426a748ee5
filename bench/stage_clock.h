// SPDX-License-Identifier: Apache-2.0
#pragma once
// Where one tiled lane pass spends its time, step by step: a time-stamp
// counter reading at each step the pass enters (engine/cpu/tile_steps.h).
// bench/frame_stages builds the pass with this clock (bench/timed_passes.cpp)
// and runs it on one thread.

#include <x86intrin.h>

#include <cstdint>

#include "engine/cpu/tile_steps.h"

struct CStageTimes {
    uint64_t ticks[kStepCount];
    uint64_t segments[5];  // searched at each bounce
    uint32_t current;
    uint64_t since;
};
extern CStageTimes g_stage_times;  // defined by the program that links the staged pass

// Charges the time since the last step's start to that step, then enters `step`.
inline void stage_enter(uint32_t step)
{
    const uint64_t now = __rdtsc();
    g_stage_times.ticks[g_stage_times.current] += now - g_stage_times.since;
    g_stage_times.since = now;
    g_stage_times.current = step;
}

struct CStageClock {
    static void enter(uint32_t step) { stage_enter(step); }
    static void searched(uint32_t k, uint32_t segments) { g_stage_times.segments[k] += segments; }
};
