// SPDX-License-Identifier: Apache-2.0
#pragma once
// The fast CPU passes, built once per instruction set: the block pass for SSE2
// (lane_pass_blocks.cpp), the tiled pass for AVX2 and AVX-512
// (lane_pass_tiles.cpp). Callers go through path_trace_pass_fast
// (engine/cpu/cpu_pass.h), which picks the one the processor runs.

#include <cstdint>

#include "engine/cpu/first_hits.h"
#include "engine/cpu/lane_scene.h"
#include "kernel/frame_args.h"

// The lane passes look unit vectors up in a table of their own (cpu_pass.cpp),
// already normalised as the surface response uses them, this many floats per
// entry (x, y, z and an unused one), 16-byte aligned.
constexpr uint32_t kScatterStride = 4u;

// The frame, and what a lane pass adds.
struct CLanePassArgs : CFrameArgs {
    CLaneScene lane_scene;     // frame.scene with its surface table and axis planes
    CRandomBindings bindings;  // normal_list: the lane passes' table, kScatterStride floats per entry
    int threads;               // > 0
    // Where the tiled passes find every pixel's first hit (ready) or leave it
    // (not ready); null: they search as for any bounce.
    CFirstHits::CUse first_hits = {nullptr, false};
};

// Each returns the segments searched in the pass.
uint64_t path_trace_pass_sse2(const CLanePassArgs& args);    // 4 lanes, any x86-64
uint64_t path_trace_pass_avx2(const CLanePassArgs& args);    // 8 lanes
uint64_t path_trace_pass_avx512(const CLanePassArgs& args);  // 16 lanes, AVX-512 F, DQ, BW and VL

// One lane pass through `entry`, handed the lane-ready scene and the
// normalised unit-vector table it looks up (x86-64 builds only;
// path_trace_pass_with picks the entry, bench/frame_stages hands its timed
// copies). With first_hits, a tiled pass starts its paths from them, filling
// them first where they do not hold this frame's; the 4-lane pass keeps none.
using CLanePassEntry = uint64_t (*)(const CLanePassArgs&);
uint64_t path_trace_pass_lanes(CLanePassEntry entry, const CFrameArgs& frame, int threads,
                               CFirstHits* first_hits = nullptr);
