// SPDX-License-Identifier: Apache-2.0
#pragma once
// The scene as the CPU lanes read it: besides the kernel's lists, a surface
// table that a lane group looks its objects' fields up in with one register
// permutation, and each plane's coordinate axis for a shorter test. Built
// once for a scene and kept until the scene's bytes change.

#include <cstdint>
#include <vector>

#include "kernel/frame_args.h"

// Row r of the surface table (surface_stride floats from surface_table + r x
// stride) holds field r of every object in number order: emission x, y, z,
// colour x, y, z, scatter angle, refraction index, then a sphere's centre or
// a plane's normal.
constexpr uint32_t kSurfaceRows = 11u;
// Scenes of up to this many objects have rows of exactly this many floats.
constexpr uint32_t kSurfaceRegisterObjects = 16u;

// A plane whose normal is a coordinate axis, +1 or -1 there and 0 in the
// other two components, and whose distance is not 0: there, wherever the
// segment is finite, intersect_plane's parameter -(d + n . S) / (n . D) is
// (-s d - S_a) / D_a to the bit (s the sign, S_a and D_a the start's and
// span's coordinate on the axis), since the zero components add exact zeros
// to both dot products and +1 or -1 multiplies exactly. Where D_a is 0 both
// are infinite or NaN, which no range test accepts. A distance of 0 is left
// out: a zero numerator's sign could then differ.
constexpr uint32_t kNoAxis = 3u;
struct CAxisPlane {
    uint32_t axis;  // 0, 1 or 2; kNoAxis for a plane on none
    float offset;   // -s d, the coordinate the plane takes on its axis
};
CAxisPlane axis_plane(const CPlane& plane);

// Planes that are the walls of a box: on each coordinate axis exactly two
// axis planes, at different coordinates, and no other plane. A segment that
// starts strictly between every pair can meet only the wall of each pair its
// span points at: the other's parameter is negative.
struct CWallPair {
    float low;             // the lower wall's coordinate on the axis
    float high;            // the upper wall's, above low
    uint32_t low_plane;    // their numbers in the plane list
    uint32_t high_plane;
};
struct CWallBox {
    CWallPair pair[3];  // by axis
};
// Whether the planes are such walls, and then which.
bool find_wall_box(const CAxisPlane* axis_planes, uint32_t plane_count, CWallBox& box);

struct CLaneScene : CSceneLists {
    const float* surface_table;
    uint32_t surface_stride;
    const CAxisPlane* axis_planes;
    bool has_wall_box;  // whether the planes are the walls of a box, wall_box
    CWallBox wall_box;
};

// The bytes of a scene's spheres and planes, to tell when it changes.
class CSceneBytes {
public:
    bool same_as(const CSceneLists& scene) const;
    void take(const CSceneLists& scene);

private:
    std::vector<unsigned char> bytes_;
};

// Keeps the lane-ready form of the scene it was last handed, and builds it
// anew only when the scene's bytes change.
class CLaneSceneCache {
public:
    const CLaneScene& for_scene(const CSceneLists& scene);

private:
    CSceneBytes built_from_;
    std::vector<float> table_;
    std::vector<CAxisPlane> axis_planes_;
    CLaneScene lane_scene_{};
    bool built_ = false;
};
