// SPDX-License-Identifier: Apache-2.0
// The block lane pass (4 lanes, SSE2): each block of four neighbouring pixels
// goes from the camera to its last bounce in one go, every kernel function
// inlined. Four lanes idle little as paths end, and without a packing
// instruction regrouping the paths between bounces (engine/cpu/tiled_pass.h)
// costs more than it saves. engine/CMakeLists.txt names the entry point
// (VANTREL_LANES_PASS) and namespace.

#include <atomic>

#include "base/image_size.h"
#include "engine/cpu/cpu_pass_lanes.h"
#include "engine/cpu/cpu_threads.h"
#include "engine/cpu/lane_search.h"
#include "kernel/path.h"

namespace VANTREL_LANES_NS {
namespace {
[[gnu::flatten]] uint32_t trace_block(uint32_t first, const CLanePassArgs& args)
{
    return lane_sum(path_trace_lanes<CFloat>(first, args, args.lane_scene, args.bindings));
}
}  // namespace
}  // namespace VANTREL_LANES_NS

uint64_t VANTREL_LANES_PASS(const CLanePassArgs& args)
{
    using VANTREL_LANES_NS::kLanes;
    constexpr uint32_t kBlocks = kPixelCount / kLanes;
    constexpr uint32_t kBlocksPerRow = kImageWidth / kLanes;
    std::atomic<uint64_t> segments{0};
    // A row of blocks at a time, as the plain loop hands out rows.
    cpu_parallel_for(args.threads, kBlocks, kBlocksPerRow, [&](uint32_t begin, uint32_t end, int) {
        uint64_t searched = 0;
        for (uint32_t block = begin; block < end; ++block)
            searched += VANTREL_LANES_NS::trace_block(block * kLanes, args);
        segments.fetch_add(searched, std::memory_order_relaxed);
    });
    return segments.load();
}
