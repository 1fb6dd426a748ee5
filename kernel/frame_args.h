// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the kernel is handed: the scene, one frame's arrays and the two
// kernel-wide bindings. The engine fills them with device addresses once per
// frame; the CPU passes and the CUDA launchers pass them down as they are.

#include <cstdint>

#include "scene/records.h"

// The scene as the kernel receives it. Objects are numbered spheres first,
// then planes.
struct CSceneLists {
    const CSphere* sphere_list;
    uint32_t sphere_count;
    const CPlane* plane_list;
    uint32_t plane_count;
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
