// SPDX-License-Identifier: Apache-2.0
#pragma once
// Lane primitives for sixteen lanes on AVX-512: masks in mask registers, one
// bit per lane; packing by compress and expand; lookups by one permutation.

#include <immintrin.h>

#include "engine/cpu/lane_values.h"

namespace VANTREL_LANES_NS {

inline vint splat_int(int32_t value) { return reinterpret_cast<vint>(_mm512_set1_epi32(value)); }

struct CMask {
    __mmask16 k;
    CMask() = default;
    explicit CMask(__mmask16 bits) : k(bits) {}
    explicit CMask(bool value) : k(value ? 0xffff : 0) {}
};

inline CMask operator&&(CMask a, CMask b) { return CMask(__mmask16(a.k & b.k)); }
inline CMask operator||(CMask a, CMask b) { return CMask(__mmask16(a.k | b.k)); }
inline CMask operator!(CMask a) { return CMask(__mmask16(~a.k)); }

// Ordered comparisons are false on NaN, != is true on it, as in C++.
inline __m512 m512(vfloat v) { return reinterpret_cast<__m512>(v); }
inline __m512i m512i(vuint v) { return reinterpret_cast<__m512i>(v); }
inline CMask operator<(CFloat a, CFloat b) { return CMask(_mm512_cmp_ps_mask(m512(a.v), m512(b.v), _CMP_LT_OQ)); }
inline CMask operator>(CFloat a, CFloat b) { return CMask(_mm512_cmp_ps_mask(m512(a.v), m512(b.v), _CMP_GT_OQ)); }
inline CMask operator<=(CFloat a, CFloat b) { return CMask(_mm512_cmp_ps_mask(m512(a.v), m512(b.v), _CMP_LE_OQ)); }
inline CMask operator>=(CFloat a, CFloat b) { return CMask(_mm512_cmp_ps_mask(m512(a.v), m512(b.v), _CMP_GE_OQ)); }
inline CMask operator==(CFloat a, CFloat b) { return CMask(_mm512_cmp_ps_mask(m512(a.v), m512(b.v), _CMP_EQ_OQ)); }
inline CMask operator!=(CFloat a, CFloat b) { return CMask(_mm512_cmp_ps_mask(m512(a.v), m512(b.v), _CMP_NEQ_UQ)); }

inline CMask operator<(CUint a, CUint b) { return CMask(_mm512_cmplt_epu32_mask(m512i(a.v), m512i(b.v))); }
inline CMask operator>=(CUint a, CUint b) { return CMask(_mm512_cmpge_epu32_mask(m512i(a.v), m512i(b.v))); }
inline CMask operator==(CUint a, CUint b) { return CMask(_mm512_cmpeq_epu32_mask(m512i(a.v), m512i(b.v))); }

inline CFloat lane_select(CMask where, CFloat a, CFloat b)
{
    return CFloat(reinterpret_cast<vfloat>(_mm512_mask_blend_ps(where.k, m512(b.v), m512(a.v))));
}
inline CUint lane_select(CMask where, CUint a, CUint b)
{
    return CUint(reinterpret_cast<vuint>(_mm512_mask_blend_epi32(where.k, m512i(b.v), m512i(a.v))));
}

inline uint32_t mask_bits(CMask m) { return m.k; }

inline CFloat lane_sqrt(CFloat x)
{
    // The masked forms, all lanes on: the plain ones start from an undefined
    // register, which GCC 12 warns about.
    return CFloat(reinterpret_cast<vfloat>(_mm512_maskz_sqrt_ps(0xffff, m512(x.v))));
}

// Packing (the moves are described in engine/cpu/lanes_by_element.h) by
// AVX-512's own compress and expand.
struct CPacking {
    CMask where;
    uint32_t count;
};
struct CUnpacking {
    CMask where;
    uint32_t count;
};
inline CPacking pack_lanes(CMask where) { return {where, static_cast<uint32_t>(__builtin_popcount(where.k))}; }
inline CUnpacking unpack_lanes(CMask where) { return {where, static_cast<uint32_t>(__builtin_popcount(where.k))}; }
inline void compress_store(float* dst, CFloat v, const CPacking& p)
{
    _mm512_storeu_ps(dst, _mm512_maskz_compress_ps(p.where.k, m512(v.v)));
}
inline void compress_store(uint32_t* dst, CUint v, const CPacking& p)
{
    _mm512_storeu_si512(dst, _mm512_maskz_compress_epi32(p.where.k, m512i(v.v)));
}
inline CFloat expand_load(const float* src, const CUnpacking& u)
{
    return CFloat(reinterpret_cast<vfloat>(_mm512_maskz_expand_ps(u.where.k, _mm512_loadu_ps(src))));
}

// base[index] in every lane.
inline vfloat gather(const float* base, vint index)
{
    return reinterpret_cast<vfloat>(
        _mm512_mask_i32gather_ps(_mm512_setzero_ps(), 0xffff, reinterpret_cast<__m512i>(index), base, 4));
}
// Entry `index` of a row of `count` floats in every lane: one register
// permutation for up to 16, a gather beyond.
inline CFloat lookup_row(const float* row, uint32_t count, CUint index)
{
    if (count <= 16u)
        return CFloat(
            reinterpret_cast<vfloat>(_mm512_maskz_permutexvar_ps(0xffff, m512i(index.v), _mm512_loadu_ps(row))));
    return CFloat(gather(row, reinterpret_cast<vint>(index.v)));
}

}  // namespace VANTREL_LANES_NS
