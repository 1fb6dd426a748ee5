#include "engine/cuda_device.h"

#include <cuda_runtime_api.h>

#include <cstdio>

#include "kernel/vantrel_cuda.h"

namespace {
class CCudaDevice final : public CDeviceOperations {
public:
    const char* name() const override { return "CUDA"; }

    void* allocate(size_t bytes) override
    {
        void* memory = nullptr;
        return check(cudaMalloc(&memory, bytes), "cudaMalloc") ? memory : nullptr;
    }
    void release(void* device_memory) override { check(cudaFree(device_memory), "cudaFree"); }
    bool fill_zero(void* device_memory, size_t bytes) override
    {
        return check(cudaMemset(device_memory, 0, bytes), "cudaMemset");
    }
    bool copy_to_device(void* device_memory, const void* host_memory, size_t bytes) override
    {
        return check(cudaMemcpy(device_memory, host_memory, bytes, cudaMemcpyHostToDevice),
                     "cudaMemcpy (host to device)");
    }
    bool copy_to_host(void* host_memory, const void* device_memory, size_t bytes) override
    {
        return check(cudaMemcpy(host_memory, device_memory, bytes, cudaMemcpyDeviceToHost),
                     "cudaMemcpy (device to host)");
    }

    // A refused launch skips the kernel (the engine still copies the results
    // back), and it is also reported as a device error: the launch shapes are
    // fixed and valid, so a refusal means this device cannot run the kernel
    // (no code for its architecture, too few resources), and every later
    // frame would silently show the same picture.
    bool launch_bind_globals(CLaunchDim grid, CLaunchDim block, const CBindGlobalsArgs& a) override
    {
        const int launched = ::launch_bind_globals(grid, block, a.sphere_list, a.sphere_count, a.plane_list,
                                                   a.plane_count, a.normal_list, a.rand_list);
        if (!check(static_cast<cudaError_t>(launched), "launch of bind_globals"))
            return false;
        wait_for("bind_globals");
        return true;
    }
    bool launch_path_trace(CLaunchDim grid, CLaunchDim block, const CPathTraceArgs& a) override
    {
        const int launched = launch_path_trace_cuda(grid, block, a.sphere_list, a.sphere_count, a.plane_list,
                                                    a.plane_count, a.rayList, a.buffer, a.cbuffer, a.fbuffer);
        if (!check(static_cast<cudaError_t>(launched), "launch of path_trace_cuda"))
            return false;
        wait_for("path_trace_cuda");
        return true;
    }

    bool failed() const override { return failed_; }

private:
    bool check(cudaError_t result, const char* call)
    {
        if (result == cudaSuccess)
            return true;
        if (!failed_) {
            failed_ = true;
            std::fprintf(stderr, "vantrel: CUDA error in %s: %s\n", call, cudaGetErrorString(result));
        }
        return false;
    }

    // Waits for the kernel so that a fault while it runs is reported under its
    // name rather than under the next copy (which would wait for it anyway).
    void wait_for(const char* kernel)
    {
        char call[64];
        std::snprintf(call, sizeof call, "cudaDeviceSynchronize after %s", kernel);
        check(cudaDeviceSynchronize(), call);
    }

    bool failed_ = false;
};
}  // namespace

int cuda_usable_device_count(std::string* reason)
{
    int count = 0;
    const cudaError_t counted = cudaGetDeviceCount(&count);
    if (counted != cudaSuccess || count <= 0) {
        if (reason)
            *reason = counted != cudaSuccess ? cudaGetErrorString(counted) : "no CUDA device found";
        return 0;
    }
    // Device 0 is the one the engine uses: it must have code for its architecture.
    const cudaError_t image = static_cast<cudaError_t>(path_trace_cuda_image_status());
    if (image != cudaSuccess) {
        if (reason)
            *reason = std::string("device 0: ") + cudaGetErrorString(image);
        return 0;
    }
    return count;
}

std::unique_ptr<CDeviceOperations> make_cuda_device() { return std::make_unique<CCudaDevice>(); }
