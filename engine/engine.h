// SPDX-License-Identifier: Apache-2.0
#pragma once
// The render engine bridge: owns the device buffers, moves the scene and the
// per-pixel state between host and device, and starts the kernels.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/device.h"
#include "engine/engine_options.h"
#include "scene/records.h"

// Set before engine_init; both programs keep the defaults unless told otherwise.
void engine_configure(const CEngineOptions& options);
// Decides, once at start-up, how many CPU threads the engine runs on: those
// configured (--threads), else OMP_NUM_THREADS where it names a positive
// count, else the cores this process may run on; never above kMaxCpuThreads.
// `note`, when given, receives a line for the user where OMP_NUM_THREADS was
// lowered or could not be read (else empty).
int engine_decide_cpu_threads(std::string* note = nullptr);
// The CPU threads the engine runs on, for host work that goes with a frame:
// as decided, or before any decision the count it would give.
int engine_cpu_threads();
// Lowers the CPU threads to at most `most` (where more were decided).
void engine_limit_cpu_threads(int most);

// The host arrays that every engine_frame copies both ways: sums, counts and
// display bytes (the rays go over once and are left as they are).
struct CHostFrame {
    float* accum_buffer;
    uint32_t* count_buffer;
    uint8_t* pixel_buffer;
};
// Hands the next engine_init (and only that one) the host arrays its frames
// will pass. A device that can page-lock host memory (CUDA) then keeps them
// page-locked from its start to engine_deinit, so that their copies need no
// staging; if it is refused, one line on stderr says so and the copies go as
// without. engine_init_on takes none.
void engine_hold_host_frame(const CHostFrame& frame);

// Prints "Initializing CUDA engine", picks the backend, allocates the device
// buffers, uploads the first 122,880 table vectors and the seeds, and binds
// them for the kernel. False when it cannot, with the reason in `failure`
// where given, else in a line on stderr; what it obtained is released again.
bool engine_init(const CSphere* spheres, uint32_t sphere_count, const CPlane* planes, uint32_t plane_count,
                 const CVector3* normal_table, const uint32_t* seed_list, std::string* failure = nullptr);
// The same on a given backend, without its fallback.
bool engine_init_on(std::unique_ptr<CDeviceOperations> device, uint32_t sphere_count, uint32_t plane_count,
                    const CVector3* normal_table, const uint32_t* seed_list);

// One pass: sums and counts (and on the first frame the rays) in, the kernel
// over every pixel, sums, counts and the byte image out. A frame the device
// fails leaves the host arrays as the last good frame left them. When CUDA was
// chosen automatically, the CPU then takes over from that frame (one line on
// stderr) and renders the failed frame again, so no frame is lost or counted
// twice; otherwise the frame fails (engine_failed).
void engine_frame(const CSphere* spheres, uint32_t sphere_count, const CPlane* planes, uint32_t plane_count,
                  const CRay3* ray_list, float* accum_buffer, uint32_t* count_buffer, uint8_t* pixel_buffer);

// The per-pixel random states the next frame starts from (one per pixel), for
// saving a render to carry on later. False when the device cannot deliver them
// (it failed).
bool engine_read_random_states(uint32_t* states);
// Carries on a saved render: the next frame starts from these random states
// (one per pixel), and a pixel that takes no sample in it keeps these display
// bytes (three per pixel). The engine keeps its own copies; the caller restores
// the sums and counts it hands to engine_frame. False when the device failed.
bool engine_restore(const uint32_t* random_states, const uint8_t* pixels);
// What a pixel's state can be, to refuse a saved render no run could have
// made: the samples a pixel takes at most, and the largest random state the
// kernel's generator holds (0 is one of its seeds, and stays 0).
uint32_t engine_sample_cap();
uint32_t engine_largest_random_state();

// Prints "Deinitializing CUDA engine", unlocks the host arrays and releases
// every device buffer.
void engine_deinit();

bool engine_ready();
// The backend in use ("CPU", "CUDA"), or "" before engine_init.
const char* engine_backend_name();
// Segments searched by all passes so far, where the backend counts them.
uint64_t engine_segments_traced();
// True once a device operation failed and no other device took over;
// rendering should stop.
bool engine_failed();
