#pragma once
// Surface response: where a path goes after meeting a surface that does not
// emit. The scatter angle picks diffuse, mirror, glossy spread, clear or
// frosted transmission; every call draws exactly two random numbers.

#include <cstdint>

#include "kernel/hit_info.h"
#include "kernel/intersect.h"
#include "kernel/random.h"
#include "scene/records.h"

// True when a lies strictly inside (b - 1/256, b + 1/256).
VANTREL_HD inline bool vec3_compare_epsilon(float a, float b)
{
    float low = b + (-kKernelEpsilon);
    float high = b + kKernelEpsilon;
    return a > low && a < high;
}

// The reflection of incoming about normal (incoming - 2 d normal), given
// d = normal . incoming.
VANTREL_HD inline CVector3 mirror_direction(CVector3 incoming, CVector3 normal, float d)
{
    float qx = d * normal.x;
    float qy = d * normal.y;
    float qz = d * normal.z;
    return {incoming.x - (qx + qx), incoming.y - (qy + qy), incoming.z - (qz + qz)};
}

// Snell's law for the ratio eta = previous index / this index, with the normal
// turned to face the incoming ray. Beyond the critical angle (or for an eta
// that gives no real solution) the mirror direction is returned, so the
// result is finite whenever the mirror direction is.
VANTREL_HD inline CVector3 refract_direction(CVector3 incoming, CVector3 normal, float d, float eta,
                                             CVector3 mirror)
{
    float cos_i = -d;
    if (cos_i < 0.0f) {
        normal = vec3_negate(normal);
        cos_i = -cos_i;
    }
    float k = 1.0f - eta * eta * (1.0f - cos_i * cos_i);
    if (!(k >= 0.0f) || !kernel_isfinite(eta))
        return mirror;
    return vec3_add(vec3_scale(incoming, eta), vec3_scale(normal, eta * cos_i - kernel_sqrt(k)));
}

// Rotation of v by theta about the unit axis a (right-handed).
VANTREL_HD inline CVector3 rotate_about_axis(CVector3 v, CVector3 a, float theta)
{
    float k = kernel_cos(theta);
    float s = kernel_sin(theta);
    float t = 1.0f - k;
    CVector3 row_x = {t * a.x * a.x + k, t * a.x * a.y - s * a.z, t * a.x * a.z + s * a.y};
    CVector3 row_y = {t * a.x * a.y + s * a.z, t * a.y * a.y + k, t * a.y * a.z - s * a.x};
    CVector3 row_z = {t * a.x * a.z - s * a.y, t * a.y * a.z + s * a.x, t * a.z * a.z + k};
    return {vec3_dot(row_x, v), vec3_dot(row_y, v), vec3_dot(row_z, v)};
}

// Outgoing direction for a path arriving along the unit vector incoming at the
// surface recorded in hit; prev_index is the previous surface's refraction
// index (1 for the first bounce). Advances pixel p's state by two steps.
VANTREL_HD inline CVector3 scatter(const CHitInfo& hit, CVector3 incoming, float prev_index, uint32_t p,
                                   CRandomBindings bindings)
{
    const float sa = hit.scatter_angle;
    const CVector3 n = hit.normal;

    uint32_t r1 = next_random(bindings.rand_list, p);
    float d = vec3_dot_yxz(n, incoming);
    CVector3 base_dir = mirror_direction(incoming, n, d);
    if (sa < 0.0f) {
        if (vec3_compare_epsilon(prev_index, hit.refraction_index))
            base_dir = incoming;
        else
            base_dir = refract_direction(incoming, n, d, kernel_div(prev_index, hit.refraction_index), base_dir);
        base_dir = vec3_normalize_yxz(base_dir);
    }

    uint32_t r2 = next_random(bindings.rand_list, p);
    CVector3 v = vec3_normalize_yxz(random_unit_vector(bindings.normal_list, r2));
    if (vec3_dot_yxz(n, v) < 0.0f)
        v = vec3_negate(v);

    if (vec3_compare_epsilon(sa, kDiffuseScatterAngle))
        return v;
    if (vec3_compare_epsilon(sa, 0.0f))
        return base_dir;
    float theta = (sa / 2.0f) * (static_cast<float>(r1 % 1024u) / 512.0f - 1.0f);
    return rotate_about_axis(base_dir, v, theta);
}
