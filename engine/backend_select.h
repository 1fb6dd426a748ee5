#pragma once
// Picks the backend once, at engine start.

#include <memory>

#include "engine/device.h"
#include "engine/engine.h"

// The CPU unless CUDA is asked for or found; nullptr (with a line on stderr)
// when the backend asked for cannot be had.
std::unique_ptr<CDeviceOperations> select_device(const CEngineOptions& options);

// Whether this build contains the CUDA backend.
bool cuda_backend_built();
