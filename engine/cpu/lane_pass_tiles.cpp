// SPDX-License-Identifier: Apache-2.0
// The product's tiled lane pass for one instruction set (8 or 16 lanes),
// timed by nothing. engine/CMakeLists.txt compiles it once per instruction set
// and names its entry point (VANTREL_LANES_PASS) and namespace.

#include "engine/cpu/tiled_pass.h"

uint64_t VANTREL_LANES_PASS(const CLanePassArgs& args)
{
    return VANTREL_LANES_NS::path_trace_tiles<CNoTileClock>(args);
}
