// SPDX-License-Identifier: Apache-2.0
#pragma once
// What a program tells the engine before it starts: the backend asked for,
// the CPU threads, what an earlier look for CUDA devices found, and the CPU
// pass. Shared by
// the engine (engine/engine.h) and the backend choice
// (engine/backend_select.h), which include it, not each other.

#include <optional>
#include <string>

enum class CBackendChoice { automatic, cpu, cuda };

// What a look for CUDA devices found.
struct CCudaProbeResult {
    int device_count = 0;  // usable devices
    std::string reason;    // why there is none, CUDA's message where it gave one
};

struct CEngineOptions {
    CBackendChoice backend = CBackendChoice::automatic;
    int cpu_threads = 0;  // 0: decided at start-up (engine_decide_cpu_threads)
    // What an earlier look for CUDA devices found (vantrel-render looks when it
    // checks --backend cuda); the engine looks only when nobody has.
    std::optional<CCudaProbeResult> cuda_probe = std::nullopt;
    // The CPU pass by name (engine/cpu_passes.h), one this processor supports;
    // "" for the chosen one.
    std::string cpu_pass = "";
};

// The real look: cudaGetDeviceCount (and whether device 0 can run this
// build's kernels); in a build without CUDA, no device. Without a device the
// reason is never empty.
CCudaProbeResult probe_cuda_devices();

// Whether this build contains the CUDA backend.
bool cuda_backend_built();
