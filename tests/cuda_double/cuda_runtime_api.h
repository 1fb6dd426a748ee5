#pragma once
// The test double serves both runtime headers.
#include "cuda_runtime.h"
