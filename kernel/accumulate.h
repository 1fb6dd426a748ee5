// SPDX-License-Identifier: Apache-2.0
#pragma once
// Accumulation of one path colour into a pixel's running sum and count, and
// the display bytes recomputed from the new average.

#include <cstdint>

#include "kernel/lanes.h"
#include "base/vector3.h"

// A non-finite channel counts as 0, so one bad sample can never poison a
// pixel's sums; then below 0 becomes 0 and above 1 becomes 1.
template <typename F>
VANTREL_HD inline F clamp_channel(F value)
{
    value = lane_select(lane_isfinite(value), value, F(0.0f));
    value = lane_select(value < F(0.0f), F(0.0f), value);
    return lane_select(value > F(1.0f), F(1.0f), value);
}
VANTREL_HD inline float clamp_channel(float value) { return clamp_channel<float>(value); }

// A pixel takes no more samples once it holds this many, and keeps the
// average of those for good. Left to grow, a float sum drifts from its true
// average (a steady sample rounds the same way every time), stops growing at
// 2^24, and the count wraps at 2^32; at 2^18 the average still lies within a
// fraction of a display level (the README's figures). Halving sum and count
// at the cap instead would go on adding where the sum rounds most coarsely.
constexpr uint32_t kSampleCountCap = 1u << 18;

// What a sample changed in its pixel: where it was counted, and there the
// pixel's new sum and count.
template <typename F>
struct CCountedLanes {
    lane_mask_t<F> counted;
    lane_vec3_t<F> sum;
    F count;
};

// The pixels from `first` on (one per lane): adds the samples to the sums and
// counts and fills `added`; false where no lane counted (added is then left
// as it was). Black samples leave no trace: they neither add to the sum nor
// count; nor does any sample of a pixel that holds kSampleCountCap.
template <typename F>
VANTREL_HD inline bool add_sample_lanes(uint32_t first, lane_vec3_t<F> colour, float* buffer, uint32_t* cbuffer,
                                        CCountedLanes<F>& added)
{
    using T = CLaneTraits<F>;
    using M = lane_mask_t<F>;
    const lane_vec3_t<F> sample = {clamp_channel(colour.x), clamp_channel(colour.y), clamp_channel(colour.z)};
    const M lit = !(sample.x == F(0.0f) && sample.y == F(0.0f) && sample.z == F(0.0f));
    if (!lane_any(lit))
        return false;
    const lane_uint_t<F> held = T::load_uint(cbuffer, first);
    const M counted = lit && held < lane_uint_t<F>(kSampleCountCap);
    if (!lane_any(counted))
        return false;
    const lane_uint_t<F> count = held + lane_uint_t<F>(1u);
    T::store_uint(cbuffer, first, counted, count);
    lane_vec3_t<F> sum = T::load_vec3(buffer, first);
    sum.x = sum.x + sample.x;
    sum.y = sum.y + sample.y;
    sum.z = sum.z + sample.z;
    T::store_vec3(buffer, first, counted, sum);
    added = {counted, sum, lane_to_float(count)};
    return true;
}

// The display bytes of the pixels where a sample was counted: 255 x the
// average, truncated.
template <typename F>
VANTREL_HD inline void store_display_lanes(uint32_t first, const CCountedLanes<F>& added, uint8_t* fbuffer)
{
    const F n = added.count;
    const lane_vec3_t<F> level = {lane_div(added.sum.x, n) * F(255.0f), lane_div(added.sum.y, n) * F(255.0f),
                                  lane_div(added.sum.z, n) * F(255.0f)};
    CLaneTraits<F>::store_bytes(fbuffer, first, added.counted, level);
}

// Both steps: sums and counts, then the display bytes.
template <typename F>
VANTREL_HD inline void accumulate_lanes(uint32_t first, lane_vec3_t<F> colour, float* buffer, uint32_t* cbuffer,
                                        uint8_t* fbuffer)
{
    CCountedLanes<F> added;
    if (add_sample_lanes<F>(first, colour, buffer, cbuffer, added))
        store_display_lanes<F>(first, added, fbuffer);
}

VANTREL_HD inline void accumulate_sample(uint32_t i, CVector3 colour, float* buffer, uint32_t* cbuffer,
                                         uint8_t* fbuffer)
{
    accumulate_lanes<float>(i, colour, buffer, cbuffer, fbuffer);
}
