// SPDX-License-Identifier: Apache-2.0
// The fast CPU pass against the plain per-pixel loop: every pass this
// processor supports must leave the same bytes (image, sums, counts, random
// states) and count the same segments, on the built-in scene and on hand-built
// scenes with every kind of surface.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "base/image_size.h"
#include "engine/cpu/cpu_pass.h"
#include "engine/cpu/cpu_pass_lanes.h"
#include "kernel/accumulate.h"
#include "kernel/intersect.h"
#include "scene/host_random.h"
#include "tests/host_state.h"

// tests/fast_pass_avx2_packing.cpp, built with AVX2 (x86-64 only).
void check_avx2_packing_of_every_mask();
#if defined(VANTREL_AVX512_DOUBLE)
// The 16-lane pass on emulated AVX-512 intrinsics (avx512_double/), built with AVX2.
uint64_t path_trace_pass_avx512_emulated(const CLanePassArgs& args);
#endif

namespace {

// Under the sanitizers (no optimisation) a frame takes seconds: one frame per
// case there, and the lane passes on two threads only.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Everything a pass reads and writes besides the scene and the normal table.
struct CPassState {
    std::vector<CRay3> rays = std::vector<CRay3>(kPixelCount);
    std::vector<float> sums = std::vector<float>(3 * size_t{kPixelCount});
    std::vector<uint32_t> counts = std::vector<uint32_t>(kPixelCount);
    std::vector<uint8_t> image = std::vector<uint8_t>(3 * size_t{kPixelCount});
    std::vector<uint32_t> rand_states = std::vector<uint32_t>(kPixelCount);
};

struct CScene {
    std::vector<CSphere> spheres;
    std::vector<CPlane> planes;
    CSceneLists lists() const
    {
        return {spheres.data(), uint32_t(spheres.size()), planes.data(), uint32_t(planes.size())};
    }
};

// A pass as the program runs it, or a lane pass's entry called directly.
struct CPassRun {
    std::string name;
    CCpuPass pass;
    CLanePassEntry entry;
};

// The lane passes keep their first hits from frame to frame, as on the CPU
// device; a frame after the first starts from them.
uint64_t run_frames(const CPassRun& run, const CScene& scene, const CVector3* normals, CPassState& state, int frames,
                    int threads, CFirstHits* first_hits = nullptr)
{
    bind_globals_cpu({normals, state.rand_states.data()});
    const CFrameArgs frame{scene.lists(), state.rays.data(), state.sums.data(), state.counts.data(),
                           state.image.data()};
    CFirstHits kept;
    if (first_hits == nullptr)
        first_hits = &kept;
    uint64_t segments = 0;
    for (int f = 0; f < frames; ++f)
        segments += run.entry != nullptr ? path_trace_pass_lanes(run.entry, frame, threads, first_hits)
                                         : path_trace_pass_with(run.pass, frame, threads, first_hits);
    return segments;
}

// Every lane pass this processor runs; where it cannot run AVX-512, the
// 16-lane pass on emulated intrinsics in its place.
std::vector<CPassRun> lane_passes_here()
{
    std::vector<CPassRun> runs;
    for (CCpuPass pass : kCpuPasses)
        if (pass != CCpuPass::plain && cpu_pass_supported(pass))
            runs.push_back({cpu_pass_name(pass), pass, nullptr});
#if defined(VANTREL_AVX512_DOUBLE)
    if (!cpu_pass_supported(CCpuPass::avx512) && cpu_pass_supported(CCpuPass::avx2))
        runs.push_back({"avx512 (emulated)", CCpuPass::avx512, path_trace_pass_avx512_emulated});
#endif
    return runs;
}

// Index of the first differing element, or -1.
template <typename T>
long first_difference(const std::vector<T>& a, const std::vector<T>& b)
{
    for (size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(T)) != 0)
            return long(i);
    return -1;
}

void expect_same(const CPassState& plain, const CPassState& fast, const std::string& what)
{
    EXPECT_EQ(first_difference(plain.image, fast.image), -1) << what << ": image bytes";
    EXPECT_EQ(first_difference(plain.sums, fast.sums), -1) << what << ": sums";
    EXPECT_EQ(first_difference(plain.counts, fast.counts), -1) << what << ": counts";
    EXPECT_EQ(first_difference(plain.rand_states, fast.rand_states), -1) << what << ": random states";
}

// Runs the plain loop and every supported lane pass from the same state and
// compares the results; returns the plain loop's result.
CPassState compare_passes(const CScene& scene, const CVector3* normals, const CPassState& start, int frames)
{
    if (kSanitized)
        frames = 1;
    CPassState plain = start;
    const uint64_t plain_segments = run_frames({"plain", CCpuPass::plain, nullptr}, scene, normals, plain, frames, 1);
    for (const CPassRun& run : lane_passes_here()) {
        for (int threads : {1, 2}) {
            if (kSanitized && threads == 1)
                continue;
            CPassState fast = start;
            const std::string what = run.name + ", " + std::to_string(threads) + " threads";
            EXPECT_EQ(run_frames(run, scene, normals, fast, frames, threads), plain_segments) << what;
            expect_same(plain, fast, what);
        }
    }
    return plain;
}

// The built-in scene and camera after start-up with `seed`.
class BuiltInSceneTest : public ::testing::TestWithParam<std::pair<uint32_t, int>> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(test_support::build_host_state(GetParam().first));
        scene_.spheres.assign(g_spheres.get(), g_spheres.get() + kSphereCount);
        scene_.planes.assign(g_planes.get(), g_planes.get() + kPlaneCount);
        start_.rays.assign(g_frame.ray_list.get(), g_frame.ray_list.get() + kPixelCount);
        start_.rand_states.assign(seed_list.get(), seed_list.get() + kPixelCount);
    }
    void TearDown() override { test_support::release_host_state(); }

    CScene scene_;
    CPassState start_;
};

TEST_P(BuiltInSceneTest, LanePassesGiveThePlainLoopsFrames)
{
    const CPassState plain = compare_passes(scene_, normal_table.get(), start_, GetParam().second);
    // The frames are not trivially empty: most pixels have counted samples.
    size_t counted = 0;
    for (uint32_t c : plain.counts)
        counted += c > 0;
    EXPECT_GT(counted, kPixelCount / 2);
    // No pixel that drew a number holds a state of 0, those seeded with 0
    // included (a pixel that never scattered keeps its seed).
    size_t zero_seeds_moved = 0;
    for (uint32_t p = 0; p < kPixelCount; ++p) {
        const bool drew = plain.rand_states[p] != start_.rand_states[p];
        EXPECT_TRUE(!drew || plain.rand_states[p] != 0u) << "pixel " << p;
        zero_seeds_moved += drew && start_.rand_states[p] == 0u;
    }
    if (GetParam().first == 1u) {
        EXPECT_GT(zero_seeds_moved, 0u) << "seed 1 seeds some pixels with 0";
    }
}

TEST(FastPassTest, ChosenPassIsSupported)
{
    // Each architecture's builds have the lane pass every processor of it runs.
#if defined(__x86_64__)
    EXPECT_TRUE(cpu_pass_supported(CCpuPass::sse2)) << "x86-64 builds have the lane passes";
#elif defined(__aarch64__)
    EXPECT_TRUE(cpu_pass_supported(CCpuPass::neon)) << "arm64 builds have the NEON pass";
#endif
    EXPECT_TRUE(cpu_pass_supported(CCpuPass::plain));
    EXPECT_TRUE(cpu_pass_supported(cpu_pass_chosen()));
    // The fast pass is the chosen one; where a lane pass runs it is not the plain loop.
    if (lane_passes_here().size() > 0 && std::getenv("VANTREL_CPU_PASS") == nullptr) {
        EXPECT_NE(cpu_pass_chosen(), CCpuPass::plain);
    }
}

TEST(FastPassTest, Avx2PackingMovesTheLanesOfEveryMask)
{
#if defined(__x86_64__)
    if (!cpu_pass_supported(CCpuPass::avx2))
        GTEST_SKIP() << "this processor does not run AVX2";
    check_avx2_packing_of_every_mask();
#else
    GTEST_SKIP() << "AVX2 is x86-64 only";
#endif
}

INSTANTIATE_TEST_SUITE_P(SeedsAndFrames, BuiltInSceneTest,
                         ::testing::Values(std::make_pair(1u, 1), std::make_pair(2024u, 2),
                                           std::make_pair(4000000000u, 1)));

// ---- hand-built scenes ------------------------------------------------------

CSphere sphere(CVector3 emission, CVector3 color, float scatter_angle, float refraction_index, float radius,
               CVector3 center)
{
    CSphere s;
    s.emission = emission;
    s.color = color;
    s.scatter_angle = scatter_angle;
    s.refraction_index = refraction_index;
    s.radius = radius;
    s.center = center;
    return s;
}

CPlane plane(CVector3 emission, CVector3 color, float scatter_angle, CVector3 normal, float distance)
{
    CPlane p;
    p.emission = emission;
    p.color = color;
    p.scatter_angle = scatter_angle;
    p.normal = vec3_normalize(normal);
    p.distance = distance;
    return p;
}

// A small deterministic generator for the test's own rays and start values.
struct CTestRandom {
    uint64_t state;
    uint32_t next()
    {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return uint32_t(state >> 33);
    }
    float uniform(float low, float high) { return low + (high - low) * float(next() % 65536u) / 65536.0f; }
};

// A closed room lit from above, holding one sphere of every kind: diffuse,
// mirror, glossy, clear glass, frosted glass, glass of the surrounding index,
// a light, and a glass ball around some of the ray origins.
CScene room_with_every_surface()
{
    const CVector3 none = {0.0f, 0.0f, 0.0f};
    const CVector3 white = {0.9f, 0.9f, 0.9f};
    CScene scene;
    scene.spheres = {
        sphere(none, {0.8f, 0.3f, 0.3f}, kDiffuseScatterAngle, 1.0f, 8.0f, {-20.0f, -12.0f, -60.0f}),  // diffuse
        sphere(none, {0.9f, 0.9f, 0.5f}, 0.0f, 1.0f, 8.0f, {0.0f, -12.0f, -60.0f}),                   // mirror
        sphere(none, {0.5f, 0.9f, 0.5f}, 0.6f, 1.0f, 8.0f, {20.0f, -12.0f, -60.0f}),                  // glossy
        sphere(none, white, -0.001f, 1.5f, 8.0f, {-20.0f, 8.0f, -70.0f}),                             // clear glass
        sphere(none, white, -0.8f, 1.33f, 8.0f, {0.0f, 8.0f, -70.0f}),                                // frosted glass
        sphere(none, white, -0.001f, 1.0f, 8.0f, {20.0f, 8.0f, -70.0f}),                              // index 1 glass
        sphere({2.0f, 1.5f, 1.0f}, white, kDiffuseScatterAngle, 1.0f, 5.0f, {30.0f, 25.0f, -40.0f}),  // small light
        sphere(none, white, -0.001f, 2.4f, 6.0f, {0.0f, 0.0f, -6.0f}),  // around the origins of some rays
    };
    scene.planes = {
        plane(none, {0.75f, 0.75f, 0.75f}, kDiffuseScatterAngle, {0.0f, 0.0f, 1.0f}, 100.0f),   // back
        plane(none, {0.75f, 0.75f, 0.75f}, 0.2f, {0.0f, 1.0f, 0.0f}, 30.0f),                    // glossy floor
        plane(none, {1.0f, 0.5f, 0.5f}, kDiffuseScatterAngle, {1.0f, 0.0f, 0.0f}, 40.0f),       // left
        plane(none, {0.5f, 0.5f, 1.0f}, 0.0f, {-1.0f, 0.0f, 0.0f}, 40.0f),                      // right, a mirror
        plane({3.0f, 3.0f, 3.0f}, white, kDiffuseScatterAngle, {0.0f, -1.0f, 0.0f}, 30.0f),     // ceiling light
        plane(none, white, -0.3f, {0.0f, 0.0f, -1.0f}, 10.0f),  // frosted pane behind the origins
    };
    return scene;
}

// Rays from points near the origin towards random targets in and beyond the room, a few
// of them degenerate (zero length, non-finite), with sums, counts and image
// bytes that do not start at zero.
CPassState scattered_start(uint64_t seed)
{
    CTestRandom random{seed};
    CPassState state;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (uint32_t p = 0; p < kPixelCount; ++p) {
        CRay3& ray = state.rays[p];
        ray.origin = {random.uniform(-3.0f, 3.0f), random.uniform(-3.0f, 3.0f), random.uniform(-3.0f, 3.0f)};
        ray.target = {random.uniform(-60.0f, 60.0f), random.uniform(-45.0f, 45.0f), random.uniform(-130.0f, 20.0f)};
        switch (p % 997u) {
        case 0:
            ray.target = ray.origin;
            break;
        case 1:
            ray.target.x = nan;
            break;
        case 2:
            ray.origin.y = std::numeric_limits<float>::infinity();
            break;
        default:
            break;
        }
        state.rand_states[p] = random.next();
        // States whose step the reduction would take to 0, or 0 itself.
        if (p % 1019u == 0)
            state.rand_states[p] = p % 2u == 0 ? 0u : 1737970642u;
        if (p % 3u == 0) {
            state.counts[p] = random.next() % 50u;
            for (int ch = 0; ch < 3; ++ch)
                state.sums[3 * p + ch] = random.uniform(0.0f, float(state.counts[p]));
        }
        // Counts at and about the cap, and past it where a signed comparison
        // would take them for small.
        if (p % 1001u == 0)
            state.counts[p] = 0xffffffffu;
        if (p % 1009u == 0)
            state.counts[p] = kSampleCountCap - 1u + p % 3u;
        if (p % 1013u == 0)
            state.counts[p] = 0x80000000u + p % 2u;
        for (int ch = 0; ch < 3; ++ch)
            state.image[3 * p + ch] = uint8_t(random.next());
    }
    return state;
}

class HandBuiltSceneTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host_srand(99u);
        ASSERT_TRUE(build_normal_table());
    }
    void TearDown() override { normal_table_release(); }
};

TEST_F(HandBuiltSceneTest, EverySurfaceKindGivesThePlainLoopsFrames)
{
    const CScene scene = room_with_every_surface();
    const CPassState start = scattered_start(7u);
    // The rays meet every object of the room first at least once.
    std::vector<int> first_hits(scene.spheres.size() + scene.planes.size());
    for (uint32_t p = 0; p < kPixelCount; p += 7u) {
        const CSegment segment = make_segment(start.rays[p]);
        const CNearestLanes<float> nearest = nearest_object<float>(segment, scene.lists());
        if (nearest.found)
            ++first_hits[nearest.object];
    }
    for (size_t i = 0; i < first_hits.size(); ++i)
        EXPECT_GT(first_hits[i], 0) << "object " << i;

    const CPassState first = compare_passes(scene, normal_table.get(), start, 2);

    // The lane passes keep their own copy of the bound unit-vector table: a
    // table bound next must be the one they draw from, as the plain loop does.
    std::vector<CVector3> turned(normal_table.get(), normal_table.get() + normal_table_count);
    for (CVector3& v : turned)
        v = {v.z, -v.x, v.y};
    const CPassState second = compare_passes(scene, turned.data(), start, 2);
    EXPECT_NE(first_difference(first.image, second.image), -1) << "the turned table changes the picture";
}

// Colours outside [0, 1] and non-finite ones reach the clamping of every lane.
TEST_F(HandBuiltSceneTest, UnclampedAndNonFiniteColoursGiveThePlainLoopsFrames)
{
    CScene scene = room_with_every_surface();
    const float inf = std::numeric_limits<float>::infinity();
    scene.spheres[0].color = {-1.0f, 2.5f, inf};
    scene.spheres[6].emission = {1e30f, -2.0f, std::numeric_limits<float>::quiet_NaN()};
    scene.planes[4].emission = {inf, 0.5f, 40.0f};
    compare_passes(scene, normal_table.get(), scattered_start(8u), 1);
}

// The lanes take a plane through one coordinate only where its normal is a
// coordinate axis and its distance is not 0; every other plane goes the
// general way.
TEST(AxisPlanes, OnlyPlanesOnACoordinateAxisWithADistanceTakeTheShortWay)
{
    const struct {
        CVector3 normal;
        float distance;
        uint32_t axis;
        float offset;
    } cases[] = {
        {{0.0f, 0.0f, 1.0f}, 100.0f, 2u, -100.0f},  // the offset is -s d
        {{0.0f, -1.0f, 0.0f}, 30.0f, 1u, 30.0f},
        {{-0.0f, 0.0f, -1.0f}, -2.5f, 2u, -2.5f},  // a negative zero is a zero
        {{1.0f, 0.0f, -0.0f}, 1e-30f, 0u, -1e-30f},
        {{1.0f, 0.0f, 0.0f}, 0.0f, kNoAxis, 0.0f},  // through the origin
        {{0.0f, 1.0f, 0.0f}, -0.0f, kNoAxis, 0.0f},
        {{0.6f, 0.8f, 0.0f}, 10.0f, kNoAxis, 0.0f},  // tilted
        {{0.0f, 0.0f, 2.0f}, 10.0f, kNoAxis, 0.0f},  // not a unit normal
        {{1e-30f, 1.0f, 0.0f}, 10.0f, kNoAxis, 0.0f},
    };
    for (const auto& c : cases) {
        CPlane p;
        p.normal = c.normal;
        p.distance = c.distance;
        const CAxisPlane on_axis = axis_plane(p);
        EXPECT_EQ(on_axis.axis, c.axis) << c.normal.x << " " << c.normal.y << " " << c.normal.z << " " << c.distance;
        if (c.axis != kNoAxis) {
            EXPECT_EQ(on_axis.offset, c.offset) << c.distance;
        }
    }
}

// One division a pair of walls is taken only where the six planes are two
// on each axis at different, finite coordinates; the pairs are ordered low
// to high whatever the list order.
TEST(WallBox, OnlyTwoAxisPlanesOnEachAxisMakeABox)
{
    const float inf = std::numeric_limits<float>::infinity();
    // Planes as (axis, offset); a tilted plane is kNoAxis.
    const struct {
        std::vector<CAxisPlane> planes;
        bool box;
    } cases[] = {
        {{{2u, -100.0f}, {1u, -50.0f}, {0u, -50.0f}, {0u, 50.0f}, {2u, 1.0f}, {1u, 30.0f}}, true},
        {{{2u, -100.0f}, {1u, -50.0f}, {0u, -50.0f}, {0u, 50.0f}, {2u, 1.0f}}, false},  // five
        {{{2u, -1.0f}, {1u, -5.0f}, {0u, -5.0f}, {0u, 5.0f}, {0u, 1.0f}, {1u, 3.0f}}, false},  // three on x
        {{{2u, -1.0f}, {1u, -5.0f}, {0u, -5.0f}, {0u, 5.0f}, {kNoAxis, 0.0f}, {1u, 3.0f}}, false},  // tilted
        {{{2u, -1.0f}, {1u, -5.0f}, {0u, 5.0f}, {0u, 5.0f}, {2u, 1.0f}, {1u, 3.0f}}, false},  // one place
        {{{2u, -1.0f}, {1u, -5.0f}, {0u, -5.0f}, {0u, inf}, {2u, 1.0f}, {1u, 3.0f}}, false},  // infinite
    };
    for (const auto& c : cases) {
        CWallBox box;
        ASSERT_EQ(find_wall_box(c.planes.data(), uint32_t(c.planes.size()), box), c.box) << c.planes.size();
        if (c.box) {
            // On z, plane 0 (at -100) is the low wall and plane 4 the high.
            EXPECT_EQ(box.pair[2].low_plane, 0u);
            EXPECT_EQ(box.pair[2].high_plane, 4u);
            EXPECT_EQ(box.pair[0].low, -50.0f);
            EXPECT_EQ(box.pair[0].high, 50.0f);
        }
    }
}

// Planes of every kind in one room: on each axis facing either way, tilted,
// through the origin near which the rays start, and on an axis at a distance
// of 0.
TEST_F(HandBuiltSceneTest, PlanesOnAndOffTheAxesGiveThePlainLoopsFrames)
{
    CScene scene = room_with_every_surface();
    const CVector3 none = {0.0f, 0.0f, 0.0f};
    const CVector3 grey = {0.6f, 0.6f, 0.6f};
    scene.planes.push_back(plane(none, grey, kDiffuseScatterAngle, {0.3f, 1.0f, 0.2f}, 25.0f));
    scene.planes.push_back(plane(none, grey, 0.0f, {1.0f, 0.0f, 0.0f}, 0.0f));
    scene.planes.push_back(plane(none, grey, -0.2f, {0.0f, 0.0f, -1.0f}, 0.5f));
    compare_passes(scene, normal_table.get(), scattered_start(10u), 1);
}

// Walls of a box, listed out of axis order, each its own colour: rays aimed
// exactly at its edges and corners (where walls tie, the lower number must
// win), along a wall (a span coordinate of 0), starting on a wall or outside
// the box; in lane groups with and without such rays.
TEST_F(HandBuiltSceneTest, WallsOfABoxGiveThePlainLoopsFrames)
{
    const CVector3 none = {0.0f, 0.0f, 0.0f};
    CScene scene;
    scene.spheres = {sphere(none, {0.8f, 0.8f, 0.3f}, 0.0f, 1.0f, 6.0f, {10.0f, -10.0f, 0.0f})};
    scene.planes = {
        plane({2.0f, 2.0f, 2.0f}, {0.9f, 0.9f, 0.9f}, kDiffuseScatterAngle, {0.0f, 0.0f, -1.0f}, 32.0f),  // z high
        plane(none, {0.9f, 0.2f, 0.2f}, kDiffuseScatterAngle, {0.0f, 1.0f, 0.0f}, 32.0f),               // y low
        plane(none, {0.2f, 0.9f, 0.2f}, 0.0f, {-1.0f, 0.0f, 0.0f}, 32.0f),                              // x high
        plane(none, {0.2f, 0.2f, 0.9f}, 0.3f, {0.0f, -1.0f, 0.0f}, 32.0f),                              // y high
        plane({1.0f, 0.5f, 0.2f}, {0.6f, 0.6f, 0.6f}, kDiffuseScatterAngle, {1.0f, 0.0f, 0.0f}, 32.0f),  // x low
        plane(none, {0.5f, 0.5f, 0.1f}, kDiffuseScatterAngle, {0.0f, 0.0f, 1.0f}, 32.0f),               // z low
    };
    CPassState start = scattered_start(13u);
    CTestRandom random{14u};
    const auto sign = [&] { return random.next() % 2u == 0 ? 1.0f : -1.0f; };
    for (uint32_t p = 0; p < kPixelCount; ++p) {
        // Mostly whole lane groups of aimed rays; every 37th group mixed.
        const uint32_t kind = (p / 16u) % 37u == 0 ? p % 5u : (p / 16u) % 5u;
        const float a = random.uniform(0.0f, 20.0f);
        const CVector3 s = {sign(), sign(), sign()};
        CRay3& ray = start.rays[p];
        switch (kind) {
        case 0:  // at a corner: the start and span the same size on every axis
            ray = {{s.x * a, s.y * a, s.z * a}, {s.x * 100.0f, s.y * 100.0f, s.z * 100.0f}};
            break;
        case 1:  // at an edge, along the third axis
            ray = {{s.x * a, s.y * a, a}, {s.x * 100.0f, s.y * 100.0f, a}};
            break;
        case 2:  // from a wall, either way
            ray.origin = {32.0f * s.x, random.uniform(-20.0f, 20.0f), random.uniform(-20.0f, 20.0f)};
            break;
        case 3:  // from outside the box
            ray.origin = {random.uniform(-20.0f, 20.0f), 33.0f * s.y, random.uniform(-20.0f, 20.0f)};
            break;
        default:  // scattered_start's ray
            break;
        }
    }
    compare_passes(scene, normal_table.get(), start, 2);
}

// No objects at all: every path misses at once.
TEST_F(HandBuiltSceneTest, EmptySceneGivesThePlainLoopsFrames)
{
    const CPassState plain = compare_passes(CScene{}, normal_table.get(), scattered_start(9u), 1);
    EXPECT_EQ(plain.counts, scattered_start(9u).counts);
}

}  // namespace

// A lane pass starts a frame from its kept first hits, and looks surfaces up
// in its lane-ready scene, only while the scene and the rays they were made
// for stay; a change of either (the scene's geometry, or only a surface's
// colour), frame after frame, gives the plain loop's frames.
TEST_F(HandBuiltSceneTest, KeptFirstHitsFollowChangesOfSceneAndRays)
{
    const CScene room = room_with_every_surface();
    CScene moved = room;
    moved.spheres[1].center.x += 3.0f;
    moved.planes[1].distance = 20.0f;
    CScene recoloured = moved;
    recoloured.spheres[0].color.x *= 0.5f;
    const CPassState start = scattered_start(11u);
    const std::vector<CRay3> other_rays = scattered_start(12u).rays;
    const struct {
        const char* change;
        const CScene* scene;
        bool new_rays;
    } steps[] = {{"none (filled)", &room, false}, {"none (kept)", &room, false}, {"the scene", &moved, false},
                 {"the rays", &moved, true},      {"none (kept)", &moved, false}, {"a colour", &recoloured, false}};
    const auto run_steps = [&](const CPassRun& run, int threads, const auto& after_step) {
        CPassState state = start;
        CFirstHits kept;
        for (const auto& step : steps) {
            if (step.new_rays) {
                kept.rays_change(state.rays.data());
                std::copy(other_rays.begin(), other_rays.end(), state.rays.begin());
            }
            run_frames(run, *step.scene, normal_table.get(), state, 1, threads, &kept);
            after_step(step.change, state);
        }
    };
    std::vector<CPassState> plain;
    run_steps({"plain", CCpuPass::plain, nullptr}, 1,
              [&](const char*, const CPassState& state) { plain.push_back(state); });
    for (const CPassRun& run : lane_passes_here()) {
        size_t i = 0;
        run_steps(run, 2, [&](const char* change, const CPassState& state) {
            expect_same(plain[i++], state, run.name + ", changed: " + change);
        });
    }
}
