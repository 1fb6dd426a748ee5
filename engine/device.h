// SPDX-License-Identifier: Apache-2.0
#pragma once
// The device operations the render engine needs, served by one backend: the
// CPU (memory the backend owns, a launch runs the kernel body once per pixel
// index) or CUDA.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kernel/frame_args.h"

// The most threads the CPU backend runs on; more only costs memory. Here
// because the CPU backend caps its count at it and the programs check
// --threads against it, and this is the one engine header both include.
inline constexpr int kMaxCpuThreads = 1024;

class CDeviceOperations {
public:
    virtual ~CDeviceOperations() = default;

    // A short name for messages: "CPU" or "CUDA".
    virtual const char* name() const = 0;

    // nullptr when the memory cannot be had.
    virtual void* allocate(size_t bytes) = 0;
    virtual void release(void* device_memory) = 0;
    virtual bool fill_zero(void* device_memory, size_t bytes) = 0;
    virtual bool copy_to_device(void* device_memory, const void* host_memory, size_t bytes) = 0;
    virtual bool copy_to_host(void* host_memory, const void* device_memory, size_t bytes) = 0;

    // Page-locks host memory that later copies use, so that the device reads
    // and writes it directly instead of through a staging buffer. False with
    // the device's reason when refused (nothing is failed: copies work as
    // before). A backend without page-locking has nothing to do.
    virtual bool lock_host(void* /*host_memory*/, size_t /*bytes*/, std::string& /*reason*/) { return true; }
    // Undoes lock_host before the host memory is freed.
    virtual void unlock_host(void* /*host_memory*/) {}

    // False when the launch was refused; the kernel then did not run.
    // Every address in the records is a device address. Each backend runs
    // the kernels in its own shape: bind_globals once, path_trace once for
    // every pixel index.
    virtual bool launch_bind_globals(const CSceneLists& scene, CRandomBindings bindings) = 0;
    virtual bool launch_path_trace(const CFrameArgs& frame) = 0;

    // Segments searched by all passes so far (0 when the backend cannot count).
    virtual uint64_t segments_traced() const { return 0; }
    // True once a device operation has failed; the device is unusable then.
    virtual bool failed() const { return false; }
    // Whether operations can fail at all. A copy that fails half-way may leave
    // its destination half-written, so the engine downloads a frame's results
    // from such a device into arrays of its own and hands them on only when
    // every copy of the frame succeeded.
    virtual bool can_fail() const { return false; }
    // The first failure, for example "CUDA error in cudaMalloc: out of
    // memory", or empty. The engine reports it; the device prints nothing.
    virtual std::string failure() const { return {}; }
};

// Owns one device allocation and releases it exactly once. Moves, never copies.
class CDeviceBuffer {
public:
    CDeviceBuffer() = default;
    CDeviceBuffer(CDeviceOperations* device, size_t bytes)
        : device_(device), memory_(device->allocate(bytes)), bytes_(memory_ ? bytes : 0)
    {
    }
    CDeviceBuffer(const CDeviceBuffer&) = delete;
    CDeviceBuffer& operator=(const CDeviceBuffer&) = delete;
    CDeviceBuffer(CDeviceBuffer&& other) noexcept { *this = std::move(other); }
    CDeviceBuffer& operator=(CDeviceBuffer&& other) noexcept
    {
        if (this != &other) {
            reset();
            device_ = other.device_;
            memory_ = other.memory_;
            bytes_ = other.bytes_;
            other.memory_ = nullptr;
            other.bytes_ = 0;
        }
        return *this;
    }
    ~CDeviceBuffer() { reset(); }

    void reset()
    {
        if (memory_)
            device_->release(memory_);
        memory_ = nullptr;
        bytes_ = 0;
    }

    void* get() const { return memory_; }
    template <typename T>
    T* as() const
    {
        return static_cast<T*>(memory_);
    }
    size_t size() const { return bytes_; }
    explicit operator bool() const { return memory_ != nullptr; }

private:
    CDeviceOperations* device_ = nullptr;
    void* memory_ = nullptr;
    size_t bytes_ = 0;
};
