#pragma once
// Host-side view of the CUDA kernels in vantrel_cuda.cu (built only when nvcc
// is found). Each launcher returns the runtime's verdict on the launch.

#include <cstdint>

#include "kernel/launch_shape.h"
#include "scene/records.h"

// Opaque here; cudaError_t as an int keeps CUDA headers out of host code.
int launch_bind_globals(CLaunchDim grid, CLaunchDim block, const CSphere* sphere_list, uint32_t sphere_count,
                        const CPlane* plane_list, uint32_t plane_count, const CVector3* normal_list,
                        uint32_t* rand_list);

int launch_path_trace_cuda(CLaunchDim grid, CLaunchDim block, const CSphere* sphere_list, uint32_t sphere_count,
                           const CPlane* plane_list, uint32_t plane_count, const CRay3* rayList, float* buffer,
                           uint32_t* cbuffer, uint8_t* fbuffer);

// Whether the current device can run path_trace_cuda: cudaSuccess, or the
// runtime's reason (for example no code for the device's architecture).
int path_trace_cuda_image_status();
