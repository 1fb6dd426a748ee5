// SPDX-License-Identifier: Apache-2.0
#pragma once
// Lane primitives for four lanes on NEON (Advanced SIMD), which every arm64
// processor has. The arithmetic stays with the shared lane values
// (engine/cpu/isa/lane_values.h): GCC writes their division and square root as
// NEON's IEEE instructions (FDIV, FSQRT), never the reciprocal estimates, and
// -ffp-contract=off keeps products and sums apart. Packing goes one element
// at a time, as for SSE2; lookups in a row of up to 16 floats are one table
// instruction (TBL). Wider arm64 units (SVE) would make a pass of their own.

#if !defined(__ARM_NEON) || !defined(__aarch64__)
#error "the neon pass's primitives need a compiler targeting arm64"
#endif

#include <arm_neon.h>

#include "engine/cpu/isa/lanes_by_element.h"

static_assert(VANTREL_LANES_NS::kLanes == 4, "NEON holds four lanes");

namespace VANTREL_LANES_NS {

using by_element::compress_store;
using by_element::expand_load;
using by_element::gather;

inline vint splat_int(int32_t value) { return vdupq_n_s32(value); }

// Bitwise selects on the all-or-nothing masks.
inline CFloat lane_select(CMask where, CFloat a, CFloat b)
{
    return CFloat(vbslq_f32(vreinterpretq_u32_s32(where.v), a.v, b.v));
}
inline CUint lane_select(CMask where, CUint a, CUint b)
{
    return CUint(vbslq_u32(vreinterpretq_u32_s32(where.v), a.v, b.v));
}

// NEON has no move-mask: each lane's top bit moved to the lane's own bit, then
// the lanes added.
inline uint32_t mask_bits(CMask m)
{
    const int32x4_t place = {0, 1, 2, 3};
    return vaddvq_u32(vshlq_u32(vshrq_n_u32(vreinterpretq_u32_s32(m.v), 31), place));
}

inline CFloat lane_sqrt(CFloat x) { return CFloat(vsqrtq_f32(x.v)); }

// Entry `index` of a row of `count` floats in every lane: up to 16 (the
// surface table's rows are 16 floats long, engine/cpu/lane_scene.h), the four
// bytes of each lane's float picked from the row's 64 bytes by one table
// lookup; beyond that, element by element.
inline CFloat lookup_row(const float* row, uint32_t count, CUint index)
{
    if (count > 16u)
        return by_element::lookup_row(row, count, index);
    const uint8x16x4_t bytes = vld1q_u8_x4(reinterpret_cast<const uint8_t*>(row));
    // Lane i's bytes are 4 index + 0, 1, 2, 3.
    const uint8x16_t first = vreinterpretq_u8_u32(vshlq_n_u32(index.v, 2) * 0x01010101u);
    const uint8x16_t at = vaddq_u8(first, uint8x16_t{0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3});
    return CFloat(vreinterpretq_f32_u8(vqtbl4q_u8(bytes, at)));
}

}  // namespace VANTREL_LANES_NS

#include "engine/cpu/isa/neon/moves.h"
