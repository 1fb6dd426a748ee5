// SPDX-License-Identifier: Apache-2.0
// The tiled lane pass for one instruction set, built with bench's clocks
// (bench/CMakeLists.txt compiles it once per instruction set, each in a
// namespace of its own): step by step, and tile by tile.

#include "bench/stage_clock.h"
#include "bench/tile_clock.h"
#include "engine/cpu/tiled_pass.h"

namespace VANTREL_LANES_NS {
uint64_t path_trace_stages(const CLanePassArgs& args) { return path_trace_tiles<CStageClock>(args); }
uint64_t path_trace_timed_tiles(const CLanePassArgs& args) { return path_trace_tiles<CTileClock>(args); }
}  // namespace VANTREL_LANES_NS
