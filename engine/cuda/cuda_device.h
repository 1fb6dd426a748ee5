// SPDX-License-Identifier: Apache-2.0
#pragma once
// The CUDA backend: device memory from the CUDA runtime, a launch runs
// path_trace_cuda (engine/cuda/vantrel_cuda.cu) over 20 x 240 blocks of 32 x 2
// threads. Built only when nvcc is found.

#include <memory>
#include <string>

#include "engine/device.h"

// CUDA devices the runtime reports, when device 0 can also run this build's
// kernels; otherwise 0 with the reason (CUDA's own message where it gave one).
int cuda_usable_device_count(std::string* reason);

// Makes no CUDA call until the engine uses it. Every call's result is
// checked; the first failure is reported once on stderr with the call's name
// and CUDA's message, and failed() stays true from then on.
std::unique_ptr<CDeviceOperations> make_cuda_device();
