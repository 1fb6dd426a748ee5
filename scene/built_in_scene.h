// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one scene: a closed box of six planes lit by its ceiling, with two
// coloured mirror balls and a white diffuse ball on the floor.

#include <cstdint>
#include <memory>

#include "scene/records.h"

constexpr uint32_t kSphereCount = 3u;
constexpr uint32_t kPlaneCount = 6u;

extern std::unique_ptr<CSphere[]> g_spheres;
extern std::unique_ptr<CPlane[]> g_planes;
// One random seed per pixel, drawn by build_scene before it sets the scene.
extern std::unique_ptr<uint32_t[]> seed_list;

// Allocates and fills g_spheres, g_planes and seed_list. On an allocation
// failure prints "Allocation failure." and returns false, filling nothing.
bool build_scene();
void scene_release();
