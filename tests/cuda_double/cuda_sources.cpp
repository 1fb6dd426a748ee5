// SPDX-License-Identifier: Apache-2.0
// The CUDA backend exactly as the product builds it, its kernels included,
// compiled against the runtime double as plain C++.

#include "engine/cuda/vantrel_cuda.cu"
#include "engine/cuda/cuda_device.cpp"

#include "cuda_double.h"

namespace {
// The module registration that nvcc's generated code does before main.
const bool g_kernels_named = [] {
    cuda_double::name_kernel(reinterpret_cast<const void*>(&bind_globals), "bind_globals");
    cuda_double::name_kernel(reinterpret_cast<const void*>(&path_trace_cuda), "path_trace_cuda");
    return true;
}();
}  // namespace

const void* cuda_double::device_variable(const std::string& name)
{
    if (name == "g_normal_list")
        return g_normal_list;
    if (name == "g_rand_list")
        return g_rand_list;
    return nullptr;
}
