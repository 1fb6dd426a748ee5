// SPDX-License-Identifier: Apache-2.0
#include "cuda_double.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <sstream>

#include "engine/cpu/cpu_threads.h"

thread_local dim3 gridDim;
thread_local dim3 blockDim;
thread_local uint3 blockIdx;
thread_local uint3 threadIdx;

namespace cuda_double {
namespace {
// Freshly allocated device memory reads as NaN (floats), 0xffffffff (counts)
// and 255 (bytes): whatever is used before it is written shows.
constexpr unsigned char kUnwrittenByte = 0xff;
constexpr size_t kAlignment = 256;  // cudaMalloc's guarantee

struct CFailure {
    std::string call;
    int occurrence;
    cudaError_t error;
};

struct CLaunch {
    std::string kernel;
    cudaLaunchConfig_t config;
    std::vector<const void*> pointers;
    std::function<void()> body;
    bool faults;
};

struct CState {
    std::vector<std::string> log;
    std::vector<std::string> misuses;
    std::vector<CFailure> failures;
    std::map<std::string, int> calls;
    std::map<const void*, std::string> kernels;
    std::map<uintptr_t, size_t> allocations;  // start address -> bytes
    std::map<uintptr_t, size_t> registrations;  // page-locked host ranges: start address -> bytes
    std::deque<CLaunch> pending;
    cudaError_t sticky = cudaSuccess;
    int device_count = 1;
    bool environment_read = false;
};

CState& state()
{
    static CState s;
    return s;
}

bool is_sticky(cudaError_t error)
{
    return error == cudaErrorInsufficientDriver || error == cudaErrorNoDevice || error == cudaErrorIllegalAddress ||
           error == cudaErrorLaunchFailure;
}

// Counts the call and logs it; the error it must return (sticky or injected),
// or cudaSuccess to go on.
cudaError_t enter(const std::string& call, const std::string& detail)
{
    CState& s = state();
    if (!s.environment_read)
        fail_from_environment();
    const int occurrence = ++s.calls[call];
    cudaError_t error = s.sticky;
    if (error == cudaSuccess) {
        for (const CFailure& f : s.failures)
            if (f.call == call && f.occurrence == occurrence)
                error = f.error;
        // A kernel fault is the kernel's, not the launch's.
        if (call == "cudaLaunchKernelEx" && error == cudaErrorIllegalAddress)
            error = cudaSuccess;
        else if (is_sticky(error))
            s.sticky = error;
    }
    std::string line = detail.empty() ? call : call + " " + detail;
    if (error != cudaSuccess)
        line += " -> " + std::to_string(static_cast<int>(error));
    s.log.push_back(line);
    return error;
}

bool injected_fault(int occurrence)
{
    for (const CFailure& f : state().failures)
        if (f.call == "cudaLaunchKernelEx" && f.occurrence == occurrence && f.error == cudaErrorIllegalAddress)
            return true;
    return false;
}

void misuse(const std::string& what) { state().misuses.push_back(what); }

// The allocation holding [address, address + bytes), or end() if none does.
std::map<uintptr_t, size_t>::const_iterator device_range(const void* address, size_t bytes)
{
    const auto& allocations = state().allocations;
    const uintptr_t at = reinterpret_cast<uintptr_t>(address);
    auto it = allocations.upper_bound(at);
    if (it == allocations.begin())
        return allocations.end();
    --it;
    const bool inside = at >= it->first && bytes <= it->second && at - it->first <= it->second - bytes;
    return inside ? it : allocations.end();
}

bool is_device_address(const void* address) { return device_range(address, 0) != state().allocations.end(); }

// Whether [address, address + bytes) lies inside one registered host range.
bool is_page_locked(const void* address, size_t bytes)
{
    const auto& registrations = state().registrations;
    const uintptr_t at = reinterpret_cast<uintptr_t>(address);
    auto it = registrations.upper_bound(at);
    if (it == registrations.begin())
        return false;
    --it;
    return at - it->first <= it->second && bytes <= it->second - (at - it->first);
}

// Whether [address, address + bytes) shares a byte with a registered range.
bool overlaps_registration(const void* address, size_t bytes)
{
    const uintptr_t at = reinterpret_cast<uintptr_t>(address);
    for (const auto& [start, size] : state().registrations)
        if (at < start + size && start < at + bytes)
            return true;
    return false;
}

void run(CLaunch& launch)
{
    CState& s = state();
    s.log.push_back("run " + launch.kernel);
    for (const void* pointer : launch.pointers)
        if (pointer != nullptr && !is_device_address(pointer)) {
            misuse(launch.kernel + " was handed a host address");
            launch.faults = true;
        }
    if (launch.faults) {
        s.sticky = cudaErrorIllegalAddress;
        return;
    }
    const dim3 grid = launch.config.gridDim;
    const dim3 block = launch.config.blockDim;
    const uint32_t blocks = grid.x * grid.y * grid.z;
    const std::function<void()>& body = launch.body;
    // Blocks run in parallel as on a device, on the CPU backend's threads;
    // the threads of a block in turn.
    cpu_parallel_for(cpu_thread_count(0), blocks, 16, [&](uint32_t begin, uint32_t end, int) {
        for (uint32_t b = begin; b < end; ++b) {
            gridDim = grid;
            blockDim = block;
            blockIdx = {b % grid.x, b / grid.x % grid.y, b / grid.x / grid.y};
            for (unsigned z = 0; z < block.z; ++z)
                for (unsigned y = 0; y < block.y; ++y)
                    for (unsigned x = 0; x < block.x; ++x) {
                        threadIdx = {x, y, z};
                        body();
                    }
        }
    });
}

// Runs the launches held back so far, in order; the stream's error, if any.
cudaError_t synchronise()
{
    CState& s = state();
    while (!s.pending.empty()) {
        CLaunch launch = std::move(s.pending.front());
        s.pending.pop_front();
        if (s.sticky == cudaSuccess)
            run(launch);
    }
    return s.sticky;
}

std::string size_text(size_t bytes) { return std::to_string(bytes); }

const char* kind_name(cudaMemcpyKind kind)
{
    switch (kind) {
    case cudaMemcpyHostToDevice:
        return "HostToDevice";
    case cudaMemcpyDeviceToHost:
        return "DeviceToHost";
    case cudaMemcpyHostToHost:
        return "HostToHost";
    case cudaMemcpyDeviceToDevice:
        return "DeviceToDevice";
    default:
        return "Default";
    }
}
}  // namespace

void reset()
{
    CState& s = state();
    for (const auto& [address, bytes] : s.allocations)
        std::free(reinterpret_cast<void*>(address));
    const std::map<const void*, std::string> kernels = s.kernels;
    s = CState{};
    s.kernels = kernels;
    s.environment_read = true;
}

void fail(const std::string& call, int occurrence, cudaError_t error)
{
    state().failures.push_back({call, occurrence, error});
}

void fail_from_environment()
{
    CState& s = state();
    s.environment_read = true;
    const char* text = std::getenv("VANTREL_CUDA_DOUBLE_FAIL");
    if (text == nullptr)
        return;
    std::stringstream list(text);
    for (std::string item; std::getline(list, item, ',');) {
        const size_t first = item.find(':');
        const size_t second = item.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        fail(item.substr(0, first), std::atoi(item.substr(first + 1, second - first - 1).c_str()),
             static_cast<cudaError_t>(std::atoi(item.substr(second + 1).c_str())));
    }
}

void set_device_count(int count) { state().device_count = count; }
void name_kernel(const void* kernel, const char* name) { state().kernels[kernel] = name; }
const std::vector<std::string>& log() { return state().log; }
size_t live_allocations() { return state().allocations.size(); }
size_t live_registrations() { return state().registrations.size(); }
size_t allocation_bytes(const void* memory)
{
    const auto found = state().allocations.find(reinterpret_cast<uintptr_t>(memory));
    return found != state().allocations.end() ? found->second : 0;
}
const std::vector<std::string>& misuses() { return state().misuses; }

cudaError_t launch(const void* kernel, const cudaLaunchConfig_t& config, std::vector<const void*> pointers,
                   std::function<void()> body)
{
    CState& s = state();
    const auto named = s.kernels.find(kernel);
    const std::string name = named != s.kernels.end() ? named->second : "unnamed kernel";
    const dim3 g = config.gridDim;
    const dim3 b = config.blockDim;
    std::stringstream detail;
    detail << name << " " << g.x << "x" << g.y << "x" << g.z << " " << b.x << "x" << b.y << "x" << b.z;
    if (const cudaError_t error = enter("cudaLaunchKernelEx", detail.str()))
        return error;
    if (named == s.kernels.end())
        return cudaErrorInvalidDeviceFunction;
    const unsigned long threads = static_cast<unsigned long>(b.x) * b.y * b.z;
    if (threads == 0 || threads > 1024 || b.z > 64 || g.x == 0 || g.y == 0 || g.z == 0 || g.y > 65535 ||
        g.z > 65535 || config.stream != nullptr || config.numAttrs != 0) {
        misuse("launch of " + name + " with an invalid configuration");
        return cudaErrorInvalidValue;
    }
    s.pending.push_back({name, config, std::move(pointers), std::move(body), injected_fault(s.calls["cudaLaunchKernelEx"])});
    return cudaSuccess;
}
}  // namespace cuda_double

using namespace cuda_double;

const char* cudaGetErrorString(cudaError_t error)
{
    switch (error) {
    case cudaSuccess:
        return "no error";
    case cudaErrorInvalidValue:
        return "invalid argument";
    case cudaErrorMemoryAllocation:
        return "out of memory";
    case cudaErrorInvalidDevicePointer:
        return "invalid device pointer";
    case cudaErrorInvalidMemcpyDirection:
        return "invalid copy direction for memcpy";
    case cudaErrorInsufficientDriver:
        return "CUDA driver version is insufficient for CUDA runtime version";
    case cudaErrorInvalidDeviceFunction:
        return "invalid device function";
    case cudaErrorNoDevice:
        return "no CUDA-capable device is detected";
    case cudaErrorNoKernelImageForDevice:
        return "no kernel image is available for execution on the device";
    case cudaErrorIllegalAddress:
        return "an illegal memory access was encountered";
    case cudaErrorHostMemoryAlreadyRegistered:
        return "part or all of the requested memory range is already mapped";
    case cudaErrorHostMemoryNotRegistered:
        return "pointer does not correspond to a registered memory region";
    case cudaErrorNotSupported:
        return "operation not supported";
    case cudaErrorLaunchFailure:
        return "unspecified launch failure";
    }
    return "unrecognized error code";
}

cudaError_t cudaGetDeviceCount(int* count)
{
    if (const cudaError_t error = enter("cudaGetDeviceCount", ""))
        return error;
    *count = state().device_count;
    return state().device_count > 0 ? cudaSuccess : cudaErrorNoDevice;
}

cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attributes, const void* kernel)
{
    const auto named = state().kernels.find(kernel);
    const std::string name = named != state().kernels.end() ? named->second : "unnamed kernel";
    if (const cudaError_t error = enter("cudaFuncGetAttributes", name))
        return error;
    if (named == state().kernels.end())
        return cudaErrorInvalidDeviceFunction;
    *attributes = cudaFuncAttributes{0, 0, 0, 1024, 0, 0, 0};
    return cudaSuccess;
}

cudaError_t cudaMalloc(void** memory, size_t bytes)
{
    if (const cudaError_t error = enter("cudaMalloc", size_text(bytes)))
        return error;
    if (bytes == 0) {
        *memory = nullptr;
        return cudaSuccess;
    }
    const size_t rounded = (bytes + kAlignment - 1) / kAlignment * kAlignment;
    void* block = std::aligned_alloc(kAlignment, rounded);
    if (block == nullptr)
        return cudaErrorMemoryAllocation;
    std::memset(block, kUnwrittenByte, rounded);
    state().allocations[reinterpret_cast<uintptr_t>(block)] = bytes;
    *memory = block;
    return cudaSuccess;
}

cudaError_t cudaFree(void* memory)
{
    CState& s = state();
    const auto found = s.allocations.find(reinterpret_cast<uintptr_t>(memory));
    const size_t bytes = found != s.allocations.end() ? found->second : 0;
    const cudaError_t entered = enter("cudaFree", size_text(bytes));
    // cudaFree waits for the device first.
    const cudaError_t error = entered != cudaSuccess ? entered : synchronise();
    if (memory == nullptr)
        return error;
    if (found == s.allocations.end()) {
        misuse("cudaFree of an address that is not allocated");
        return error != cudaSuccess ? error : cudaErrorInvalidDevicePointer;
    }
    // After a fault the memory still goes (a device reset would free it): a
    // leak here is a missing cudaFree, not a sticky error.
    std::free(memory);
    s.allocations.erase(found);
    return error;
}

cudaError_t cudaMemset(void* memory, int value, size_t bytes)
{
    if (const cudaError_t error = enter("cudaMemset", size_text(bytes)))
        return error;
    if (const cudaError_t error = synchronise())
        return error;
    if (device_range(memory, bytes) == state().allocations.end()) {
        misuse("cudaMemset outside device memory");
        return cudaErrorInvalidValue;
    }
    std::memset(memory, value, bytes);
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* destination, const void* source, size_t bytes, cudaMemcpyKind kind)
{
    const void* host_side = kind == cudaMemcpyDeviceToHost ? destination : source;
    const char* locked = is_page_locked(host_side, bytes) ? " page-locked" : "";
    if (const cudaError_t error = enter("cudaMemcpy", std::string(kind_name(kind)) + " " + size_text(bytes) + locked))
        return error;
    // A blocking copy waits for the kernels before it.
    if (const cudaError_t error = synchronise())
        return error;
    const void* device = nullptr;
    const void* host = nullptr;
    if (kind == cudaMemcpyHostToDevice) {
        device = destination;
        host = source;
    } else if (kind == cudaMemcpyDeviceToHost) {
        device = source;
        host = destination;
    } else {
        misuse(std::string("cudaMemcpy ") + kind_name(kind));
        return cudaErrorInvalidMemcpyDirection;
    }
    const auto& allocations = state().allocations;
    if (device_range(device, bytes) == allocations.end() || host == nullptr || is_device_address(host) ||
        device_range(host, 0) != allocations.end()) {
        misuse(std::string("cudaMemcpy ") + kind_name(kind) + " with the wrong pointers or size");
        return cudaErrorInvalidValue;
    }
    std::memcpy(destination, source, bytes);
    return cudaSuccess;
}

cudaError_t cudaHostRegister(void* memory, size_t bytes, unsigned int flags)
{
    if (const cudaError_t error = enter("cudaHostRegister", size_text(bytes)))
        return error;
    if (memory == nullptr || bytes == 0 || flags != cudaHostRegisterDefault || is_device_address(memory)) {
        misuse("cudaHostRegister of no host memory, or with flags");
        return cudaErrorInvalidValue;
    }
    if (overlaps_registration(memory, bytes)) {
        misuse("cudaHostRegister of memory already registered");
        return cudaErrorHostMemoryAlreadyRegistered;
    }
    state().registrations[reinterpret_cast<uintptr_t>(memory)] = bytes;
    return cudaSuccess;
}

cudaError_t cudaHostUnregister(void* memory)
{
    CState& s = state();
    const auto found = s.registrations.find(reinterpret_cast<uintptr_t>(memory));
    const size_t bytes = found != s.registrations.end() ? found->second : 0;
    const cudaError_t error = enter("cudaHostUnregister", size_text(bytes));
    if (found == s.registrations.end()) {
        misuse("cudaHostUnregister of memory that is not registered");
        return error != cudaSuccess ? error : cudaErrorHostMemoryNotRegistered;
    }
    // After a fault the registration still goes (a device reset would drop
    // it): one left at the end is a missing cudaHostUnregister.
    s.registrations.erase(found);
    return error;
}

cudaError_t cudaDeviceSynchronize()
{
    if (const cudaError_t error = enter("cudaDeviceSynchronize", ""))
        return error;
    return synchronise();
}

cudaError_t cudaGetLastError() { return state().sticky; }
