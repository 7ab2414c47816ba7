// Deterministic procedural scenes for the tests, the benchmarks and the zrv
// renderer: the mesh builder, the shapes, and the composed scenes below.
#ifndef ZRV_SCENES_H
#define ZRV_SCENES_H

#include "zrvSceneMesh.h"
#include "zrvSceneRandom.h"
#include "zrvSceneShapes.h"

#include <cstddef>
#include <vector>

namespace zrv {
namespace scenes {

// A finely tessellated (2, 3) torus knot of about approximate_count
// triangles (within 0.3 % from 10000 up), for benchmarks at chosen sizes.
// The exact count is 2 * along * around with around = round(sqrt(N / 16))
// and along = round(N / (2 * around)), both at least 3.
std::vector<triAccel> benchmark_mesh(std::size_t approximate_count);

// The renderer's showcase, about 1.08 million triangles: a 60 x 60 ground
// around y = 0 (undulating by a few centimetres), a fractal terrain patch
// behind it, a torus knot standing in the middle, a row of six spheres from
// coarse (36 triangles) to fine (48768 triangles) in front, and a stack of
// boxes to the right. The host word of every triangle holds a material index
// per object, which the renderer turns into a colour.
std::vector<triAccel> default_scene();

// A camera that frames default_scene().
struct SceneView {
    Vec3 eye;
    Vec3 look_at;
    Vec3 up;
    float vertical_fov_degrees;
};
SceneView default_scene_view();

} // namespace scenes
} // namespace zrv

#endif // ZRV_SCENES_H
