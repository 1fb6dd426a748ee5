// SPDX-License-Identifier: Apache-2.0
// Scene records: the byte layout the device copies rely on, the defaults of a
// newly made object, and the vector maths with its zero-length rule.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "kernel/hit_info.h"
#include "scene/records.h"
#include "base/vector3.h"

namespace {

void expect_surface_defaults(const CVector3& emission, const CVector3& color, float scatter_angle,
                             float refraction_index)
{
    EXPECT_EQ(emission.x, 0.0f);
    EXPECT_EQ(emission.y, 0.0f);
    EXPECT_EQ(emission.z, 0.0f);
    EXPECT_EQ(color.x, 0.0f);
    EXPECT_EQ(color.y, 0.0f);
    EXPECT_EQ(color.z, 0.0f);
    EXPECT_EQ(std::bit_cast<uint32_t>(scatter_angle), 0x40490fdau);
    EXPECT_EQ(refraction_index, 1.0f);
}

}  // namespace

TEST(Records, ByteSizesMatchThePackedFloatLayout)
{
    EXPECT_EQ(sizeof(CVector3), 12u);
    EXPECT_EQ(sizeof(CRay3), 24u);
    EXPECT_EQ(sizeof(CSphere), 48u);
    EXPECT_EQ(sizeof(CPlane), 48u);
    EXPECT_EQ(sizeof(CHitInfo), 18u * sizeof(float));
}

TEST(Records, FieldOrderIsTheSurfaceDescriptionFirst)
{
    EXPECT_EQ(offsetof(CSphere, emission), 0u);
    EXPECT_EQ(offsetof(CSphere, color), 12u);
    EXPECT_EQ(offsetof(CSphere, scatter_angle), 24u);
    EXPECT_EQ(offsetof(CSphere, refraction_index), 28u);
    EXPECT_EQ(offsetof(CSphere, radius), 32u);
    EXPECT_EQ(offsetof(CSphere, center), 36u);
    EXPECT_EQ(offsetof(CPlane, scatter_angle), 24u);
    EXPECT_EQ(offsetof(CPlane, refraction_index), 28u);
    EXPECT_EQ(offsetof(CPlane, normal), 32u);
    EXPECT_EQ(offsetof(CPlane, distance), 44u);
    EXPECT_EQ(offsetof(CRay3, target), 12u);
    EXPECT_EQ(offsetof(CHitInfo, emission), 12u);
    EXPECT_EQ(offsetof(CHitInfo, point), 36u);
    EXPECT_EQ(offsetof(CHitInfo, normal), 48u);
    EXPECT_EQ(offsetof(CHitInfo, out_dir), 60u);
}

TEST(Records, NewObjectsAreNonEmittingBlackDiffuse)
{
    const CSphere sphere;
    expect_surface_defaults(sphere.emission, sphere.color, sphere.scatter_angle, sphere.refraction_index);
    EXPECT_EQ(sphere.radius, 0.0f);
    EXPECT_EQ(sphere.center.x, 0.0f);
    EXPECT_EQ(sphere.center.y, 0.0f);
    EXPECT_EQ(sphere.center.z, 0.0f);

    const CPlane plane;
    expect_surface_defaults(plane.emission, plane.color, plane.scatter_angle, plane.refraction_index);
    EXPECT_EQ(plane.normal.x, 0.0f);
    EXPECT_EQ(plane.normal.y, 0.0f);
    EXPECT_EQ(plane.normal.z, 0.0f);
    EXPECT_EQ(plane.distance, 0.0f);

    const CRay3 ray;
    EXPECT_EQ(ray.origin.x, 0.0f);
    EXPECT_EQ(ray.target.z, 0.0f);
}

TEST(Records, DefaultScatterAngleIsOneStepBelowTheFloatNearestPi)
{
    const float nearest_pi = static_cast<float>(3.14159265358979323846);
    EXPECT_EQ(std::nextafter(nearest_pi, 0.0f), kDiffuseScatterAngle);
}

TEST(VectorMaths, ArithmeticComponentByComponent)
{
    const CVector3 a{1.0f, -2.0f, 3.0f};
    const CVector3 b{0.5f, 4.0f, -1.0f};
    const CVector3 sum = vec3_add(a, b);
    const CVector3 difference = vec3_sub(a, b);
    const CVector3 scaled = vec3_scale(a, -2.0f);
    const CVector3 product = vec3_mul(a, b);
    EXPECT_EQ(sum.x, 1.5f);
    EXPECT_EQ(sum.y, 2.0f);
    EXPECT_EQ(sum.z, 2.0f);
    EXPECT_EQ(difference.x, 0.5f);
    EXPECT_EQ(difference.y, -6.0f);
    EXPECT_EQ(difference.z, 4.0f);
    EXPECT_EQ(scaled.x, -2.0f);
    EXPECT_EQ(scaled.y, 4.0f);
    EXPECT_EQ(scaled.z, -6.0f);
    EXPECT_EQ(product.x, 0.5f);
    EXPECT_EQ(product.y, -8.0f);
    EXPECT_EQ(product.z, -3.0f);
    EXPECT_EQ(vec3_dot(a, b), 0.5f - 8.0f - 3.0f);
    EXPECT_EQ(vec3_dot_yxz(a, b), 0.5f - 8.0f - 3.0f);
    EXPECT_EQ(vec3_length(CVector3{3.0f, 4.0f, 12.0f}), 13.0f);
}

TEST(VectorMaths, NormaliseDividesByTheLength)
{
    const CVector3 u = vec3_normalize(CVector3{0.0f, -3.0f, 4.0f});
    EXPECT_FLOAT_EQ(u.x, 0.0f);
    EXPECT_FLOAT_EQ(u.y, -0.6f);
    EXPECT_FLOAT_EQ(u.z, 0.8f);
    const CVector3 w = vec3_normalize_yxz(CVector3{0.0f, -3.0f, 4.0f});
    EXPECT_EQ(w.y, u.y);
    EXPECT_EQ(w.z, u.z);

    // A vector of length exactly 1 comes back unchanged.
    const CVector3 axis = vec3_normalize(CVector3{-1.0f, 0.0f, 0.0f});
    EXPECT_EQ(axis.x, -1.0f);
    EXPECT_EQ(axis.y, 0.0f);
    EXPECT_EQ(axis.z, 0.0f);
}

TEST(VectorMaths, NormalisingZeroGivesZeroNotNaN)
{
    for (const CVector3 zero : {vec3_normalize(CVector3{}), vec3_normalize_yxz(CVector3{})}) {
        EXPECT_EQ(zero.x, 0.0f);
        EXPECT_EQ(zero.y, 0.0f);
        EXPECT_EQ(zero.z, 0.0f);
    }
    // Only a length of exactly 0 is replaced: a tiny vector is still scaled up.
    const float tiny = std::numeric_limits<float>::min();
    const CVector3 small = vec3_normalize(CVector3{0.0f, 0.0f, 1.0e-10f});
    EXPECT_FLOAT_EQ(small.z, 1.0f);
    const CVector3 underflowing = vec3_normalize(CVector3{tiny, 0.0f, 0.0f});
    EXPECT_TRUE(std::isfinite(underflowing.x));
}
