// SPDX-License-Identifier: Apache-2.0
#pragma once
// The CPU backend: device memory is host memory this backend owns, and a
// launch runs the kernel body once for every pixel index (the fast pass),
// spread over the cores. Uploads are deferred until the memory is used; a path
// launch works in the host's own sums and counts when they were just uploaded.

#include <memory>

#include "engine/cpu/cpu_pass.h"
#include "engine/device.h"

// threads: how many threads a pass uses (0: all cores); the pass the chosen
// one (cpu_pass_chosen) unless given.
std::unique_ptr<CDeviceOperations> make_cpu_device(int threads);
std::unique_ptr<CDeviceOperations> make_cpu_device(int threads, CCpuPass pass);
