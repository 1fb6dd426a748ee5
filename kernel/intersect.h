// SPDX-License-Identifier: Apache-2.0
#pragma once
// Nearest-hit search over the scene's spheres and planes. A ray is a segment:
// the search covers the stretch from 1/256 beyond origin up to target.

#include <cstdint>
#include <type_traits>

#include "kernel/frame_args.h"
#include "kernel/hit_info.h"
#include "kernel/lanes.h"
#include "scene/records.h"

// Start offset of every search and half-width of every tolerance comparison.
constexpr float kKernelEpsilon = 0.00390625f;

// The segment in the form every object test uses: start point S, segment
// vector D (t = 0 at S, t = 1 at target) and a = D . D, shared by all objects.
template <typename F>
struct CSegmentLanes {
    lane_vec3_t<F> start;
    lane_vec3_t<F> span;
    F span_sq;
};
using CSegment = CSegmentLanes<float>;

template <typename F>
VANTREL_HD inline CSegmentLanes<F> make_segment_lanes(lane_vec3_t<F> origin, lane_vec3_t<F> target)
{
    const lane_vec3_t<F> direction = vec3_normalize(vec3_sub(target, origin));
    CSegmentLanes<F> segment;
    segment.start = vec3_add(origin, vec3_scale(direction, F(kKernelEpsilon)));
    segment.span = vec3_sub(target, segment.start);
    segment.span_sq = vec3_dot(segment.span, segment.span);
    return segment;
}

VANTREL_HD inline CSegment make_segment(const CRay3& ray) { return make_segment_lanes<float>(ray.origin, ray.target); }

// The point at parameter t, and a sphere's outward unit normal there.
template <typename F>
VANTREL_HD inline lane_vec3_t<F> segment_point(const CSegmentLanes<F>& segment, F t)
{
    return vec3_add(segment.start, vec3_scale(segment.span, t));
}
template <typename V>
VANTREL_HD inline V sphere_normal(V point, V center)
{
    return vec3_normalize(vec3_sub(point, center));
}

// The parameter of the nearer root; `root` tells where there is one (the
// caller checks the range). Only the nearer root is taken: a segment starting
// inside the sphere never hits it.
template <typename F>
VANTREL_HD inline F intersect_sphere(const CSegmentLanes<F>& segment, const CSphere& sphere, lane_mask_t<F>& root)
{
    const lane_vec3_t<F> l = vec3_sub(segment.start, lane_vec3<F>(sphere.center));
    const F b = F(2.0f) * vec3_dot(segment.span, l);
    const F c = vec3_dot(l, l) - F(sphere.radius * sphere.radius);
    const F q = b * b - F(4.0f) * segment.span_sq * c;
    // A zero-length segment has no defined root (0 / 0): no hit. (A NaN q
    // would give a NaN parameter, which no range accepts.)
    root = q >= F(0.0f) && segment.span_sq != F(0.0f);
    // One pixel skips the rest without a root. Lanes go on regardless: after
    // the first bounce whether any lane of a group has a root is close to a
    // coin toss, and a mispredicted branch costs more than the root.
    if constexpr (std::is_same_v<F, float>)
        if (!root)
            return 0.0f;
    const F two_a = F(2.0f) * segment.span_sq;
    // A double root is -b / 2a, otherwise the nearer root -(b + sqrt(q)) / 2a:
    // one division of the chosen numerator.
    return lane_div(lane_select(q == F(0.0f), -b, -(b + lane_sqrt(q))), two_a);
}

// Planes are hit from either side; `root` as for spheres.
template <typename F>
VANTREL_HD inline F intersect_plane(const CSegmentLanes<F>& segment, const CPlane& plane, lane_mask_t<F>& root)
{
    const lane_vec3_t<F> normal = lane_vec3<F>(plane.normal);
    const F k = vec3_dot(normal, segment.span);
    root = !(k == F(0.0f));
    // Nearly every segment meets a plane somewhere: no test before the
    // division (where k is 0 the quotient is never used).
    return lane_div(-(F(plane.distance) + vec3_dot(normal, segment.start)), k);
}

// The nearest object each lane's segment meets: found, its parameter and number.
template <typename F>
struct CNearestLanes {
    lane_mask_t<F> found;
    F distance;
    lane_uint_t<F> object;
};

// The smallest float above 1: a nearest distance this far means nothing met.
constexpr float kBeyondSegment = 1.00000012f;
static_assert(kBeyondSegment - 1.0f == 1.0f / 8388608.0f, "one unit in the last place above 1");

// The parameter at which the segment meets plane i of the scene: here
// intersect_plane's. Where there is no root it is a quotient by 0 (infinite
// or NaN), which the search's range test turns down. A backend may hand the
// search another rule giving the same bits (a shortcut for its planes).
template <typename F>
struct CPlaneParameter {
    VANTREL_HD F operator()(const CSegmentLanes<F>& segment, const CSceneLists& scene, uint32_t i) const
    {
        lane_mask_t<F> root;
        return intersect_plane(segment, scene.plane_list[i], root);
    }
};

// The nearest sphere: every sphere in list order, a strictly nearer hit
// replacing the best so far, so ties go to the sphere tested first. The range
// check t <= 1 is folded into t < best (best starts just above 1). `found` is
// left unset. kSpheres, when not 0, is the scene's count known beforehand.
template <typename F, uint32_t kSpheres = 0>
VANTREL_HD inline CNearestLanes<F> nearest_sphere_lanes(const CSegmentLanes<F>& segment, const CSceneLists& scene)
{
    using M = lane_mask_t<F>;
    using U = lane_uint_t<F>;
    const uint32_t sphere_count = kSpheres != 0 ? kSpheres : scene.sphere_count;
    CNearestLanes<F> nearest{M(false), F(kBeyondSegment), U(0u)};
    for (uint32_t i = 0; i < sphere_count; ++i) {
        M root;
        const F t = intersect_sphere(segment, scene.sphere_list[i], root);
        const M nearer = root && t >= F(0.0f) && t < nearest.distance;
        nearest.distance = lane_select(nearer, t, nearest.distance);
        nearest.object = lane_select(nearer, U(i), nearest.object);
    }
    return nearest;
}

// Tests every sphere (nearest_sphere_lanes), then every plane, in list order
// with the same strict comparison, so ties go to the object tested first.
// kSpheres and kPlanes, when not 0, are the scene's counts known beforehand
// (a backend that knows its scene supplies them, so the loops unroll); the
// planes then go in two runs, each from "nothing met", and the three bests
// are merged in list order with the same strict comparison (the first of the
// nearest still wins): three short chains of selects instead of one long one.
template <typename F, uint32_t kSpheres = 0, uint32_t kPlanes = 0, typename P = CPlaneParameter<F>>
VANTREL_HD inline CNearestLanes<F> nearest_object_counted(const CSegmentLanes<F>& segment, const CSceneLists& scene,
                                                          P plane_parameter = {})
{
    using M = lane_mask_t<F>;
    using U = lane_uint_t<F>;
    const uint32_t sphere_count = kSpheres != 0 ? kSpheres : scene.sphere_count;
    const uint32_t plane_count = kPlanes != 0 ? kPlanes : scene.plane_count;
    constexpr uint32_t kPlaneRuns = kPlanes >= 4u ? 2u : 1u;
    CNearestLanes<F> nearest = nearest_sphere_lanes<F, kSpheres>(segment, scene);
    CNearestLanes<F> runs[kPlaneRuns];
    for (uint32_t r = 0; r < kPlaneRuns; ++r)
        runs[r] = kPlaneRuns == 1u ? nearest : CNearestLanes<F>{M(false), F(kBeyondSegment), U(0u)};
#if defined(__GNUC__) && !defined(__CUDACC__)
#pragma GCC unroll 8
#endif
    for (uint32_t i = 0; i < plane_count; ++i) {
        const F t = plane_parameter(segment, scene, i);
        CNearestLanes<F>& run = runs[kPlaneRuns == 1u ? 0u : i * kPlaneRuns / plane_count];
        const M nearer = t >= F(0.0f) && t < run.distance;
        run.distance = lane_select(nearer, t, run.distance);
        run.object = lane_select(nearer, U(sphere_count + i), run.object);
    }
    if constexpr (kPlaneRuns == 1u) {
        nearest = runs[0];
    } else {
        for (uint32_t r = 0; r < kPlaneRuns; ++r) {
            const M nearer = runs[r].distance < nearest.distance;
            nearest.distance = lane_select(nearer, runs[r].distance, nearest.distance);
            nearest.object = lane_select(nearer, runs[r].object, nearest.object);
        }
    }
    nearest.found = nearest.distance < F(kBeyondSegment);
    return nearest;
}

// The search over any scene. A backend with a scene record of its own (a
// form of the scene made for its lanes) offers nearest_object and
// load_surface for that record, found by argument-dependent lookup.
template <typename F>
VANTREL_HD inline CNearestLanes<F> nearest_object(const CSegmentLanes<F>& segment, const CSceneLists& scene)
{
    return nearest_object_counted<F>(segment, scene);
}

// What a surface hands the hit record: everything but distance, point and
// out_dir, with a sphere's centre or a plane's normal in `normal`.
VANTREL_HD inline void load_surface(const CSceneLists& scene, uint32_t object, CHitInfo& hit)
{
    if (object < scene.sphere_count) {
        const CSphere& sphere = scene.sphere_list[object];
        hit.scatter_angle = sphere.scatter_angle;
        hit.refraction_index = sphere.refraction_index;
        hit.emission = sphere.emission;
        hit.color = sphere.color;
        hit.normal = sphere.center;
        return;
    }
    const CPlane& plane = scene.plane_list[object - scene.sphere_count];
    hit.scatter_angle = plane.scatter_angle;
    hit.refraction_index = plane.refraction_index;
    hit.emission = plane.emission;
    hit.color = plane.color;
    hit.normal = plane.normal;
}

// The hit record of what each lane's segment met, once nearest_object has
// chosen: every field but out_dir, the point once for the winner, a sphere's
// outward unit normal or a plane's normal as stored. Without `geometry` (a
// path's last bounce, which goes nowhere) point and normal are left out:
// normal then holds the centre or stored normal. Returns where something was
// met; when nothing was met in any lane, hit is left untouched. Apart from
// the search, so that a backend may search one group of lanes while it
// answers another's hits.
template <typename F, typename S>
VANTREL_HD inline lane_mask_t<F> describe_nearest_lanes(const CSegmentLanes<F>& segment,
                                                        const CNearestLanes<F>& nearest, const S& scene,
                                                        lane_hit_t<F>& hit, bool geometry)
{
    if (!lane_any(nearest.found))
        return nearest.found;
    load_surface(scene, nearest.object, hit);
    hit.distance = nearest.distance;
    if (!geometry)
        return nearest.found;
    hit.point = segment_point<F>(segment, nearest.distance);
    const lane_mask_t<F> on_sphere = nearest.object < lane_uint_t<F>(scene.sphere_count);
    if (lane_any(on_sphere))
        hit.normal = vec3_select(on_sphere, sphere_normal(hit.point, hit.normal), hit.normal);
    return nearest.found;
}

// The nearest-hit search from origin to target and its hit record
// (describe_nearest_lanes). `object`, when given, receives the number of the
// object each lane met (0 where it met nothing). S is CSceneLists or a
// backend's own scene record (see nearest_object).
template <typename F, typename S>
VANTREL_HD inline lane_mask_t<F> find_nearest_lanes(lane_vec3_t<F> origin, lane_vec3_t<F> target, const S& scene,
                                                    lane_hit_t<F>& hit, bool geometry = true,
                                                    lane_uint_t<F>* object = nullptr)
{
    const CSegmentLanes<F> segment = make_segment_lanes<F>(origin, target);
    const CNearestLanes<F> nearest = nearest_object<F>(segment, scene);
    if (object != nullptr)
        *object = nearest.object;
    return describe_nearest_lanes<F>(segment, nearest, scene, hit, geometry);
}

// On success writes every field of hit but out_dir; on failure leaves hit untouched.
VANTREL_HD inline bool find_nearest_hit(const CRay3& ray, const CSphere* sphere_list, uint32_t sphere_count,
                                        const CPlane* plane_list, uint32_t plane_count, CHitInfo& hit)
{
    return find_nearest_lanes<float>(ray.origin, ray.target,
                                     CSceneLists{sphere_list, sphere_count, plane_list, plane_count}, hit);
}
