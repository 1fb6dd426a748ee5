// SPDX-License-Identifier: Apache-2.0
#pragma once
// Control of the CUDA-runtime test double: the log of calls, failures to
// inject, and the checks a test makes afterwards (leaks, bad frees, misuse).

#include <cstddef>
#include <string>
#include <vector>

#include "cuda_runtime.h"

namespace cuda_double {
// Forgets the log, the failures to inject and any sticky error; releases what
// is still allocated (a test that cares checks live_allocations() first).
void reset();

// The occurrence-th call (1 = the first after reset) of `call` fails with
// `error`. Calls: cudaGetDeviceCount, cudaFuncGetAttributes, cudaMalloc,
// cudaFree, cudaMemset, cudaMemcpy, cudaHostRegister, cudaHostUnregister,
// cudaLaunchKernelEx, cudaDeviceSynchronize.
// As on a GPU, cudaErrorInsufficientDriver and cudaErrorNoDevice are then
// returned by every later call, and cudaErrorIllegalAddress injected at a
// launch is a fault of the kernel when it runs: the launch itself succeeds,
// the next synchronising call reports it, and so does every call after.
void fail(const std::string& call, int occurrence, cudaError_t error);
// The same from VANTREL_CUDA_DOUBLE_FAIL ("call:occurrence:code[,...]"), read
// at the first call of a process; for programs run by tests.
void fail_from_environment();

void set_device_count(int count);
// How a kernel appears in the log; kernels not named cannot be launched.
void name_kernel(const void* kernel, const char* name);

// One line per call, for example "cudaMemcpy HostToDevice 1228800" (with
// " page-locked" when the host side lies in registered memory), with
// " -> <code>" when it failed, and "run <kernel>" when a launch executes.
const std::vector<std::string>& log();

size_t live_allocations();
// Host ranges registered and not yet unregistered.
size_t live_registrations();
// The size of the live allocation that starts at `memory`, or 0.
size_t allocation_bytes(const void* memory);
// The value of one of the module's __device__ variables (g_normal_list,
// g_rand_list), as the kernels see it.
const void* device_variable(const std::string& name);
// Calls the runtime would reject as misuse: a free of memory that was never
// allocated or already freed, a copy with the wrong kinds of pointer, size or
// direction, a kernel handed a host address, a registration of device memory
// or of host memory already registered, an unregistration of memory that is not.
const std::vector<std::string>& misuses();
}  // namespace cuda_double
