#pragma once
// Picks the backend once, at engine start: CUDA when the build has it and a
// usable device answers, the CPU otherwise.

#include <functional>
#include <memory>
#include <string>

#include "engine/device.h"
#include "engine/engine.h"

// What a look for CUDA devices found.
struct CCudaProbeResult {
    int device_count = 0;  // usable devices
    std::string reason;    // why there is none, CUDA's message where it gave one
};
// Asks the CUDA runtime; tests hand select_device_with_probe a fake instead.
using CCudaProbe = std::function<CCudaProbeResult()>;

enum class CBackendKind { none, cpu, cuda };

struct CBackendDecision {
    CBackendKind kind = CBackendKind::none;
    std::string message;  // the line for stderr (without newline), or empty
};

// The choice itself, without side effects. The probe is called only when
// CUDA is built and may be used (never for CBackendChoice::cpu).
CBackendDecision decide_backend(CBackendChoice choice, bool cuda_built, const CCudaProbe& probe);

// The backend for the options, after asking the CUDA runtime. Prints the
// decision's line on stderr (at most one). nullptr when the backend asked for
// cannot be had.
std::unique_ptr<CDeviceOperations> select_device(const CEngineOptions& options);
// The same with a given probe.
std::unique_ptr<CDeviceOperations> select_device_with_probe(const CEngineOptions& options, const CCudaProbe& probe);

// The real probe: cudaGetDeviceCount (and whether device 0 can run this
// build's kernels); in a build without CUDA, no device.
CCudaProbeResult probe_cuda_devices();

// Whether this build contains the CUDA backend.
bool cuda_backend_built();
// Whether CBackendChoice::cuda would succeed now; otherwise the reason.
bool cuda_device_available(std::string* reason = nullptr);
