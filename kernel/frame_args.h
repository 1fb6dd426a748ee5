// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the kernel is handed: the scene, one frame's arrays and the two
// kernel-wide bindings. The engine fills them with device addresses once per
// frame; the CPU passes and the CUDA launchers pass them down as they are.

#include <cstdint>

#include "scene/records.h"

// The scene as the kernel receives it. Objects are numbered spheres first,
// then planes. The fast CPU pass also hands a surface table for its lanes to
// look up: row r (surface_stride floats from surface_table + r x stride) holds
// field r of every object in number order: emission x, y, z, colour x, y, z,
// scatter angle, refraction index, then a sphere's centre or a plane's normal.
constexpr uint32_t kSurfaceRows = 11u;
// Scenes of up to this many objects have rows of exactly this many floats.
constexpr uint32_t kSurfaceRegisterObjects = 16u;
// It also hands, for every plane, the coordinate axis its normal lies on
// (0, 1 or 2; kNoAxis for a plane on none) with the constant its parameter
// takes there (kernel/intersect.h, axis_plane).
constexpr uint32_t kNoAxis = 3u;
struct CAxisPlane {
    uint32_t axis;
    float offset;
};
struct CSceneLists {
    const CSphere* sphere_list;
    uint32_t sphere_count;
    const CPlane* plane_list;
    uint32_t plane_count;
    const float* surface_table = nullptr;
    uint32_t surface_stride = 0;
    const CAxisPlane* axis_planes = nullptr;
};

// The two kernel-wide bindings: the device table of unit vectors and the
// per-pixel random states. Each launcher reads them from where its backend
// keeps them (process-wide pointers on the CPU, device variables under CUDA).
struct CRandomBindings {
    const CVector3* normal_list;
    uint32_t* rand_list;
};

// One frame: the scene, the camera rays, and the per-pixel sums, counts and
// display bytes the pass updates.
struct CFrameArgs {
    CSceneLists scene;
    const CRay3* rayList;
    float* buffer;
    uint32_t* cbuffer;
    uint8_t* fbuffer;
};
