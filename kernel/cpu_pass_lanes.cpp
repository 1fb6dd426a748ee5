// One fast CPU pass: the per-pixel body of kernel/path.h over SIMD lanes, a
// block of VANTREL_LANE_COUNT neighbouring pixels at a time. Compiled once per
// instruction set (kernel/CMakeLists.txt names the entry point and namespace).

#include "kernel/simd_lanes.h"

#include <omp.h>

#include "kernel/cpu_pass_lanes.h"
#include "kernel/path.h"

#if !defined(VANTREL_LANES_PASS)
#error "VANTREL_LANES_PASS names this instruction set's entry point"
#endif

using VANTREL_LANES_NS::CFloat;
using VANTREL_LANES_NS::kLanes;

static_assert(kPixelCount % kLanes == 0 && 640u % kLanes == 0, "blocks of lanes tile the rows");

namespace {
// One block of pixels with every kernel function inlined into it, so the lanes
// stay in registers from the camera ray to the accumulated bytes.
[[gnu::flatten]] uint32_t trace_block(uint32_t first, const CLanePassArgs& args)
{
    return VANTREL_LANES_NS::lane_sum(path_trace_lanes<CFloat>(first, args.scene, args.rayList, args.buffer,
                                                               args.cbuffer, args.fbuffer, args.bindings));
}
}  // namespace

uint64_t VANTREL_LANES_PASS(const CLanePassArgs& args)
{
    constexpr uint32_t kBlocks = kPixelCount / kLanes;
    constexpr uint32_t kBlocksPerRow = 640u / kLanes;
    uint64_t segments = 0;
    // A row of blocks at a time, as the plain loop hands out rows. Every block
    // writes only its own pixels' entries.
#pragma omp parallel for num_threads(args.threads) schedule(dynamic, kBlocksPerRow) reduction(+ : segments)
    for (uint32_t block = 0; block < kBlocks; ++block)
        segments += trace_block(block * kLanes, args);
    return segments;
}
