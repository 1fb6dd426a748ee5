#include "engine/cpu_device.h"

#include <cstdlib>
#include <cstring>

#include "kernel/cpu_pass.h"

namespace {
class CCpuDevice final : public CDeviceOperations {
public:
    explicit CCpuDevice(int threads) : threads_(threads) {}

    const char* name() const override { return "CPU"; }

    void* allocate(size_t bytes) override { return std::aligned_alloc(64, (bytes + 63) / 64 * 64); }
    void release(void* device_memory) override { std::free(device_memory); }
    bool fill_zero(void* device_memory, size_t bytes) override
    {
        std::memset(device_memory, 0, bytes);
        return true;
    }
    bool copy_to_device(void* device_memory, const void* host_memory, size_t bytes) override
    {
        std::memcpy(device_memory, host_memory, bytes);
        return true;
    }
    bool copy_to_host(void* host_memory, const void* device_memory, size_t bytes) override
    {
        std::memcpy(host_memory, device_memory, bytes);
        return true;
    }

    // The CPU runs every index 0..307,199 directly (the fast pass, in SIMD lanes
    // where the processor has them); the shape only matters to CUDA.
    bool launch_bind_globals(CLaunchDim, CLaunchDim, const CBindGlobalsArgs& a) override
    {
        bind_globals_cpu(a.sphere_list, a.sphere_count, a.plane_list, a.plane_count, a.normal_list, a.rand_list);
        return true;
    }
    bool launch_path_trace(CLaunchDim, CLaunchDim, const CPathTraceArgs& a) override
    {
        segments_ += path_trace_pass_fast(a.sphere_list, a.sphere_count, a.plane_list, a.plane_count, a.rayList,
                                          a.buffer, a.cbuffer, a.fbuffer, threads_);
        return true;
    }

    uint64_t segments_traced() const override { return segments_; }

private:
    int threads_;
    uint64_t segments_ = 0;
};
}  // namespace

std::unique_ptr<CDeviceOperations> make_cpu_device(int threads) { return std::make_unique<CCpuDevice>(threads); }
