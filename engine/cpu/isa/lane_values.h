// SPDX-License-Identifier: Apache-2.0
#pragma once
// The lane values every instruction set shares: VANTREL_LANE_COUNT floats or
// unsigned integers side by side in one SIMD register, on GCC vector
// extensions, and the operations the compiler writes alike for every width.
// Included by the instruction set's file (engine/cpu/simd_lanes.h picks it),
// which supplies splat_int.
//
// Every operation is the IEEE single-precision operation of the one-pixel
// code, lane by lane: vector division and square root are exact, and nothing
// here uses approximate reciprocals or fused multiply-add.

#include <math.h>

#include <bit>
#include <cstdint>
#include <cstring>

#include "engine/cpu/isa/lane_isa.h"

namespace VANTREL_LANES_NS {

constexpr uint32_t kLanes = VANTREL_LANE_COUNT;
static_assert(kLanes == 4 || kLanes == 8 || kLanes == 16, "4, 8 or 16 lanes");

typedef float vfloat __attribute__((vector_size(4 * kLanes)));
typedef int32_t vint __attribute__((vector_size(4 * kLanes)));
typedef uint32_t vuint __attribute__((vector_size(4 * kLanes)));

// The value in every lane: one broadcast (an element-by-element loop is not
// always folded into one). Defined by the instruction set's file.
inline vint splat_int(int32_t value);
inline vfloat splat_float(float value) { return reinterpret_cast<vfloat>(splat_int(std::bit_cast<int32_t>(value))); }

struct CUint {
    vuint v;
    CUint() = default;
    explicit CUint(vuint bits) : v(bits) {}
    CUint(uint32_t value) : v(reinterpret_cast<vuint>(splat_int(static_cast<int32_t>(value)))) {}
};

struct CFloat {
    vfloat v;
    CFloat() = default;
    explicit CFloat(vfloat bits) : v(bits) {}
    CFloat(float value) : v(splat_float(value)) {}
};

inline CFloat operator+(CFloat a, CFloat b) { return CFloat(a.v + b.v); }
inline CFloat operator-(CFloat a, CFloat b) { return CFloat(a.v - b.v); }
inline CFloat operator*(CFloat a, CFloat b) { return CFloat(a.v * b.v); }
inline CFloat operator/(CFloat a, CFloat b) { return CFloat(a.v / b.v); }
inline CFloat operator-(CFloat a) { return CFloat(-a.v); }

inline CUint operator+(CUint a, CUint b) { return CUint(a.v + b.v); }
inline CUint operator-(CUint a, CUint b) { return CUint(a.v - b.v); }
inline CUint operator*(CUint a, CUint b) { return CUint(a.v * b.v); }
inline CUint operator&(CUint a, CUint b) { return CUint(a.v & b.v); }
// The divisor is a constant in every use, which the compiler turns into a
// multiply and shifts.
inline CUint operator%(CUint a, CUint b) { return CUint(a.v % b.v); }

inline uint32_t lane_max(CUint v)
{
    uint32_t best = v.v[0];
    for (uint32_t i = 1; i < kLanes; ++i)
        best = v.v[i] > best ? v.v[i] : best;
    return best;
}
inline uint32_t lane_sum(CUint v)
{
    uint32_t sum = 0;
    for (uint32_t i = 0; i < kLanes; ++i)
        sum += v.v[i];
    return sum;
}

inline CFloat load_floats(const float* src)
{
    vfloat v;
    std::memcpy(&v, src, sizeof v);
    return CFloat(v);
}
inline CUint load_uints(const uint32_t* src)
{
    vuint v;
    std::memcpy(&v, src, sizeof v);
    return CUint(v);
}
inline void store_floats(float* dst, CFloat v) { std::memcpy(dst, &v.v, sizeof v.v); }
inline void store_uints(uint32_t* dst, CUint v) { std::memcpy(dst, &v.v, sizeof v.v); }
// 0, 1, 2, ... : each lane's number.
inline CUint lane_index()
{
    vuint index;
    for (uint32_t i = 0; i < kLanes; ++i)
        index[i] = i;
    return CUint(index);
}

inline CFloat lane_div(CFloat a, CFloat b) { return a / b; }
// Only glossy surfaces turn: the C library's sine and cosine lane by lane,
// exactly what the one-pixel code calls.
inline CFloat lane_sin(CFloat x)
{
    vfloat r = x.v;
    for (uint32_t i = 0; i < kLanes; ++i)
        r[i] = ::sinf(x.v[i]);
    return CFloat(r);
}
inline CFloat lane_cos(CFloat x)
{
    vfloat r = x.v;
    for (uint32_t i = 0; i < kLanes; ++i)
        r[i] = ::cosf(x.v[i]);
    return CFloat(r);
}
// Every unsigned value converts to the nearest float, as a scalar cast does.
inline CFloat lane_to_float(CUint v) { return CFloat(__builtin_convertvector(v.v, vfloat)); }

}  // namespace VANTREL_LANES_NS
