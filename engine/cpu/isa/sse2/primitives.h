// SPDX-License-Identifier: Apache-2.0
#pragma once
// Lane primitives for four lanes on SSE2. Packing and lookups go one element
// at a time: SSE2 has no instruction for either.

#if !defined(__SSE2__)
#error "the sse2 pass's primitives need a compiler targeting SSE2"
#endif

#include <immintrin.h>

#include "engine/cpu/isa/lanes_by_element.h"

static_assert(VANTREL_LANES_NS::kLanes == 4, "SSE2 holds four lanes");

namespace VANTREL_LANES_NS {

using by_element::compress_store;
using by_element::expand_load;
using by_element::gather;
using by_element::lookup_row;

inline vint splat_int(int32_t value) { return reinterpret_cast<vint>(_mm_set1_epi32(value)); }

inline CFloat lane_select(CMask where, CFloat a, CFloat b) { return CFloat(where.v ? a.v : b.v); }
inline CUint lane_select(CMask where, CUint a, CUint b) { return CUint(where.v ? a.v : b.v); }

inline uint32_t mask_bits(CMask m) { return static_cast<uint32_t>(_mm_movemask_ps(reinterpret_cast<__m128>(m.v))); }

inline CFloat lane_sqrt(CFloat x)
{
    return CFloat(reinterpret_cast<vfloat>(_mm_sqrt_ps(reinterpret_cast<__m128>(x.v))));
}

}  // namespace VANTREL_LANES_NS

#include "engine/cpu/isa/sse2/moves.h"
