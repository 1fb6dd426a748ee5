// SPDX-License-Identifier: Apache-2.0
#pragma once
// The nearest-hit search and the surface lookups over the lane-ready scene
// (engine/cpu/lane_scene.h): the kernel's search (kernel/intersect.h) finds
// these for a CLaneScene by argument-dependent lookup. For a scene of the
// built-in scene's size the counts are constants, so the loops unroll and the
// objects' numbers are constants too; planes on a coordinate axis go through
// that coordinate.

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

template <typename F>
inline CNearestLanes<F> nearest_object(const CSegmentLanes<F>& segment, const CLaneScene& scene)
{
    // A finite squared span length implies a finite span and start.
    const CAxisPlaneParameter<F> planes{lane_all(segment.span_sq < F(__builtin_inff())) ? scene.axis_planes
                                                                                         : nullptr};
    if (scene.sphere_count == kSphereCount && scene.plane_count == kPlaneCount)
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
