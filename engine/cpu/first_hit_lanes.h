// SPDX-License-Identifier: Apache-2.0
#pragma once
// The tiled lane passes' first bounce: from the kept first hits
// (engine/cpu/first_hits.h) when they hold this frame's, else searched from
// the camera rays and kept.

#include "engine/cpu/cpu_pass_lanes.h"
#include "engine/cpu/first_hits.h"
#include "engine/cpu/lane_search.h"
#include "engine/cpu/tile_steps.h"
#include "kernel/path.h"

namespace VANTREL_LANES_NS {

// The first hits of the lane group from pixel `first` on.
struct CFirstHitLanes {
    CMask found;
    CUint object;
    CVec3 point;
    CVec3 normal;
    CVec3 base_dir;
};

inline CVec3 load_first_hit_vec3(const float* fields, uint32_t first, uint32_t field)
{
    return {load_floats(fields + first_hit_offset(first, field)),
            load_floats(fields + first_hit_offset(first, field + 1u)),
            load_floats(fields + first_hit_offset(first, field + 2u))};
}
inline void store_first_hit_vec3(float* fields, uint32_t first, uint32_t field, CVec3 v)
{
    store_floats(fields + first_hit_offset(first, field), v.x);
    store_floats(fields + first_hit_offset(first, field + 1u), v.y);
    store_floats(fields + first_hit_offset(first, field + 2u), v.z);
}
inline CFirstHitLanes load_first_hits(const float* fields, uint32_t first)
{
    const CUint stored = load_uints(reinterpret_cast<const uint32_t*>(fields + first_hit_offset(first, 0u)));
    const CMask found = !(stored == CUint(0u));
    return {found, lane_select(found, stored - CUint(1u), CUint(0u)),
            load_first_hit_vec3(fields, first, kFirstHitPoint), load_first_hit_vec3(fields, first, kFirstHitNormal),
            load_first_hit_vec3(fields, first, kFirstHitBase)};
}
inline void store_first_hits(float* fields, uint32_t first, const CFirstHitLanes& hits)
{
    const CUint stored = lane_select(hits.found, hits.object + CUint(1u), CUint(0u));
    std::memcpy(fields + first_hit_offset(first, 0u), &stored.v, sizeof stored.v);
    store_first_hit_vec3(fields, first, kFirstHitPoint, hits.point);
    store_first_hit_vec3(fields, first, kFirstHitNormal, hits.normal);
    store_first_hit_vec3(fields, first, kFirstHitBase, hits.base_dir);
}

// The first bounce of the lane group from pixel `first` on, whose paths start
// at the camera: from the kept first hits when they are ready, else searched
// from the camera rays (and kept, where there is room for them). The rest as
// trace_bounce_lanes, drawing from `table` (the list of unit vectors or the
// pass's record of it). The clock is told where the search ends.
template <class Clock, typename Table>
inline CMask trace_first_bounce(const CLanePassArgs& args, uint32_t first, CPathLanes<CFloat>& path,
                                const Table& table, CBounceLanes<CFloat>& record)
{
    using T = CLaneTraits<CFloat>;
    float* const fields = args.first_hits.fields;
    CHitLanes<CFloat> hit{};
    CFirstHitLanes first_hits;
    if (fields == nullptr) {
        T::load_ray(args.rayList, first, path.origin, path.target);
        const CMask found = search_bounce_lanes<CFloat>(0u, path, args.lane_scene, hit);
        Clock::enter(kStepScatter);
        return respond_bounce_lanes<CFloat>(0u, CMask(true), found, hit, nullptr, path, table, record);
    }
    if (args.first_hits.ready) {
        first_hits = load_first_hits(fields, first);
        load_surface(args.lane_scene, first_hits.object, hit);
        hit.point = first_hits.point;
        hit.normal = first_hits.normal;
    } else {
        T::load_ray(args.rayList, first, path.origin, path.target);
        first_hits.found =
            find_nearest_lanes<CFloat>(path.origin, path.target, args.lane_scene, hit, true, &first_hits.object);
        Clock::enter(kStepScatter);
        first_hits.point = hit.point;
        first_hits.normal = hit.normal;
        first_hits.base_dir = bounce_base_direction<CFloat>(hit, path.origin, path.prev_index);
        store_first_hits(fields, first, first_hits);
    }
    return respond_bounce_lanes<CFloat>(0u, CMask(true), first_hits.found, hit, &first_hits.base_dir, path, table,
                                        record);
}

}  // namespace VANTREL_LANES_NS
