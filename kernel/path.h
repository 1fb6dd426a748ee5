#pragma once
// The per-pixel body of one frame: follow the camera ray for up to five
// bounces, combine the bounce records back to front into one colour, and
// accumulate it. The CUDA kernel and the CPU pass both call path_trace_pixel.

#include <cstdint>

#include "kernel/accumulate.h"
#include "kernel/hit_info.h"
#include "kernel/intersect.h"
#include "kernel/random.h"
#include "kernel/scatter.h"
#include "scene/records.h"

constexpr uint32_t kMaxBounces = 5u;
// A bounce ray's target lies this far along the outgoing direction.
constexpr float kBounceReach = 10000.0f;

// How a path ended: the bounce index, and whether it met a light or nothing.
struct CPathEnd {
    uint32_t depth;
    bool hit_light;
    bool missed;
};

// Follows the camera ray, filling info[0..depth]. searches receives the number
// of nearest-hit searches made (segments traced).
VANTREL_HD inline CPathEnd trace_path(const CRay3& camera_ray, const CSphere* sphere_list, uint32_t sphere_count,
                                      const CPlane* plane_list, uint32_t plane_count, uint32_t p,
                                      CRandomBindings bindings, CHitInfo (&info)[kMaxBounces], uint32_t& searches)
{
    CRay3 ray = camera_ray;
    float prev_index = 1.0f;
    searches = 0;
    for (uint32_t k = 0; k < kMaxBounces; ++k) {
        ++searches;
        if (!find_nearest_hit(ray, sphere_list, sphere_count, plane_list, plane_count, info[k]))
            return {k, false, true};
        const CVector3 emission = info[k].emission;
        if (emission.x != 0.0f || emission.y != 0.0f || emission.z != 0.0f)
            return {k, true, false};
        CVector3 incoming = vec3_normalize(vec3_sub(info[k].point, ray.origin));
        info[k].out_dir = scatter(info[k], incoming, prev_index, p, bindings);
        prev_index = info[k].refraction_index;
        ray.origin = info[k].point;
        ray.target = vec3_add(info[k].point, vec3_scale(info[k].out_dir, kBounceReach));
    }
    return {kMaxBounces, false, false};
}

// One channel through one record: m = colour x light, then a blend of m x nd
// and m, each operation rounded in this order.
VANTREL_HD inline float pass_light_back(float color, float light, float a, float nd)
{
    const float m = color * light;
    return a * (m * nd) + (1.0f - a) * m;
}

// The path colour: the emission of the light that ended it, passed back
// through every earlier record, each scaling it by its colour and by a blend
// between the outgoing cosine and 1 set by its scatter angle.
VANTREL_HD inline CVector3 combine_path(const CHitInfo* info, uint32_t depth, bool hit_light, bool missed)
{
    if (!hit_light || missed)
        return CVector3{};
    if (depth == 0)
        return info[0].emission;
    CVector3 acc = info[depth].emission;
    for (uint32_t k = depth; k-- > 0;) {
        const float a = kernel_div(info[k].scatter_angle, kDiffuseScatterAngle);
        float nd = vec3_dot(info[k].normal, info[k].out_dir);
        if (nd < 0.0f)
            nd = 0.0f;
        acc.x = pass_light_back(info[k].color.x, acc.x, a, nd);
        acc.y = pass_light_back(info[k].color.y, acc.y, a, nd);
        acc.z = pass_light_back(info[k].color.z, acc.z, a, nd);
    }
    return acc;
}

// One run for pixel p; indices beyond the last pixel touch nothing. Returns the
// number of segments searched, for ray statistics.
VANTREL_HD inline uint32_t path_trace_pixel(uint32_t p, const CSphere* sphere_list, uint32_t sphere_count,
                                            const CPlane* plane_list, uint32_t plane_count, const CRay3* rayList,
                                            float* buffer, uint32_t* cbuffer, uint8_t* fbuffer,
                                            CRandomBindings bindings)
{
    if (p > kLastPixelIndex)
        return 0;
    CHitInfo info[kMaxBounces];
    uint32_t searches = 0;
    const CPathEnd end =
        trace_path(rayList[p], sphere_list, sphere_count, plane_list, plane_count, p, bindings, info, searches);
    accumulate_sample(p, combine_path(info, end.depth, end.hit_light, end.missed), buffer, cbuffer, fbuffer);
    return searches;
}
