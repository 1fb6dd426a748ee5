// SPDX-License-Identifier: Apache-2.0
#pragma once
// The tiled lane pass (8 and 16 lanes): the per-pixel body of kernel/path.h
// over SIMD lanes, one tile of neighbouring pixels at a time.
//
// Paths end at different bounces, so lanes that keep one pixel each from the
// camera to the last bounce idle more and more as their paths end. Here the
// paths of a tile go bounce by bounce instead: after each bounce the paths
// still going are packed together, so every group of lanes at the next bounce
// is full but for the tile's last. Each bounce's records stay in place, in
// the packed order of that bounce; the colours are then combined back to
// front, unpacking each bounce's results into the order of the bounce before,
// until the first bounce, where the lanes are the tile's pixels in order
// again. Each path's last random state goes back the same way, so the
// states are stored in pixel order at the first bounce and no path carries
// its pixel's number. The arithmetic per path is the shared code (the
// search's make_segment_lanes, nearest_object and describe_nearest_lanes,
// respond_bounce_lanes, combine_record_lanes, add_sample_lanes), so every
// pixel ends with the bits the one-pixel loop gives it.
//
// The pass tells a clock type (engine/cpu/tile_steps.h) each step it enters;
// the product's clock does nothing.

#include <atomic>
#include <memory>

#include "base/image_size.h"
#include "engine/cpu/cpu_threads.h"
#include "engine/cpu/first_hit_lanes.h"
#include "engine/cpu/isa/table_entry.h"
#include "engine/cpu/tile_steps.h"

namespace VANTREL_LANES_NS {

// Half a row: the records of a tile's bounces stay in the core's cache.
constexpr uint32_t kTile = 320u;
constexpr uint32_t kChunks = kTile / kLanes;
static_assert(kPixelCount % kTile == 0 && kTile % kLanes == 0, "tiles of whole lane groups cover the frame");
// The threads take the frame a piece at a time: whole tiles, then the last
// kSplitTiles tiles in pieces of kPiece pixels, so that when one thread takes
// the last piece the others wait for a small piece, not for a tile.
constexpr uint32_t kPiece = 80u;
constexpr uint32_t kSplitTiles = 8u;
static_assert(kTile % kPiece == 0 && kPiece % 16u == 0, "pieces of whole lane groups of every width");

using CRecord = CBounceLanes<CFloat>;

// The paths going into one bounce, packed (room for a whole lane group past
// the last, which packing may write).
struct CLivePaths {
    float origin[3][kTile + kLanes];
    float target[3][kTile + kLanes];
    float prev_index[kTile + kLanes];
    uint32_t state[kTile + kLanes];
};

// Colours so far of one bounce's paths, packed as that bounce's paths are,
// with 1 where the path met a light, and the random state each path ends with.
struct CColours {
    float channel[3][kTile + kLanes];
    float lit[kTile + kLanes];
    uint32_t state[kTile + kLanes];
};

// One thread's working space for a tile.
struct CTileWork {
    CRecord records[kMaxBounces][kChunks];
    CVec3 light[kMaxBounces][kChunks];    // the emission where a path met a light at this bounce
    CMask goes_on[kMaxBounces][kChunks];  // lanes whose path goes on to the next bounce
    CMask lit[kMaxBounces][kChunks];      // lanes whose path met a light at this bounce
    CUint state[kMaxBounces][kChunks];    // the random states as this bounce leaves them
    uint32_t chunks[kMaxBounces];         // lane groups traced at each bounce
    uint32_t entries[2][kLanes];          // the table entries this lane group and the next draw
    CLivePaths live[2];                   // this bounce's paths and the next one's
    CColours colours[2];                  // this bounce's colours and the next one's
};

inline CVec3 load_vec3(const float (&list)[3][kTile + kLanes], uint32_t at)
{
    return {load_floats(list[0] + at), load_floats(list[1] + at), load_floats(list[2] + at)};
}
inline void pack_vec3(float (&list)[3][kTile + kLanes], uint32_t at, CVec3 v, const CPacking& packing)
{
    compress_store(list[0] + at, v.x, packing);
    compress_store(list[1] + at, v.y, packing);
    compress_store(list[2] + at, v.z, packing);
}

// Brings the line holding p into every level of the cache, for reading (the
// compiler's own form of prefetch: PREFETCHT0 on x86-64, PRFM PLDL1KEEP on
// arm64).
inline void prefetch(const void* p) { __builtin_prefetch(p, 0, 3); }
// Brings bytes [p, p + size) into the cache.
inline void prefetch_bytes(const void* p, size_t size)
{
    const char* bytes = static_cast<const char*>(p);
    for (size_t at = 0; at < size; at += 64u)
        prefetch(bytes + at);
    prefetch(bytes + size - 1u);
}
// What the first bounce reads of the lane group from pixel `first` on.
inline void prefetch_first_bounce(const CLanePassArgs& args, uint32_t first)
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

// Lane group c of bounce k's paths, read for its search: from the camera (and
// the kept first hits) at the first bounce, else from the packed paths.
// `active` receives the lanes in use.
inline CPathLanes<CFloat> load_paths(const CLanePassArgs& args, uint32_t first, uint32_t k, uint32_t c,
                                     uint32_t count, const CLivePaths& in, CMask& active)
{
    using T = CLaneTraits<CFloat>;
    const uint32_t at = c * kLanes;
    CPathLanes<CFloat> path;
    if (k == 0) {
        if (c == 0)
            for (uint32_t g = 0; g < kGroupsAhead; ++g)
                prefetch_first_bounce(args, first + g * kLanes);
        if (c + kGroupsAhead < count / kLanes)
            prefetch_first_bounce(args, first + at + kGroupsAhead * kLanes);
        // The sums, counts and bytes this group's colours go into once the
        // tile is traced.
        prefetch_bytes(args.buffer + 3u * (first + at), 3u * kLanes * sizeof(float));
        prefetch_bytes(args.cbuffer + first + at, kLanes * sizeof(uint32_t));
        prefetch_bytes(args.fbuffer + 3u * (first + at), 3u * kLanes);
        path.state = T::load_uint(args.bindings.rand_list, first + at);
        path.prev_index = CFloat(1.0f);
        active = CMask(true);
    } else {
        path.origin = load_vec3(in.origin, at);
        path.target = load_vec3(in.target, at);
        path.prev_index = load_floats(in.prev_index + at);
        path.state = load_uints(in.state + at);
        active = first_lanes(count - at);
    }
    path.end = no_path_ended<CFloat>();
    return path;
}

// The unit-vector table with the entries one lane group's surface response
// draws already found (by find_scatter_entries, from the same states): the
// response reads them rather than reducing its draws again.
struct CFoundEntries {
    const float* table;
    const uint32_t* at;  // each lane's entry number
};
template <typename F>
inline CVec3 scatter_table_vector(const CFoundEntries& entries, CUint)
{
    return load_table_entries(entries.table, entries.at);
}

// The entries in the unit-vector table that lane group c of bounce k's
// surface response will draw (entry r2 % kNormalLookupModulus), into `at`,
// and brought into the cache: done a group ahead of use, so the group before
// is traced meanwhile.
inline CFoundEntries find_scatter_entries(const CLanePassArgs& args, uint32_t first, uint32_t k, uint32_t c,
                                          const CLivePaths& in, uint32_t (&at)[kLanes])
{
    const float* table = reinterpret_cast<const float*>(args.bindings.normal_list);
    const CUint state = k == 0 ? CLaneTraits<CFloat>::load_uint(args.bindings.rand_list, first + c * kLanes)
                               : load_uints(in.state + c * kLanes);
    store_uints(at, random_step(random_step(state)) % CUint(kNormalLookupModulus));
    for (uint32_t i = 0; i < kLanes; ++i)
        prefetch(table + size_t{at[i]} * kTableEntryStride);
    return {table, at};
}

// A lane group's segments after bounce k's nearest-object search, before
// their hit records are written and answered.
struct CSearchedGroup {
    CSegmentLanes<CFloat> segment;
    CNearestLanes<CFloat> nearest;
};
inline CSearchedGroup search_group(const CLanePassArgs& args, uint32_t first, uint32_t k, uint32_t c, uint32_t count,
                                   const CLivePaths& in)
{
    CMask active;
    const CPathLanes<CFloat> path = load_paths(args, first, k, c, count, in, active);
    CSearchedGroup group;
    group.segment = make_segment_lanes<CFloat>(path.origin, path.target);
    group.nearest = nearest_object<CFloat>(group.segment, args.lane_scene);
    return group;
}

// Bounce k's lane groups, from the packed paths `in` (count of them; the
// camera at k = 0): each searched and answered, the paths that go on packed
// into `out`. Returns how many go on. After the first bounce the search of
// group c + 1 comes before the answer of group c: the searches are mostly
// divisions and square roots, which one unit does, and the answers hardly
// any, so with the two side by side in the processor's window that unit
// idles less. Each group's arithmetic is the same either way.
template <class Clock>
inline uint32_t trace_level(const CLanePassArgs& args, uint32_t first, uint32_t k, uint32_t count,
                            const CLivePaths& in, CLivePaths& out, CTileWork& w)
{
    uint32_t packed = 0;
    w.chunks[k] = (count + kLanes - 1u) / kLanes;
    // The last bounce's paths end wherever they are: no surface response draws an entry.
    const bool scatters = k + 1u < kMaxBounces;
    CFoundEntries entries{};
    if (scatters)
        entries = find_scatter_entries(args, first, k, 0, in, w.entries[0]);
    CSearchedGroup next;
    if (k > 0) {
        Clock::enter(kStepSearch + k);
        next = search_group(args, first, k, 0, count, in);
    }
    for (uint32_t c = 0; c < w.chunks[k]; ++c) {
        const CFoundEntries now_entries = entries;
        CMask goes_on;
        CPathLanes<CFloat> path;
        if (k == 0) {
            Clock::enter(kStepRays);
            CMask active;
            path = load_paths(args, first, k, c, count, in, active);
            if (c + 1u < w.chunks[k])
                entries = find_scatter_entries(args, first, k, c + 1u, in, w.entries[(c + 1u) & 1u]);
            Clock::enter(kStepSearch);
            goes_on = trace_first_bounce<Clock>(args, first + c * kLanes, path, now_entries, w.records[k][c]);
        } else {
            const CSearchedGroup now = next;
            // The paths read again rather than kept through the next group's search.
            Clock::enter(kStepLoad);
            CMask active;
            path = load_paths(args, first, k, c, count, in, active);
            if (c + 1u < w.chunks[k]) {
                if (scatters)
                    entries = find_scatter_entries(args, first, k, c + 1u, in, w.entries[(c + 1u) & 1u]);
                Clock::enter(kStepSearch + k);
                next = search_group(args, first, k, c + 1u, count, in);
            }
            Clock::enter(kStepScatter + k);
            CHitLanes<CFloat> hit{};
            const CMask found =
                describe_nearest_lanes<CFloat>(now.segment, now.nearest, args.lane_scene, hit, scatters);
            goes_on = respond_bounce_lanes<CFloat>(k, active, found, hit, nullptr, path, now_entries,
                                                   w.records[k][c]);
        }
        Clock::enter(kStepPack);
        w.goes_on[k][c] = goes_on;
        w.lit[k][c] = path.end.hit_light;
        w.light[k][c] = path.end.emission;
        w.state[k][c] = path.state;
        if (!lane_any(goes_on))
            continue;
        const CPacking packing = pack_lanes(goes_on);
        pack_vec3(out.origin, packed, path.origin, packing);
        pack_vec3(out.target, packed, path.target, packing);
        compress_store(out.prev_index + packed, path.prev_index, packing);
        compress_store(out.state + packed, path.state, packing);
        packed += packing.count;
    }
    return packed;
}

// Bounce k's colours and last random states from bounce k + 1's, unpacked,
// into `here`; at the first bounce, where the lanes are the tile's pixels in
// order, into the pixels.
template <class Clock>
inline void combine_level(const CLanePassArgs& args, uint32_t first, uint32_t k, const CColours& next,
                          CColours& here, const CTileWork& w)
{
    uint32_t taken = 0;
    for (uint32_t c = 0; c < w.chunks[k]; ++c) {
        Clock::enter(kStepCombine);
        const CMask goes_on = w.goes_on[k][c];
        CVec3 acc = lane_vec3<CFloat>(CVector3{});
        CMask lit_later = CMask(false);
        CUint state = w.state[k][c];
        if (lane_all(goes_on)) {
            // Every path went on: the next bounce's lanes as they are.
            acc = load_vec3(next.channel, taken);
            lit_later = load_floats(next.lit + taken) != CFloat(0.0f);
            state = load_uints(next.state + taken);
            taken += kLanes;
        } else if (lane_any(goes_on)) {
            const CUnpacking unpacking = unpack_lanes(goes_on);
            acc = {expand_load(next.channel[0] + taken, unpacking), expand_load(next.channel[1] + taken, unpacking),
                   expand_load(next.channel[2] + taken, unpacking)};
            lit_later = goes_on && expand_load(next.lit + taken, unpacking) != CFloat(0.0f);
            state = lane_select(goes_on, expand_load(next.state + taken, unpacking), state);
            taken += unpacking.count;
        }
        acc = combine_record_lanes<CFloat>(w.records[k][c], acc, lit_later, w.lit[k][c], w.light[k][c]);
        const uint32_t at = c * kLanes;
        if (k == 0) {
            store_uints(args.bindings.rand_list + first + at, state);
            Clock::enter(kStepAccumulate);
            CCountedLanes<CFloat> added;
            if (add_sample_lanes<CFloat>(first + at, acc, args.buffer, args.cbuffer, added)) {
                Clock::enter(kStepBytes);
                store_display_lanes<CFloat>(first + at, added, args.fbuffer);
                Clock::enter(kStepAccumulate);
            }
            continue;
        }
        store_floats(here.channel[0] + at, acc.x);
        store_floats(here.channel[1] + at, acc.y);
        store_floats(here.channel[2] + at, acc.z);
        store_floats(here.lit + at, lane_select(lit_later || w.lit[k][c], CFloat(1.0f), CFloat(0.0f)));
        store_uints(here.state + at, state);
    }
}

// The pixels first .. first + size - 1 (size at most kTile, whole lane
// groups); returns the segments searched.
template <class Clock>
[[gnu::flatten]] inline uint32_t trace_tile(uint32_t first, uint32_t size, const CLanePassArgs& args, CTileWork& w)
{
    uint32_t segments = 0;
    uint32_t count = size;
    uint32_t levels = 0;
    for (uint32_t k = 0; k < kMaxBounces && count > 0; ++k, ++levels) {
        segments += count;
        Clock::searched(k, count);
        count = trace_level<Clock>(args, first, k, count, w.live[k & 1u], w.live[(k + 1u) & 1u], w);
    }
    // Back to front: each bounce's colours from the next one's, unpacked.
    for (uint32_t k = levels; k-- > 0;)
        combine_level<Clock>(args, first, k, w.colours[(k + 1u) & 1u], w.colours[k & 1u], w);
    Clock::enter(kStepOther);
    return segments;
}

// One pass over every tile; returns the segments searched.
template <class Clock>
uint64_t path_trace_tiles(const CLanePassArgs& args)
{
    constexpr uint32_t kWholeTiles = kPixelCount / kTile - kSplitTiles;
    constexpr uint32_t kPieces = kWholeTiles + kSplitTiles * (kTile / kPiece);
    std::atomic<uint64_t> segments{0};
    // Rows cost very different amounts (the ceiling is one segment, the floor
    // up to five), so pieces go out one at a time. Every piece writes only its
    // own pixels' entries.
    cpu_parallel_for(args.threads, kPieces, 1, [&](uint32_t piece, uint32_t, int) {
        // Each thread keeps its working space from pass to pass. It starts
        // zeroed: the lanes past a bounce's last path read it, and their
        // results are never used, but they should not come from whatever the
        // heap held (nor make memory checkers report them).
        static thread_local std::unique_ptr<CTileWork> work;
        if (!work)
            work.reset(new CTileWork());
        const bool whole = piece < kWholeTiles;
        const uint32_t first = whole ? piece * kTile : kWholeTiles * kTile + (piece - kWholeTiles) * kPiece;
        segments.fetch_add(trace_tile<Clock>(first, whole ? kTile : kPiece, args, *work), std::memory_order_relaxed);
    });
    return segments.load();
}

}  // namespace VANTREL_LANES_NS
