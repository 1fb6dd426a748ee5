// SPDX-License-Identifier: Apache-2.0
#pragma once
// Lanes: the per-pixel logic is written once over a lane type F. F = float is
// one pixel (the CUDA kernel and the plain CPU loop); a SIMD type, which a
// backend supplies with its CLaneTraits, carries several pixels side by side.
// Every branch on pixel data is a select between values computed exactly as the
// one-pixel code computes them, so each lane of a SIMD run ends with the same
// bits as a one-pixel run of its pixel.
//
// A lane type names its mask (bool for float) and its unsigned integer lanes
// (uint32_t for float) through CLaneTraits, which also holds the loads and
// stores of per-pixel memory: for float the pixel `first`, for a SIMD type the
// pixels first, first + 1, ... one per lane.

#include <cstdint>

#include "base/host_device.h"
#include "scene/records.h"

template <typename F>
struct CLaneTraits;

template <typename F>
using lane_mask_t = typename CLaneTraits<F>::mask;
template <typename F>
using lane_uint_t = typename CLaneTraits<F>::uint;
template <typename F>
using lane_vec3_t = typename CLaneTraits<F>::vec3;

// Three lanes of coordinates; for float the lane vector is CVector3 itself.
template <typename F>
struct CVec3Lanes {
    F x;
    F y;
    F z;
};

// ---- one pixel -------------------------------------------------------------

template <>
struct CLaneTraits<float> {
    using mask = bool;
    using uint = uint32_t;
    using vec3 = CVector3;

    VANTREL_HD static uint32_t load_uint(const uint32_t* list, uint32_t first) { return list[first]; }
    VANTREL_HD static void store_uint(uint32_t* list, uint32_t first, uint32_t value) { list[first] = value; }
    VANTREL_HD static void store_uint(uint32_t* list, uint32_t first, bool where, uint32_t value)
    {
        if (where)
            list[first] = value;
    }
    // Three floats per pixel (sums).
    VANTREL_HD static CVector3 load_vec3(const float* list, uint32_t first)
    {
        return {list[3u * first], list[3u * first + 1u], list[3u * first + 2u]};
    }
    VANTREL_HD static void store_vec3(float* list, uint32_t first, bool where, CVector3 value)
    {
        if (!where)
            return;
        list[3u * first] = value.x;
        list[3u * first + 1u] = value.y;
        list[3u * first + 2u] = value.z;
    }
    // Three bytes per pixel (image); each channel is truncated to 32 bits, then to 8.
    VANTREL_HD static void store_bytes(uint8_t* list, uint32_t first, bool where, CVector3 value)
    {
        if (!where)
            return;
        list[3u * first] = static_cast<uint8_t>(static_cast<uint32_t>(value.x));
        list[3u * first + 1u] = static_cast<uint8_t>(static_cast<uint32_t>(value.y));
        list[3u * first + 2u] = static_cast<uint8_t>(static_cast<uint32_t>(value.z));
    }
    VANTREL_HD static void load_ray(const CRay3* list, uint32_t first, CVector3& origin, CVector3& target)
    {
        origin = list[first].origin;
        target = list[first].target;
    }
    // Entry `index` of the table of unit vectors, normalised once more (y, x, z
    // order) as the surface response uses it. A backend's lane traits may look
    // entries up in a table it normalised so beforehand.
    VANTREL_HD static CVector3 load_scatter_vector(const CVector3* list, uint32_t index)
    {
        return vec3_normalize_yxz(list[index]);
    }
};

VANTREL_HD inline float lane_select(bool where, float a, float b) { return where ? a : b; }
VANTREL_HD inline uint32_t lane_select(bool where, uint32_t a, uint32_t b) { return where ? a : b; }
VANTREL_HD inline bool lane_any(bool m) { return m; }
VANTREL_HD inline bool lane_all(bool m) { return m; }
VANTREL_HD inline uint32_t lane_max(uint32_t v) { return v; }
VANTREL_HD inline float lane_sqrt(float x) { return kernel_sqrt(x); }
VANTREL_HD inline float lane_div(float a, float b) { return kernel_div(a, b); }
VANTREL_HD inline float lane_sin(float x) { return kernel_sin(x); }
VANTREL_HD inline float lane_cos(float x) { return kernel_cos(x); }
VANTREL_HD inline bool lane_isfinite(float x) { return kernel_isfinite(x); }
VANTREL_HD inline float lane_to_float(uint32_t v) { return static_cast<float>(v); }

VANTREL_HD inline CVector3 vec3_select(bool where, CVector3 a, CVector3 b) { return where ? a : b; }

// A scene value the same in every lane.
template <typename F>
VANTREL_HD inline lane_vec3_t<F> lane_vec3(CVector3 v)
{
    return {F(v.x), F(v.y), F(v.z)};
}

// ---- several pixels: the vector maths of base/vector3.h, operation for operation

template <typename F>
VANTREL_HD inline CVec3Lanes<F> vec3_select(typename CLaneTraits<F>::mask where, CVec3Lanes<F> a, CVec3Lanes<F> b)
{
    return {lane_select(where, a.x, b.x), lane_select(where, a.y, b.y), lane_select(where, a.z, b.z)};
}
template <typename F>
VANTREL_HD inline CVec3Lanes<F> vec3_add(CVec3Lanes<F> a, CVec3Lanes<F> b)
{
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
template <typename F>
VANTREL_HD inline CVec3Lanes<F> vec3_sub(CVec3Lanes<F> a, CVec3Lanes<F> b)
{
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
template <typename F>
VANTREL_HD inline CVec3Lanes<F> vec3_scale(CVec3Lanes<F> a, F s)
{
    return {a.x * s, a.y * s, a.z * s};
}
template <typename F>
VANTREL_HD inline CVec3Lanes<F> vec3_negate(CVec3Lanes<F> a)
{
    return {-a.x, -a.y, -a.z};
}
template <typename F>
VANTREL_HD inline F vec3_dot(CVec3Lanes<F> a, CVec3Lanes<F> b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
template <typename F>
VANTREL_HD inline F vec3_dot_yxz(CVec3Lanes<F> a, CVec3Lanes<F> b)
{
    return a.y * b.y + a.x * b.x + a.z * b.z;
}
template <typename F>
VANTREL_HD inline CVec3Lanes<F> vec3_divide_by_length(CVec3Lanes<F> a, F length)
{
    length = lane_select(length == F(0.0f), F(1.0f), length);
    return {lane_div(a.x, length), lane_div(a.y, length), lane_div(a.z, length)};
}
template <typename F>
VANTREL_HD inline CVec3Lanes<F> vec3_normalize(CVec3Lanes<F> a)
{
    return vec3_divide_by_length(a, lane_sqrt(vec3_dot(a, a)));
}
template <typename F>
VANTREL_HD inline CVec3Lanes<F> vec3_normalize_yxz(CVec3Lanes<F> a)
{
    return vec3_divide_by_length(a, lane_sqrt(vec3_dot_yxz(a, a)));
}
