// SPDX-License-Identifier: Apache-2.0
#pragma once
// Packing and unpacking lanes, for the instruction sets that move the lanes
// by the mask alone (AVX-512's compress and expand, or one element at a
// time; AVX2 carries a permutation with its own, engine/cpu/isa/avx2/primitives.h).
//
// A packing (pack_lanes) names the lanes where a mask holds, worked out once
// for all the registers moved with it: compress_store writes those lanes to
// dst[0], dst[1], ... in lane order (and may write anything up to
// dst[kLanes - 1]). An unpacking (unpack_lanes) hands them back: expand_load
// gives the lanes where the mask holds src[0], src[1], ... in lane order, the
// others 0 (it may read up to src[kLanes - 1]).

#include <cstdint>

namespace VANTREL_LANES_NS {

// Defined by the instruction set's file.
inline uint32_t mask_bits(CMask m);

struct CPacking {
    CMask where;
    uint32_t count;
};
struct CUnpacking {
    CMask where;
    uint32_t count;
};
inline CPacking pack_lanes(CMask where)
{
    return {where, static_cast<uint32_t>(__builtin_popcount(mask_bits(where)))};
}
inline CUnpacking unpack_lanes(CMask where)
{
    return {where, static_cast<uint32_t>(__builtin_popcount(mask_bits(where)))};
}

}  // namespace VANTREL_LANES_NS
