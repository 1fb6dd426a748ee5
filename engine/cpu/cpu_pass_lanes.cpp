// SPDX-License-Identifier: Apache-2.0
// One fast CPU pass: the per-pixel body of kernel/path.h over SIMD lanes, one
// tile of neighbouring pixels at a time (blocks of four pixels for SSE2). Compiled once per instruction set
// (engine/CMakeLists.txt names the entry point and namespace).
//
// Paths end at different bounces, so lanes that keep one pixel each from the
// camera to the last bounce idle more and more as their paths end. Here the
// paths of a tile go bounce by bounce instead: after each bounce the paths
// still going are packed together, so every group of lanes at the next bounce
// is full but for the tile's last. Each bounce's records stay in place, in
// the packed order of that bounce; the colours are then combined back to
// front, unpacking each bounce's results into the order of the bounce before,
// until the first bounce, where the lanes are the tile's pixels in order
// again. The arithmetic per path is the shared code (trace_bounce_lanes,
// combine_record_lanes, accumulate_lanes), so every pixel ends with the bits
// the one-pixel loop gives it.

// bench/frame_stages' timed copies have bench/stage_clock.h forced in front
// (VANTREL_STAGE_CLOCK), which marks every change of stage, or
// bench/tile_clock.h, which times whole tiles; here the marks are empty.
#if !defined(VANTREL_STAGE)
#define VANTREL_STAGE(stage)
#endif

#include "engine/cpu/simd_lanes.h"

#include <atomic>
#include <cstring>
#include <memory>

#include "engine/cpu/cpu_pass_lanes.h"
#include "engine/cpu/cpu_threads.h"
#include "kernel/path.h"

#if !defined(VANTREL_LANES_PASS)
#error "VANTREL_LANES_PASS names this instruction set's entry point"
#endif

using VANTREL_LANES_NS::CFloat;
using VANTREL_LANES_NS::CMask;
using VANTREL_LANES_NS::CUint;
using VANTREL_LANES_NS::kLanes;

#if VANTREL_LANE_COUNT == 4
// Four lanes idle little as paths end, and without a packing instruction the
// regrouping costs more than it saves: each block of four pixels goes from
// the camera to its last bounce, every kernel function inlined.
namespace {
[[gnu::flatten]] uint32_t trace_block(uint32_t first, const CLanePassArgs& args)
{
    return VANTREL_LANES_NS::lane_sum(path_trace_lanes<CFloat>(first, args, args.bindings));
}
}  // namespace

uint64_t VANTREL_LANES_PASS(const CLanePassArgs& args)
{
    constexpr uint32_t kBlocks = kPixelCount / kLanes;
    constexpr uint32_t kBlocksPerRow = kImageWidth / kLanes;
    std::atomic<uint64_t> segments{0};
    // A row of blocks at a time, as the plain loop hands out rows.
    cpu_parallel_for(args.threads, kBlocks, kBlocksPerRow, [&](uint32_t begin, uint32_t end, int) {
        uint64_t searched = 0;
        for (uint32_t block = begin; block < end; ++block)
            searched += trace_block(block * kLanes, args);
        segments.fetch_add(searched, std::memory_order_relaxed);
    });
    return segments.load();
}
#else
namespace {
// Half a row: the records of a tile's bounces stay in the core's cache.
constexpr uint32_t kTile = 320u;
constexpr uint32_t kChunks = kTile / kLanes;
static_assert(kPixelCount % kTile == 0 && kTile % kLanes == 0, "tiles of whole lane groups cover the frame");

using CRecord = CBounceLanes<CFloat>;
using CVec3 = CVec3Lanes<CFloat>;
using T = CLaneTraits<CFloat>;

// The paths going into one bounce, packed (room for a whole lane group past
// the last, which packing may write).
struct CLivePaths {
    float origin[3][kTile + kLanes];
    float target[3][kTile + kLanes];
    float prev_index[kTile + kLanes];
    uint32_t state[kTile + kLanes];
    uint32_t pixel[kTile + kLanes];
};

// Colours so far of one bounce's paths, packed as that bounce's paths are,
// with 1 where the path met a light.
struct CColours {
    float channel[3][kTile + kLanes];
    float lit[kTile + kLanes];
};

// One thread's working space for a tile.
struct CTileWork {
    CRecord records[kMaxBounces][kChunks];
    CVec3 light[kMaxBounces][kChunks];    // the emission where a path met a light at this bounce
    CMask goes_on[kMaxBounces][kChunks];  // lanes whose path goes on to the next bounce
    CMask lit[kMaxBounces][kChunks];      // lanes whose path met a light at this bounce
    uint32_t chunks[kMaxBounces];         // lane groups traced at each bounce
    uint32_t ended_pixel[kTile + kLanes];  // the paths that ended, packed in the order they ended,
    uint32_t ended_state[kTile + kLanes];  // with their random states
    CLivePaths live[2];                   // this bounce's paths and the next one's
    CColours colours[2];                  // this bounce's colours and the next one's
};

CVec3 load_vec3(const float (&list)[3][kTile + kLanes], uint32_t at)
{
    return {VANTREL_LANES_NS::load_floats(list[0] + at), VANTREL_LANES_NS::load_floats(list[1] + at),
            VANTREL_LANES_NS::load_floats(list[2] + at)};
}
void pack_vec3(float (&list)[3][kTile + kLanes], uint32_t at, CVec3 v, const VANTREL_LANES_NS::CPacking& packing)
{
    VANTREL_LANES_NS::compress_store(list[0] + at, v.x, packing);
    VANTREL_LANES_NS::compress_store(list[1] + at, v.y, packing);
    VANTREL_LANES_NS::compress_store(list[2] + at, v.z, packing);
}

// Brings bytes [p, p + size) into the cache.
void prefetch_bytes(const void* p, size_t size)
{
    const char* bytes = static_cast<const char*>(p);
    for (size_t at = 0; at < size; at += 64u)
        _mm_prefetch(bytes + at, _MM_HINT_T0);
    _mm_prefetch(bytes + size - 1u, _MM_HINT_T0);
}
// What the first bounce reads of the lane group from pixel `first` on.
void prefetch_first_bounce(const CLanePassArgs& args, uint32_t first)
{
    if (args.first_hits.ready)
        for (uint32_t field = 0; field < kFirstHitFields; ++field)
            prefetch_bytes(args.first_hits.fields + first_hit_offset(first, field), kLanes * sizeof(float));
    else
        prefetch_bytes(args.rayList + first, kLanes * sizeof(CRay3));
    prefetch_bytes(args.bindings.rand_list + first, kLanes * sizeof(uint32_t));
}
// The first bounce reads kept first hits (or camera rays) and random states
// from memory this many lane groups ahead of use.
constexpr uint32_t kGroupsAhead = 4u;

// The first hits of the lane group from pixel `first` on.
struct CFirstHitLanes {
    CMask found;
    CUint object;
    CVec3 point;
    CVec3 normal;
    CVec3 base_dir;
};
CVec3 load_first_hit_vec3(const float* fields, uint32_t first, uint32_t field)
{
    return {VANTREL_LANES_NS::load_floats(fields + first_hit_offset(first, field)),
            VANTREL_LANES_NS::load_floats(fields + first_hit_offset(first, field + 1u)),
            VANTREL_LANES_NS::load_floats(fields + first_hit_offset(first, field + 2u))};
}
void store_first_hit_vec3(float* fields, uint32_t first, uint32_t field, CVec3 v)
{
    VANTREL_LANES_NS::store_floats(fields + first_hit_offset(first, field), v.x);
    VANTREL_LANES_NS::store_floats(fields + first_hit_offset(first, field + 1u), v.y);
    VANTREL_LANES_NS::store_floats(fields + first_hit_offset(first, field + 2u), v.z);
}
CFirstHitLanes load_first_hits(const float* fields, uint32_t first)
{
    const CUint stored =
        VANTREL_LANES_NS::load_uints(reinterpret_cast<const uint32_t*>(fields + first_hit_offset(first, 0u)));
    const CMask found = !(stored == CUint(0u));
    return {found, lane_select(found, stored - CUint(1u), CUint(0u)), load_first_hit_vec3(fields, first, kFirstHitPoint),
            load_first_hit_vec3(fields, first, kFirstHitNormal), load_first_hit_vec3(fields, first, kFirstHitBase)};
}
void store_first_hits(float* fields, uint32_t first, const CFirstHitLanes& hits)
{
    const CUint stored = lane_select(hits.found, hits.object + CUint(1u), CUint(0u));
    std::memcpy(fields + first_hit_offset(first, 0u), &stored.v, sizeof stored.v);
    store_first_hit_vec3(fields, first, kFirstHitPoint, hits.point);
    store_first_hit_vec3(fields, first, kFirstHitNormal, hits.normal);
    store_first_hit_vec3(fields, first, kFirstHitBase, hits.base_dir);
}

// The first bounce of the lane group from pixel `first` on: from the kept
// first hits when they are ready, else searched from the camera rays (and
// kept, where there is room for them). The rest as trace_bounce_lanes.
CMask trace_first_bounce(const CLanePassArgs& args, uint32_t first, CVec3& origin, CVec3& target,
                         CFloat& prev_index, CUint& state, CRecord& record, CPathEndLanes<CFloat>& end)
{
    float* const fields = args.first_hits.fields;
    if (fields == nullptr) {
        T::load_ray(args.rayList, first, origin, target);
        return trace_bounce_lanes<CFloat>(0u, CMask(true), origin, target, prev_index, args.scene,
                                          args.bindings.normal_list, state, record, end);
    }
    CHitLanes<CFloat> hit{};
    CFirstHitLanes first_hits;
    if (args.first_hits.ready) {
        first_hits = load_first_hits(fields, first);
        load_surface(args.scene, first_hits.object, hit);
        hit.point = first_hits.point;
        hit.normal = first_hits.normal;
    } else {
        T::load_ray(args.rayList, first, origin, target);
        first_hits.found = find_nearest_lanes<CFloat>(origin, target, args.scene, hit, true, &first_hits.object);
        VANTREL_STAGE_SCATTER(0u);
        first_hits.point = hit.point;
        first_hits.normal = hit.normal;
        first_hits.base_dir = bounce_base_direction<CFloat>(hit, origin, prev_index);
        store_first_hits(fields, first, first_hits);
    }
    return respond_bounce_lanes<CFloat>(0u, CMask(true), first_hits.found, hit, &first_hits.base_dir, origin, target,
                                        prev_index, args.bindings.normal_list, state, record, end);
}

// The tile of pixels first .. first + kTile - 1; returns the segments searched.
[[gnu::flatten]] uint32_t trace_tile(uint32_t first, const CLanePassArgs& args, CTileWork& w)
{
    uint32_t* rand_list = args.bindings.rand_list;
    const float* table = reinterpret_cast<const float*>(args.bindings.normal_list);
    uint32_t segments = 0;
    uint32_t count = kTile;
    uint32_t ended = 0;
    uint32_t levels = 0;
    for (uint32_t k = 0; k < kMaxBounces && count > 0; ++k, ++levels) {
        segments += count;
#if defined(VANTREL_STAGE_CLOCK)
        g_stage_clock.segments[k] += count;
#endif
        const CLivePaths& in = w.live[k & 1u];
        CLivePaths& out = w.live[(k + 1u) & 1u];
        uint32_t packed = 0;
        w.chunks[k] = (count + kLanes - 1u) / kLanes;
        for (uint32_t c = 0; c < w.chunks[k]; ++c) {
            VANTREL_STAGE(k == 0 ? kStageRays : kStageLoad);
            const uint32_t at = c * kLanes;
            CVec3 origin;
            CVec3 target;
            CFloat prev_index;
            CUint state;
            CUint pixel;
            CMask active;
            if (k == 0) {
                if (c == 0)
                    for (uint32_t g = 0; g < kGroupsAhead; ++g)
                        prefetch_first_bounce(args, first + g * kLanes);
                if (c + kGroupsAhead < kChunks)
                    prefetch_first_bounce(args, first + at + kGroupsAhead * kLanes);
                // The sums, counts and bytes this group's colours go into once
                // the tile is traced.
                prefetch_bytes(args.buffer + 3u * (first + at), 3u * kLanes * sizeof(float));
                prefetch_bytes(args.cbuffer + first + at, kLanes * sizeof(uint32_t));
                prefetch_bytes(args.fbuffer + 3u * (first + at), 3u * kLanes);
                state = T::load_uint(rand_list, first + at);
                prev_index = CFloat(1.0f);
                pixel = CUint(first + at) + VANTREL_LANES_NS::lane_index();
                active = CMask(true);
            } else {
                origin = load_vec3(in.origin, at);
                target = load_vec3(in.target, at);
                prev_index = VANTREL_LANES_NS::load_floats(in.prev_index + at);
                state = VANTREL_LANES_NS::load_uints(in.state + at);
                pixel = VANTREL_LANES_NS::load_uints(in.pixel + at);
                active = VANTREL_LANES_NS::first_lanes(count - at);
            }
            if (k + 1u < kMaxBounces && c + 1u < w.chunks[k]) {
                // The next lane group's lookups in the unit-vector table (its
                // surface response draws entry r2 % kNormalLookupModulus),
                // brought into the cache while this group is traced.
                const CUint next_state = k == 0 ? T::load_uint(rand_list, first + at + kLanes)
                                                : VANTREL_LANES_NS::load_uints(in.state + at + kLanes);
                const CUint next_index = random_step(random_step(next_state)) % CUint(kNormalLookupModulus);
                for (uint32_t i = 0; i < kLanes; ++i)
                    _mm_prefetch(reinterpret_cast<const char*>(table + size_t{next_index.v[i]} * kScatterStride),
                                 _MM_HINT_T0);
            }
            VANTREL_STAGE(kStageSearch + k);
            CPathEndLanes<CFloat> end{CUint(kMaxBounces), CMask(false), CMask(false), lane_vec3<CFloat>(CVector3{})};
            const CMask goes_on =
                k == 0 ? trace_first_bounce(args, first + at, origin, target, prev_index, state, w.records[k][c], end)
                       : trace_bounce_lanes<CFloat>(k, active, origin, target, prev_index, args.scene,
                                                    args.bindings.normal_list, state, w.records[k][c], end);
            VANTREL_STAGE(kStagePack);
            w.goes_on[k][c] = goes_on;
            w.lit[k][c] = end.hit_light;
            w.light[k][c] = end.emission;
            // A path that ends here leaves its random state, written once
            // the tile's paths have all ended (one loop of known length
            // rather than one per lane group).
            const VANTREL_LANES_NS::CPacking ends = VANTREL_LANES_NS::pack_lanes(active && !goes_on);
            VANTREL_LANES_NS::compress_store(w.ended_pixel + ended, pixel, ends);
            VANTREL_LANES_NS::compress_store(w.ended_state + ended, state, ends);
            ended += ends.count;
            if (!lane_any(goes_on))
                continue;
            const VANTREL_LANES_NS::CPacking packing = VANTREL_LANES_NS::pack_lanes(goes_on);
            pack_vec3(out.origin, packed, origin, packing);
            pack_vec3(out.target, packed, target, packing);
            VANTREL_LANES_NS::compress_store(out.prev_index + packed, prev_index, packing);
            VANTREL_LANES_NS::compress_store(out.state + packed, state, packing);
            VANTREL_LANES_NS::compress_store(out.pixel + packed, pixel, packing);
            packed += packing.count;
        }
        count = packed;
    }
    VANTREL_STAGE(kStagePack);
    for (uint32_t i = 0; i < ended; ++i)
        rand_list[w.ended_pixel[i]] = w.ended_state[i];

    // Back to front: each bounce's colours from the next one's, unpacked.
    for (uint32_t k = levels; k-- > 0;) {
        const CColours& next = w.colours[(k + 1u) & 1u];
        CColours& here = w.colours[k & 1u];
        uint32_t taken = 0;
        for (uint32_t c = 0; c < w.chunks[k]; ++c) {
            VANTREL_STAGE(kStageCombine);
            const CMask goes_on = w.goes_on[k][c];
            CVec3 acc = lane_vec3<CFloat>(CVector3{});
            CMask lit_later = CMask(false);
            if (lane_any(goes_on)) {
                const VANTREL_LANES_NS::CUnpacking unpacking = VANTREL_LANES_NS::unpack_lanes(goes_on);
                acc = {VANTREL_LANES_NS::expand_load(next.channel[0] + taken, unpacking),
                       VANTREL_LANES_NS::expand_load(next.channel[1] + taken, unpacking),
                       VANTREL_LANES_NS::expand_load(next.channel[2] + taken, unpacking)};
                lit_later = goes_on && VANTREL_LANES_NS::expand_load(next.lit + taken, unpacking) != CFloat(0.0f);
                taken += unpacking.count;
            }
            acc = combine_record_lanes<CFloat>(w.records[k][c], acc, lit_later, w.lit[k][c], w.light[k][c]);
            if (k == 0) {
                VANTREL_STAGE(kStageAccumulate);
                accumulate_lanes<CFloat>(first + c * kLanes, acc, args.buffer, args.cbuffer, args.fbuffer);
                continue;
            }
            const uint32_t at = c * kLanes;
            VANTREL_LANES_NS::store_floats(here.channel[0] + at, acc.x);
            VANTREL_LANES_NS::store_floats(here.channel[1] + at, acc.y);
            VANTREL_LANES_NS::store_floats(here.channel[2] + at, acc.z);
            VANTREL_LANES_NS::store_floats(here.lit + at,
                                           lane_select(lit_later || w.lit[k][c], CFloat(1.0f), CFloat(0.0f)));
        }
    }
    VANTREL_STAGE(kStageOther);
    return segments;
}
}  // namespace

uint64_t VANTREL_LANES_PASS(const CLanePassArgs& args)
{
    constexpr uint32_t kTiles = kPixelCount / kTile;
    std::atomic<uint64_t> segments{0};
    // Rows cost very different amounts (the ceiling is one segment, the floor
    // up to five), so tiles go out one at a time. Every tile writes only its
    // own pixels' entries.
    cpu_parallel_for(args.threads, kTiles, 1, [&](uint32_t tile, uint32_t, int) {
        // Each thread keeps its working space from pass to pass.
        static thread_local std::unique_ptr<CTileWork> work;
        if (!work)
            work.reset(new CTileWork);
        segments.fetch_add(trace_tile(tile * kTile, args, *work), std::memory_order_relaxed);
    });
    return segments.load();
}
#endif
