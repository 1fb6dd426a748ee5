#pragma once
// The CPU backend: device memory is host memory this backend owns, and a
// launch runs the kernel body once for every pixel index, spread over the cores.

#include <memory>

#include "engine/device.h"

// threads: how many threads a pass uses (0: all cores).
std::unique_ptr<CDeviceOperations> make_cpu_device(int threads);
