// SPDX-License-Identifier: Apache-2.0
#pragma once
// Lane moves one element at a time, for instruction sets that lack
// instructions for them (SSE2's four lanes, the portable lanes): packing the
// lanes where a mask holds, spreading them back (engine/cpu/isa/lane_packing.h
// says how), and table lookups. They stand in namespace by_element: the
// instruction set's file takes those it has nothing better for.

#include "engine/cpu/isa/lane_vector_mask.h"
// (after the mask it packs by)
#include "engine/cpu/isa/lane_packing.h"

namespace VANTREL_LANES_NS {
namespace by_element {

template <typename T, typename V>
inline void compress_elements(T* dst, V v, CMask where)
{
    uint32_t n = 0;
    for (uint32_t bits = mask_bits(where); bits != 0; bits &= bits - 1u)
        dst[n++] = v[__builtin_ctz(bits)];
}
inline void compress_store(float* dst, CFloat v, const CPacking& p) { compress_elements(dst, v.v, p.where); }
inline void compress_store(uint32_t* dst, CUint v, const CPacking& p) { compress_elements(dst, v.v, p.where); }
template <typename V, typename T>
inline V expand_elements(const T* src, CMask where)
{
    V r = {};
    uint32_t n = 0;
    for (uint32_t bits = mask_bits(where); bits != 0; bits &= bits - 1u)
        r[__builtin_ctz(bits)] = src[n++];
    return r;
}
inline CFloat expand_load(const float* src, const CUnpacking& u) { return CFloat(expand_elements<vfloat>(src, u.where)); }
inline CUint expand_load(const uint32_t* src, const CUnpacking& u) { return CUint(expand_elements<vuint>(src, u.where)); }

// base[index] in every lane.
inline vfloat gather(const float* base, vint index)
{
    vfloat r = {};
    for (uint32_t i = 0; i < kLanes; ++i)
        r[i] = base[index[i]];
    return r;
}
// Entry `index` of a row of `count` floats in every lane.
inline CFloat lookup_row(const float* row, uint32_t /*count*/, CUint index)
{
    return CFloat(gather(row, reinterpret_cast<vint>(index.v)));
}

}  // namespace by_element
}  // namespace VANTREL_LANES_NS
