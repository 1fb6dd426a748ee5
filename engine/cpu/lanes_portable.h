// SPDX-License-Identifier: Apache-2.0
#pragma once
// Lane primitives on the compiler's vector extensions alone, for any lane
// count and any processor: a row of the pass list may name them for an
// architecture that has no primitives of its own yet. Every move goes
// element by element.

#include "engine/cpu/lanes_by_element.h"

namespace VANTREL_LANES_NS {

using by_element::compress_store;
using by_element::expand_load;
using by_element::gather;
using by_element::lookup_row;

inline vint splat_int(int32_t value)
{
    vint v = {};
    for (uint32_t i = 0; i < kLanes; ++i)
        v[i] = value;
    return v;
}

inline CFloat lane_select(CMask where, CFloat a, CFloat b) { return CFloat(where.v ? a.v : b.v); }
inline CUint lane_select(CMask where, CUint a, CUint b) { return CUint(where.v ? a.v : b.v); }

inline uint32_t mask_bits(CMask m)
{
    uint32_t bits = 0;
    for (uint32_t i = 0; i < kLanes; ++i)
        bits |= (m.v[i] != 0 ? 1u : 0u) << i;
    return bits;
}

inline CFloat lane_sqrt(CFloat x)
{
    vfloat r = x.v;
    for (uint32_t i = 0; i < kLanes; ++i)
        r[i] = __builtin_sqrtf(x.v[i]);
    return CFloat(r);
}

}  // namespace VANTREL_LANES_NS

// Every move element by element.
#include "engine/cpu/lane_layout_by_element.h"

namespace VANTREL_LANES_NS {
using by_element::load_pixel_rays;
using by_element::load_pixel_vec3;
using by_element::load_table_entries;
using by_element::store_pixel_bytes;
using by_element::store_pixel_vec3;
using by_element::store_uints_where;
}  // namespace VANTREL_LANES_NS
