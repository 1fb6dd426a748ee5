// SPDX-License-Identifier: Apache-2.0
#include "scene/host_random.h"

#include <cmath>
#include <cstdio>
#include <new>

#include "base/image_size.h"

namespace {
uint32_t g_host_rand_state = 0;

// One table component: a draw mapped onto the 1/512 grid in [-1, 1).
float draw_component() { return static_cast<float>(host_rand() % 1024u) / 512.0f - 1.0f; }
}  // namespace

std::unique_ptr<CVector3[]> normal_table;
uint32_t normal_table_count = 0;

void host_srand(uint32_t seed) { g_host_rand_state = seed; }

uint32_t host_rand()
{
    g_host_rand_state = g_host_rand_state * 214013u + 2531011u;
    return (g_host_rand_state >> 16) & 32767u;
}

bool build_normal_table()
{
    normal_table.reset(new (std::nothrow) CVector3[kNormalTableCount]);
    if (!normal_table) {
        normal_table_count = 0;
        std::printf("Unable to allocate space for normals.\n");
        return false;
    }
    for (uint32_t i = 0; i < kNormalTableCount; ++i) {
        CVector3 v;
        do {
            v.x = draw_component();
            v.y = draw_component();
            v.z = draw_component();
        } while (vec3_length(v) > 1.0f);
        normal_table[i] = vec3_normalize(v);
    }
    normal_table_count = kNormalTableCount;
    return true;
}

void normal_table_release()
{
    normal_table.reset();
    normal_table_count = 0;
}

void fill_seed_list(uint32_t* seed_list)
{
    for (uint32_t p = 0; p < kPixelCount; ++p)
        seed_list[p] = host_rand();
}
