// SPDX-License-Identifier: Apache-2.0
#pragma once
// The nearest-hit search and the surface lookups over the lane-ready scene
// (engine/cpu/lane_scene.h): the kernel's search (kernel/intersect.h) finds
// these for a CLaneScene by argument-dependent lookup. For a scene of the
// built-in scene's size the counts are constants, so the loops unroll and the
// objects' numbers are constants too; planes on a coordinate axis go through
// that coordinate, and where the planes are the walls of a box and the
// segments start inside it, one division serves each pair of walls.

#include "engine/cpu/lane_scene.h"
#include "engine/cpu/simd_lanes.h"
#include "kernel/hit_info.h"
#include "kernel/intersect.h"
#include "scene/built_in_scene.h"

// A plane's parameter through its axis (axis_plane) where it lies on one and
// the lanes' segments are finite, else intersect_plane's: the same bits.
template <typename F>
struct CAxisPlaneParameter {
    const CAxisPlane* axis_planes;  // null: every plane the general way

    F operator()(const CSegmentLanes<F>& segment, const CSceneLists& scene, uint32_t i) const
    {
        const uint32_t axis = axis_planes != nullptr ? axis_planes[i].axis : kNoAxis;
        const F offset = axis != kNoAxis ? F(axis_planes[i].offset) : F(0.0f);
        return axis == 0u   ? lane_div(offset - segment.start.x, segment.span.x)
               : axis == 1u ? lane_div(offset - segment.start.y, segment.span.y)
               : axis == 2u ? lane_div(offset - segment.start.z, segment.span.z)
                            : CPlaneParameter<F>{}(segment, scene, i);
    }
};

// How far inside every wall of the box a segment must start for the search
// to divide once a pair (nearest_in_wall_box). With a finite squared span each
// span coordinate is below 2^64 in size, so the parameter of the wall behind
// is then below -2^-124: negative and normal, never a -0 that the range test
// t >= 0 would take.
constexpr float kInsideWalls = 0x1p-60f;

template <typename F>
inline lane_mask_t<F> starts_inside_walls(const CSegmentLanes<F>& segment, const CWallBox& box)
{
    const F start[3] = {segment.start.x, segment.start.y, segment.start.z};
    lane_mask_t<F> inside(true);
    for (uint32_t a = 0; a < 3u; ++a)
        inside = inside && F(box.pair[a].low) - start[a] < F(-kInsideWalls) &&
                 F(box.pair[a].high) - start[a] > F(kInsideWalls);
    return inside;
}

// nearest_object_counted's result for segments with a finite span that start
// inside the walls (starts_inside_walls): of each pair of walls only the one
// the span points at is divided for (where the span's coordinate is 0 either
// quotient is infinite, as the other's would be), with the quotient and the
// numerator the axis planes' own. The pairs are taken by axis, not in list
// order, so an exact tie goes to the lower object number explicitly, as the
// list order gives it there.
template <typename F, uint32_t kSpheres>
inline CNearestLanes<F> nearest_in_wall_box(const CSegmentLanes<F>& segment, const CLaneScene& scene,
                                            const CWallBox& box)
{
    using M = lane_mask_t<F>;
    using U = lane_uint_t<F>;
    CNearestLanes<F> nearest = nearest_sphere_lanes<F, kSpheres>(segment, scene);
    const uint32_t first_plane = kSpheres != 0 ? kSpheres : scene.sphere_count;
    const F start[3] = {segment.start.x, segment.start.y, segment.start.z};
    const F span[3] = {segment.span.x, segment.span.y, segment.span.z};
    for (uint32_t a = 0; a < 3u; ++a) {
        const CWallPair& pair = box.pair[a];
        const M up = span[a] > F(0.0f);
        const F t = lane_div(lane_select(up, F(pair.high), F(pair.low)) - start[a], span[a]);
        const U object = lane_select(up, U(first_plane + pair.high_plane), U(first_plane + pair.low_plane));
        const M nearer =
            t >= F(0.0f) && (t < nearest.distance || (t == nearest.distance && object < nearest.object));
        nearest.distance = lane_select(nearer, t, nearest.distance);
        nearest.object = lane_select(nearer, object, nearest.object);
    }
    nearest.found = nearest.distance < F(kBeyondSegment);
    return nearest;
}

// Whether this pass divides once a pair of walls. It pays where the lanes
// are 16 wide (3 % less time a frame), not where they are 8 (1.5 % more: the
// test of where the segments start and the ties cost more than the divisions
// they save).
constexpr bool kDividesOnceAPairOfWalls = VANTREL_LANES_NS::kLanes >= 16u;

template <typename F>
inline CNearestLanes<F> nearest_object(const CSegmentLanes<F>& segment, const CLaneScene& scene)
{
    // A finite squared span length implies a finite span and start.
    const bool finite = lane_all(segment.span_sq < F(__builtin_inff()));
    const bool counted = scene.sphere_count == kSphereCount && scene.plane_count == kPlaneCount;
    if (kDividesOnceAPairOfWalls && finite && scene.has_wall_box &&
        lane_all(starts_inside_walls(segment, scene.wall_box)))
        return counted ? nearest_in_wall_box<F, kSphereCount>(segment, scene, scene.wall_box)
                       : nearest_in_wall_box<F, 0>(segment, scene, scene.wall_box);
    const CAxisPlaneParameter<F> planes{finite ? scene.axis_planes : nullptr};
    if (counted)
        return nearest_object_counted<F, kSphereCount, kPlaneCount>(segment, scene, planes);
    return nearest_object_counted<F>(segment, scene, planes);
}

namespace VANTREL_LANES_NS {

// Row `row` of the surface table at each lane's object.
inline CFloat surface_field(const CLaneScene& scene, uint32_t row, CUint object)
{
    const uint32_t count = scene.sphere_count + scene.plane_count;
    const float* column =
        scene.surface_table + row * (count <= kSurfaceRegisterObjects ? kSurfaceRegisterObjects : scene.surface_stride);
    return lookup_row(column, count, object);
}

// As the one-pixel load_surface (kernel/intersect.h), from the surface table.
inline void load_surface(const CLaneScene& scene, CUint object, CHitLanes<CFloat>& hit)
{
    hit.emission = {surface_field(scene, 0, object), surface_field(scene, 1, object),
                    surface_field(scene, 2, object)};
    hit.color = {surface_field(scene, 3, object), surface_field(scene, 4, object), surface_field(scene, 5, object)};
    hit.scatter_angle = surface_field(scene, 6, object);
    hit.refraction_index = surface_field(scene, 7, object);
    hit.normal = {surface_field(scene, 8, object), surface_field(scene, 9, object),
                  surface_field(scene, 10, object)};
}

}  // namespace VANTREL_LANES_NS
