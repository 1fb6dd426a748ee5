// SPDX-License-Identifier: Apache-2.0
#pragma once
// The test double serves both runtime headers.
#include "cuda_runtime.h"
