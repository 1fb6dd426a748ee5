// SPDX-License-Identifier: Apache-2.0
#pragma once
// CHitInfo: what one bounce of a path met. Written by find_nearest_hit, with
// out_dir added by the path after the surface response. CBounceLanes: what
// the path colour keeps of a bounce that scattered.

#include "kernel/lanes.h"
#include "base/vector3.h"

struct CHitInfo {
    float distance;          // ray parameter of the hit along the searched segment, 0..1
    float scatter_angle;     // copied from the surface
    float refraction_index;  // copied from the surface
    CVector3 emission;       // copied from the surface
    CVector3 color;          // copied from the surface
    CVector3 point;          // hit position
    CVector3 normal;         // sphere: outward unit normal; plane: its normal as stored
    CVector3 out_dir;        // direction in which the path leaves the hit
};
static_assert(sizeof(CHitInfo) == 18 * sizeof(float), "CHitInfo is eighteen packed floats");

// The same record over lanes; for float it is CHitInfo itself.
template <typename F>
struct CHitLanes {
    F distance;
    F scatter_angle;
    F refraction_index;
    CVec3Lanes<F> emission;
    CVec3Lanes<F> color;
    CVec3Lanes<F> point;
    CVec3Lanes<F> normal;
    CVec3Lanes<F> out_dir;
};

template <typename F>
struct CHitRecord {
    using type = CHitLanes<F>;
};
template <>
struct CHitRecord<float> {
    using type = CHitInfo;
};
template <typename F>
using lane_hit_t = typename CHitRecord<F>::type;

// A bounce that scattered, reduced right after the surface response to what
// passing light back through it needs: the surface colour, the blend factor
// a = scatter_angle / kDiffuseScatterAngle and the clamped cosine
// nd = max(dot(normal, out_dir), 0). Five values where CHitInfo has eighteen,
// so that the five records of a path stay in the device's registers.
template <typename F>
struct CBounceLanes {
    lane_vec3_t<F> color;
    F blend;
    F cosine;
};
