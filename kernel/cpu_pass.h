#pragma once
// The CPU form of the kernels: the same per-pixel body, run once for every
// pixel index, spread over the cores with OpenMP.

#include <cstdint>

#include "kernel/random.h"
#include "scene/records.h"

// The CPU's kernel-wide bindings: process-wide pointers to the table of unit
// vectors and the per-pixel random states.
extern const CVector3* g_normal_list;
extern uint32_t* g_rand_list;

void bind_globals_cpu(const CSphere* sphere_list, uint32_t sphere_count, const CPlane* plane_list,
                      uint32_t plane_count, const CVector3* normal_list, uint32_t* rand_list);

// The body for one pixel index; returns the segments it searched.
uint32_t path_trace_pixel_cpu(uint32_t p, const CSphere* sphere_list, uint32_t sphere_count,
                              const CPlane* plane_list, uint32_t plane_count, const CRay3* rayList, float* buffer,
                              uint32_t* cbuffer, uint8_t* fbuffer);

// One pass over pixel indices 0..307,199 on `threads` threads (0: all cores).
// Each index runs exactly once. Returns the segments searched in the pass.
uint64_t path_trace_pass_cpu(const CSphere* sphere_list, uint32_t sphere_count, const CPlane* plane_list,
                             uint32_t plane_count, const CRay3* rayList, float* buffer, uint32_t* cbuffer,
                             uint8_t* fbuffer, int threads);
