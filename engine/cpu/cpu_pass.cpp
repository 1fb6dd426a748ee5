// SPDX-License-Identifier: Apache-2.0
#include "engine/cpu/cpu_pass.h"

#include <atomic>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>

#include <sys/mman.h>

#include "base/image_size.h"
#include "base/messages.h"
#include "engine/cpu/cpu_pass_lanes.h"
#include "engine/cpu/cpu_threads.h"
#include "engine/cpu/isa/table_entry.h"
#include "kernel/path.h"
#include "base/one_line.h"

const CVector3* g_normal_list = nullptr;
uint32_t* g_rand_list = nullptr;

namespace {
// The lane passes' copy of the bound table, made by their first pass after a
// binding: every entry a lookup can reach, normalised in y, x, z order exactly
// as the surface response normalises it, kTableEntryStride floats an entry
// (x, y, z, 0): each entry is one aligned 16-byte load.
//
// Its 1.97 MB sit in one 2 MB page where the system offers huge pages: the
// lookups land all over the table, which then takes one address translation
// instead of some 480 (2 to 3 % of a two-thread frame with AVX-512 or AVX2).
// Where the request is not met nothing else changes.
constexpr size_t kScatterListBytes = size_t{kNormalLookupModulus} * kTableEntryStride * sizeof(float);
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kScatterListAllocation = (kScatterListBytes + kHugePage - 1u) / kHugePage * kHugePage;

struct CFreeScatterList {
    void operator()(float* p) const { std::free(p); }
};
std::unique_ptr<float[], CFreeScatterList> g_scatter_list;  // the entries, from the first float on
bool g_scatter_list_current = false;

float* allocate_scatter_list()
{
    void* memory = std::aligned_alloc(kHugePage, kScatterListAllocation);
    if (memory == nullptr)
        throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Before the first write, which is when the pages are made.
    madvise(memory, kScatterListAllocation, MADV_HUGEPAGE);
#endif
    std::memset(memory, 0, kScatterListAllocation);
    return static_cast<float*>(memory);
}

const float* scatter_list()
{
    if (g_normal_list == nullptr)
        return nullptr;
    if (!g_scatter_list_current) {
        if (!g_scatter_list)
            g_scatter_list.reset(allocate_scatter_list());
        float* entries = g_scatter_list.get();
        for (uint32_t i = 0; i < kNormalLookupModulus; ++i) {
            const CVector3 v = vec3_normalize_yxz(g_normal_list[i]);
            float* entry = entries + size_t{i} * kTableEntryStride;
            entry[0] = v.x;
            entry[1] = v.y;
            entry[2] = v.z;
        }
        g_scatter_list_current = true;
    }
    return g_scatter_list.get();
}
}  // namespace

void bind_globals_cpu(CRandomBindings bindings)
{
    g_normal_list = bindings.normal_list;
    g_rand_list = bindings.rand_list;
    g_scatter_list_current = false;
}

uint64_t path_trace_pass_cpu(const CFrameArgs& frame, int threads)
{
    const CRandomBindings bindings{g_normal_list, g_rand_list};
    std::atomic<uint64_t> segments{0};
    // Rows cost very different amounts (the ceiling is one segment, the floor
    // up to five), so hand them out a row at a time. Every pixel writes only its
    // own entries, so the order does not change the picture.
    cpu_parallel_for(cpu_thread_count(threads), kPixelCount, kImageWidth, [&](uint32_t begin, uint32_t end, int) {
        uint64_t searched = 0;
        for (uint32_t p = begin; p < end; ++p)
            searched += path_trace_pixel(p, frame, bindings);
        segments.fetch_add(searched, std::memory_order_relaxed);
    });
    return segments.load();
}

// This build's architecture, as the pass list names it:
// VANTREL_ON_<architecture>(yes, no) is `yes` on that architecture, `no` on
// any other. A row of another architecture has neither processor check nor
// entry point here, so neither is compiled nor linked.
#if defined(__x86_64__)
#define VANTREL_ON_x86_64(yes, no) yes
#else
#define VANTREL_ON_x86_64(yes, no) no
#endif
#if defined(__aarch64__)
#define VANTREL_ON_aarch64(yes, no) yes
#else
#define VANTREL_ON_aarch64(yes, no) no
#endif

namespace {
// Everything about each pass, in the order of kCpuPasses: its name, its lane
// count, whether this processor runs it (none where this build does not have
// it), and the lane pass's entry point (none for the plain loop).
struct CPassRow {
    CCpuPass pass;
    const char* name;
    uint32_t lanes;
    bool (*runs_here)();
    CLanePassEntry entry;
};
constexpr CPassRow kPassTable[] = {
    {CCpuPass::plain, "plain", 1u, [] { return true; }, nullptr},
#define VANTREL_PASS_ROW(name, lanes, architecture, flags, check)                                          \
    {CCpuPass::name, #name, lanes, VANTREL_ON_##architecture(+[] { return bool(check); }, nullptr), \
     VANTREL_ON_##architecture(path_trace_pass_##name, nullptr)},
#include "engine/cpu/cpu_pass_list.h"
#undef VANTREL_PASS_ROW
};

const CPassRow& row_of(CCpuPass pass) { return kPassTable[static_cast<size_t>(pass)]; }
}  // namespace

const char* cpu_pass_name(CCpuPass pass) { return row_of(pass).name; }
bool cpu_pass_compiled(CCpuPass pass) { return row_of(pass).runs_here != nullptr; }
bool cpu_pass_supported(CCpuPass pass) { return cpu_pass_compiled(pass) && row_of(pass).runs_here(); }

namespace {
CCpuPass fastest_supported_pass()
{
    for (size_t i = std::size(kCpuPasses); i-- > 0;)
        if (cpu_pass_supported(kCpuPasses[i]))
            return kCpuPasses[i];
    return CCpuPass::plain;
}

// One line on stderr for a VANTREL_CPU_PASS that cannot be followed.
void warn_pass_not_used(const char* wanted, bool known)
{
    std::string accepted;
    for (CCpuPass pass : kCpuPasses)
        if (cpu_pass_supported(pass))
            accepted += std::string(accepted.empty() ? "" : ", ") + cpu_pass_name(pass);
    // Escaped as file names are: C1 controls and stray bytes reach no terminal.
    const std::string shown = one_line(std::string(wanted).substr(0, 40));
    std::fprintf(stderr, "%s: VANTREL_CPU_PASS=%s %s; accepted here: %s; using %s\n", message_program(), shown.c_str(),
                 known ? "cannot run on this processor or build" : "is not a known pass", accepted.c_str(),
                 cpu_pass_name(fastest_supported_pass()));
}
}  // namespace

CCpuPass cpu_pass_chosen()
{
    static const CCpuPass chosen = [] {
        const char* wanted = std::getenv("VANTREL_CPU_PASS");
        if (wanted == nullptr || wanted[0] == '\0')
            return fastest_supported_pass();
        for (CCpuPass pass : kCpuPasses)
            if (std::strcmp(wanted, cpu_pass_name(pass)) == 0) {
                if (cpu_pass_supported(pass))
                    return pass;
                warn_pass_not_used(wanted, true);
                return fastest_supported_pass();
            }
        warn_pass_not_used(wanted, false);
        return fastest_supported_pass();
    }();
    return chosen;
}

namespace {
// The lane passes' form of the scene, rebuilt when the scene changes.
CLaneSceneCache g_lane_scene;
}  // namespace

uint64_t path_trace_pass_lanes(CLanePassEntry entry, const CFrameArgs& frame, int threads, CFirstHits* first_hits)
{
    CLanePassArgs args{frame, g_lane_scene.for_scene(frame.scene),
                       CRandomBindings{reinterpret_cast<const CVector3*>(scatter_list()), g_rand_list},
                       cpu_thread_count(threads)};
    if (first_hits != nullptr)
        args.first_hits = first_hits->use_for(frame);
    const uint64_t segments = entry(args);
    if (args.first_hits.fields != nullptr)
        first_hits->filled();
    return segments;
}

uint64_t path_trace_pass_with(CCpuPass pass, const CFrameArgs& frame, int threads, CFirstHits* first_hits)
{
    const CPassRow& row = row_of(pass);
    if (row.entry == nullptr || !cpu_pass_supported(pass))
        return path_trace_pass_cpu(frame, threads);
    // A block pass keeps no first hits: it is not handed the memory for them.
    return path_trace_pass_lanes(row.entry, frame, threads, row.lanes > kBlockPassLanes ? first_hits : nullptr);
}

uint64_t path_trace_pass_fast(const CFrameArgs& frame, int threads, CFirstHits* first_hits)
{
    return path_trace_pass_with(cpu_pass_chosen(), frame, threads, first_hits);
}
