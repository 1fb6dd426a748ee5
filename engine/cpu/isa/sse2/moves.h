// SPDX-License-Identifier: Apache-2.0
#pragma once
// Moves between per-pixel arrays and lanes for four lanes on SSE2
// (engine/cpu/isa/lane_layout.h says which): element by element, but for the
// table lookups.

#include <immintrin.h>

#include "engine/cpu/isa/lane_layout_by_element.h"
#include "engine/cpu/isa/table_entry.h"

namespace VANTREL_LANES_NS {

using by_element::load_pixel_rays;
using by_element::load_pixel_vec3;
using by_element::store_pixel_bytes;
using by_element::store_pixel_vec3;
using by_element::store_uints_where;

// One load per entry and a 4 x 4 transpose.
inline CVec3 load_table_entries(const float* base, vuint index)
{
    __m128 rows[4];
    for (uint32_t r = 0; r < 4u; ++r)
        rows[r] = _mm_load_ps(base + size_t{index[r]} * kTableEntryStride);
    _MM_TRANSPOSE4_PS(rows[0], rows[1], rows[2], rows[3]);
    return {CFloat(reinterpret_cast<vfloat>(rows[0])), CFloat(reinterpret_cast<vfloat>(rows[1])),
            CFloat(reinterpret_cast<vfloat>(rows[2]))};
}

}  // namespace VANTREL_LANES_NS
