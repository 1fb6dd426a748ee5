// SPDX-License-Identifier: Apache-2.0
#include "engine/cpu/lane_scene.h"

#include <cmath>
#include <cstring>
#include <utility>

CAxisPlane axis_plane(const CPlane& plane)
{
    const float n[3] = {plane.normal.x, plane.normal.y, plane.normal.z};
    for (uint32_t a = 0; a < 3u; ++a)
        if ((n[a] == 1.0f || n[a] == -1.0f) && n[(a + 1u) % 3u] == 0.0f && n[(a + 2u) % 3u] == 0.0f &&
            plane.distance != 0.0f)
            return {a, n[a] == 1.0f ? -plane.distance : plane.distance};
    return {kNoAxis, 0.0f};
}

bool find_wall_box(const CAxisPlane* axis_planes, uint32_t plane_count, CWallBox& box)
{
    if (plane_count != 6u)
        return false;
    uint32_t found[3] = {};
    uint32_t planes[3][2] = {};
    for (uint32_t i = 0; i < plane_count; ++i) {
        const uint32_t axis = axis_planes[i].axis;
        if (axis == kNoAxis || found[axis] == 2u)
            return false;
        planes[axis][found[axis]++] = i;
    }
    for (uint32_t a = 0; a < 3u; ++a) {
        uint32_t low = planes[a][0];
        uint32_t high = planes[a][1];
        if (!std::isfinite(axis_planes[low].offset) || !std::isfinite(axis_planes[high].offset) ||
            axis_planes[low].offset == axis_planes[high].offset)
            return false;
        if (axis_planes[low].offset > axis_planes[high].offset)
            std::swap(low, high);
        box.pair[a] = {axis_planes[low].offset, axis_planes[high].offset, low, high};
    }
    return true;
}

bool CSceneBytes::same_as(const CSceneLists& scene) const
{
    const size_t sphere_bytes = scene.sphere_count * sizeof(CSphere);
    const size_t plane_bytes = scene.plane_count * sizeof(CPlane);
    return bytes_.size() == sphere_bytes + plane_bytes &&
           (sphere_bytes == 0 || std::memcmp(bytes_.data(), scene.sphere_list, sphere_bytes) == 0) &&
           (plane_bytes == 0 || std::memcmp(bytes_.data() + sphere_bytes, scene.plane_list, plane_bytes) == 0);
}

void CSceneBytes::take(const CSceneLists& scene)
{
    const size_t sphere_bytes = scene.sphere_count * sizeof(CSphere);
    const size_t plane_bytes = scene.plane_count * sizeof(CPlane);
    bytes_.resize(sphere_bytes + plane_bytes);
    if (sphere_bytes != 0)
        std::memcpy(bytes_.data(), scene.sphere_list, sphere_bytes);
    if (plane_bytes != 0)
        std::memcpy(bytes_.data() + sphere_bytes, scene.plane_list, plane_bytes);
}

namespace {
constexpr size_t kLineBytes = 64;
constexpr size_t kLineFloats = kLineBytes / sizeof(float);
}  // namespace

const CLaneScene& CLaneSceneCache::for_scene(const CSceneLists& scene)
{
    // The lists may move between frames while their contents stay.
    static_cast<CSceneLists&>(lane_scene_) = scene;
    if (built_ && built_from_.same_as(scene))
        return lane_scene_;
    built_from_.take(scene);
    // Rows padded to whole registers of the widest pass.
    const uint32_t count = scene.sphere_count + scene.plane_count;
    const uint32_t stride = count <= kSurfaceRegisterObjects ? kSurfaceRegisterObjects : (count + 15u) / 16u * 16u;
    // Every row starts on a 64-byte line, so a lane group's lookup in a row
    // never loads across two lines.
    table_.assign(size_t{kSurfaceRows} * stride + kLineFloats, 0.0f);
    const uintptr_t address = reinterpret_cast<uintptr_t>(table_.data());
    float* const rows = table_.data() + (kLineBytes - address % kLineBytes) % kLineBytes / sizeof(float);
    auto put = [&](uint32_t object, const auto& surface, CVector3 geometry) {
        const float fields[kSurfaceRows] = {surface.emission.x, surface.emission.y, surface.emission.z,
                                            surface.color.x,    surface.color.y,    surface.color.z,
                                            surface.scatter_angle, surface.refraction_index,
                                            geometry.x,         geometry.y,         geometry.z};
        for (uint32_t row = 0; row < kSurfaceRows; ++row)
            rows[size_t{row} * stride + object] = fields[row];
    };
    for (uint32_t i = 0; i < scene.sphere_count; ++i)
        put(i, scene.sphere_list[i], scene.sphere_list[i].center);
    for (uint32_t i = 0; i < scene.plane_count; ++i)
        put(scene.sphere_count + i, scene.plane_list[i], scene.plane_list[i].normal);
    axis_planes_.resize(scene.plane_count);
    for (uint32_t i = 0; i < scene.plane_count; ++i)
        axis_planes_[i] = axis_plane(scene.plane_list[i]);
    lane_scene_.surface_table = rows;
    lane_scene_.surface_stride = stride;
    lane_scene_.axis_planes = axis_planes_.data();
    lane_scene_.has_wall_box = find_wall_box(axis_planes_.data(), scene.plane_count, lane_scene_.wall_box);
    built_ = true;
    return lane_scene_;
}
