// SPDX-License-Identifier: Apache-2.0
#pragma once
// Lane primitives for sixteen lanes on AVX-512: masks in mask registers, one
// bit per lane; packing by compress and expand; lookups by one permutation.
// The tests also build it for processors without AVX-512, with the intrinsics
// emulated (tests/avx512_double/).

#if !defined(__AVX512F__) && !defined(VANTREL_AVX512_EMULATED)
#error "the avx512 pass's primitives need a compiler targeting AVX-512 F, DQ, BW and VL"
#endif

#include <immintrin.h>

#include "engine/cpu/isa/lane_bit_mask.h"
// (after the mask it packs by) Packing by AVX-512's own compress and expand.
#include "engine/cpu/isa/lane_packing.h"

static_assert(VANTREL_LANES_NS::kLanes == 16, "AVX-512 holds sixteen lanes");

namespace VANTREL_LANES_NS {

inline vint splat_int(int32_t value) { return reinterpret_cast<vint>(_mm512_set1_epi32(value)); }

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

inline CUint expand_load(const uint32_t* src, const CUnpacking& u)
{
    return CUint(reinterpret_cast<vuint>(_mm512_maskz_expand_epi32(u.where.k, _mm512_loadu_si512(src))));
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

#include "engine/cpu/isa/avx512/moves.h"
