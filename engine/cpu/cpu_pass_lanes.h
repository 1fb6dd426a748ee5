// SPDX-License-Identifier: Apache-2.0
#pragma once
// The fast CPU passes, built once per row of engine/cpu/cpu_pass_list.h: the
// block pass for 4 lanes (lane_pass_blocks.cpp), the tiled pass for more
// (lane_pass_tiles.cpp). Callers go through path_trace_pass_fast
// (engine/cpu/cpu_pass.h), which picks the one the processor runs.

#include <cstdint>

#include "engine/cpu/first_hits.h"
#include "engine/cpu/lane_scene.h"
#include "kernel/frame_args.h"

// The frame, and what a lane pass adds.
struct CLanePassArgs : CFrameArgs {
    CLaneScene lane_scene;     // frame.scene with its surface table and axis planes
    CRandomBindings bindings;  // normal_list: the lane passes' table, kTableEntryStride floats per entry
    int threads;               // > 0
    // Where the tiled passes find every pixel's first hit (ready) or leave it
    // (not ready); null: they search as for any bounce.
    CFirstHits::CUse first_hits = {nullptr, false};
};

// Each pass's entry point, path_trace_pass_<name>, defined only in builds for
// the pass's architecture; each returns the segments searched in the pass.
#define VANTREL_PASS_ROW(name, ...) uint64_t path_trace_pass_##name(const CLanePassArgs& args);
#include "engine/cpu/cpu_pass_list.h"
#undef VANTREL_PASS_ROW

// Passes of this many lanes are block passes, which trace each pixel from the
// camera in one go and keep no first hits; wider ones are tiled passes
// (engine/CMakeLists.txt builds them so).
constexpr uint32_t kBlockPassLanes = 4u;

// One lane pass through `entry`, handed the lane-ready scene and the
// normalised unit-vector table it looks up (path_trace_pass_with picks the
// entry, bench/frame_stages hands its timed copies). With first_hits, which
// only a tiled pass may be handed, it starts its paths from them, filling them
// first where they do not hold this frame's.
using CLanePassEntry = uint64_t (*)(const CLanePassArgs&);
uint64_t path_trace_pass_lanes(CLanePassEntry entry, const CFrameArgs& frame, int threads,
                               CFirstHits* first_hits = nullptr);
