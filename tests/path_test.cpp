// SPDX-License-Identifier: Apache-2.0
// The path: combining bounce records into a colour, accumulating colours into
// a pixel's sums, count and bytes, and whole runs of the per-pixel body on
// small scenes whose colour can be worked out by hand.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "base/image_size.h"
#include "scene/host_random.h"
#include "kernel/path.h"

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

uint32_t steps(uint32_t state, int count)
{
    for (int i = 0; i < count; ++i)
        next_random(&state, 0);
    return state;
}

CHitInfo record(CVector3 color, float scatter_angle, CVector3 normal, CVector3 out_dir)
{
    CHitInfo hit{};
    hit.color = color;
    hit.scatter_angle = scatter_angle;
    hit.refraction_index = 1.0f;
    hit.normal = normal;
    hit.out_dir = out_dir;
    return hit;
}

CHitInfo light(CVector3 emission)
{
    CHitInfo hit{};
    hit.emission = emission;
    return hit;
}

void expect_vec(CVector3 actual, CVector3 expected)
{
    EXPECT_EQ(actual.x, expected.x);
    EXPECT_EQ(actual.y, expected.y);
    EXPECT_EQ(actual.z, expected.z);
}

const CVector3 kUp{0.0f, 1.0f, 0.0f};

// One pixel's sums, count and bytes, with neighbours on either side that must
// never change.
struct CPixelBuffers {
    static constexpr uint32_t kPixel = 1;
    float buffer[9] = {7.0f, 7.0f, 7.0f, 0.0f, 0.0f, 0.0f, 7.0f, 7.0f, 7.0f};
    uint32_t cbuffer[3] = {7u, 0u, 7u};
    uint8_t fbuffer[9] = {7, 7, 7, 0, 0, 0, 7, 7, 7};

    void add(CVector3 colour) { accumulate_sample(kPixel, colour, buffer, cbuffer, fbuffer); }
    uint32_t count() const { return cbuffer[kPixel]; }
    CVector3 sum() const { return {buffer[3], buffer[4], buffer[5]}; }
    void expect_bytes(uint8_t r, uint8_t g, uint8_t b) const
    {
        EXPECT_EQ(fbuffer[3], r);
        EXPECT_EQ(fbuffer[4], g);
        EXPECT_EQ(fbuffer[5], b);
    }
    void expect_neighbours_untouched() const
    {
        for (int i : {0, 1, 2, 6, 7, 8}) {
            EXPECT_EQ(buffer[i], 7.0f);
            EXPECT_EQ(fbuffer[i], 7);
        }
        EXPECT_EQ(cbuffer[0], 7u);
        EXPECT_EQ(cbuffer[2], 7u);
    }
};

}  // namespace

TEST(CombinePath, DiffuseWallPassesLightScaledByColourAndCosine)
{
    // nd = 0.5 towards a ceiling of emission 3: m = 2.25, a = 1, 2.25 x 0.5.
    CHitInfo info[kMaxBounces] = {
        record({0.75f, 0.75f, 0.75f}, kDiffuseScatterAngle, kUp, {std::sqrt(0.75f), 0.5f, 0.0f}),
        light({3.0f, 3.0f, 3.0f})};
    expect_vec(combine_path(info, 1, true, false), CVector3{1.125f, 1.125f, 1.125f});
}

TEST(CombinePath, MirrorPassesLightWhateverTheCosine)
{
    for (CVector3 out_dir : {CVector3{0.0f, 1.0f, 0.0f}, CVector3{0.6f, -0.8f, 0.0f}, CVector3{}}) {
        CHitInfo info[kMaxBounces] = {record({1.0f, 1.0f, 0.0f}, 0.0f, kUp, out_dir), light({3.0f, 3.0f, 3.0f})};
        expect_vec(combine_path(info, 1, true, false), CVector3{3.0f, 3.0f, 0.0f});
    }
}

TEST(CombinePath, DiffuseRecordLeavingBehindItsNormalPassesNothing)
{
    CHitInfo info[kMaxBounces] = {record({1.0f, 1.0f, 1.0f}, kDiffuseScatterAngle, kUp, {0.0f, -0.5f, 0.8f}),
                                  light({3.0f, 3.0f, 3.0f})};
    expect_vec(combine_path(info, 1, true, false), CVector3{});
}

TEST(CombinePath, LightAtFirstBounceIsItsEmissionUnchanged)
{
    CHitInfo info[kMaxBounces] = {light({3.0f, -2.0f, 0.5f})};
    expect_vec(combine_path(info, 0, true, false), CVector3{3.0f, -2.0f, 0.5f});
}

TEST(CombinePath, MissesAndUnlitPathsAreBlack)
{
    CHitInfo info[kMaxBounces] = {record({1.0f, 1.0f, 1.0f}, 0.0f, kUp, kUp), light({3.0f, 3.0f, 3.0f})};
    for (uint32_t depth = 0; depth <= 1; ++depth) {
        expect_vec(combine_path(info, depth, false, true), CVector3{});
        expect_vec(combine_path(info, depth, false, false), CVector3{});
    }
    expect_vec(combine_path(info, 5, false, false), CVector3{});
}

TEST(CombinePath, RecordsAreAppliedBackToFrontWithTheWrittenRounding)
{
    // A glossy record (0 < a < 1), a refractive one (a < 0, factor above 1)
    // and a diffuse one, in front of a light.
    const float glossy_sa = 1.0f;
    const float refractive_sa = -0.5f;
    const CVector3 out_glossy{0.0f, 0.6f, 0.8f};
    const CVector3 out_refractive{0.0f, 0.28f, 0.96f};
    const CVector3 out_diffuse{0.0f, 0.8f, 0.6f};
    CHitInfo info[kMaxBounces] = {record({0.9f, 0.7f, 0.3f}, glossy_sa, kUp, out_glossy),
                                  record({0.5f, 0.8f, 1.0f}, refractive_sa, kUp, out_refractive),
                                  record({0.35f, 0.65f, 0.95f}, kDiffuseScatterAngle, kUp, out_diffuse),
                                  light({1.7f, 2.3f, 0.9f})};

    // Worked step by step: records 2, 1, 0 in turn, each operation rounded.
    const float colors[3][3] = {{0.9f, 0.7f, 0.3f}, {0.5f, 0.8f, 1.0f}, {0.35f, 0.65f, 0.95f}};
    const float angles[3] = {glossy_sa, refractive_sa, kDiffuseScatterAngle};
    const float cosines[3] = {0.6f, 0.28f, 0.8f};
    float acc[3] = {1.7f, 2.3f, 0.9f};
    for (int k = 2; k >= 0; --k) {
        const float a = angles[k] / 3.1415925f;
        for (int ch = 0; ch < 3; ++ch) {
            const float m = colors[k][ch] * acc[ch];
            const float scaled = m * cosines[k];
            const float blended = a * scaled;
            const float rest = (1.0f - a) * m;
            acc[ch] = blended + rest;
        }
    }
    expect_vec(combine_path(info, 3, true, false), CVector3{acc[0], acc[1], acc[2]});
    // The refractive record lets more through than its colour alone.
    EXPECT_GT(combine_path(info + 1, 2, true, false).x, 0.5f * 0.35f * 0.8f * 1.7f);
}

TEST(AccumulateSample, FirstSampleSetsSumsCountAndTruncatedBytes)
{
    CPixelBuffers pixel;
    pixel.add({1.0f, 0.5f, 0.0f});
    EXPECT_EQ(pixel.count(), 1u);
    expect_vec(pixel.sum(), CVector3{1.0f, 0.5f, 0.0f});
    pixel.expect_bytes(255, 127, 0);
    pixel.expect_neighbours_untouched();
}

TEST(AccumulateSample, ChannelsAreClampedToZeroToOne)
{
    CPixelBuffers pixel;
    pixel.add({3.0f, 3.0f, 3.0f});
    expect_vec(pixel.sum(), CVector3{1.0f, 1.0f, 1.0f});
    pixel.add({-5.0f, 0.25f, 2.0f});
    EXPECT_EQ(pixel.count(), 2u);
    expect_vec(pixel.sum(), CVector3{1.0f, 1.25f, 2.0f});
    pixel.expect_bytes(127, 159, 255);
}

TEST(AccumulateSample, AverageOfTwoSamples)
{
    CPixelBuffers pixel;
    pixel.add({1.0f, 1.0f, 1.0f});
    pixel.add({0.5f, 0.5f, 0.5f});
    EXPECT_EQ(pixel.count(), 2u);
    expect_vec(pixel.sum(), CVector3{1.5f, 1.5f, 1.5f});
    pixel.expect_bytes(191, 191, 191);
}

TEST(AccumulateSample, BlackSamplesLeaveNoTrace)
{
    CPixelBuffers pixel;
    pixel.add({0.0f, 0.0f, 0.0f});
    pixel.add({-0.2f, 0.0f, 0.0f});
    EXPECT_EQ(pixel.count(), 0u);
    expect_vec(pixel.sum(), CVector3{});
    pixel.expect_bytes(0, 0, 0);

    // One lit frame out of ten: the nine black ones do not darken it.
    for (int frame = 0; frame < 10; ++frame)
        pixel.add(frame == 4 ? CVector3{0.5f, 0.5f, 0.5f} : CVector3{-1.0f, -0.0f, 0.0f});
    EXPECT_EQ(pixel.count(), 1u);
    expect_vec(pixel.sum(), CVector3{0.5f, 0.5f, 0.5f});
    pixel.expect_bytes(127, 127, 127);
    pixel.expect_neighbours_untouched();
}

TEST(AccumulateSample, SmallSampleCountsLikeAnyOther)
{
    CPixelBuffers pixel;
    pixel.add({1.0f, 1.0f, 1.0f});
    pixel.add({0.001f, 0.0f, 0.0f});
    EXPECT_EQ(pixel.count(), 2u);
    expect_vec(pixel.sum(), CVector3{1.0f + 0.001f, 1.0f, 1.0f});
    pixel.expect_bytes(127, 127, 127);
}

TEST(AccumulateSample, AnyOneNonBlackChannelIsCounted)
{
    for (int lit = 0; lit < 3; ++lit) {
        CPixelBuffers pixel;
        float channels[3] = {0.0f, -1.0f, 0.0f};
        channels[lit] = 0.5f;
        pixel.add({channels[0], channels[1], channels[2]});
        EXPECT_EQ(pixel.count(), 1u) << "channel " << lit;
        EXPECT_EQ(pixel.fbuffer[3 + lit], 127) << "channel " << lit;
    }
}

TEST(AccumulateSample, NonFiniteChannelsCountAsZero)
{
    CPixelBuffers pixel;
    pixel.add({kNaN, 0.5f, kInf});
    EXPECT_EQ(pixel.count(), 1u);
    expect_vec(pixel.sum(), CVector3{0.0f, 0.5f, 0.0f});
    pixel.expect_bytes(0, 127, 0);

    // Samples with nothing finite and positive are dropped whole.
    for (CVector3 bad : {CVector3{kNaN, kNaN, kNaN}, CVector3{kInf, kInf, kInf}, CVector3{-kInf, kNaN, 0.0f}})
        pixel.add(bad);
    EXPECT_EQ(pixel.count(), 1u);
    expect_vec(pixel.sum(), CVector3{0.0f, 0.5f, 0.0f});

    // Later good samples still average normally.
    pixel.add({1.0f, 1.0f, 1.0f});
    EXPECT_EQ(pixel.count(), 2u);
    pixel.expect_bytes(127, 191, 127);
    EXPECT_TRUE(std::isfinite(pixel.sum().x) && std::isfinite(pixel.sum().z));
    pixel.expect_neighbours_untouched();
}

namespace {

// Under the sanitizers (no optimisation) a long run takes a fraction of its
// length, still well past the cap.
#if defined(__SANITIZE_ADDRESS__)
constexpr uint32_t kLongRunSamples = 1u << 21;
#else
constexpr uint32_t kLongRunSamples = 1u << 25;
#endif

// Samples of one kind of pixel, drawn from their own small generator.
struct CSampleSource {
    uint64_t state = 0x9e3779b97f4a7c15ull;
    float uniform()  // in (0, 1)
    {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return (float(state >> 41) + 0.5f) * 0x1p-23f;
    }
};

struct CPixelKind {
    const char* name;
    CVector3 (*draw)(CSampleSource&);
};

// The kinds of pixel whose float sums drift furthest when left to grow.
const CPixelKind kPixelKinds[] = {
    {"ceiling: every sample 1", [](CSampleSource&) { return CVector3{1.0f, 1.0f, 1.0f}; }},
    // The red wall (1, 0.5, 0.5) under a light of 3: red clamps to 1 in 55 % of the samples.
    {"lit red wall",
     [](CSampleSource& source) {
         const float x = source.uniform() / 0.45f;
         return CVector3{x, 0.5f * x, 0.5f * x};
     }},
    // Means 0.10, 0.03, 0.05, of which 3 % bright spikes.
    {"dim corner",
     [](CSampleSource& source) {
         if (source.uniform() < 0.03f)
             return CVector3{1.0f, 0.3f, 0.5f};
         return CVector3{0.1444f * source.uniform(), 0.0432f * source.uniform(), 0.072f * source.uniform()};
     }},
    {"constant 0.59999", [](CSampleSource&) { return CVector3{0.59999f, 0.59999f, 0.59999f}; }},
};

}  // namespace

TEST(AccumulateSample, LongRunsStayWithinHalfALevelOfTheExactAverage)
{
    for (const CPixelKind& kind : kPixelKinds) {
        SCOPED_TRACE(kind.name);
        CPixelBuffers pixel;
        CSampleSource source;
        double exact[3] = {0.0, 0.0, 0.0};  // the samples the pixel holds: its first kSampleCountCap
        for (uint32_t n = 1; n <= kLongRunSamples; ++n) {
            const CVector3 colour = kind.draw(source);
            pixel.add(colour);
            if (n <= kSampleCountCap) {
                exact[0] += std::min(colour.x, 1.0f);
                exact[1] += std::min(colour.y, 1.0f);
                exact[2] += std::min(colour.z, 1.0f);
            }
            if (n % 4096u != 0)
                continue;
            const uint32_t held = std::min(n, kSampleCountCap);
            ASSERT_EQ(pixel.count(), held) << "after " << n << " samples";
            const float sums[3] = {pixel.sum().x, pixel.sum().y, pixel.sum().z};
            for (int ch = 0; ch < 3; ++ch) {
                const double average = exact[ch] / held;
                ASSERT_NEAR(double(sums[ch]) / held, average, 0.5 / 255.0) << "channel " << ch << " after " << n;
                const int byte = pixel.fbuffer[3 + ch];
                ASSERT_GE(byte, int(std::floor(255.0 * average - 0.5))) << "channel " << ch << " after " << n;
                ASSERT_LE(byte, int(std::floor(255.0 * average + 0.5))) << "channel " << ch << " after " << n;
            }
        }
        pixel.expect_neighbours_untouched();
    }
}

TEST(AccumulateSample, CountStopsAtTheCapAndNeverWraps)
{
    struct CCase {
        uint32_t count;
        uint32_t final_count;
        uint8_t byte;  // 200 where the pixel took nothing
    };
    const CCase cases[] = {{kSampleCountCap - 2u, kSampleCountCap, 127},
                           {kSampleCountCap - 1u, kSampleCountCap, 127},
                           {kSampleCountCap, kSampleCountCap, 200},
                           {0x80000000u, 0x80000000u, 200},
                           {0xfffffffeu, 0xfffffffeu, 200},
                           {0xffffffffu, 0xffffffffu, 200}};
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.count);
        CPixelBuffers pixel;
        pixel.cbuffer[CPixelBuffers::kPixel] = c.count;
        const float half = 0.5f * float(c.count);
        for (int i = 3; i < 6; ++i) {
            pixel.buffer[i] = half;
            pixel.fbuffer[i] = 200;
        }
        for (int sample = 0; sample < 3; ++sample)
            pixel.add({0.5f, 0.5f, 0.5f});
        EXPECT_EQ(pixel.count(), c.final_count);
        const float sum = half + 0.5f * float(c.final_count - c.count);
        expect_vec(pixel.sum(), CVector3{sum, sum, sum});
        pixel.expect_bytes(c.byte, c.byte, c.byte);
        pixel.expect_neighbours_untouched();
    }
}

namespace {

// Everything one pass of the per-pixel body touches, for every pixel index
// plus a little room beyond the last one.
class PathTracePixel : public ::testing::Test {
protected:
    static constexpr uint32_t kSlots = kPixelCount + 2u;

    std::vector<CSphere> spheres;
    std::vector<CPlane> planes;
    std::vector<CRay3> rays = std::vector<CRay3>(kSlots);
    std::vector<float> buffer = std::vector<float>(3u * kSlots, 0.0f);
    std::vector<uint32_t> cbuffer = std::vector<uint32_t>(kSlots, 0u);
    std::vector<uint8_t> fbuffer = std::vector<uint8_t>(3u * kSlots, 0u);
    std::vector<uint32_t> states = std::vector<uint32_t>(kSlots, 12345u);
    std::vector<CVector3> table = std::vector<CVector3>(kDeviceNormalCount, CVector3{0.6f, 0.8f, 0.0f});

    void TearDown() override { normal_table_release(); }

    uint32_t run(uint32_t p)
    {
        const CSceneLists scene{spheres.data(), uint32_t(spheres.size()), planes.data(), uint32_t(planes.size())};
        return path_trace_pixel(p, CFrameArgs{scene, rays.data(), buffer.data(), cbuffer.data(), fbuffer.data()},
                                CRandomBindings{table.data(), states.data()});
    }

    void aim(uint32_t p, CVector3 origin, CVector3 target) { rays[p] = CRay3{origin, target}; }

    void expect_pixel(uint32_t p, uint32_t count, uint8_t r, uint8_t g, uint8_t b)
    {
        EXPECT_EQ(cbuffer[p], count);
        EXPECT_EQ(fbuffer[3 * p], r);
        EXPECT_EQ(fbuffer[3 * p + 1], g);
        EXPECT_EQ(fbuffer[3 * p + 2], b);
    }

    static CPlane plane(CVector3 normal, float distance, CVector3 color, CVector3 emission = {},
                        float scatter_angle = kDiffuseScatterAngle, float refraction_index = 1.0f)
    {
        CPlane made;
        made.normal = normal;
        made.distance = distance;
        made.color = color;
        made.emission = emission;
        made.scatter_angle = scatter_angle;
        made.refraction_index = refraction_index;
        return made;
    }

    static CSphere sphere(CVector3 center, float radius, CVector3 emission)
    {
        CSphere made;
        made.center = center;
        made.radius = radius;
        made.emission = emission;
        return made;
    }
};

const CVector3 kOrigin{0.0f, 0.0f, 0.0f};
const CVector3 kAhead{0.0f, 0.0f, -1000.0f};

}  // namespace

TEST_F(PathTracePixel, LookingStraightAtALightShowsFullWhiteWithoutDrawing)
{
    planes.push_back(plane({0.0f, 0.0f, 1.0f}, 100.0f, {}, {3.0f, 3.0f, 3.0f}));
    const uint32_t p = 1234;
    aim(p, kOrigin, kAhead);
    for (int frame = 0; frame < 3; ++frame)
        EXPECT_EQ(run(p), 1u);
    expect_pixel(p, 3, 255, 255, 255);
    EXPECT_EQ(buffer[3 * p], 3.0f);
    EXPECT_EQ(states[p], 12345u);
    // Only that pixel changed.
    EXPECT_EQ(cbuffer[p - 1], 0u);
    EXPECT_EQ(cbuffer[p + 1], 0u);
    EXPECT_EQ(states[p + 1], 12345u);
}

TEST_F(PathTracePixel, NegativeEmissionEndsThePathAsALight)
{
    planes.push_back(plane({0.0f, 0.0f, 1.0f}, 100.0f, {1.0f, 1.0f, 1.0f}, {0.0f, 0.0f, -1.0f}));
    aim(0, kOrigin, kAhead);
    EXPECT_EQ(run(0), 1u);
    EXPECT_EQ(states[0], 12345u);  // no scatter, so no draws
    expect_pixel(0, 0, 0, 0, 0);   // and its colour clamps to black
}

TEST_F(PathTracePixel, MirrorInFrontOfALightShowsTheLightTintedByTheMirror)
{
    planes.push_back(plane({0.0f, 0.0f, 1.0f}, 10.0f, {1.0f, 1.0f, 0.5f}, {}, 0.0f));           // mirror z = -10
    planes.push_back(plane({0.0f, 0.0f, -1.0f}, 10.0f, {}, {0.9f, 0.6f, 0.9f}));                 // light z = +10
    const uint32_t p = kLastPixelIndex;
    aim(p, kOrigin, kAhead);
    EXPECT_EQ(run(p), 2u);
    // (1, 1, 0.5) x (0.9, 0.6, 0.9) = (0.9, 0.6, 0.45).
    expect_pixel(p, 1, 229, 153, 114);
    EXPECT_EQ(states[p], steps(12345u, 2));
}

TEST_F(PathTracePixel, DiffuseFloorUnderALitCeiling)
{
    // Every table entry is (0.6, 0.8, 0): the floor sends the path up at nd = 0.8.
    planes.push_back(plane({0.0f, 1.0f, 0.0f}, 1.0f, {0.6f, 0.3f, 0.9f}));                       // floor y = -1
    planes.push_back(plane({0.0f, -1.0f, 0.0f}, 10.0f, {}, {1.0f, 1.0f, 1.0f}));                 // ceiling y = 10
    aim(7, kOrigin, {0.0f, -1000.0f, -1000.0f});
    EXPECT_EQ(run(7), 2u);
    // (0.6, 0.3, 0.9) x 0.8 = (0.48, 0.24, 0.72).
    expect_pixel(7, 1, 122, 61, 183);
    EXPECT_NEAR(buffer[21], 0.48f, 1e-6f);
    EXPECT_EQ(states[7], steps(12345u, 2));

    // Without the ceiling the second bounce meets nothing: black, but the
    // scatter at the floor still drew twice.
    planes.pop_back();
    EXPECT_EQ(run(7), 2u);
    expect_pixel(7, 1, 122, 61, 183);
    EXPECT_EQ(states[7], steps(12345u, 4));
}

TEST_F(PathTracePixel, SecondMirrorReflectsTheDirectionFromTheFirstHit)
{
    // The camera ray meets mirror A (the plane y + z = -10) at (0, 0, -10)
    // and turns up to mirror B (the plane y = z + 20) at (0, 10, -10), which
    // sends it along +z into a light sphere. Had B reflected the direction
    // from the camera instead, the path would leave along (0, -1, 1) and miss.
    const float s = std::sqrt(0.5f);
    planes.push_back(plane({0.0f, s, s}, 10.0f * s, {1.0f, 0.5f, 1.0f}, {}, 0.0f));
    planes.push_back(plane({0.0f, -s, s}, 20.0f * s, {1.0f, 1.0f, 0.5f}, {}, 0.0f));
    spheres.push_back(sphere({0.0f, 10.0f, 100.0f}, 5.0f, {0.9f, 0.9f, 0.9f}));
    aim(55, kOrigin, kAhead);
    EXPECT_EQ(run(55), 3u);
    // (1, 0.5, 1) x (1, 1, 0.5) x 0.9 = (0.9, 0.45, 0.45).
    expect_pixel(55, 1, 229, 114, 114);
    EXPECT_EQ(states[55], steps(12345u, 4));
}

TEST_F(PathTracePixel, RefractionUsesThePreviousSurfacesIndex)
{
    // A slab of index 1.5 between z = -10 and z = -20, both faces clear
    // (scatter angle -0.001). Entering bends the path; leaving (1.5 -> 1)
    // must bend it back parallel to the camera ray, towards the light.
    const CVector3 grey{0.5f, 0.5f, 0.5f};
    planes.push_back(plane({0.0f, 0.0f, 1.0f}, 10.0f, grey, {}, -0.001f, 1.5f));
    planes.push_back(plane({0.0f, 0.0f, 1.0f}, 20.0f, grey, {}, -0.001f, 1.0f));
    // Exit point: x = 7.5 + 10 x 0.4 / sqrt(0.84); the light sits 100 units
    // further along (0.6, 0, -0.8).
    const float exit_x = 7.5f + 4.0f / std::sqrt(0.84f);
    spheres.push_back(sphere({exit_x + 60.0f, 0.0f, -100.0f}, 10.0f, {1.0f, 1.0f, 1.0f}));
    aim(99, kOrigin, {600.0f, 0.0f, -800.0f});
    EXPECT_EQ(run(99), 3u);
    // Each face passes 0.5 x (1 - a) with a = -0.001 / 3.1415925 (the path
    // leaves against the normal, so nd = 0): about 0.25016, byte 63.
    expect_pixel(99, 1, 63, 63, 63);
    EXPECT_NEAR(buffer[3 * 99], 0.25f * (1.0f + 0.001f / 3.1415925f) * (1.0f + 0.001f / 3.1415925f), 1e-6f);
}

TEST_F(PathTracePixel, ClosedBoxWithoutALightStaysBlack)
{
    host_srand(7);
    ASSERT_TRUE(build_normal_table());
    table.assign(normal_table.get(), normal_table.get() + kDeviceNormalCount);
    const CVector3 grey{0.7f, 0.7f, 0.7f};
    for (float sign : {1.0f, -1.0f}) {
        planes.push_back(plane({sign, 0.0f, 0.0f}, 5.0f, grey));
        planes.push_back(plane({0.0f, sign, 0.0f}, 5.0f, grey));
        planes.push_back(plane({0.0f, 0.0f, sign}, 5.0f, grey));
    }
    const uint32_t pixels[] = {0u, 4321u, kLastPixelIndex};
    aim(0, kOrigin, kAhead);
    aim(4321, {1.0f, -2.0f, 0.5f}, {300.0f, 700.0f, -100.0f});
    aim(kLastPixelIndex, {-4.0f, 4.0f, 4.0f}, {-4.0f, -1000.0f, 4.0f});
    for (int frame = 0; frame < 10; ++frame)
        for (uint32_t p : pixels)
            EXPECT_EQ(run(p), 5u);
    for (uint32_t p : pixels) {
        expect_pixel(p, 0, 0, 0, 0);
        EXPECT_EQ(buffer[3 * p], 0.0f);
        EXPECT_EQ(buffer[3 * p + 1], 0.0f);
        EXPECT_EQ(buffer[3 * p + 2], 0.0f);
        // Five scatters of two draws each, every frame.
        EXPECT_EQ(states[p], steps(12345u, 100));
    }
}

TEST_F(PathTracePixel, CameraRayMeetingNothingIsBlackAndDrawsNothing)
{
    planes.push_back(plane({0.0f, 0.0f, -1.0f}, 10.0f, {}, {3.0f, 3.0f, 3.0f}));  // behind the camera
    aim(3, kOrigin, kAhead);
    EXPECT_EQ(run(3), 1u);
    expect_pixel(3, 0, 0, 0, 0);
    EXPECT_EQ(states[3], 12345u);
}

TEST_F(PathTracePixel, IndicesBeyondTheLastPixelTouchNothing)
{
    planes.push_back(plane({0.0f, 0.0f, 1.0f}, 100.0f, {0.5f, 0.5f, 0.5f}));
    planes.push_back(plane({0.0f, 0.0f, -1.0f}, 100.0f, {}, {1.0f, 1.0f, 1.0f}));
    for (uint32_t p = kLastPixelIndex; p < kSlots; ++p)
        aim(p, kOrigin, kAhead);
    EXPECT_EQ(run(kPixelCount), 0u);
    EXPECT_EQ(run(kPixelCount + 1u), 0u);
    for (uint32_t p : {kPixelCount, kPixelCount + 1u}) {
        EXPECT_EQ(states[p], 12345u);
        expect_pixel(p, 0, 0, 0, 0);
        EXPECT_EQ(buffer[3 * p], 0.0f);
    }
    // The last real pixel is traced: it meets the wall and scatters once (two draws).
    EXPECT_EQ(run(kLastPixelIndex), 2u);
    EXPECT_EQ(states[kLastPixelIndex], steps(12345u, 2));
}
