// SPDX-License-Identifier: Apache-2.0
#pragma once
// The per-pixel body of one frame: follow the camera ray for up to five
// bounces, combine the bounce records back to front into one colour, and
// accumulate it. The CUDA kernel and the CPU pass both call path_trace_pixel.
//
// A bounce's CHitInfo lives only while that bounce is traced: what the colour
// needs of it is kept as a CBounceLanes record (colour, blend factor, clamped
// cosine) computed right after the surface response, and of the light only
// its emission. The float operations and their order are those of the
// combination written out over CHitInfo records (combine_path), so the
// pictures are the same bit for bit.

#include <cstdint>

#include "base/image_size.h"
#include "kernel/accumulate.h"
#include "kernel/hit_info.h"
#include "kernel/intersect.h"
#include "kernel/lanes.h"
#include "kernel/random.h"
#include "kernel/scatter.h"
#include "scene/records.h"

constexpr uint32_t kMaxBounces = 5u;

// A bounce ray's target lies this far along the outgoing direction.
constexpr float kBounceReach = 10000.0f;

// How each lane's path ended: the bounce index, whether it met a light or
// nothing, and the emission of the light it met (set only where hit_light).
template <typename F>
struct CPathEndLanes {
    lane_uint_t<F> depth;
    lane_mask_t<F> hit_light;
    lane_mask_t<F> missed;
    lane_vec3_t<F> emission;
};

// Writes the record of a bounce that scattered: a = scatter_angle /
// kDiffuseScatterAngle and nd = dot(normal, out_dir), below 0 taken as 0.
// Field by field: GCC copies a whole record of SIMD lanes through general
// registers, eight bytes at a time.
template <typename F>
VANTREL_HD inline void write_bounce_record(CBounceLanes<F>& record, lane_vec3_t<F> color, F scatter_angle,
                                           lane_vec3_t<F> normal, lane_vec3_t<F> out_dir)
{
    record.color.x = color.x;
    record.color.y = color.y;
    record.color.z = color.z;
    record.blend = lane_div(scatter_angle, F(kDiffuseScatterAngle));
    const F nd = vec3_dot(normal, out_dir);
    record.cosine = lane_select(nd < F(0.0f), F(0.0f), nd);
}

// Where a path that came from origin leaves the surface it met at hit.point
// before any random draw (base_direction_lanes of its incoming direction).
template <typename F>
VANTREL_HD inline lane_vec3_t<F> bounce_base_direction(const lane_hit_t<F>& hit, lane_vec3_t<F> origin, F prev_index)
{
    return base_direction_lanes<F>(hit, vec3_normalize(vec3_sub(hit.point, origin)), prev_index);
}

// A group of paths between bounces, one per lane: the next segment (from
// origin to target), the refraction index of the surface it leaves (1 at the
// camera), the random states, and how the paths that ended so far ended.
template <typename F>
struct CPathLanes {
    lane_vec3_t<F> origin;
    lane_vec3_t<F> target;
    F prev_index;
    lane_uint_t<F> state;
    CPathEndLanes<F> end;
};

// How paths stand before any of them has ended.
template <typename F>
VANTREL_HD inline CPathEndLanes<F> no_path_ended()
{
    return {lane_uint_t<F>(kMaxBounces), lane_mask_t<F>(false), lane_mask_t<F>(false), lane_vec3<F>(CVector3{})};
}

// Paths from the camera rays (origin to target) that have not ended yet.
template <typename F>
VANTREL_HD inline CPathLanes<F> start_path_lanes(lane_vec3_t<F> origin, lane_vec3_t<F> target, lane_uint_t<F> state)
{
    return {origin, target, F(1.0f), state, no_path_ended<F>()};
}

// Bounce k of the paths live in `active` once its search is done (`found`,
// `hit` as find_nearest_lanes leaves them): note in path.end where a path
// misses or meets a light (and the light's emission), and move the rest on
// (surface response, new origin and target, prev_index). base_dir, when
// given, holds bounce_base_direction for every lane that found a surface.
// Writes `record` for the lanes that scattered and returns them: the lanes
// that go on to bounce k + 1 (none after the last). The search's results stay
// three parameters: bundled into a record they cost the GPU kernel registers.
// The table is the list of unit vectors or a backend's record of it
// (scatter_table_vector, kernel/scatter.h).
template <typename F, typename Table>
VANTREL_HD inline lane_mask_t<F> respond_bounce_lanes(uint32_t k, lane_mask_t<F> active, lane_mask_t<F> found,
                                                      const lane_hit_t<F>& hit, const lane_vec3_t<F>* base_dir,
                                                      CPathLanes<F>& path, const Table& normal_list,
                                                      CBounceLanes<F>& record)
{
    using M = lane_mask_t<F>;
    using U = lane_uint_t<F>;
    CPathEndLanes<F>& end = path.end;
    const bool last = k + 1u == kMaxBounces;
    const M missed = active && !found;
    end.missed = end.missed || missed;
    end.depth = lane_select(missed, U(k), end.depth);
    if (!lane_any(found))  // then the search left hit untouched
        return found;
    active = active && found;
    if (!lane_any(active))
        return active;
    const lane_vec3_t<F> emission = hit.emission;
    const M lit = active && (emission.x != F(0.0f) || emission.y != F(0.0f) || emission.z != F(0.0f));
    end.hit_light = end.hit_light || lit;
    end.depth = lane_select(lit, U(k), end.depth);
    end.emission = vec3_select(lit, emission, end.emission);
    active = active && !lit;
    if (!lane_any(active))
        return active;
    if (last) {
        // The path ends here whatever the surface does: only the random state
        // moves on, two steps as the surface response takes it.
        path.state = lane_select(active, random_step(random_step(path.state)), path.state);
        return M(false);
    }
    const lane_vec3_t<F> base =
        base_dir != nullptr ? *base_dir : bounce_base_direction<F>(hit, path.origin, path.prev_index);
    const lane_vec3_t<F> out_dir = scatter_from_base_lanes<F>(hit, base, path.state, active, normal_list);
    write_bounce_record<F>(record, hit.color, hit.scatter_angle, hit.normal, out_dir);
    path.prev_index = hit.refraction_index;
    path.origin = hit.point;
    path.target = vec3_add(hit.point, vec3_scale(out_dir, F(kBounceReach)));
    return active;
}

// Bounce k's search from each lane's origin to its target. It writes hit in
// every lane once it finds something in any (on the last bounce without point
// and normal, which nothing reads then).
template <typename F, typename S>
VANTREL_HD inline lane_mask_t<F> search_bounce_lanes(uint32_t k, const CPathLanes<F>& path, const S& scene,
                                                     lane_hit_t<F>& hit)
{
    return find_nearest_lanes<F>(path.origin, path.target, scene, hit, k + 1u != kMaxBounces);
}

// One bounce k of the paths live in `active`: search_bounce_lanes, then
// respond_bounce_lanes.
template <typename F, typename S>
VANTREL_HD inline lane_mask_t<F> trace_bounce_lanes(uint32_t k, lane_mask_t<F> active, CPathLanes<F>& path,
                                                    const S& scene, const CVector3* normal_list,
                                                    CBounceLanes<F>& record)
{
    // Zeroed only so the compiler sees no path that reads it unset.
    lane_hit_t<F> hit{};
    const lane_mask_t<F> found = search_bounce_lanes<F>(k, path, scene, hit);
    return respond_bounce_lanes<F>(k, active, found, hit, nullptr, path, normal_list, record);
}

// Follows the paths from the camera, filling records[0..depth - 1] of each
// lane and drawing from path.state; path.end says how each ended. searches
// receives each lane's number of nearest-hit searches made (segments traced).
template <typename F, typename S>
VANTREL_HD inline void trace_path_lanes(CPathLanes<F>& path, const S& scene, const CVector3* normal_list,
                                        CBounceLanes<F> (&records)[kMaxBounces], lane_uint_t<F>& searches)
{
    using M = lane_mask_t<F>;
    using U = lane_uint_t<F>;
    M active = M(true);
    searches = U(0u);
    VANTREL_UNROLL
    for (uint32_t k = 0; k < kMaxBounces; ++k) {
        searches = searches + lane_select(active, U(1u), U(0u));
        active = trace_bounce_lanes<F>(k, active, path, scene, normal_list, records[k]);
        if (!lane_any(active))
            break;
    }
}

// One channel through one record: m = colour x light, then a blend of m x nd
// and m, each operation rounded in this order.
template <typename F>
VANTREL_HD inline F pass_light_back(F color, F light, F a, F nd)
{
    const F m = color * light;
    return a * (m * nd) + (F(1.0f) - a) * m;
}

// One bounce of the path colour, back to front: where `inside` (a record
// before the light) the colour so far is passed back through the record,
// where `at_light` it starts as the light's emission; elsewhere acc stays.
template <typename F>
VANTREL_HD inline lane_vec3_t<F> combine_record_lanes(const CBounceLanes<F>& record, lane_vec3_t<F> acc,
                                                      lane_mask_t<F> inside, lane_mask_t<F> at_light,
                                                      lane_vec3_t<F> light)
{
    if (lane_any(inside)) {
        const lane_vec3_t<F> passed = {pass_light_back(record.color.x, acc.x, record.blend, record.cosine),
                                       pass_light_back(record.color.y, acc.y, record.blend, record.cosine),
                                       pass_light_back(record.color.z, acc.z, record.blend, record.cosine)};
        acc = vec3_select(inside, passed, acc);
    }
    return vec3_select(at_light, light, acc);
}

// The path colour: the emission of the light that ended it, passed back
// through every earlier record, each scaling it by its colour and by a blend
// between the outgoing cosine and 1 set by its scatter angle. Black for paths
// that met no light. Reads only records[0..depth - 1] of lanes that met a light.
template <typename F>
VANTREL_HD inline lane_vec3_t<F> combine_path_lanes(const CBounceLanes<F>* records, const CPathEndLanes<F>& end)
{
    using M = lane_mask_t<F>;
    using U = lane_uint_t<F>;
    const M lit = end.hit_light && !end.missed;
    lane_vec3_t<F> acc = lane_vec3<F>(CVector3{});
    if (!lane_any(lit))
        return acc;
    const U last = lane_select(lit, end.depth, U(0u));
    const uint32_t deepest = lane_max(last);
    // A fixed count, so the device can unroll it; records past the deepest
    // light of the lanes are skipped.
    VANTREL_UNROLL
    for (uint32_t i = 0; i < kMaxBounces; ++i) {
        const uint32_t k = kMaxBounces - 1u - i;
        if (k <= deepest)
            acc = combine_record_lanes<F>(records[k], acc, lit && U(k) < last, lit && U(k) == last, end.emission);
    }
    return acc;
}

// The path colour from full bounce records: info[0..depth - 1] scattered and
// info[depth] is the light when hit_light (and not missed).
VANTREL_HD inline CVector3 combine_path(const CHitInfo* info, uint32_t depth, bool hit_light, bool missed)
{
    const bool lit = hit_light && !missed && depth < kMaxBounces;
    CBounceLanes<float> records[kMaxBounces] = {};
    for (uint32_t k = 0; lit && k < depth; ++k)
        write_bounce_record<float>(records[k], info[k].color, info[k].scatter_angle, info[k].normal, info[k].out_dir);
    const CVector3 emission = lit ? info[depth].emission : CVector3{};
    return combine_path_lanes<float>(records, CPathEndLanes<float>{depth, hit_light, missed, emission});
}

// The pixels from `first` on, one per lane: trace, combine, accumulate, in
// `scene` (frame.scene, or a backend's own record of it). Returns each lane's
// number of segments searched, for ray statistics.
template <typename F, typename S>
VANTREL_HD inline lane_uint_t<F> path_trace_lanes(uint32_t first, const CFrameArgs& frame, const S& scene,
                                                  CRandomBindings bindings)
{
    using T = CLaneTraits<F>;
    lane_vec3_t<F> origin;
    lane_vec3_t<F> target;
    T::load_ray(frame.rayList, first, origin, target);
    CPathLanes<F> path = start_path_lanes<F>(origin, target, T::load_uint(bindings.rand_list, first));
    // The records are left unset, not zeroed by their members' defaults: a
    // path reads only the records its own bounces wrote.
    union CBounceRecords {
        CBounceLanes<F> list[kMaxBounces];
        VANTREL_HD CBounceRecords() {}
    } records;
    lane_uint_t<F> searches;
    trace_path_lanes<F>(path, scene, bindings.normal_list, records.list, searches);
    T::store_uint(bindings.rand_list, first, path.state);
    accumulate_lanes<F>(first, combine_path_lanes<F>(records.list, path.end), frame.buffer, frame.cbuffer,
                        frame.fbuffer);
    return searches;
}

// One run for pixel p; indices beyond the last pixel touch nothing. Returns the
// number of segments searched, for ray statistics.
VANTREL_HD inline uint32_t path_trace_pixel(uint32_t p, const CFrameArgs& frame, CRandomBindings bindings)
{
    if (p > kLastPixelIndex)
        return 0;
    return path_trace_lanes<float>(p, frame, frame.scene, bindings);
}
