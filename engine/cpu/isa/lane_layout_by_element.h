// SPDX-License-Identifier: Apache-2.0
#pragma once
// Moves between per-pixel arrays and lanes one element at a time
// (engine/cpu/isa/lane_layout.h says which), in namespace by_element: an
// instruction set's moves file takes those it has nothing better for.

#include "engine/cpu/isa/lane_layout.h"
#include "engine/cpu/isa/table_entry.h"

namespace VANTREL_LANES_NS {
namespace by_element {

inline CVec3 load_pixel_vec3(const float* base)
{
    CVec3 v;
    for (uint32_t i = 0; i < kLanes; ++i) {
        v.x.v[i] = base[3u * i];
        v.y.v[i] = base[3u * i + 1u];
        v.z.v[i] = base[3u * i + 2u];
    }
    return v;
}
inline void store_pixel_vec3(float* base, CMask where, CVec3 value)
{
    for (uint32_t bits = mask_bits(where); bits != 0; bits &= bits - 1u) {
        const uint32_t i = static_cast<uint32_t>(__builtin_ctz(bits));
        base[3u * i] = value.x.v[i];
        base[3u * i + 1u] = value.y.v[i];
        base[3u * i + 2u] = value.z.v[i];
    }
}
inline void store_pixel_bytes(uint8_t* base, CMask where, vint x, vint y, vint z)
{
    for (uint32_t bits = mask_bits(where); bits != 0; bits &= bits - 1u) {
        const uint32_t i = static_cast<uint32_t>(__builtin_ctz(bits));
        base[3u * i] = static_cast<uint8_t>(x[i]);
        base[3u * i + 1u] = static_cast<uint8_t>(y[i]);
        base[3u * i + 2u] = static_cast<uint8_t>(z[i]);
    }
}
inline void load_pixel_rays(const float* base, CVec3& origin, CVec3& target)
{
    for (uint32_t i = 0; i < kLanes; ++i) {
        const float* ray = base + 6u * i;
        origin.x.v[i] = ray[0];
        origin.y.v[i] = ray[1];
        origin.z.v[i] = ray[2];
        target.x.v[i] = ray[3];
        target.y.v[i] = ray[4];
        target.z.v[i] = ray[5];
    }
}
inline void store_uints_where(uint32_t* dst, CMask where, CUint value)
{
    store_uints(dst, lane_select(where, value, load_uints(dst)));
}
inline CVec3 load_table_entries(const float* base, vuint index)
{
    CVec3 v;
    for (uint32_t i = 0; i < kLanes; ++i) {
        const float* entry = base + size_t{index[i]} * kTableEntryStride;
        v.x.v[i] = entry[0];
        v.y.v[i] = entry[1];
        v.z.v[i] = entry[2];
    }
    return v;
}

}  // namespace by_element
}  // namespace VANTREL_LANES_NS
