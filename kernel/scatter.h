// SPDX-License-Identifier: Apache-2.0
#pragma once
// Surface response: where a path goes after meeting a surface that does not
// emit. The scatter angle picks diffuse, mirror, glossy spread, clear or
// frosted transmission; every call draws exactly two random numbers.

#include <cstdint>

#include "kernel/hit_info.h"
#include "kernel/intersect.h"
#include "kernel/lanes.h"
#include "kernel/random.h"
#include "scene/records.h"

// True when a lies strictly inside (b - 1/256, b + 1/256).
template <typename F>
VANTREL_HD inline lane_mask_t<F> vec3_compare_epsilon(F a, F b)
{
    const F low = b + F(-kKernelEpsilon);
    const F high = b + F(kKernelEpsilon);
    return a > low && a < high;
}

// The reflection of incoming about normal (incoming - 2 d normal), given
// d = normal . incoming.
template <typename F>
VANTREL_HD inline lane_vec3_t<F> mirror_direction(lane_vec3_t<F> incoming, lane_vec3_t<F> normal, F d)
{
    const F qx = d * normal.x;
    const F qy = d * normal.y;
    const F qz = d * normal.z;
    return {incoming.x - (qx + qx), incoming.y - (qy + qy), incoming.z - (qz + qz)};
}

// Snell's law for the ratio eta = previous index / this index, with the normal
// turned to face the incoming ray. Beyond the critical angle (or for an eta
// that gives no real solution) the mirror direction is returned, so the
// result is finite whenever the mirror direction is.
template <typename F>
VANTREL_HD inline lane_vec3_t<F> refract_direction(lane_vec3_t<F> incoming, lane_vec3_t<F> normal, F d, F eta,
                                                   lane_vec3_t<F> mirror)
{
    using M = lane_mask_t<F>;
    F cos_i = -d;
    const M facing_away = cos_i < F(0.0f);
    normal = vec3_select(facing_away, vec3_negate(normal), normal);
    cos_i = lane_select(facing_away, -cos_i, cos_i);
    const F k = F(1.0f) - eta * eta * (F(1.0f) - cos_i * cos_i);
    const M reflects = !(k >= F(0.0f)) || !lane_isfinite(eta);
    if (lane_all(reflects))
        return mirror;
    return vec3_select(reflects, mirror,
                       vec3_add(vec3_scale(incoming, eta), vec3_scale(normal, eta * cos_i - lane_sqrt(k))));
}

// Rotation of v by theta about the unit axis a (right-handed).
template <typename F>
VANTREL_HD inline lane_vec3_t<F> rotate_about_axis(lane_vec3_t<F> v, lane_vec3_t<F> a, F theta)
{
    const F k = lane_cos(theta);
    const F s = lane_sin(theta);
    const F t = F(1.0f) - k;
    const lane_vec3_t<F> row_x = {t * a.x * a.x + k, t * a.x * a.y - s * a.z, t * a.x * a.z + s * a.y};
    const lane_vec3_t<F> row_y = {t * a.x * a.y + s * a.z, t * a.y * a.y + k, t * a.y * a.z - s * a.x};
    const lane_vec3_t<F> row_z = {t * a.x * a.z - s * a.y, t * a.y * a.z + s * a.x, t * a.z * a.z + k};
    return {vec3_dot(row_x, v), vec3_dot(row_y, v), vec3_dot(row_z, v)};
}

// The direction the surface in hit sends a path arriving along the unit
// vector incoming before any random draw: the mirror direction, or for a
// transmitting surface the refracted one; prev_index is the previous
// surface's refraction index (1 for the first bounce).
template <typename F>
VANTREL_HD inline lane_vec3_t<F> base_direction_lanes(const lane_hit_t<F>& hit, lane_vec3_t<F> incoming, F prev_index)
{
    using M = lane_mask_t<F>;
    using V = lane_vec3_t<F>;
    const V n = hit.normal;
    const F d = vec3_dot_yxz(n, incoming);
    V base_dir = mirror_direction(incoming, n, d);
    const M transmits = hit.scatter_angle < F(0.0f);
    if (lane_any(transmits)) {
        const M same_index = vec3_compare_epsilon(prev_index, hit.refraction_index);
        V through = incoming;
        if (lane_any(transmits && !same_index))
            through = vec3_select(
                same_index, incoming,
                refract_direction(incoming, n, d, lane_div(prev_index, hit.refraction_index), base_dir));
        base_dir = vec3_select(transmits, vec3_normalize_yxz(through), base_dir);
    }
    return base_dir;
}

// The table entry each lane's draw r2 picks (random_unit_vector's), through
// the lane traits. A backend that has reduced the same draws already (to
// prefetch their entries) hands the surface response a table record of its
// own instead of the list, with an overload of this found by
// argument-dependent lookup.
template <typename F>
VANTREL_HD inline lane_vec3_t<F> scatter_table_vector(const CVector3* normal_list, lane_uint_t<F> r2)
{
    return CLaneTraits<F>::load_scatter_vector(normal_list, r2 % lane_uint_t<F>(kNormalLookupModulus));
}

// Outgoing direction from the surface recorded in hit, given its
// base_direction_lanes. Draws two random numbers from state; only live lanes
// keep the advanced state. The table is the list of unit vectors or a
// backend's record of it (scatter_table_vector).
template <typename F, typename Table>
VANTREL_HD inline lane_vec3_t<F> scatter_from_base_lanes(const lane_hit_t<F>& hit, lane_vec3_t<F> base_dir,
                                                         lane_uint_t<F>& state, lane_mask_t<F> live,
                                                         const Table& normal_list)
{
    using M = lane_mask_t<F>;
    using U = lane_uint_t<F>;
    using V = lane_vec3_t<F>;
    const F sa = hit.scatter_angle;
    const V n = hit.normal;

    const U r1 = random_step(state);
    const U r2 = random_step(r1);
    state = lane_select(live, r2, state);

    // random_unit_vector(normal_list, r2), normalised in y, x, z order.
    V v = scatter_table_vector<F>(normal_list, r2);
    v = vec3_select(vec3_dot_yxz(n, v) < F(0.0f), vec3_negate(v), v);

    const M diffuse = vec3_compare_epsilon(sa, F(kDiffuseScatterAngle));
    const M sharp = vec3_compare_epsilon(sa, F(0.0f));
    V out = vec3_select(sharp && !diffuse, base_dir, v);
    const M spread = !diffuse && !sharp;
    if (lane_any(spread)) {
        const F theta = (sa / F(2.0f)) * (lane_to_float(r1 & U(1023u)) / F(512.0f) - F(1.0f));
        out = vec3_select(spread, rotate_about_axis(base_dir, v, theta), out);
    }
    return out;
}

// Outgoing direction for paths arriving along the unit vector incoming at the
// surface recorded in hit; prev_index is the previous surface's refraction
// index (1 for the first bounce). Draws two random numbers from state; only
// live lanes keep the advanced state.
template <typename F>
VANTREL_HD inline lane_vec3_t<F> scatter_lanes(const lane_hit_t<F>& hit, lane_vec3_t<F> incoming, F prev_index,
                                               lane_uint_t<F>& state, lane_mask_t<F> live,
                                               const CVector3* normal_list)
{
    return scatter_from_base_lanes<F>(hit, base_direction_lanes<F>(hit, incoming, prev_index), state, live,
                                      normal_list);
}

// The one-pixel form: advances pixel p's state by two steps.
VANTREL_HD inline CVector3 scatter(const CHitInfo& hit, CVector3 incoming, float prev_index, uint32_t p,
                                   CRandomBindings bindings)
{
    uint32_t state = bindings.rand_list[p];
    const CVector3 out = scatter_lanes<float>(hit, incoming, prev_index, state, true, bindings.normal_list);
    bindings.rand_list[p] = state;
    return out;
}
