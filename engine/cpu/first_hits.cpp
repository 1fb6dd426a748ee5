// SPDX-License-Identifier: Apache-2.0
#include "engine/cpu/first_hits.h"

#include <cstdlib>

#include "base/image_size.h"

void CFirstHits::CFree::operator()(float* p) const { std::free(p); }

CFirstHits::CUse CFirstHits::use_for(const CFrameArgs& frame)
{
    if (ready_ && scene_.same_as(frame.scene) && rays_ == frame.rayList)
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
    scene_.take(frame.scene);
    return {fields_.get(), false};
}
