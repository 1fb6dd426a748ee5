// SPDX-License-Identifier: Apache-2.0
#pragma once
// The scene records handed byte for byte to the kernel: packed 32-bit floats in
// a fixed order, nothing else.

#include "base/vector3.h"

// One unit in the last place below the float nearest pi (bit pattern 0x40490fda):
// the default scatter angle, which means ideal diffuse.
constexpr float kDiffuseScatterAngle = 3.1415925f;

// A segment from origin to target; its direction is normalise(target - origin).
struct CRay3 {
    CVector3 origin;
    CVector3 target;
};

struct CSphere {
    CVector3 emission;
    CVector3 color;
    float scatter_angle = kDiffuseScatterAngle;
    float refraction_index = 1.0f;
    float radius = 0.0f;
    CVector3 center;
};

// The plane is every p with dot(normal, p) + distance = 0.
struct CPlane {
    CVector3 emission;
    CVector3 color;
    float scatter_angle = kDiffuseScatterAngle;
    float refraction_index = 1.0f;
    CVector3 normal;
    float distance = 0.0f;
};

static_assert(sizeof(CRay3) == 24, "CRay3 is six packed floats");
static_assert(sizeof(CSphere) == 48, "CSphere is twelve packed floats");
static_assert(sizeof(CPlane) == 48, "CPlane is twelve packed floats");
