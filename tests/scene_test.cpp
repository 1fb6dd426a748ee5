// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "base/image_size.h"
#include "scene/host_random.h"
#include "kernel/random.h"
#include "scene/built_in_scene.h"

namespace {
class SceneTest : public testing::Test {
protected:
    void SetUp() override
    {
        host_srand(2024u);
        ASSERT_TRUE(build_scene());
    }
    void TearDown() override { scene_release(); }
};

TEST_F(SceneTest, SurfacePropertiesAsBuilt)
{
    EXPECT_EQ(g_spheres[0].scatter_angle, 0.0f);
    EXPECT_EQ(g_spheres[1].scatter_angle, 0.0f);
    EXPECT_EQ(std::bit_cast<uint32_t>(g_spheres[2].scatter_angle), 0x40490fdau);
    for (uint32_t k = 0; k < kSphereCount; ++k)
        EXPECT_EQ(g_spheres[k].refraction_index, 1.0f) << "sphere " << k;
    for (uint32_t k = 0; k < kPlaneCount; ++k) {
        EXPECT_EQ(g_planes[k].scatter_angle, 3.1415925f) << "plane " << k;
        EXPECT_EQ(g_planes[k].refraction_index, 1.0f) << "plane " << k;
    }
    // The red mirror's green and blue are the float nearest 0.1.
    EXPECT_EQ(std::bit_cast<uint32_t>(g_spheres[1].color.y), 0x3DCCCCCDu);
    EXPECT_EQ(std::bit_cast<uint32_t>(g_spheres[1].color.z), 0x3DCCCCCDu);
    EXPECT_EQ(g_planes[2].color.x, 1.0f);   // left wall red
    EXPECT_EQ(g_planes[3].color.z, 1.0f);   // right wall blue
    EXPECT_EQ(g_planes[2].color.z, 0.5f);
    EXPECT_EQ(g_planes[3].color.x, 0.5f);
}

TEST_F(SceneTest, OnlyTheCeilingEmits)
{
    auto emits = [](const CVector3& e) { return e.x != 0.0f || e.y != 0.0f || e.z != 0.0f; };
    for (uint32_t k = 0; k < kSphereCount; ++k)
        EXPECT_FALSE(emits(g_spheres[k].emission)) << "sphere " << k;
    for (uint32_t k = 0; k < 5; ++k)
        EXPECT_FALSE(emits(g_planes[k].emission)) << "plane " << k;
    EXPECT_EQ(g_planes[5].emission.x, 3.0f);
    EXPECT_EQ(g_planes[5].emission.y, 3.0f);
    EXPECT_EQ(g_planes[5].emission.z, 3.0f);
}

TEST_F(SceneTest, TheBoxIsClosedAroundTheCamera)
{
    // Every normal is a unit vector pointing into the box, so the origin is on its inner side.
    const float expected_distance[6] = {100.0f, 50.0f, 50.0f, 50.0f, 1.0f, 30.0f};
    for (uint32_t k = 0; k < kPlaneCount; ++k) {
        const CVector3 n = g_planes[k].normal;
        EXPECT_EQ(n.x * n.x + n.y * n.y + n.z * n.z, 1.0f) << "plane " << k;
        EXPECT_EQ(g_planes[k].distance, expected_distance[k]) << "plane " << k;
    }
    EXPECT_EQ(g_planes[5].normal.y, -1.0f);  // the ceiling faces down
    EXPECT_EQ(g_planes[4].normal.z, -1.0f);  // the wall behind the camera faces forward
}

TEST_F(SceneTest, EverySphereStandsOnTheFloor)
{
    for (uint32_t k = 0; k < kSphereCount; ++k) {
        EXPECT_EQ(g_spheres[k].center.y - g_spheres[k].radius, -50.0f) << "sphere " << k;
        // and inside the box (the white ball touches the back wall)
        EXPECT_GT(g_spheres[k].center.x - g_spheres[k].radius, -50.0f);
        EXPECT_LT(g_spheres[k].center.x + g_spheres[k].radius, 50.0f);
        EXPECT_GE(g_spheres[k].center.z - g_spheres[k].radius, -100.0f);
    }
    EXPECT_EQ(g_spheres[2].radius, 10.0f);
    EXPECT_EQ(g_spheres[2].center.z, -90.0f);
}

TEST(SceneSeeds, SeedsAreTheNextDrawsAndTheSceneDrawsNoMore)
{
    host_srand(99u);
    ASSERT_TRUE(build_scene());
    const uint32_t next_after_scene = host_rand();

    host_srand(99u);
    std::vector<uint32_t> expected(kPixelCount);
    fill_seed_list(expected.data());
    const uint32_t next_after_seeds = host_rand();

    EXPECT_EQ(std::memcmp(seed_list.get(), expected.data(), kPixelCount * sizeof(uint32_t)), 0);
    EXPECT_EQ(next_after_scene, next_after_seeds);
    scene_release();
    EXPECT_EQ(g_spheres, nullptr);
    EXPECT_EQ(g_planes, nullptr);
    EXPECT_EQ(seed_list, nullptr);
}
}  // namespace
