// SPDX-License-Identifier: Apache-2.0
// Surface response: the scatter-angle windows (diffuse, mirror, glossy, clear
// and frosted transmission), refraction, the random direction turned into the
// normal's hemisphere, and exactly two draws per call.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernel/scatter.h"

namespace {

constexpr uint32_t kPixel = 2;
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The state whose next step is r (16807 is odd, so it has an inverse mod 2^32).
uint32_t state_before(uint32_t r)
{
    uint32_t inverse = 16807u;
    for (int i = 0; i < 5; ++i)
        inverse *= 2u - 16807u * inverse;
    return r * inverse;
}

uint32_t step(uint32_t state)
{
    uint32_t copy = state;
    return next_random(&copy, 0);
}

CHitInfo make_hit(CVector3 normal, float scatter_angle, float refraction_index = 1.0f)
{
    CHitInfo hit{};
    hit.point = {1.0f, 2.0f, 3.0f};
    hit.normal = normal;
    hit.scatter_angle = scatter_angle;
    hit.refraction_index = refraction_index;
    return hit;
}

// A table of one repeated direction, so the lookup does not matter unless a
// test sets particular entries, and a few pixel states.
struct CScatterRig {
    std::vector<CVector3> table;
    std::vector<uint32_t> states = std::vector<uint32_t>(4, 99u);

    explicit CScatterRig(CVector3 table_entry) : table(kDeviceNormalCount, table_entry) {}

    // One scatter whose first draw is r1.
    CVector3 run(const CHitInfo& hit, CVector3 incoming, float prev_index, uint32_t r1)
    {
        states[kPixel] = state_before(r1);
        return scatter(hit, incoming, prev_index, kPixel, CRandomBindings{table.data(), states.data()});
    }
};

void expect_vec(CVector3 actual, CVector3 expected)
{
    EXPECT_EQ(actual.x, expected.x);
    EXPECT_EQ(actual.y, expected.y);
    EXPECT_EQ(actual.z, expected.z);
}

void expect_vec_float(CVector3 actual, CVector3 expected)
{
    EXPECT_FLOAT_EQ(actual.x, expected.x);
    EXPECT_FLOAT_EQ(actual.y, expected.y);
    EXPECT_FLOAT_EQ(actual.z, expected.z);
}

void expect_vec_near(CVector3 actual, CVector3 expected, float tolerance)
{
    EXPECT_NEAR(actual.x, expected.x, tolerance);
    EXPECT_NEAR(actual.y, expected.y, tolerance);
    EXPECT_NEAR(actual.z, expected.z, tolerance);
}

// Angle between two unit vectors, accurate for small angles too.
double angle_between(CVector3 a, CVector3 b)
{
    const double cx = double(a.y) * b.z - double(a.z) * b.y;
    const double cy = double(a.z) * b.x - double(a.x) * b.z;
    const double cz = double(a.x) * b.y - double(a.y) * b.x;
    const double dot = double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z;
    return std::atan2(std::sqrt(cx * cx + cy * cy + cz * cz), dot);
}

bool finite(CVector3 v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

const CVector3 kUp{0.0f, 1.0f, 0.0f};
const CVector3 kDown{0.0f, -1.0f, 0.0f};
const CVector3 kSlantDown{0.6f, -0.8f, 0.0f};

}  // namespace

TEST(CompareEpsilon, BoundsAreStrictAndComputedInSinglePrecision)
{
    const float above = 1.0f + 0.00390625f;
    const float below = 1.0f - 0.00390625f;
    EXPECT_TRUE(vec3_compare_epsilon(1.0f, 1.0f));
    EXPECT_TRUE(vec3_compare_epsilon(std::nextafter(above, 0.0f), 1.0f));
    EXPECT_FALSE(vec3_compare_epsilon(above, 1.0f));
    EXPECT_TRUE(vec3_compare_epsilon(std::nextafter(below, 2.0f), 1.0f));
    EXPECT_FALSE(vec3_compare_epsilon(below, 1.0f));
    EXPECT_FALSE(vec3_compare_epsilon(kNaN, 1.0f));
    EXPECT_FALSE(vec3_compare_epsilon(1.0f, kNaN));
    // The bounds b -/+ 1/256 round to b itself for a large b, so nothing lies
    // strictly between them, not even b.
    EXPECT_FALSE(vec3_compare_epsilon(1.0e8f, 1.0e8f));
    // The diffuse window around the default angle.
    EXPECT_EQ(kDiffuseScatterAngle - 0.00390625f, 3.137686252593994f);
    EXPECT_EQ(kDiffuseScatterAngle + 0.00390625f, 3.145498752593994f);
}

TEST(Scatter, MirrorReflectsWhicheverWayTheNormalFaces)
{
    CScatterRig rig(kUp);
    expect_vec(rig.run(make_hit(kUp, 0.0f), kSlantDown, 1.0f, 7), CVector3{0.6f, 0.8f, 0.0f});
    expect_vec(rig.run(make_hit(kDown, 0.0f), kSlantDown, 1.0f, 7), CVector3{0.6f, 0.8f, 0.0f});
    // Just inside the mirror window.
    expect_vec(rig.run(make_hit(kUp, 0.0039f), kSlantDown, 1.0f, 7), CVector3{0.6f, 0.8f, 0.0f});
    // A zero incoming direction reflects to zero.
    expect_vec(rig.run(make_hit(kUp, 0.0f), CVector3{}, 1.0f, 7), CVector3{});
}

TEST(Scatter, EdgeOfTheMirrorWindowIsAlreadyASpread)
{
    // The axis (0, 0, 1) is perpendicular to the normal (dot exactly 0), so it
    // is not flipped; r1 mod 1024 = 0 gives theta = -sa / 2 = -1/512 (a draw
    // is never 0 itself).
    CScatterRig rig(CVector3{0.0f, 0.0f, 1.0f});
    const CVector3 mirror{0.6f, 0.8f, 0.0f};
    const CVector3 spread = rig.run(make_hit(kUp, 0.00390625f), kSlantDown, 1.0f, 1024);
    EXPECT_NEAR(angle_between(spread, mirror), 1.0 / 512.0, 1e-6);
    // r1 mod 1024 = 512: theta = 0, the mirror direction itself.
    expect_vec(rig.run(make_hit(kUp, 0.00390625f), kSlantDown, 1.0f, 512), mirror);

    // The negative edge is a frosted transmission, not a clear one.
    const CVector3 through = rig.run(make_hit(kUp, -0.00390625f), kSlantDown, 1.0f, 1024);
    EXPECT_NEAR(angle_between(through, kSlantDown), 1.0 / 512.0, 1e-6);
}

TEST(Scatter, DiffuseWindowIsOpenAroundTheDefaultAngle)
{
    // Table direction (0, 0, 1): diffuse returns it, while a glossy surface
    // with theta = 0 (r1 mod 1024 = 512) returns the mirror direction.
    CScatterRig rig(CVector3{0.0f, 0.0f, 1.0f});
    const CVector3 diffuse{0.0f, 0.0f, 1.0f};
    const CVector3 mirror{0.6f, 0.8f, 0.0f};
    const float nearest_pi = static_cast<float>(3.14159265358979323846);
    const float low = kDiffuseScatterAngle - 0.00390625f;
    const float high = kDiffuseScatterAngle + 0.00390625f;
    for (float sa : {kDiffuseScatterAngle, nearest_pi, std::nextafter(low, 4.0f), std::nextafter(high, 0.0f)})
        expect_vec(rig.run(make_hit(kUp, sa), kSlantDown, 1.0f, 512), diffuse);
    for (float sa : {low, high, 3.0f, 3.2f})
        expect_vec(rig.run(make_hit(kUp, sa), kSlantDown, 1.0f, 512), mirror);
}

TEST(Scatter, DiffuseTurnsTheTableDirectionIntoTheNormalsHemisphere)
{
    CScatterRig rig(kSlantDown);
    const CVector3 up = rig.run(make_hit(kUp, kDiffuseScatterAngle), kSlantDown, 1.0f, 1);
    expect_vec_float(up, CVector3{-0.6f, 0.8f, 0.0f});
    EXPECT_TRUE(std::signbit(up.z));
    // A normal facing the other way (a plane hit from behind) keeps it.
    const CVector3 down = rig.run(make_hit(kDown, kDiffuseScatterAngle), kSlantDown, 1.0f, 1);
    expect_vec_float(down, kSlantDown);
    EXPECT_FALSE(std::signbit(down.z));

    // A dot product of exactly 0 leaves the direction as it is.
    CScatterRig tangent(CVector3{1.0f, 0.0f, 0.0f});
    const CVector3 along = tangent.run(make_hit(kUp, kDiffuseScatterAngle), kSlantDown, 1.0f, 1);
    expect_vec(along, CVector3{1.0f, 0.0f, 0.0f});
    EXPECT_FALSE(std::signbit(along.y));

    // Table entries are normalised again as they are read.
    CScatterRig long_entries(CVector3{0.0f, 2.0f, 0.0f});
    expect_vec(long_entries.run(make_hit(kUp, kDiffuseScatterAngle), kSlantDown, 1.0f, 1), kUp);
}

TEST(Scatter, GlossyRotatesTheMirrorDirectionByTheFirstDraw)
{
    // incoming (0, -1, 0) off normal (0, 1, 0) gives base (0, 1, 0); axis (1, 0, 0).
    CScatterRig rig(CVector3{1.0f, 0.0f, 0.0f});
    const CHitInfo hit = make_hit(kUp, 1.0f);
    const float theta_max = 511.0f / 1024.0f;
    expect_vec_float(rig.run(hit, kDown, 1.0f, 1023), CVector3{0.0f, std::cos(theta_max), std::sin(theta_max)});
    expect_vec(rig.run(hit, kDown, 1.0f, 512), kUp);
    expect_vec_float(rig.run(hit, kDown, 1.0f, 1024), CVector3{0.0f, std::cos(-0.5f), std::sin(-0.5f)});
    // Only the low ten bits of the draw set the angle.
    expect_vec(rig.run(hit, kDown, 1.0f, 512 + 1024 * 77), kUp);

    // The spread never exceeds sa / 2 either way.
    for (uint32_t r1 = 1024; r1 < 2048; r1 += 31)
        EXPECT_LE(angle_between(rig.run(hit, kDown, 1.0f, r1), kUp), 0.5 + 1e-6);
}

TEST(Scatter, GlossyEdgesOfTheDiffuseWindowSpreadAboutAQuarterTurn)
{
    CScatterRig rig(CVector3{1.0f, 0.0f, 0.0f});
    for (float sa : {kDiffuseScatterAngle - 0.00390625f, kDiffuseScatterAngle + 0.00390625f}) {
        const CVector3 out = rig.run(make_hit(kUp, sa), kDown, 1.0f, 1024);
        EXPECT_NEAR(angle_between(out, kUp), sa / 2.0, 1e-5);
    }
}

TEST(Scatter, ZeroTableEntryGivesZeroDiffuseAndAScaledGlossyDirection)
{
    CScatterRig rig(CVector3{});
    const CVector3 diffuse = rig.run(make_hit(kUp, kDiffuseScatterAngle), kSlantDown, 1.0f, 3);
    expect_vec(diffuse, CVector3{});
    EXPECT_FALSE(std::signbit(diffuse.x) || std::signbit(diffuse.y) || std::signbit(diffuse.z));
    // Glossy about a zero axis: the rotation collapses to cos(theta) times base.
    const CVector3 glossy = rig.run(make_hit(kUp, 1.0f), kDown, 1.0f, 1024);
    expect_vec_float(glossy, CVector3{0.0f, std::cos(0.5f), 0.0f});
}

TEST(Scatter, ClearTransmissionPassesStraightThroughEqualIndices)
{
    CScatterRig rig(CVector3{0.0f, 0.0f, 1.0f});
    expect_vec_float(rig.run(make_hit(kUp, -0.001f), kSlantDown, 1.0f, 5), kSlantDown);
    // A frosted surface spreads the straight-through direction by up to |sa| / 2.
    const CHitInfo frosted = make_hit(kUp, -0.5f);
    expect_vec_float(rig.run(frosted, kSlantDown, 1.0f, 512), kSlantDown);
    EXPECT_NEAR(angle_between(rig.run(frosted, kSlantDown, 1.0f, 1024), kSlantDown), 0.25, 1e-5);
    EXPECT_NEAR(angle_between(rig.run(frosted, kSlantDown, 1.0f, 1023), kSlantDown), 0.25 * 511.0 / 512.0, 1e-5);

    // Indices closer than 1/256 count as equal; exactly 1/256 apart refracts.
    const float just_inside = std::nextafter(1.0f + 0.00390625f, 0.0f);
    expect_vec_float(rig.run(make_hit(kUp, -0.001f, just_inside), kSlantDown, 1.0f, 5), kSlantDown);
    const CVector3 bent = rig.run(make_hit(kUp, -0.001f, 1.0f + 0.00390625f), kSlantDown, 1.0f, 5);
    EXPECT_NEAR(bent.x, 0.6f / 1.00390625f, 1e-6f);
    EXPECT_LT(bent.y, 0.0f);
}

TEST(Scatter, RefractionFollowsSnellsLaw)
{
    CScatterRig rig(CVector3{0.0f, 0.0f, 1.0f});
    const CVector3 incoming{0.5f, -std::sqrt(0.75f), 0.0f};
    // Into glass: sin t = 0.5 / 1.5.
    const CVector3 into = rig.run(make_hit(kUp, -0.001f, 1.5f), incoming, 1.0f, 5);
    expect_vec_near(into, CVector3{1.0f / 3.0f, -std::sqrt(8.0f / 9.0f), 0.0f}, 1e-6f);
    // The same with the normal facing along the ray (leaving a sphere, or a
    // plane hit from behind): the normal is turned towards the ray first.
    expect_vec_near(rig.run(make_hit(kDown, -0.001f, 1.5f), incoming, 1.0f, 5), into, 1e-6f);
    // Head-on: no bending whatever the ratio.
    expect_vec_near(rig.run(make_hit(kUp, -0.001f, 1.5f), kDown, 1.0f, 5), kDown, 1e-6f);
    // Out of glass below the critical angle: sin t = 1.5 x 0.6.
    const CVector3 out = rig.run(make_hit(kUp, -0.001f, 1.0f), kSlantDown, 1.5f, 5);
    expect_vec_near(out, CVector3{0.9f, -std::sqrt(0.19f), 0.0f}, 1e-6f);
}

TEST(Scatter, TotalInternalReflectionFallsBackToTheMirror)
{
    CScatterRig rig(CVector3{0.0f, 0.0f, 1.0f});
    const CVector3 incoming{std::sqrt(0.75f), -0.5f, 0.0f};  // sin i = 0.866, x 1.5 > 1
    const CVector3 expected{std::sqrt(0.75f), 0.5f, 0.0f};
    expect_vec_near(rig.run(make_hit(kUp, -0.001f, 1.0f), incoming, 1.5f, 5), expected, 1e-6f);
    expect_vec_near(rig.run(make_hit(kDown, -0.001f, 1.0f), incoming, 1.5f, 5), expected, 1e-6f);
    // Grazing incidence, barely past the critical angle.
    const CVector3 grazing = rig.run(make_hit(kUp, -0.001f, 1.0f), CVector3{1.0f, 0.0f, 0.0f}, 1.01f, 5);
    expect_vec_near(grazing, CVector3{1.0f, 0.0f, 0.0f}, 1e-6f);
}

TEST(Scatter, RefractionIsFiniteForAnyPairOfIndices)
{
    CScatterRig rig(CVector3{0.0f, 0.0f, 1.0f});
    const float denormal = std::numeric_limits<float>::denorm_min();
    const float indices[] = {0.0f, -0.0f, 1.0f, 1.5f, -1.0f, 1.0e-30f, denormal, 1.0e19f, 1.0e30f,
                             3.0e38f, kInf, -kInf, kNaN};
    const CVector3 incomings[] = {kSlantDown, kDown, CVector3{1.0f, 0.0f, 0.0f}, CVector3{0.6f, 0.8f, 0.0f},
                                  CVector3{}};
    for (float prev : indices)
        for (float index : indices)
            for (const CVector3& incoming : incomings)
                for (const CVector3& normal : {kUp, kDown}) {
                    for (float sa : {-0.001f, -0.5f}) {
                        const CVector3 out = rig.run(make_hit(normal, sa, index), incoming, prev, 100);
                        ASSERT_TRUE(finite(out)) << "prev " << prev << " index " << index << " sa " << sa
                                                 << " incoming (" << incoming.x << ", " << incoming.y << ")";
                    }
                    // Clear transmission returns the normalised direction: unit or zero.
                    const CVector3 out = rig.run(make_hit(normal, -0.001f, index), incoming, prev, 100);
                    const float length = vec3_length(out);
                    EXPECT_TRUE(length == 0.0f || std::fabs(length - 1.0f) < 1e-5f)
                        << "prev " << prev << " index " << index << " length " << length;
                }
}

TEST(Scatter, EveryCallDrawsExactlyTwice)
{
    CScatterRig rig(CVector3{0.0f, 0.0f, 1.0f});
    const CHitInfo surfaces[] = {
        make_hit(kUp, 0.0f),                   // mirror
        make_hit(kUp, kDiffuseScatterAngle),   // diffuse
        make_hit(kUp, 1.0f),                   // glossy
        make_hit(kUp, -0.001f, 1.5f),          // clear transmission (same index)
        make_hit(kUp, -0.5f, 2.0f),            // frosted refraction
        make_hit(kUp, -0.001f, 1.0f),          // total internal reflection
        make_hit(kUp, kNaN),                   // fails every comparison
    };
    for (const CHitInfo& hit : surfaces) {
        rig.states = {11u, 22u, 12345u, 44u};
        scatter(hit, CVector3{std::sqrt(0.75f), -0.5f, 0.0f}, 1.5f, kPixel,
                CRandomBindings{rig.table.data(), rig.states.data()});
        EXPECT_EQ(rig.states[kPixel], step(step(12345u))) << "scatter angle " << hit.scatter_angle;
        EXPECT_EQ(rig.states[0], 11u);
        EXPECT_EQ(rig.states[1], 22u);
        EXPECT_EQ(rig.states[3], 44u);
    }
}

TEST(Scatter, FirstDrawSetsTheAngleAndTheSecondPicksTheTableEntry)
{
    // Every entry is (0, 0, 1) except the one the second draw selects.
    CScatterRig rig(CVector3{0.0f, 0.0f, 1.0f});
    const uint32_t r1 = 1023u + 1024u * 3u;
    const uint32_t r2 = step(r1);
    ASSERT_NE(r1 % 122879u, r2 % 122879u);
    rig.table[r2 % 122879u] = CVector3{1.0f, 0.0f, 0.0f};
    // Diffuse: the selected entry (perpendicular to the normal, so not flipped).
    expect_vec(rig.run(make_hit(kUp, kDiffuseScatterAngle), kDown, 1.0f, r1), CVector3{1.0f, 0.0f, 0.0f});
    // Glossy about that axis: r1 mod 1024 = 1023 turns the mirror direction
    // (0, 1, 0) by 511/1024; the second draw would give another angle.
    ASSERT_NE(r2 % 1024u, 1023u);
    const float theta = 511.0f / 1024.0f;
    expect_vec_float(rig.run(make_hit(kUp, 1.0f), kDown, 1.0f, r1), CVector3{0.0f, std::cos(theta), std::sin(theta)});
}
