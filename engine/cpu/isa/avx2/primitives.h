// SPDX-License-Identifier: Apache-2.0
#pragma once
// Lane primitives for eight lanes on AVX2: blends on the mask's sign bits,
// packing by a permutation per 8-bit mask, lookups by register permutation.

#if !defined(__AVX2__)
#error "the avx2 pass's primitives need a compiler targeting AVX2 (-mavx2)"
#endif

#include <immintrin.h>

#include "engine/cpu/isa/lane_vector_mask.h"

static_assert(VANTREL_LANES_NS::kLanes == 8, "AVX2 holds eight lanes");

namespace VANTREL_LANES_NS {

inline vint splat_int(int32_t value) { return reinterpret_cast<vint>(_mm256_set1_epi32(value)); }

// Blends on the mask's sign bits directly (a plain ?: compares the mask with
// zero first).
inline vfloat blend(vint where, vfloat a, vfloat b)
{
    return reinterpret_cast<vfloat>(
        _mm256_blendv_ps(reinterpret_cast<__m256>(b), reinterpret_cast<__m256>(a), reinterpret_cast<__m256>(where)));
}
inline CFloat lane_select(CMask where, CFloat a, CFloat b) { return CFloat(blend(where.v, a.v, b.v)); }
inline CUint lane_select(CMask where, CUint a, CUint b)
{
    return CUint(reinterpret_cast<vuint>(blend(where.v, reinterpret_cast<vfloat>(a.v), reinterpret_cast<vfloat>(b.v))));
}

inline uint32_t mask_bits(CMask m) { return static_cast<uint32_t>(_mm256_movemask_ps(reinterpret_cast<__m256>(m.v))); }

inline CFloat lane_sqrt(CFloat x)
{
    return CFloat(reinterpret_cast<vfloat>(_mm256_sqrt_ps(reinterpret_cast<__m256>(x.v))));
}

// Packing (the moves are described in engine/cpu/isa/lane_packing.h): for
// every 8-bit mask m, pack[m] lists the lanes where m holds, in order, then
// zeros; unpack[m][i] is lane i's place among them (0 where m does not hold).
struct CLaneOrders {
    uint8_t pack[256][8];
    uint8_t unpack[256][8];
};
constexpr CLaneOrders make_lane_orders()
{
    CLaneOrders orders{};
    for (uint32_t m = 0; m < 256u; ++m)
        for (uint32_t i = 0, n = 0; i < 8u; ++i)
            if ((m >> i) & 1u) {
                orders.pack[m][n] = static_cast<uint8_t>(i);
                orders.unpack[m][i] = static_cast<uint8_t>(n++);
            }
    return orders;
}
inline constexpr CLaneOrders kLaneOrders = make_lane_orders();
// Eight lane numbers widened to a permutation register.
inline __m256i lane_order(const uint8_t (&order)[8])
{
    int64_t bytes;
    std::memcpy(&bytes, order, sizeof bytes);
    return _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(bytes));
}

struct CPacking {
    CMask where;
    uint32_t count;
    __m256i order;  // place j takes lane order[j]
};
struct CUnpacking {
    CMask where;
    uint32_t count;
    __m256i order;  // lane i takes place order[i]
};
inline CPacking pack_lanes(CMask where)
{
    const uint32_t bits = mask_bits(where);
    return {where, static_cast<uint32_t>(__builtin_popcount(bits)), lane_order(kLaneOrders.pack[bits])};
}
inline CUnpacking unpack_lanes(CMask where)
{
    const uint32_t bits = mask_bits(where);
    return {where, static_cast<uint32_t>(__builtin_popcount(bits)), lane_order(kLaneOrders.unpack[bits])};
}
inline void compress_store(float* dst, CFloat v, const CPacking& p)
{
    _mm256_storeu_ps(dst, _mm256_permutevar8x32_ps(reinterpret_cast<__m256>(v.v), p.order));
}
inline void compress_store(uint32_t* dst, CUint v, const CPacking& p)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst),
                        _mm256_permutevar8x32_epi32(reinterpret_cast<__m256i>(v.v), p.order));
}
inline CFloat expand_load(const float* src, const CUnpacking& u)
{
    // The lanes outside the mask cleared to +0 by the mask's zero bits.
    const __m256 spread = _mm256_permutevar8x32_ps(_mm256_loadu_ps(src), u.order);
    return CFloat(reinterpret_cast<vfloat>(_mm256_and_ps(spread, reinterpret_cast<__m256>(u.where.v))));
}

inline CUint expand_load(const uint32_t* src, const CUnpacking& u)
{
    const __m256i packed = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
    const __m256i spread = _mm256_permutevar8x32_epi32(packed, u.order);
    return CUint(reinterpret_cast<vuint>(_mm256_and_si256(spread, reinterpret_cast<__m256i>(u.where.v))));
}

// base[index] in every lane.
inline vfloat gather(const float* base, vint index)
{
    return reinterpret_cast<vfloat>(_mm256_i32gather_ps(base, reinterpret_cast<__m256i>(index), 4));
}
// Entry `index` of a row of `count` floats in every lane: one register
// permutation for up to 8, two and a blend for up to 16, a gather beyond.
inline CFloat lookup_row(const float* row, uint32_t count, CUint index)
{
    const __m256i at = reinterpret_cast<__m256i>(index.v);
    if (count <= 8u)
        return CFloat(reinterpret_cast<vfloat>(_mm256_permutevar8x32_ps(_mm256_loadu_ps(row), at)));
    if (count <= 16u) {
        const __m256 low = _mm256_permutevar8x32_ps(_mm256_loadu_ps(row), at);
        const __m256 high = _mm256_permutevar8x32_ps(_mm256_loadu_ps(row + 8), at);
        return CFloat(reinterpret_cast<vfloat>(
            _mm256_blendv_ps(low, high, reinterpret_cast<__m256>(reinterpret_cast<vint>(index.v) << 28))));
    }
    return CFloat(gather(row, reinterpret_cast<vint>(index.v)));
}

}  // namespace VANTREL_LANES_NS

#include "engine/cpu/isa/avx2/moves.h"
