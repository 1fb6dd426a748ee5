// SPDX-License-Identifier: Apache-2.0
#pragma once
// What every pixel's first segment meets. The engine hands the device the
// camera's rays once, and the scene is the same from frame to frame, so the
// first bounce's search, its hit point, the surface's normal there and the
// direction the surface sends the path before any random draw come out the
// same bits every frame. The tiled lane passes work them out in the first
// frame, keep them here, and from then on start each path from them: only the
// random part of the first bounce is left to do.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/cpu/lane_scene.h"
#include "kernel/frame_args.h"

// The fields kept for a pixel: the number of the object met plus one (0: none,
// the bits of a uint32_t), then the hit point, the normal and the direction
// before any random draw, three floats each.
enum CFirstHitField : uint32_t { kFirstHitObject, kFirstHitPoint, kFirstHitNormal = 4u, kFirstHitBase = 7u };
constexpr uint32_t kFirstHitFields = 10u;
// Stored a block of this many neighbouring pixels at a time, field after
// field: one lane group of the widest pass reads one run of bytes.
constexpr uint32_t kFirstHitBlock = 16u;

// Where field `field` of pixel `p` and the pixels after it in its block lie.
inline size_t first_hit_offset(uint32_t p, uint32_t field)
{
    return (size_t{p} / kFirstHitBlock * kFirstHitFields + field) * kFirstHitBlock + p % kFirstHitBlock;
}

class CFirstHits {
public:
    // Where the pass finds or leaves the first hits for `frame`: ready when
    // they were filled for the same rays and the same scene. Otherwise the
    // pass is to fill them and call filled() once it has finished (fields is
    // null where their 12.3 MB could not be had: nothing to fill).
    struct CUse {
        float* fields;
        bool ready;
    };
    CUse use_for(const CFrameArgs& frame);
    void filled() { ready_ = true; }
    // The rays at `rays` are about to change.
    void rays_change(const void* rays)
    {
        if (rays == rays_)
            ready_ = false;
    }

private:
    struct CFree {
        void operator()(float* p) const;
    };
    std::unique_ptr<float[], CFree> fields_;
    const CRay3* rays_ = nullptr;
    CSceneBytes scene_;  // the scene the hits were found in
    bool ready_ = false;
};
