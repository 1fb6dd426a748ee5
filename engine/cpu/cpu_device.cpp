// SPDX-License-Identifier: Apache-2.0
#include "engine/cpu/cpu_device.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/cpu/cpu_pass.h"
#include "engine/cpu/first_hits.h"
#include "base/image_size.h"

namespace {
constexpr size_t kSumsBytes = size_t{kPixelCount} * 3 * sizeof(float);
constexpr size_t kCountsBytes = size_t{kPixelCount} * sizeof(uint32_t);

// Device memory is host memory this backend owns. Uploads are deferred:
// copy_to_device notes where the bytes are and copies them when the memory is
// next used. A path launch whose sums and counts are still waiting to be
// uploaded in full hands the pass the host's own arrays instead (it reads and
// writes them in place), and downloading them into those same arrays then has
// nothing left to do. Until its next upload such a buffer holds whatever its
// host array holds.
class CCpuDevice final : public CDeviceOperations {
public:
    CCpuDevice(int threads, CCpuPass pass) : threads_(threads), pass_(pass) {}

    const char* name() const override { return "CPU"; }

    void* allocate(size_t bytes) override { return std::aligned_alloc(64, (bytes + 63) / 64 * 64); }
    void release(void* device_memory) override
    {
        first_hits_.rays_change(device_memory);
        forget(device_memory);
        std::free(device_memory);
    }
    bool fill_zero(void* device_memory, size_t bytes) override
    {
        first_hits_.rays_change(device_memory);
        settle(device_memory);
        std::memset(device_memory, 0, bytes);
        return true;
    }
    bool copy_to_device(void* device_memory, const void* host_memory, size_t bytes) override
    {
        first_hits_.rays_change(device_memory);
        // An earlier upload this one fully covers never needs making.
        if (const CUpload* earlier = find(device_memory); earlier && earlier->bytes <= bytes)
            forget(device_memory);
        else
            settle(device_memory);
        uploads_.push_back({device_memory, host_memory, bytes, false});
        return true;
    }
    bool copy_to_host(void* host_memory, const void* device_memory, size_t bytes) override
    {
        if (const CUpload* in_place = find(device_memory); in_place && in_place->in_place &&
                                                            in_place->host == host_memory &&
                                                            in_place->bytes == bytes)
            return true;
        settle(device_memory);
        std::memcpy(host_memory, device_memory, bytes);
        return true;
    }

    // The CPU runs every index 0..307,199 directly (the fast pass, in SIMD lanes
    // where the processor has them).
    bool launch_bind_globals(const CSceneLists&, CRandomBindings bindings) override
    {
        settle_all();
        bind_globals_cpu(bindings);
        return true;
    }
    bool launch_path_trace(const CFrameArgs& frame) override
    {
        CFrameArgs args = frame;
        args.buffer = in_place(frame.buffer, kSumsBytes);
        args.cbuffer = in_place(frame.cbuffer, kCountsBytes);
        settle_all();
        segments_ += path_trace_pass_with(pass_, args, threads_, &first_hits_);
        return true;
    }

    uint64_t segments_traced() const override { return segments_; }

private:
    struct CUpload {
        void* device;
        const void* host;
        size_t bytes;
        bool in_place;  // handed to a launch: the host array is the buffer's content
    };

    CUpload* find(const void* device_memory)
    {
        for (CUpload& upload : uploads_)
            if (upload.device == device_memory)
                return &upload;
        return nullptr;
    }
    void forget(const void* device_memory)
    {
        for (size_t i = 0; i < uploads_.size(); ++i)
            if (uploads_[i].device == device_memory) {
                uploads_.erase(uploads_.begin() + long(i));
                return;
            }
    }
    // Makes the device memory hold what it should: the noted upload, or the
    // host array a launch worked in.
    void settle(const void* device_memory)
    {
        if (const CUpload* upload = find(device_memory)) {
            std::memcpy(upload->device, upload->host, upload->bytes);
            forget(device_memory);
        }
    }
    // Settles every upload but those handed to a launch in place.
    void settle_all()
    {
        for (size_t i = 0; i < uploads_.size();) {
            if (uploads_[i].in_place) {
                ++i;
                continue;
            }
            std::memcpy(uploads_[i].device, uploads_[i].host, uploads_[i].bytes);
            uploads_.erase(uploads_.begin() + long(i));
        }
    }
    // The host array to hand the pass for this device buffer: the pending
    // upload's source when it covers the whole buffer, else the buffer itself.
    template <typename T>
    T* in_place(T* device_memory, size_t bytes)
    {
        CUpload* upload = find(device_memory);
        if (upload == nullptr || upload->bytes != bytes)
            return device_memory;
        upload->in_place = true;
        return static_cast<T*>(const_cast<void*>(upload->host));
    }

    int threads_;
    CCpuPass pass_;
    uint64_t segments_ = 0;
    // The camera's rays reach this memory once; what their first segments
    // meet is kept for the passes until they change.
    CFirstHits first_hits_;
    std::vector<CUpload> uploads_;
};
}  // namespace

std::unique_ptr<CDeviceOperations> make_cpu_device(int threads) { return make_cpu_device(threads, cpu_pass_chosen()); }

std::unique_ptr<CDeviceOperations> make_cpu_device(int threads, CCpuPass pass)
{
    return std::make_unique<CCpuDevice>(threads, pass);
}
