// SPDX-License-Identifier: Apache-2.0
#pragma once
// Lane masks in AVX-512's mask registers, one bit per lane, and the
// comparisons that make them.

#include <immintrin.h>

#include "engine/cpu/isa/lane_values.h"

namespace VANTREL_LANES_NS {

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

}  // namespace VANTREL_LANES_NS
