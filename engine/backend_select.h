// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one place the backend is chosen and made, at engine start: CUDA when
// the build has it and a usable device answers, the CPU otherwise, and whether
// the CPU may take over from a CUDA device that fails; the CPU device that
// takes over is made here too.

#include <functional>
#include <memory>
#include <string>

#include "engine/device.h"
#include "engine/engine_options.h"

// Asks the CUDA runtime; tests hand select_device_with_probe a fake instead.
using CCudaProbe = std::function<CCudaProbeResult()>;

enum class CBackendKind { none, cpu, cuda };

struct CBackendDecision {
    CBackendKind kind = CBackendKind::none;
    std::string message;         // the line for stderr (without newline), or empty
    bool may_fall_back = false;  // CUDA chosen automatically: the CPU may take over
};

// The choice itself, without side effects. The probe is called only when
// CUDA is built and may be used (never for CBackendChoice::cpu).
CBackendDecision decide_backend(CBackendChoice choice, bool cuda_built, const CCudaProbe& probe);

struct CSelectedDevice {
    std::unique_ptr<CDeviceOperations> device;  // nullptr when the backend asked for cannot be had
    bool may_fall_back = false;
};

// The backend for the options, from their probe result or else after asking
// the CUDA runtime. Prints the decision's line on stderr (at most one).
CSelectedDevice select_device(const CEngineOptions& options);
// The same with a given probe.
CSelectedDevice select_device_with_probe(const CEngineOptions& options, const CCudaProbe& probe);

// The CPU device on the options' threads: the backend chosen, or the one that
// takes over from a CUDA device failing at start-up or mid-run.
std::unique_ptr<CDeviceOperations> make_cpu_backend(const CEngineOptions& options);
