#pragma once
// The fast CPU pass, built once per instruction set from cpu_pass_lanes.cpp.
// Callers go through path_trace_pass_fast (kernel/cpu_pass.h), which picks
// the variant the processor runs.

#include <cstdint>

#include "kernel/intersect.h"
#include "kernel/random.h"

// The lane passes look unit vectors up in a table of their own (cpu_pass.cpp),
// already normalised as the surface response uses them, this many floats per
// entry (x, y, z and an unused one), 16-byte aligned.
constexpr uint32_t kScatterStride = 4u;

struct CLanePassArgs {
    CSceneLists scene;  // with the surface table
    const CRay3* rayList;
    float* buffer;
    uint32_t* cbuffer;
    uint8_t* fbuffer;
    CRandomBindings bindings;  // normal_list: the lane passes' table, kScatterStride floats per entry
    int threads;  // > 0
};

// Each returns the segments searched in the pass.
uint64_t path_trace_pass_sse2(const CLanePassArgs& args);    // 4 lanes, any x86-64
uint64_t path_trace_pass_avx2(const CLanePassArgs& args);    // 8 lanes
uint64_t path_trace_pass_avx512(const CLanePassArgs& args);  // 16 lanes, AVX-512 F, DQ, BW and VL
