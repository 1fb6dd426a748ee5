#pragma once
// Nearest-hit search over the scene's spheres and planes. A ray is a segment:
// the search covers the stretch from 1/256 beyond origin up to target.

#include <cstdint>

#include "kernel/hit_info.h"
#include "scene/records.h"

// Start offset of every search and half-width of every tolerance comparison.
constexpr float kKernelEpsilon = 0.00390625f;

// The hit fields a per-object test fills (everything in CHitInfo but out_dir).
struct CHitCandidate {
    float distance;
    float scatter_angle;
    float refraction_index;
    CVector3 emission;
    CVector3 color;
    CVector3 point;
    CVector3 normal;
};

// The segment in the form every object test uses: start point S, segment
// vector D (t = 0 at S, t = 1 at target) and a = D . D, shared by all objects.
struct CSegment {
    CVector3 start;
    CVector3 span;
    float span_sq;
};

VANTREL_HD inline CSegment make_segment(const CRay3& ray)
{
    CVector3 direction = vec3_normalize(vec3_sub(ray.target, ray.origin));
    CSegment segment;
    segment.start = vec3_add(ray.origin, vec3_scale(direction, kKernelEpsilon));
    segment.span = vec3_sub(ray.target, segment.start);
    segment.span_sq = vec3_dot(segment.span, segment.span);
    return segment;
}

// Accepts t in [0, 1] inclusive; NaN is rejected as well.
VANTREL_HD inline bool segment_parameter_in_range(float t) { return t >= 0.0f && t <= 1.0f; }

template <typename TSurface>
VANTREL_HD inline void fill_candidate(const TSurface& surface, float t, CVector3 point, CVector3 normal,
                                      CHitCandidate& candidate)
{
    candidate.distance = t;
    candidate.scatter_angle = surface.scatter_angle;
    candidate.refraction_index = surface.refraction_index;
    candidate.emission = surface.emission;
    candidate.color = surface.color;
    candidate.point = point;
    candidate.normal = normal;
}

// Only the nearer root is taken: a segment starting inside the sphere never hits it.
VANTREL_HD inline bool intersect_sphere(const CSegment& segment, const CSphere& sphere, CHitCandidate& candidate)
{
    // A zero-length segment has no defined root (0 / 0): no hit.
    if (segment.span_sq == 0.0f)
        return false;
    CVector3 l = vec3_sub(segment.start, sphere.center);
    float b = 2.0f * vec3_dot(segment.span, l);
    float c = vec3_dot(l, l) - sphere.radius * sphere.radius;
    float q = b * b - 4.0f * segment.span_sq * c;
    if (q < 0.0f)
        return false;
    float two_a = 2.0f * segment.span_sq;
    float t = (q == 0.0f) ? kernel_div(-b, two_a) : kernel_div(-(b + kernel_sqrt(q)), two_a);
    if (!segment_parameter_in_range(t))
        return false;
    CVector3 point = vec3_add(segment.start, vec3_scale(segment.span, t));
    fill_candidate(sphere, t, point, vec3_normalize(vec3_sub(point, sphere.center)), candidate);
    return true;
}

// Planes are hit from either side; the stored normal is reported unchanged.
VANTREL_HD inline bool intersect_plane(const CSegment& segment, const CPlane& plane, CHitCandidate& candidate)
{
    float k = vec3_dot(plane.normal, segment.span);
    if (k == 0.0f)
        return false;
    float t = kernel_div(-(plane.distance + vec3_dot(plane.normal, segment.start)), k);
    if (!segment_parameter_in_range(t))
        return false;
    CVector3 point = vec3_add(segment.start, vec3_scale(segment.span, t));
    fill_candidate(plane, t, point, plane.normal, candidate);
    return true;
}

// Tests every sphere, then every plane, in list order; a strictly nearer hit
// replaces the best so far, so ties go to the object tested first. On success
// writes every field of hit but out_dir; on failure leaves hit untouched.
VANTREL_HD inline bool find_nearest_hit(const CRay3& ray, const CSphere* sphere_list, uint32_t sphere_count,
                                        const CPlane* plane_list, uint32_t plane_count, CHitInfo& hit)
{
    CSegment segment = make_segment(ray);
    bool found = false;
    CHitCandidate nearest{};
    CHitCandidate candidate;
    for (uint32_t i = 0; i < sphere_count; ++i) {
        if (intersect_sphere(segment, sphere_list[i], candidate) && (!found || candidate.distance < nearest.distance)) {
            nearest = candidate;
            found = true;
        }
    }
    for (uint32_t i = 0; i < plane_count; ++i) {
        if (intersect_plane(segment, plane_list[i], candidate) && (!found || candidate.distance < nearest.distance)) {
            nearest = candidate;
            found = true;
        }
    }
    if (!found)
        return false;
    hit.distance = nearest.distance;
    hit.scatter_angle = nearest.scatter_angle;
    hit.refraction_index = nearest.refraction_index;
    hit.emission = nearest.emission;
    hit.color = nearest.color;
    hit.point = nearest.point;
    hit.normal = nearest.normal;
    return true;
}
