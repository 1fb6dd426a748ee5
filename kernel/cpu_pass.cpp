#include "kernel/cpu_pass.h"

#include <omp.h>

#include "kernel/path.h"

const CVector3* g_normal_list = nullptr;
uint32_t* g_rand_list = nullptr;

void bind_globals_cpu(const CSphere*, uint32_t, const CPlane*, uint32_t, const CVector3* normal_list,
                      uint32_t* rand_list)
{
    g_normal_list = normal_list;
    g_rand_list = rand_list;
}

uint32_t path_trace_pixel_cpu(uint32_t p, const CSphere* sphere_list, uint32_t sphere_count,
                              const CPlane* plane_list, uint32_t plane_count, const CRay3* rayList, float* buffer,
                              uint32_t* cbuffer, uint8_t* fbuffer)
{
    return path_trace_pixel(p, sphere_list, sphere_count, plane_list, plane_count, rayList, buffer, cbuffer, fbuffer,
                            CRandomBindings{g_normal_list, g_rand_list});
}

uint64_t path_trace_pass_cpu(const CSphere* sphere_list, uint32_t sphere_count, const CPlane* plane_list,
                             uint32_t plane_count, const CRay3* rayList, float* buffer, uint32_t* cbuffer,
                             uint8_t* fbuffer, int threads)
{
    const CRandomBindings bindings{g_normal_list, g_rand_list};
    const int thread_count = threads > 0 ? threads : omp_get_max_threads();
    uint64_t segments = 0;
    // Rows cost very different amounts (the ceiling is one segment, the floor
    // up to five), so hand them out a row at a time. Every pixel writes only its
    // own entries, so the order does not change the picture.
#pragma omp parallel for num_threads(thread_count) schedule(dynamic, 640) reduction(+ : segments)
    for (uint32_t p = 0; p < kPixelCount; ++p)
        segments += path_trace_pixel(p, sphere_list, sphere_count, plane_list, plane_count, rayList, buffer, cbuffer,
                                     fbuffer, bindings);
    return segments;
}
