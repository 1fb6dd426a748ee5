// SPDX-License-Identifier: Apache-2.0
#include "scene/built_in_scene.h"

#include <cstdio>
#include <new>

#include "scene/host_random.h"
#include "base/image_size.h"

std::unique_ptr<CSphere[]> g_spheres;
std::unique_ptr<CPlane[]> g_planes;
std::unique_ptr<uint32_t[]> seed_list;

namespace {
void set_sphere(CSphere& sphere, CVector3 color, float scatter_angle, float radius, CVector3 center)
{
    sphere.color = color;
    sphere.scatter_angle = scatter_angle;
    sphere.radius = radius;
    sphere.center = center;
}

// Every plane normal handed to the kernel is normalised here; the kernel uses
// plane normals as they are.
void set_plane(CPlane& plane, CVector3 emission, CVector3 color, CVector3 normal, float distance)
{
    plane.emission = emission;
    plane.color = color;
    plane.normal = vec3_normalize(normal);
    plane.distance = distance;
}
}  // namespace

bool build_scene()
{
    g_planes.reset(new (std::nothrow) CPlane[kPlaneCount]);
    g_spheres.reset(new (std::nothrow) CSphere[kSphereCount]);
    seed_list.reset(new (std::nothrow) uint32_t[kPixelCount]);
    if (!g_planes || !g_spheres || !seed_list) {
        std::printf("Allocation failure.\n");
        return false;
    }
    // The seeds take their draws before anything else; the scene draws none.
    fill_seed_list(seed_list.get());

    set_sphere(g_spheres[0], {1.0f, 1.0f, 0.0f}, 0.0f, 15.0f, {-20.0f, -35.0f, -70.0f});  // yellow mirror, left
    set_sphere(g_spheres[1], {1.0f, 0.1f, 0.1f}, 0.0f, 15.0f, {20.0f, -35.0f, -80.0f});   // red mirror, right
    set_sphere(g_spheres[2], {1.0f, 1.0f, 1.0f}, kDiffuseScatterAngle, 10.0f, {0.0f, -40.0f, -90.0f});  // white ball

    const CVector3 none = {0.0f, 0.0f, 0.0f};
    const CVector3 grey = {0.75f, 0.75f, 0.75f};
    set_plane(g_planes[0], none, grey, {0.0f, 0.0f, 1.0f}, 100.0f);                     // back wall
    set_plane(g_planes[1], none, grey, {0.0f, 1.0f, 0.0f}, 50.0f);                      // floor
    set_plane(g_planes[2], none, {1.0f, 0.5f, 0.5f}, {1.0f, 0.0f, 0.0f}, 50.0f);        // left wall, red
    set_plane(g_planes[3], none, {0.5f, 0.5f, 1.0f}, {-1.0f, 0.0f, 0.0f}, 50.0f);       // right wall, blue
    set_plane(g_planes[4], none, grey, {0.0f, 0.0f, -1.0f}, 1.0f);                      // behind the camera
    set_plane(g_planes[5], {3.0f, 3.0f, 3.0f}, {1.0f, 1.0f, 1.0f}, {0.0f, -1.0f, 0.0f}, 30.0f);  // ceiling light
    return true;
}

void scene_release()
{
    g_spheres.reset();
    g_planes.reset();
    seed_list.reset();
}
