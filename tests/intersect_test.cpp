// SPDX-License-Identifier: Apache-2.0
// Nearest-hit search: the segment from 1/256 beyond origin to target, the
// nearer sphere root only, inclusive t bounds, planes from either side, and
// ties going to the object tested first.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kernel/intersect.h"

namespace {

// Tags every object through its colour's red channel so a test can tell which
// one was reported; the other surface fields differ per object as well.
CSphere make_sphere(CVector3 center, float radius, float tag)
{
    CSphere sphere;
    sphere.center = center;
    sphere.radius = radius;
    sphere.color = {tag, 0.25f, 0.5f};
    sphere.emission = {0.0f, tag, 0.0f};
    sphere.scatter_angle = tag * 0.125f;
    sphere.refraction_index = 1.0f + tag;
    return sphere;
}

CPlane make_plane(CVector3 normal, float distance, float tag)
{
    CPlane plane;
    plane.normal = normal;
    plane.distance = distance;
    plane.color = {tag, 0.75f, 0.5f};
    plane.emission = {0.0f, 0.0f, tag};
    plane.scatter_angle = -tag;
    plane.refraction_index = 2.0f + tag;
    return plane;
}

// A record full of a recognisable pattern, to show what was (not) written.
CHitInfo sentinel_record()
{
    CHitInfo hit;
    std::memset(static_cast<void*>(&hit), 0x5a, sizeof hit);
    return hit;
}

struct CScene {
    std::vector<CSphere> spheres;
    std::vector<CPlane> planes;

    bool trace(CRay3 ray, CHitInfo& hit) const
    {
        return find_nearest_hit(ray, spheres.data(), static_cast<uint32_t>(spheres.size()), planes.data(),
                                static_cast<uint32_t>(planes.size()), hit);
    }
};

const CRay3 kDownZ{{0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, -1000.0f}};
// With this origin the start point is exactly (0, 2, 0) and the segment
// vector exactly (0, 0, -8), so the roots below are exact.
const CRay3 kExactRay{{0.0f, 2.0f, 0.00390625f}, {0.0f, 2.0f, -8.0f}};

void expect_vec(CVector3 actual, float x, float y, float z)
{
    EXPECT_EQ(actual.x, x);
    EXPECT_EQ(actual.y, y);
    EXPECT_EQ(actual.z, z);
}

void expect_vec_near(CVector3 actual, float x, float y, float z, float tolerance)
{
    EXPECT_NEAR(actual.x, x, tolerance);
    EXPECT_NEAR(actual.y, y, tolerance);
    EXPECT_NEAR(actual.z, z, tolerance);
}

}  // namespace

TEST(FindNearestHit, PlaneAheadIsHitJustUnderOneTenth)
{
    CScene scene;
    scene.planes.push_back(make_plane({0.0f, 0.0f, 1.0f}, 100.0f, 3.0f));
    CHitInfo hit = sentinel_record();
    const CHitInfo before = hit;
    ASSERT_TRUE(scene.trace(kDownZ, hit));
    const float expected_t = (100.0f - 0.00390625f) / (1000.0f - 0.00390625f);
    EXPECT_FLOAT_EQ(hit.distance, expected_t);
    EXPECT_LT(hit.distance, 0.1f);
    expect_vec_near(hit.point, 0.0f, 0.0f, -100.0f, 1e-4f);
    expect_vec(hit.normal, 0.0f, 0.0f, 1.0f);
    // The surface fields come from the plane; out_dir is not touched.
    EXPECT_EQ(hit.scatter_angle, -3.0f);
    EXPECT_EQ(hit.refraction_index, 5.0f);
    expect_vec(hit.emission, 0.0f, 0.0f, 3.0f);
    expect_vec(hit.color, 3.0f, 0.75f, 0.5f);
    EXPECT_EQ(std::memcmp(&hit.out_dir, &before.out_dir, sizeof hit.out_dir), 0);
}

TEST(FindNearestHit, SphereAheadIsHitAtItsNearSide)
{
    CScene scene;
    scene.spheres.push_back(make_sphere({0.0f, 0.0f, -50.0f}, 10.0f, 1.0f));
    CHitInfo hit = sentinel_record();
    const CHitInfo before = hit;
    ASSERT_TRUE(scene.trace(kDownZ, hit));
    EXPECT_FLOAT_EQ(hit.distance, (40.0f - 0.00390625f) / (1000.0f - 0.00390625f));
    EXPECT_LT(hit.distance, 0.04f);
    expect_vec_near(hit.point, 0.0f, 0.0f, -40.0f, 1e-3f);
    expect_vec_near(hit.normal, 0.0f, 0.0f, 1.0f, 1e-6f);
    EXPECT_EQ(hit.scatter_angle, 0.125f);
    EXPECT_EQ(hit.refraction_index, 2.0f);
    expect_vec(hit.emission, 0.0f, 1.0f, 0.0f);
    expect_vec(hit.color, 1.0f, 0.25f, 0.5f);
    EXPECT_EQ(std::memcmp(&hit.out_dir, &before.out_dir, sizeof hit.out_dir), 0);
}

TEST(FindNearestHit, NearerSurfaceWinsWhateverTheListOrder)
{
    CScene scene;
    scene.spheres.push_back(make_sphere({0.0f, 0.0f, -50.0f}, 10.0f, 1.0f));
    scene.planes.push_back(make_plane({0.0f, 0.0f, 1.0f}, 100.0f, 3.0f));
    CHitInfo hit = sentinel_record();
    ASSERT_TRUE(scene.trace(kDownZ, hit));
    EXPECT_EQ(hit.color.x, 1.0f);
    expect_vec(hit.emission, 0.0f, 1.0f, 0.0f);

    // Planes: the nearer one sits at the higher index.
    CScene planes;
    planes.planes.push_back(make_plane({0.0f, 0.0f, 1.0f}, 100.0f, 3.0f));
    planes.planes.push_back(make_plane({0.0f, 0.0f, 1.0f}, 20.0f, 4.0f));
    ASSERT_TRUE(planes.trace(kDownZ, hit));
    EXPECT_EQ(hit.color.x, 4.0f);
    expect_vec_near(hit.point, 0.0f, 0.0f, -20.0f, 1e-4f);

    // Spheres likewise; the later, nearer sphere replaces the first.
    CScene spheres;
    spheres.spheres.push_back(make_sphere({0.0f, 0.0f, -500.0f}, 10.0f, 1.0f));
    spheres.spheres.push_back(make_sphere({0.0f, 0.0f, -50.0f}, 10.0f, 2.0f));
    spheres.spheres.push_back(make_sphere({0.0f, 0.0f, -300.0f}, 10.0f, 3.0f));
    ASSERT_TRUE(spheres.trace(kDownZ, hit));
    EXPECT_EQ(hit.color.x, 2.0f);
}

TEST(FindNearestHit, SegmentStartingInsideASphereNeverHitsIt)
{
    CScene scene;
    scene.spheres.push_back(make_sphere({0.0f, 0.0f, -50.0f}, 10.0f, 1.0f));
    scene.planes.push_back(make_plane({0.0f, 0.0f, 1.0f}, 100.0f, 3.0f));
    CHitInfo hit = sentinel_record();
    ASSERT_TRUE(scene.trace(CRay3{{0.0f, 0.0f, -50.0f}, {0.0f, 0.0f, -1000.0f}}, hit));
    EXPECT_EQ(hit.color.x, 3.0f);
    expect_vec_near(hit.point, 0.0f, 0.0f, -100.0f, 1e-4f);

    // From a point on the sphere heading inwards: the far wall is not found
    // either, the path goes on to the plane.
    ASSERT_TRUE(scene.trace(CRay3{{0.0f, 0.0f, -40.0f}, {0.0f, 0.0f, -1000.0f}}, hit));
    EXPECT_EQ(hit.color.x, 3.0f);
}

TEST(FindNearestHit, RayLeavingTheSurfaceItStartsOnDoesNotFindItAgain)
{
    CScene scene;
    scene.spheres.push_back(make_sphere({0.0f, 0.0f, -50.0f}, 10.0f, 1.0f));
    scene.planes.push_back(make_plane({0.0f, 0.0f, 1.0f}, 100.0f, 3.0f));
    CHitInfo hit = sentinel_record();
    const CHitInfo before = hit;
    // From the plane at z = -100 back towards +z, and from the sphere's near
    // point and its equator, heading away from it.
    CScene plane_only;
    plane_only.planes = scene.planes;
    EXPECT_FALSE(plane_only.trace(CRay3{{0.0f, 0.0f, -100.0f}, {0.0f, 0.0f, 1000.0f}}, hit));
    CScene sphere_only;
    sphere_only.spheres = scene.spheres;
    EXPECT_FALSE(sphere_only.trace(CRay3{{0.0f, 0.0f, -40.0f}, {0.0f, 0.0f, 1000.0f}}, hit));
    EXPECT_FALSE(sphere_only.trace(CRay3{{10.0f, 0.0f, -50.0f}, {1000.0f, 5.0f, -50.0f}}, hit));
    EXPECT_EQ(std::memcmp(&hit, &before, sizeof hit), 0);
}

TEST(FindNearestHit, BoundsAreInclusiveAtBothEnds)
{
    CHitInfo hit = sentinel_record();

    // Plane through the target itself: t = 1 exactly.
    CScene at_target;
    at_target.planes.push_back(make_plane({0.0f, 0.0f, 1.0f}, 100.0f, 1.0f));
    ASSERT_TRUE(at_target.trace(CRay3{{0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, -100.0f}}, hit));
    EXPECT_EQ(hit.distance, 1.0f);
    expect_vec(hit.point, 0.0f, 0.0f, -100.0f);
    // Target just short of the plane: beyond the segment.
    EXPECT_FALSE(at_target.trace(CRay3{{0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, -99.9f}}, hit));

    // Plane through the start point (1/256 beyond origin): t = 0 exactly.
    CScene at_start;
    at_start.planes.push_back(make_plane({0.0f, 0.0f, 1.0f}, 0.00390625f, 2.0f));
    ASSERT_TRUE(at_start.trace(kDownZ, hit));
    EXPECT_EQ(hit.distance, 0.0f);
    expect_vec(hit.point, 0.0f, 0.0f, -0.00390625f);
    // A plane between origin and start point lies behind the search.
    CScene behind_start;
    behind_start.planes.push_back(make_plane({0.0f, 0.0f, 1.0f}, 0.001f, 2.0f));
    EXPECT_FALSE(behind_start.trace(kDownZ, hit));

    // Spheres: one touching the start point (t = 0), one touching the target (t = 1).
    CScene sphere_at_start;
    sphere_at_start.spheres.push_back(make_sphere({0.0f, 2.0f, -2.0f}, 2.0f, 1.0f));
    ASSERT_TRUE(sphere_at_start.trace(kExactRay, hit));
    EXPECT_EQ(hit.distance, 0.0f);
    expect_vec(hit.point, 0.0f, 2.0f, 0.0f);
    expect_vec(hit.normal, 0.0f, 0.0f, 1.0f);

    CScene sphere_at_target;
    sphere_at_target.spheres.push_back(make_sphere({0.0f, 2.0f, -10.0f}, 2.0f, 1.0f));
    ASSERT_TRUE(sphere_at_target.trace(kExactRay, hit));
    EXPECT_EQ(hit.distance, 1.0f);
    expect_vec(hit.point, 0.0f, 2.0f, -8.0f);
    expect_vec(hit.normal, 0.0f, 0.0f, 1.0f);

    CScene sphere_beyond;
    sphere_beyond.spheres.push_back(make_sphere({0.0f, 2.0f, -10.5f}, 2.0f, 1.0f));
    EXPECT_FALSE(sphere_beyond.trace(kExactRay, hit));
}

TEST(FindNearestHit, GrazingSphereIsHitAtTheDoubleRoot)
{
    // S = (0, 2, 0), D = (0, 0, -8), centre (0, 0, -4), radius 2:
    // a = 64, b = -64, c = 16, so q = 4096 - 4096 = 0 and t = 64 / 128.
    CScene scene;
    scene.spheres.push_back(make_sphere({0.0f, 0.0f, -4.0f}, 2.0f, 1.0f));
    CHitInfo hit = sentinel_record();
    ASSERT_TRUE(scene.trace(kExactRay, hit));
    EXPECT_EQ(hit.distance, 0.5f);
    expect_vec(hit.point, 0.0f, 2.0f, -4.0f);
    expect_vec(hit.normal, 0.0f, 1.0f, 0.0f);

    // The same tangent point beyond the target is not found.
    EXPECT_FALSE(scene.trace(CRay3{{0.0f, 2.0f, 0.00390625f}, {0.0f, 2.0f, -3.0f}}, hit));
}

TEST(FindNearestHit, SphereNormalIsTheOutwardUnitVectorAtThePoint)
{
    CScene scene;
    scene.spheres.push_back(make_sphere({0.0f, 0.0f, -50.0f}, 10.0f, 1.0f));
    CHitInfo hit = sentinel_record();
    ASSERT_TRUE(scene.trace(CRay3{{3.0f, 4.0f, 0.0f}, {3.0f, 4.0f, -1000.0f}}, hit));
    const float length = vec3_length(hit.normal);
    EXPECT_NEAR(length, 1.0f, 1e-6f);
    EXPECT_NEAR(hit.normal.x, 0.3f, 1e-5f);
    EXPECT_NEAR(hit.normal.y, 0.4f, 1e-5f);
    EXPECT_NEAR(hit.normal.z, 0.8660254f, 1e-5f);
}

TEST(FindNearestHit, ParallelPlaneIsNeverHitEvenWhenTheSegmentLiesInIt)
{
    CScene scene;
    scene.planes.push_back(make_plane({1.0f, 0.0f, 0.0f}, 0.0f, 1.0f));  // the plane x = 0
    scene.planes.push_back(make_plane({0.0f, 1.0f, 0.0f}, 5.0f, 2.0f));  // the plane y = -5
    CHitInfo hit = sentinel_record();
    const CHitInfo before = hit;
    EXPECT_FALSE(scene.trace(kDownZ, hit));
    EXPECT_EQ(std::memcmp(&hit, &before, sizeof hit), 0);
}

TEST(FindNearestHit, PlaneHitFromBehindKeepsItsStoredNormal)
{
    CScene scene;
    scene.planes.push_back(make_plane({0.0f, 0.0f, 1.0f}, 100.0f, 1.0f));
    CHitInfo hit = sentinel_record();
    ASSERT_TRUE(scene.trace(CRay3{{0.0f, 0.0f, -200.0f}, {0.0f, 0.0f, 1000.0f}}, hit));
    expect_vec_near(hit.point, 0.0f, 0.0f, -100.0f, 1e-4f);
    expect_vec(hit.normal, 0.0f, 0.0f, 1.0f);

    // A non-unit stored normal is handed on as it is.
    CScene unnormalised;
    unnormalised.planes.push_back(make_plane({0.0f, 0.0f, 2.0f}, 200.0f, 1.0f));
    ASSERT_TRUE(unnormalised.trace(kDownZ, hit));
    expect_vec(hit.normal, 0.0f, 0.0f, 2.0f);
    expect_vec_near(hit.point, 0.0f, 0.0f, -100.0f, 1e-4f);
}

TEST(FindNearestHit, TiesGoToTheObjectTestedFirst)
{
    // Everything below meets kExactRay at t = 0.5 exactly, at (0, 2, -4).
    const CSphere head_on = make_sphere({0.0f, 2.0f, -6.0f}, 2.0f, 1.0f);  // normal (0, 0, 1)
    const CSphere grazing = make_sphere({0.0f, 0.0f, -4.0f}, 2.0f, 2.0f);  // normal (0, 1, 0)
    const CPlane facing = make_plane({0.0f, 0.0f, 1.0f}, 4.0f, 3.0f);
    const CPlane away = make_plane({0.0f, 0.0f, -1.0f}, -4.0f, 4.0f);
    CHitInfo hit = sentinel_record();

    CScene sphere_and_plane;
    sphere_and_plane.planes = {facing};
    sphere_and_plane.spheres = {grazing};
    ASSERT_TRUE(sphere_and_plane.trace(kExactRay, hit));
    EXPECT_EQ(hit.distance, 0.5f);
    EXPECT_EQ(hit.color.x, 2.0f);

    CScene two_spheres;
    two_spheres.spheres = {head_on, grazing};
    ASSERT_TRUE(two_spheres.trace(kExactRay, hit));
    EXPECT_EQ(hit.color.x, 1.0f);
    expect_vec(hit.normal, 0.0f, 0.0f, 1.0f);
    two_spheres.spheres = {grazing, head_on};
    ASSERT_TRUE(two_spheres.trace(kExactRay, hit));
    EXPECT_EQ(hit.color.x, 2.0f);
    expect_vec(hit.normal, 0.0f, 1.0f, 0.0f);

    CScene two_planes;
    two_planes.planes = {facing, away};
    ASSERT_TRUE(two_planes.trace(kExactRay, hit));
    EXPECT_EQ(hit.color.x, 3.0f);
    two_planes.planes = {away, facing};
    ASSERT_TRUE(two_planes.trace(kExactRay, hit));
    EXPECT_EQ(hit.color.x, 4.0f);
    expect_vec(hit.normal, 0.0f, 0.0f, -1.0f);
}

TEST(FindNearestHit, NothingFoundLeavesTheRecordAsItWas)
{
    CHitInfo hit = sentinel_record();
    const CHitInfo before = hit;
    EXPECT_FALSE(find_nearest_hit(kDownZ, nullptr, 0, nullptr, 0, hit));
    EXPECT_EQ(std::memcmp(&hit, &before, sizeof hit), 0);

    CScene scene;
    scene.spheres.push_back(make_sphere({0.0f, 50.0f, -50.0f}, 10.0f, 1.0f));
    scene.planes.push_back(make_plane({0.0f, 0.0f, 1.0f}, -100.0f, 3.0f));  // behind the origin
    EXPECT_FALSE(scene.trace(kDownZ, hit));
    EXPECT_EQ(std::memcmp(&hit, &before, sizeof hit), 0);

    // A count of 0 skips objects that would be hit.
    scene.spheres[0].center = {0.0f, 0.0f, -50.0f};
    EXPECT_FALSE(find_nearest_hit(kDownZ, scene.spheres.data(), 0, scene.planes.data(), 0, hit));
    EXPECT_EQ(std::memcmp(&hit, &before, sizeof hit), 0);
}

TEST(FindNearestHit, ZeroLengthSegmentHitsNothing)
{
    CScene scene;
    scene.spheres.push_back(make_sphere({0.0f, 2.0f, 0.0f}, 1.0f, 1.0f));    // around the point
    scene.spheres.push_back(make_sphere({0.0f, 2.0f, -2.0f}, 2.0f, 2.0f));   // through the point
    scene.planes.push_back(make_plane({0.0f, 0.0f, 1.0f}, 0.0f, 3.0f));      // through the point
    CHitInfo hit = sentinel_record();
    const CHitInfo before = hit;
    const CVector3 point{0.0f, 2.0f, 0.0f};
    EXPECT_FALSE(scene.trace(CRay3{point, point}, hit));
    EXPECT_EQ(std::memcmp(&hit, &before, sizeof hit), 0);
}
