#include "engine/backend_select.h"

#include <cstdio>

#include "engine/cpu_device.h"

bool cuda_backend_built() { return false; }

std::unique_ptr<CDeviceOperations> select_device(const CEngineOptions& options)
{
    if (options.backend == CBackendChoice::cuda) {
        std::fprintf(stderr, "vantrel: this build has no CUDA backend\n");
        return nullptr;
    }
    return make_cpu_device(options.cpu_threads);
}
