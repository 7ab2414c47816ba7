#include "zrvScenes.h"

#include <algorithm>
#include <cmath>

namespace zrv {
namespace scenes {

std::vector<triAccel> benchmark_mesh(std::size_t approximate_count) {
    // Eight times as many segments along the knot as around its tube keeps
    // the triangles close to square.
    const double target = double(approximate_count);
    const unsigned int around = std::max(3u, unsigned(std::lround(std::sqrt(target / 16.0))));
    const unsigned int along = std::max(3u, unsigned(std::lround(target / (2.0 * double(around)))));
    return torus_knot(Vec3{0.0f, 0.0f, 0.0f}, 1.0f, 0.15f, 2, 3, along, around);
}

namespace {

// Marks every triangle of an object with its material index (the host word).
std::vector<triAccel> with_material(std::vector<triAccel> triangles, unsigned int material) {
    for (triAccel& t : triangles)
        t.host_word = material;
    return triangles;
}

} // namespace

std::vector<triAccel> default_scene() {
    const std::uint64_t terrain_seed = 0x5EED7E44A1Full;
    const std::uint64_t ground_seed = 0x6A0D5EEDull;
    Mesh scene;
    scene.reserve(1100000);
    // The ground undulates by a few centimetres: a floor that is exactly flat
    // would lie in one plane with the bottom of every cell above it, and the
    // split rules keep such cells whole (thousands of triangles per leaf).
    scene.append(
        with_material(fractal_terrain(Vec3{0.0f, 0.0f, 0.0f}, 60.0f, 0.05f, 200, ground_seed), 0));
    scene.append(with_material(
        fractal_terrain(Vec3{0.0f, 0.5f, -17.0f}, 24.0f, 4.0f, 256, terrain_seed), 6));
    // The knot is built in the xy plane, facing the camera on +z.
    scene.append(with_material(torus_knot(Vec3{0.0f, 6.5f, 0.0f}, 3.0f, 0.6f, 2, 3, 2000, 200), 1));
    const unsigned int sphere_segments[6] = {6, 12, 24, 48, 96, 192};
    const unsigned int sphere_materials[6] = {2, 3, 4, 5, 7, 2};
    for (int i = 0; i < 6; ++i)
        scene.append(with_material(uv_sphere(Vec3{-12.5f + 5.0f * float(i), 1.5f, 9.0f}, 1.5f,
                                             sphere_segments[i], sphere_segments[i] * 2 / 3),
                                   sphere_materials[i]));
    scene.append(with_material(box_grid(Vec3{14.0f, 0.0f, -3.0f}, 6, 3, 2, 0.8f, 1.0f), 4));
    return scene.finalize();
}

SceneView default_scene_view() {
    return SceneView{Vec3{0.0f, 9.0f, 30.0f}, Vec3{0.0f, 4.0f, 0.0f}, Vec3{0.0f, 1.0f, 0.0f},
                     50.0f};
}

} // namespace scenes
} // namespace zrv
