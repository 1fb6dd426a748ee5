// SPDX-License-Identifier: Apache-2.0
#pragma once
// CVector3 and the vector arithmetic shared by the host and the kernel.

#include "base/host_device.h"

struct CVector3 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
};
static_assert(sizeof(CVector3) == 12, "CVector3 is three packed floats");

VANTREL_HD inline CVector3 vec3_add(CVector3 a, CVector3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
VANTREL_HD inline CVector3 vec3_sub(CVector3 a, CVector3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
VANTREL_HD inline CVector3 vec3_scale(CVector3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
VANTREL_HD inline CVector3 vec3_mul(CVector3 a, CVector3 b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
VANTREL_HD inline CVector3 vec3_negate(CVector3 a) { return {-a.x, -a.y, -a.z}; }
VANTREL_HD inline float vec3_dot(CVector3 a, CVector3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
// The surface response sums its dot products starting with y.
VANTREL_HD inline float vec3_dot_yxz(CVector3 a, CVector3 b) { return a.y * b.y + a.x * b.x + a.z * b.z; }
VANTREL_HD inline float vec3_length(CVector3 a) { return kernel_sqrt(vec3_dot(a, a)); }

// Divides by a given length; a length of exactly 0 counts as 1, so a zero
// vector stays zero and nothing divides by zero.
VANTREL_HD inline CVector3 vec3_divide_by_length(CVector3 a, float length)
{
    if (length == 0.0f)
        length = 1.0f;
    return {kernel_div(a.x, length), kernel_div(a.y, length), kernel_div(a.z, length)};
}

VANTREL_HD inline CVector3 vec3_normalize(CVector3 a) { return vec3_divide_by_length(a, vec3_length(a)); }
VANTREL_HD inline CVector3 vec3_normalize_yxz(CVector3 a) { return vec3_divide_by_length(a, kernel_sqrt(vec3_dot_yxz(a, a))); }
