#pragma once
// Accumulation of one path colour into a pixel's running sum and count, and
// the display bytes recomputed from the new average.

#include <cstdint>

#include "scene/vector3.h"

// A non-finite channel counts as 0, so one bad sample can never poison a
// pixel's sums; then below 0 becomes 0 and above 1 becomes 1.
VANTREL_HD inline float clamp_channel(float value)
{
    if (!kernel_isfinite(value))
        return 0.0f;
    if (value < 0.0f)
        value = 0.0f;
    if (value > 1.0f)
        value = 1.0f;
    return value;
}

// Black samples leave no trace: they neither add to the sum nor count.
VANTREL_HD inline void accumulate_sample(uint32_t i, CVector3 colour, float* buffer, uint32_t* cbuffer,
                                         uint8_t* fbuffer)
{
    const float sample[3] = {clamp_channel(colour.x), clamp_channel(colour.y), clamp_channel(colour.z)};
    if (sample[0] == 0.0f && sample[1] == 0.0f && sample[2] == 0.0f)
        return;
    uint32_t count = cbuffer[i] + 1u;
    cbuffer[i] = count;
    float* sum = buffer + 3u * i;
    for (int ch = 0; ch < 3; ++ch)
        sum[ch] += sample[ch];
    const float n = static_cast<float>(count);
    for (int ch = 0; ch < 3; ++ch)
        fbuffer[3u * i + ch] = static_cast<uint8_t>(static_cast<uint32_t>(kernel_div(sum[ch], n) * 255.0f));
}
