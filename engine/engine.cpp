// SPDX-License-Identifier: Apache-2.0
#include "engine/engine.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/image_size.h"
#include "base/messages.h"
#include "engine/backend_select.h"
#include "engine/cpu/cpu_threads.h"
#include "kernel/accumulate.h"
#include "kernel/random.h"

namespace {
constexpr size_t kRaysBytes = size_t{kPixelCount} * sizeof(CRay3);               // 7,372,800
constexpr size_t kCountsBytes = size_t{kPixelCount} * sizeof(uint32_t);          // 1,228,800
constexpr size_t kSumsBytes = size_t{kPixelCount} * 3 * sizeof(float);           // 3,686,400
constexpr size_t kImageBytes = size_t{kPixelCount} * 3;                          // 921,600
constexpr size_t kNormalsBytes = size_t{kDeviceNormalCount} * sizeof(CVector3);  // 1,474,560
constexpr size_t kRandBytes = size_t{kPixelCount} * sizeof(uint32_t);            // 1,228,800

struct CEngineState {
    std::unique_ptr<CDeviceOperations> device;
    CDeviceBuffer sphere_list;
    CDeviceBuffer plane_list;
    CDeviceBuffer normal_list;
    CDeviceBuffer rayList;
    CDeviceBuffer cbuffer;
    CDeviceBuffer buffer;
    CDeviceBuffer fbuffer;
    CDeviceBuffer rand_list;
    std::vector<void*> locked_host;  // host arrays the device holds page-locked
    bool rays_uploaded = false;
    bool failure_reported = false;

    // CUDA was chosen automatically: the CPU may take over from a device that
    // fails mid-run. The random states of the last good frame are then kept
    // on the host (host_states), since a failed device's are lost.
    bool may_fall_back = false;
    bool handover_failed = false;  // the CPU could not take over: nothing renders any more
    const CVector3* normal_table = nullptr;  // the host's table, for the CPU taking over
    // A device that can fail hands a frame's results over through these, so a
    // failed copy never leaves the caller's arrays half-written.
    std::vector<float> staged_sums;
    std::vector<uint32_t> staged_counts;
    std::vector<uint8_t> staged_pixels;
    std::vector<uint32_t> staged_states;
    // The last good frame's random states while the CPU may take over, or the
    // restored ones; the source of their upload, which the CPU device defers.
    std::vector<uint32_t> host_states;
    std::vector<uint8_t> restored_pixels;  // the same for a restored picture

    // The scene's device copies, as the kernels receive them.
    CSceneLists scene(uint32_t sphere_count, uint32_t plane_count) const
    {
        return {sphere_list.as<CSphere>(), sphere_count, plane_list.as<CPlane>(), plane_count};
    }

    // The host arrays first, then the device buffers in this order.
    void release_buffers()
    {
        for (void* host : locked_host)
            device->unlock_host(host);
        locked_host.clear();
        sphere_list.reset();
        plane_list.reset();
        normal_list.reset();
        rayList.reset();
        cbuffer.reset();
        fbuffer.reset();
        buffer.reset();
        rand_list.reset();
        rays_uploaded = false;
    }
    // The device itself last. The host copies stay for a device taking over.
    void release()
    {
        release_buffers();
        device.reset();
        failure_reported = false;
        may_fall_back = false;
    }
};

CEngineOptions g_engine_options;
CEngineState g_engine;
// What engine_hold_host_frame handed the next engine_init.
std::optional<CHostFrame> g_host_frame;

// The device's first failure, once per engine.
void report_device_failure()
{
    if (!g_engine.device || !g_engine.device->failed() || g_engine.failure_reported)
        return;
    g_engine.failure_reported = true;
    print_message(g_engine.device->failure());
    std::fflush(stderr);
}

bool allocate_buffer(CDeviceBuffer& target, size_t bytes, const char* name, std::string& reason)
{
    target = CDeviceBuffer(g_engine.device.get(), bytes);
    if (target)
        return true;
    const std::string failure = g_engine.device->failure();
    reason = failure.empty() ? std::string("out of memory for ") + name + " (cannot allocate " +
                                   std::to_string(bytes) + " bytes of " + g_engine.device->name() + " memory)"
                             : failure + ", allocating " + std::to_string(bytes) + " bytes for " + name;
    return false;
}

// Page-locks what every frame copies, all or none: the host's sums and counts
// going in, and the sums, counts and image coming back (into the staging
// arrays where the engine stages them). A refusal is said in one line and the
// frames copy from pageable memory.
void lock_host_frame(const CHostFrame& frame)
{
    const bool staged = !g_engine.staged_sums.empty();
    const std::pair<void*, size_t> arrays[] = {
        {frame.accum_buffer, kSumsBytes},
        {frame.count_buffer, kCountsBytes},
        {staged ? static_cast<void*>(g_engine.staged_sums.data()) : nullptr, kSumsBytes},
        {staged ? static_cast<void*>(g_engine.staged_counts.data()) : nullptr, kCountsBytes},
        {staged ? static_cast<void*>(g_engine.staged_pixels.data()) : frame.pixel_buffer, kImageBytes}};
    std::string reason;
    for (const auto& [host, bytes] : arrays) {
        if (host == nullptr)
            continue;
        if (g_engine.device->lock_host(host, bytes, reason)) {
            g_engine.locked_host.push_back(host);
            continue;
        }
        for (void* locked : g_engine.locked_host)
            g_engine.device->unlock_host(locked);
        g_engine.locked_host.clear();
        print_message("cannot page-lock the frame buffers (" + reason + "); copying them from pageable memory");
        std::fflush(stderr);
        return;
    }
}

// What a device starts from.
struct CDeviceStart {
    uint32_t sphere_count;
    uint32_t plane_count;
    const CVector3* normal_table;  // the host's table of unit vectors
    const uint32_t* states;        // the per-pixel random states
    bool may_fall_back = false;    // the CPU may take over when the device fails
    std::optional<CHostFrame> host_frame = std::nullopt;  // the host arrays to keep page-locked
};

// engine_init_on without the message: false with the reason when the device
// cannot be set up, after releasing what it obtained.
bool start_on(std::unique_ptr<CDeviceOperations> device, const CDeviceStart& start, std::string& reason)
{
    g_engine.release();
    g_engine.device = std::move(device);
    g_engine.normal_table = start.normal_table;
    CDeviceOperations& dev = *g_engine.device;
    if (dev.can_fail()) {
        g_engine.staged_sums.resize(kSumsBytes / sizeof(float));
        g_engine.staged_counts.resize(kPixelCount);
        g_engine.staged_pixels.resize(kImageBytes);
    }
    if (start.may_fall_back) {
        if (start.states != g_engine.host_states.data())
            g_engine.host_states.assign(start.states, start.states + kPixelCount);
        g_engine.staged_states.resize(kPixelCount);
    }
    const bool allocated =
        allocate_buffer(g_engine.sphere_list, start.sphere_count * sizeof(CSphere), "sphere_list", reason) &&
        allocate_buffer(g_engine.plane_list, start.plane_count * sizeof(CPlane), "plane_list", reason) &&
        allocate_buffer(g_engine.normal_list, kNormalsBytes, "normal_list", reason) &&
        allocate_buffer(g_engine.rayList, kRaysBytes, "rayList", reason) &&
        allocate_buffer(g_engine.cbuffer, kCountsBytes, "cbuffer", reason) &&
        allocate_buffer(g_engine.buffer, kSumsBytes, "buffer", reason) &&
        allocate_buffer(g_engine.fbuffer, kImageBytes, "fbuffer", reason) &&
        allocate_buffer(g_engine.rand_list, kRandBytes, "rand_list", reason);
    // A pixel without any counted sample shows black.
    bool ready = allocated && dev.fill_zero(g_engine.fbuffer.get(), kImageBytes) &&
                 dev.copy_to_device(g_engine.normal_list.get(), start.normal_table, kNormalsBytes) &&
                 dev.copy_to_device(g_engine.rand_list.get(), start.states, kRandBytes) && !dev.failed();
    if (ready) {
        // A launch the device refuses without failing is skipped, as in a frame.
        dev.launch_bind_globals(g_engine.scene(start.sphere_count, start.plane_count),
                                {g_engine.normal_list.as<CVector3>(), g_engine.rand_list.as<uint32_t>()});
        ready = !dev.failed();
    }
    if (ready && start.host_frame)
        lock_host_frame(*start.host_frame);
    if (!ready) {
        if (dev.failed() && allocated)
            reason = dev.failure();
        g_engine.release();
        return false;
    }
    g_engine.may_fall_back = start.may_fall_back;
    return true;
}

// The failed device's buffers and the device go; the CPU starts from the
// last good frame's random states and `pixels` (its display bytes). False,
// with a line on stderr, when the CPU cannot start either.
bool hand_over_to_cpu(uint32_t sphere_count, uint32_t plane_count, const uint8_t* pixels)
{
    print_message(std::string("the ") + g_engine.device->name() + " device failed (" + g_engine.device->failure() +
                  "); rendering on the CPU from the last good frame");
    std::fflush(stderr);
    std::string reason;
    if (!start_on(make_cpu_backend(g_engine_options),
                  {sphere_count, plane_count, g_engine.normal_table, g_engine.host_states.data()}, reason)) {
        print_message(reason);
        g_engine.handover_failed = true;
        return false;
    }
    return g_engine.device->copy_to_device(g_engine.fbuffer.get(), pixels, kImageBytes);
}

// One frame on the device from the host's scene, rays and arrays; false when
// the device failed during it. The host's arrays then hold what the last good
// frame left there.
bool run_frame(const CSceneLists& host_scene, const CRay3* ray_list, const CHostFrame& host)
{
    CDeviceOperations& dev = *g_engine.device;
    const uint32_t sphere_count = host_scene.sphere_count;
    const uint32_t plane_count = host_scene.plane_count;
    const bool state_in =
        dev.copy_to_device(g_engine.sphere_list.get(), host_scene.sphere_list, sphere_count * sizeof(CSphere)) &&
        dev.copy_to_device(g_engine.plane_list.get(), host_scene.plane_list, plane_count * sizeof(CPlane)) &&
        dev.copy_to_device(g_engine.cbuffer.get(), host.count_buffer, kCountsBytes) &&
        dev.copy_to_device(g_engine.buffer.get(), host.accum_buffer, kSumsBytes);
    // The camera writes the same rays every frame: only the first frame's go over.
    if (state_in && !g_engine.rays_uploaded)
        g_engine.rays_uploaded = dev.copy_to_device(g_engine.rayList.get(), ray_list, kRaysBytes);
    if (dev.failed())
        return false;
    const CFrameArgs frame{g_engine.scene(sphere_count, plane_count), g_engine.rayList.as<CRay3>(),
                           g_engine.buffer.as<float>(), g_engine.cbuffer.as<uint32_t>(),
                           g_engine.fbuffer.as<uint8_t>()};
    // A launch the device refuses without failing leaves the state as it was
    // (the copies below bring it back unchanged).
    dev.launch_path_trace(frame);
    if (dev.failed())
        return false;
    if (!dev.can_fail()) {
        dev.copy_to_host(host.count_buffer, g_engine.cbuffer.get(), kCountsBytes);
        dev.copy_to_host(host.accum_buffer, g_engine.buffer.get(), kSumsBytes);
        dev.copy_to_host(host.pixel_buffer, g_engine.fbuffer.get(), kImageBytes);
        return true;
    }
    const bool out =
        dev.copy_to_host(g_engine.staged_counts.data(), g_engine.cbuffer.get(), kCountsBytes) &&
        dev.copy_to_host(g_engine.staged_sums.data(), g_engine.buffer.get(), kSumsBytes) &&
        dev.copy_to_host(g_engine.staged_pixels.data(), g_engine.fbuffer.get(), kImageBytes) &&
        (!g_engine.may_fall_back ||
         dev.copy_to_host(g_engine.staged_states.data(), g_engine.rand_list.get(), kRandBytes));
    if (!out)
        return false;
    std::memcpy(host.count_buffer, g_engine.staged_counts.data(), kCountsBytes);
    std::memcpy(host.accum_buffer, g_engine.staged_sums.data(), kSumsBytes);
    std::memcpy(host.pixel_buffer, g_engine.staged_pixels.data(), kImageBytes);
    if (g_engine.may_fall_back)
        g_engine.host_states.swap(g_engine.staged_states);
    return true;
}
}  // namespace

void engine_configure(const CEngineOptions& options) { g_engine_options = options; }
void engine_hold_host_frame(const CHostFrame& frame) { g_host_frame = frame; }
int engine_decide_cpu_threads(std::string* note)
{
    g_engine_options.cpu_threads = cpu_thread_count(g_engine_options.cpu_threads, note);
    return g_engine_options.cpu_threads;
}
int engine_cpu_threads()
{
    return g_engine_options.cpu_threads > 0 ? g_engine_options.cpu_threads : cpu_thread_count(0);
}
void engine_limit_cpu_threads(int most)
{
    if (g_engine_options.cpu_threads > most)
        g_engine_options.cpu_threads = most;
}

// The scene's arrays go over with every frame; here only their sizes count.
bool engine_init(const CSphere* /*spheres*/, uint32_t sphere_count, const CPlane* /*planes*/, uint32_t plane_count,
                 const CVector3* normal_table, const uint32_t* seed_list, std::string* failure)
{
    // The reason goes to the caller where it asks for it, so that the user
    // reads it once, in the caller's line.
    auto fail = [failure](const std::string& reason) {
        failure != nullptr ? void(*failure = reason) : print_message(reason);
        return false;
    };
    std::printf("Initializing CUDA engine\n");
    std::fflush(stdout);
    // Taken once: the arrays were handed for this start only.
    const std::optional<CHostFrame> host_frame = std::exchange(g_host_frame, std::nullopt);
    CSelectedDevice selected = select_device(g_engine_options);
    if (!selected.device)
        return false;
    // A GPU that answered the probe can still fail here (busy, out of memory):
    // when the backend was not asked for by name, the CPU takes over.
    std::string reason;
    if (start_on(std::move(selected.device),
                 {sphere_count, plane_count, normal_table, seed_list, selected.may_fall_back, host_frame}, reason))
        return true;
    if (!selected.may_fall_back)
        return fail(reason);
    print_message("the CUDA device failed at start-up (" + reason + "); rendering on the CPU");
    std::fflush(stderr);
    reason.clear();
    return start_on(make_cpu_backend(g_engine_options), {sphere_count, plane_count, normal_table, seed_list}, reason) ||
           fail(reason);
}

bool engine_init_on(std::unique_ptr<CDeviceOperations> device, uint32_t sphere_count, uint32_t plane_count,
                    const CVector3* normal_table, const uint32_t* seed_list)
{
    std::string reason;
    if (start_on(std::move(device), {sphere_count, plane_count, normal_table, seed_list}, reason))
        return true;
    print_message(reason);
    return false;
}

void engine_frame(const CSphere* spheres, uint32_t sphere_count, const CPlane* planes, uint32_t plane_count,
                  const CRay3* ray_list, float* accum_buffer, uint32_t* count_buffer, uint8_t* pixel_buffer)
{
    if (!g_engine.device || g_engine.device->failed())
        return;
    const CSceneLists scene{spheres, sphere_count, planes, plane_count};
    const CHostFrame host{accum_buffer, count_buffer, pixel_buffer};
    if (run_frame(scene, ray_list, host))
        return;
    if (!g_engine.may_fall_back) {
        // No picture of the failed frame: the host keeps the last good one.
        report_device_failure();
        return;
    }
    if (hand_over_to_cpu(sphere_count, plane_count, pixel_buffer))
        run_frame(scene, ray_list, host);
}

bool engine_read_random_states(uint32_t* states)
{
    if (!g_engine.device || g_engine.device->failed())
        return false;
    if (g_engine.may_fall_back) {
        std::memcpy(states, g_engine.host_states.data(), kRandBytes);
        return true;
    }
    const bool read = g_engine.device->copy_to_host(states, g_engine.rand_list.get(), kRandBytes);
    report_device_failure();
    return read && !g_engine.device->failed();
}

uint32_t engine_sample_cap() { return kSampleCountCap; }

// random_step reduces a product below 2^32 modulo 2^32 - 2.
uint32_t engine_largest_random_state() { return 4294967293u; }

bool engine_restore(const uint32_t* random_states, const uint8_t* pixels)
{
    if (!g_engine.device || g_engine.device->failed())
        return false;
    g_engine.host_states.assign(random_states, random_states + kPixelCount);
    g_engine.restored_pixels.assign(pixels, pixels + kImageBytes);
    CDeviceOperations& dev = *g_engine.device;
    if (dev.copy_to_device(g_engine.rand_list.get(), g_engine.host_states.data(), kRandBytes) &&
        dev.copy_to_device(g_engine.fbuffer.get(), g_engine.restored_pixels.data(), kImageBytes) && !dev.failed())
        return true;
    if (g_engine.may_fall_back) {
        // host_states already holds the restored states for the CPU to start from.
        return hand_over_to_cpu(g_engine.sphere_list.size() / sizeof(CSphere),
                                g_engine.plane_list.size() / sizeof(CPlane), g_engine.restored_pixels.data());
    }
    report_device_failure();
    return false;
}

void engine_deinit()
{
    std::printf("Deinitializing CUDA engine\n");
    std::fflush(stdout);
    g_engine.release_buffers();
    report_device_failure();
    g_engine.release();
    g_engine = CEngineState{};
}

bool engine_ready() { return g_engine.device != nullptr || g_engine.handover_failed; }
const char* engine_backend_name() { return g_engine.device ? g_engine.device->name() : ""; }
uint64_t engine_segments_traced() { return g_engine.device ? g_engine.device->segments_traced() : 0; }
bool engine_failed() { return g_engine.handover_failed || (g_engine.device && g_engine.device->failed()); }
