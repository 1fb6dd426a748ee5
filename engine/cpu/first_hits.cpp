// SPDX-License-Identifier: Apache-2.0
#include "engine/cpu/first_hits.h"

#include <cstdlib>
#include <cstring>

#include "scene/image_size.h"

void CFirstHits::CFree::operator()(float* p) const { std::free(p); }

CFirstHits::CUse CFirstHits::use_for(const CFrameArgs& frame)
{
    const CSceneLists& scene = frame.scene;
    const size_t sphere_bytes = scene.sphere_count * sizeof(CSphere);
    const size_t plane_bytes = scene.plane_count * sizeof(CPlane);
    const bool same_scene =
        scene_.size() == sphere_bytes + plane_bytes &&
        (sphere_bytes == 0 || std::memcmp(scene_.data(), scene.sphere_list, sphere_bytes) == 0) &&
        (plane_bytes == 0 || std::memcmp(scene_.data() + sphere_bytes, scene.plane_list, plane_bytes) == 0);
    if (ready_ && same_scene && rays_ == frame.rayList)
        return {fields_.get(), true};
    ready_ = false;
    if (!fields_) {
        const size_t bytes = size_t{kPixelCount} * kFirstHitFields * sizeof(float);
        fields_.reset(static_cast<float*>(std::aligned_alloc(64, bytes)));
        // Without the memory the passes search every frame's first bounce.
        if (!fields_)
            return {nullptr, false};
    }
    rays_ = frame.rayList;
    scene_.resize(sphere_bytes + plane_bytes);
    if (sphere_bytes != 0)
        std::memcpy(scene_.data(), scene.sphere_list, sphere_bytes);
    if (plane_bytes != 0)
        std::memcpy(scene_.data() + sphere_bytes, scene.plane_list, plane_bytes);
    return {fields_.get(), false};
}
