// SPDX-License-Identifier: Apache-2.0
#pragma once
// A test double of the CUDA runtime: the part of its API that the engine's
// CUDA backend and kernels use, served on the host so that they compile as
// plain C++ and run on a machine without a GPU. Device memory is host memory
// (filled with a NaN pattern when allocated), host memory can be registered
// as page-locked (a copy from or to it says so in the log), a launch is held back until the
// next synchronising call and then runs the kernel once per grid and block
// index, and every call is logged and can be made to fail (cuda_double.h).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

// A __device__ variable belongs to its module (the .cu file), as it does
// without relocatable device code: it must not clash with host globals.
#define __global__
#define __device__ static
#define __host__

// The runtime's own codes, for the errors the double can produce.
enum cudaError_t {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorInsufficientDriver = 35,
    cudaErrorInvalidDeviceFunction = 98,
    cudaErrorNoDevice = 100,
    cudaErrorNoKernelImageForDevice = 209,
    cudaErrorIllegalAddress = 700,
    cudaErrorHostMemoryAlreadyRegistered = 712,
    cudaErrorHostMemoryNotRegistered = 713,
    cudaErrorLaunchFailure = 719,
    cudaErrorNotSupported = 801,
};

#define cudaHostRegisterDefault 0x00u

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4,
};

struct uint3 {
    unsigned int x, y, z;
};
struct dim3 {
    unsigned int x = 1, y = 1, z = 1;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
};

using cudaStream_t = struct CUstream_st*;
struct cudaLaunchAttribute;
struct cudaLaunchConfig_t {
    dim3 gridDim;
    dim3 blockDim;
    size_t dynamicSmemBytes;
    cudaStream_t stream;
    cudaLaunchAttribute* attrs;
    unsigned int numAttrs;
};

struct cudaFuncAttributes {
    size_t sharedSizeBytes;
    size_t constSizeBytes;
    size_t localSizeBytes;
    int maxThreadsPerBlock;
    int numRegs;
    int ptxVersion;
    int binaryVersion;
};

// The coordinates of the thread a kernel body runs as.
extern thread_local dim3 gridDim;
extern thread_local dim3 blockDim;
extern thread_local uint3 blockIdx;
extern thread_local uint3 threadIdx;

const char* cudaGetErrorString(cudaError_t error);
cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaMalloc(void** memory, size_t bytes);
cudaError_t cudaFree(void* memory);
cudaError_t cudaMemset(void* memory, int value, size_t bytes);
cudaError_t cudaMemcpy(void* destination, const void* source, size_t bytes, cudaMemcpyKind kind);
cudaError_t cudaHostRegister(void* memory, size_t bytes, unsigned int flags);
cudaError_t cudaHostUnregister(void* memory);
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaGetLastError();
cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attributes, const void* kernel);

template <typename... Params>
cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attributes, void (*kernel)(Params...))
{
    return cudaFuncGetAttributes(attributes, reinterpret_cast<const void*>(kernel));
}

namespace cuda_double {
// Queues one launch: the pointer arguments are checked when it runs, as a real
// kernel would fault on a host address; body runs the kernel for one thread.
cudaError_t launch(const void* kernel, const cudaLaunchConfig_t& config, std::vector<const void*> pointers,
                   std::function<void()> body);

template <typename T>
void add_if_pointer(std::vector<const void*>& pointers, const T& value)
{
    if constexpr (std::is_pointer_v<T>)
        pointers.push_back(static_cast<const void*>(value));
}
}  // namespace cuda_double

// The arguments are converted to the kernel's parameter types and copied at
// launch, as the runtime copies them into the launch's parameter buffer.
template <typename... Params, typename... Args>
cudaError_t cudaLaunchKernelEx(const cudaLaunchConfig_t* config, void (*kernel)(Params...), Args&&... args)
{
    static_assert(sizeof...(Params) == sizeof...(Args), "a kernel launch passes every parameter");
    std::tuple<std::decay_t<Params>...> parameters(std::forward<Args>(args)...);
    std::vector<const void*> pointers;
    std::apply([&](const auto&... p) { (cuda_double::add_if_pointer(pointers, p), ...); }, parameters);
    return cuda_double::launch(reinterpret_cast<const void*>(kernel), *config, std::move(pointers),
                               [kernel, parameters] { std::apply(kernel, parameters); });
}
