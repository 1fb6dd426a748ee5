// SPDX-License-Identifier: Apache-2.0
#pragma once
// Lane types of the fast CPU passes: VANTREL_LANE_COUNT pixels side by side in
// one SIMD register, for the instruction set this file is compiled for
// (engine/cpu/isa/lane_isa.h names it). It gathers that instruction set's
// primitives and its moves between per-pixel arrays and lanes, what every
// width derives from them, and the lane traits the shared per-pixel logic
// reads (kernel/lanes.h).

#include "engine/cpu/isa/lane_isa.h"

// engine/cpu/isa/<name>/primitives.h of the pass being built, held to what
// every pass's primitives define.
#include VANTREL_LANES_PRIMITIVES
#include "engine/cpu/isa/lane_contract.h"

#include "kernel/lanes.h"

namespace VANTREL_LANES_NS {

inline bool lane_any(CMask m) { return mask_bits(m) != 0; }
inline bool lane_all(CMask m) { return mask_bits(m) == (1u << kLanes) - 1u; }
inline CMask lane_isfinite(CFloat x)
{
    const vuint exponent = reinterpret_cast<vuint>(x.v) & 0x7f800000u;
    return !(CUint(exponent) == CUint(0x7f800000u));
}
// Lanes 0 .. count - 1 on.
inline CMask first_lanes(uint32_t count) { return lane_index() < CUint(count); }

}  // namespace VANTREL_LANES_NS

// The pixels first .. first + kLanes - 1, one per lane.
template <>
struct CLaneTraits<VANTREL_LANES_NS::CFloat> {
    using F = VANTREL_LANES_NS::CFloat;
    using mask = VANTREL_LANES_NS::CMask;
    using uint = VANTREL_LANES_NS::CUint;
    using vec3 = CVec3Lanes<F>;
    using vint = VANTREL_LANES_NS::vint;

    static uint load_uint(const uint32_t* list, uint32_t first) { return VANTREL_LANES_NS::load_uints(list + first); }
    static void store_uint(uint32_t* list, uint32_t first, uint value)
    {
        VANTREL_LANES_NS::store_uints(list + first, value);
    }
    static void store_uint(uint32_t* list, uint32_t first, mask where, uint value)
    {
        VANTREL_LANES_NS::store_uints_where(list + first, where, value);
    }
    // Three floats per pixel (sums).
    static vec3 load_vec3(const float* list, uint32_t first)
    {
        return VANTREL_LANES_NS::load_pixel_vec3(list + 3u * first);
    }
    static void store_vec3(float* list, uint32_t first, mask where, vec3 value)
    {
        VANTREL_LANES_NS::store_pixel_vec3(list + 3u * first, where, value);
    }
    // Truncation to 32 bits, then the low byte: a scalar float-to-unsigned
    // conversion gives the same low byte for every value a pixel can hold.
    static void store_bytes(uint8_t* list, uint32_t first, mask where, vec3 value)
    {
        VANTREL_LANES_NS::store_pixel_bytes(list + 3u * first, where, __builtin_convertvector(value.x.v, vint),
                                            __builtin_convertvector(value.y.v, vint),
                                            __builtin_convertvector(value.z.v, vint));
    }
    // Six floats per ray: origin, then target.
    static void load_ray(const CRay3* list, uint32_t first, vec3& origin, vec3& target)
    {
        VANTREL_LANES_NS::load_pixel_rays(reinterpret_cast<const float*>(list + first), origin, target);
    }
    // The lane passes' table of unit vectors is normalised beforehand, one
    // 16-byte entry per vector (engine/cpu/cpu_pass.cpp).
    static vec3 load_scatter_vector(const CVector3* list, uint index)
    {
        return VANTREL_LANES_NS::load_table_entries(reinterpret_cast<const float*>(list), index.v);
    }
};
