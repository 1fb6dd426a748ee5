// SPDX-License-Identifier: Apache-2.0
#pragma once
// Host-side view of the CUDA kernels in vantrel_cuda.cu (built only when nvcc
// is found). Each launcher returns the runtime's verdict on the launch.

#include <cstdint>

#include "kernel/frame_args.h"
#include "engine/cuda/launch_shape.h"

// Opaque here; cudaError_t as an int keeps CUDA headers out of host code.
// The __global__ kernels keep their own parameter lists; these unpack the records.
int launch_bind_globals(CLaunchDim grid, CLaunchDim block, const CSceneLists& scene, CRandomBindings bindings);
int launch_path_trace_cuda(CLaunchDim grid, CLaunchDim block, const CFrameArgs& frame);

// Whether the current device can run path_trace_cuda: cudaSuccess, or the
// runtime's reason (for example no code for the device's architecture).
int path_trace_cuda_image_status();
