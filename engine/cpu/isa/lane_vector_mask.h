// SPDX-License-Identifier: Apache-2.0
#pragma once
// Lane masks as vectors, for the instruction sets without mask registers
// (SSE2, AVX2, portable): all bits set in a lane where the condition holds,
// none where it does not, and the comparisons that make them.

#include "engine/cpu/isa/lane_values.h"

namespace VANTREL_LANES_NS {

struct CMask {
    vint v;
    CMask() = default;
    explicit CMask(vint bits) : v(bits) {}
    explicit CMask(bool value) : v(splat_int(value ? -1 : 0)) {}
};

inline CMask operator&&(CMask a, CMask b) { return CMask(a.v & b.v); }
inline CMask operator||(CMask a, CMask b) { return CMask(a.v | b.v); }
inline CMask operator!(CMask a) { return CMask(~a.v); }

// Ordered comparisons are false on NaN, != is true on it, as in C++.
inline CMask operator<(CFloat a, CFloat b) { return CMask(a.v < b.v); }
inline CMask operator>(CFloat a, CFloat b) { return CMask(a.v > b.v); }
inline CMask operator<=(CFloat a, CFloat b) { return CMask(a.v <= b.v); }
inline CMask operator>=(CFloat a, CFloat b) { return CMask(a.v >= b.v); }
inline CMask operator==(CFloat a, CFloat b) { return CMask(a.v == b.v); }
inline CMask operator!=(CFloat a, CFloat b) { return CMask(a.v != b.v); }

inline CMask operator<(CUint a, CUint b) { return CMask(a.v < b.v); }
inline CMask operator>=(CUint a, CUint b) { return CMask(a.v >= b.v); }
inline CMask operator==(CUint a, CUint b) { return CMask(a.v == b.v); }

}  // namespace VANTREL_LANES_NS
