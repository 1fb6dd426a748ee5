// SPDX-License-Identifier: Apache-2.0
// The CUDA kernels: a few lines each that find the pixel index and call the
// per-pixel body shared with the CPU pass (kernel/path.h).

#include "engine/cuda/vantrel_cuda.h"

#include <cuda_runtime.h>

#include "base/image_size.h"
#include "kernel/path.h"

__device__ const CVector3* g_normal_list;
__device__ uint32_t* g_rand_list;

__global__ void bind_globals(const CSphere*, uint32_t, const CPlane*, uint32_t, const CVector3* normal_list,
                             uint32_t* rand_list)
{
    g_normal_list = normal_list;
    g_rand_list = rand_list;
}

__global__ void path_trace_cuda(const CSphere* sphere_list, uint32_t sphere_count, const CPlane* plane_list,
                                uint32_t plane_count, const CRay3* rayList, float* buffer, uint32_t* cbuffer,
                                uint8_t* fbuffer)
{
    const uint32_t p = pixel_index_for_thread({gridDim.x, gridDim.y, gridDim.z}, {blockDim.x, blockDim.y, blockDim.z},
                                              {blockIdx.x, blockIdx.y, blockIdx.z},
                                              {threadIdx.x, threadIdx.y, threadIdx.z});
    if (p > kLastPixelIndex)
        return;
    const CFrameArgs frame{{sphere_list, sphere_count, plane_list, plane_count}, rayList, buffer, cbuffer, fbuffer};
    path_trace_pixel(p, frame, CRandomBindings{g_normal_list, g_rand_list});
}

namespace {
dim3 to_dim3(CLaunchDim d) { return dim3(d.x, d.y, d.z); }

// Grid and block as given, no dynamic shared memory, the default stream.
cudaLaunchConfig_t launch_config(CLaunchDim grid, CLaunchDim block)
{
    cudaLaunchConfig_t config{};
    config.gridDim = to_dim3(grid);
    config.blockDim = to_dim3(block);
    return config;
}
}  // namespace

// cudaLaunchKernelEx returns this launch's own verdict (cudaGetLastError
// could also hand back an earlier call's error).
int launch_bind_globals(CLaunchDim grid, CLaunchDim block, const CSceneLists& scene, CRandomBindings bindings)
{
    const cudaLaunchConfig_t config = launch_config(grid, block);
    return static_cast<int>(cudaLaunchKernelEx(&config, bind_globals, scene.sphere_list, scene.sphere_count,
                                               scene.plane_list, scene.plane_count, bindings.normal_list,
                                               bindings.rand_list));
}

int launch_path_trace_cuda(CLaunchDim grid, CLaunchDim block, const CFrameArgs& frame)
{
    const cudaLaunchConfig_t config = launch_config(grid, block);
    const CSceneLists& scene = frame.scene;
    return static_cast<int>(cudaLaunchKernelEx(&config, path_trace_cuda, scene.sphere_list, scene.sphere_count,
                                               scene.plane_list, scene.plane_count, frame.rayList, frame.buffer,
                                               frame.cbuffer, frame.fbuffer));
}

int path_trace_cuda_image_status()
{
    cudaFuncAttributes attributes{};
    return static_cast<int>(cudaFuncGetAttributes(&attributes, path_trace_cuda));
}
