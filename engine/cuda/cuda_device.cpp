// SPDX-License-Identifier: Apache-2.0
#include "engine/cuda/cuda_device.h"

#include <cuda_runtime_api.h>

#include <string>

#include "engine/cuda/launch_shape.h"
#include "engine/cuda/vantrel_cuda.h"

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

    // A refusal (too little lockable memory, a platform without it) leaves
    // the device working: the copies stage through the driver as before.
    bool lock_host(void* host_memory, size_t bytes, std::string& reason) override
    {
        const cudaError_t result = cudaHostRegister(host_memory, bytes, cudaHostRegisterDefault);
        if (result == cudaSuccess)
            return true;
        reason = std::string("CUDA error in cudaHostRegister: ") + cudaGetErrorString(result);
        return false;
    }
    void unlock_host(void* host_memory) override { check(cudaHostUnregister(host_memory), "cudaHostUnregister"); }

    // A refused launch is a device error: the launch shapes are fixed and
    // valid, so a refusal means this device cannot run the kernel (no code for
    // its architecture, too few resources), and every later frame would
    // silently show the same picture. A launch succeeds only when its kernel
    // has also run to the end without a fault. bind_globals runs as one
    // thread, path_trace_cuda as one thread per pixel.
    bool launch_bind_globals(const CSceneLists& scene, CRandomBindings bindings) override
    {
        const int launched = ::launch_bind_globals(kSingleThread, kSingleThread, scene, bindings);
        return check(static_cast<cudaError_t>(launched), "launch of bind_globals") && wait_for("bind_globals");
    }
    bool launch_path_trace(const CFrameArgs& frame) override
    {
        const int launched = launch_path_trace_cuda(kPathGrid, kPathBlock, frame);
        return check(static_cast<cudaError_t>(launched), "launch of path_trace_cuda") && wait_for("path_trace_cuda");
    }

    bool failed() const override { return failed_; }
    bool can_fail() const override { return true; }
    std::string failure() const override { return failure_; }

private:
    // Keeps the first failure for the engine to report.
    bool check(cudaError_t result, const char* call)
    {
        if (result == cudaSuccess)
            return true;
        if (!failed_) {
            failed_ = true;
            failure_ = std::string("CUDA error in ") + call + ": " + cudaGetErrorString(result);
        }
        return false;
    }

    // Waits for the kernel so that a fault while it runs is reported under its
    // name rather than under the next copy (which would wait for it anyway).
    bool wait_for(const char* kernel)
    {
        const std::string call = std::string("cudaDeviceSynchronize after ") + kernel;
        return check(cudaDeviceSynchronize(), call.c_str());
    }

    bool failed_ = false;
    std::string failure_;
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
