// SPDX-License-Identifier: Apache-2.0
#pragma once
// Moves between per-pixel arrays and lanes for four lanes on NEON
// (engine/cpu/isa/lane_layout.h says which): NEON's structure loads and stores
// take three floats per pixel apart and put them back together in one
// instruction each. The bytes go element by element.

#include <arm_neon.h>

#include "engine/cpu/isa/lane_layout_by_element.h"
#include "engine/cpu/isa/table_entry.h"

namespace VANTREL_LANES_NS {

using by_element::store_pixel_bytes;
using by_element::store_uints_where;

inline CVec3 load_pixel_vec3(const float* base)
{
    const float32x4x3_t v = vld3q_f32(base);
    return {CFloat(v.val[0]), CFloat(v.val[1]), CFloat(v.val[2])};
}
// The other pixels' floats written back as they were.
inline void store_pixel_vec3(float* base, CMask where, CVec3 value)
{
    const CVec3 old = load_pixel_vec3(base);
    const float32x4x3_t v = {{lane_select(where, value.x, old.x).v, lane_select(where, value.y, old.y).v,
                              lane_select(where, value.z, old.z).v}};
    vst3q_f32(base, v);
}
// Two rays are twelve floats: taken three apart, each coordinate of the
// first ray's origin, the first ray's target, the second ray's origin and
// target. Pairs of rays 0, 1 and 2, 3, then even and odd places apart.
inline void load_pixel_rays(const float* base, CVec3& origin, CVec3& target)
{
    const float32x4x3_t low = vld3q_f32(base);
    const float32x4x3_t high = vld3q_f32(base + 12);
    origin = {CFloat(vuzp1q_f32(low.val[0], high.val[0])), CFloat(vuzp1q_f32(low.val[1], high.val[1])),
              CFloat(vuzp1q_f32(low.val[2], high.val[2]))};
    target = {CFloat(vuzp2q_f32(low.val[0], high.val[0])), CFloat(vuzp2q_f32(low.val[1], high.val[1])),
              CFloat(vuzp2q_f32(low.val[2], high.val[2]))};
}
// One load per entry and a 4 x 4 transpose.
inline CVec3 load_table_entries(const float* base, vuint index)
{
    float32x4_t rows[4];
    for (uint32_t r = 0; r < 4u; ++r)
        rows[r] = vld1q_f32(base + size_t{index[r]} * kTableEntryStride);
    const float32x4_t xy01 = vzip1q_f32(rows[0], rows[1]);  // x0 x1 y0 y1
    const float32x4_t zw01 = vzip2q_f32(rows[0], rows[1]);
    const float32x4_t xy23 = vzip1q_f32(rows[2], rows[3]);
    const float32x4_t zw23 = vzip2q_f32(rows[2], rows[3]);
    const auto low_halves = [](float32x4_t a, float32x4_t b) {
        return CFloat(vreinterpretq_f32_f64(vzip1q_f64(vreinterpretq_f64_f32(a), vreinterpretq_f64_f32(b))));
    };
    const auto high_halves = [](float32x4_t a, float32x4_t b) {
        return CFloat(vreinterpretq_f32_f64(vzip2q_f64(vreinterpretq_f64_f32(a), vreinterpretq_f64_f32(b))));
    };
    return {low_halves(xy01, xy23), high_halves(xy01, xy23), low_halves(zw01, zw23)};
}

}  // namespace VANTREL_LANES_NS
