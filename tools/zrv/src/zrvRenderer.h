// The ray-traced image: primary rays in 2x2 pixel packets, Lambert shading,
// shadow rays and ambient occlusion, on several threads that share one
// acceleration structure.
#ifndef ZRV_RENDERER_H
#define ZRV_RENDERER_H

#include "zrvCamera.h"
#include "zrvImage.h"
#include "zrvProgressBar.h"
#include "zrvRenderStatistics.h"
#include "zrvSceneStructure.h"
#include "zrvShading.h"

#include <cstddef>
#include <string>

namespace zrv {

// Sample counts of ambient occlusion: the sizes of the library's ordered
// hemisphere sample sets.
constexpr int ao_sample_counts[] = {8, 16, 36, 64, 128};

struct RenderSettings {
    int threads = 1; // at most the tree's thread count; worker k uses thread_index k
    Vec3 toward_light{-0.45f, 1.0f, 0.6f}; // any non-zero length
    ShadingParameters shading;
    int ao_samples = 0;       // 0: no ambient occlusion; else one of ao_sample_counts
    float ao_distance = 0.0f; // occluders farther than this do not count; 0: a fiftieth of
                              // the scene's diagonal
};

// Renders the camera's view of the structure, which was built over the count
// triangles (triangle_id = index in that array), or for a wide scene over
// its own meshes (count 0). Every pixel's colour depends
// only on the pixel, so the image is the same for any thread count.
// progress may be null. Returns false with a one-line error when the workers
// cannot be started.
bool render_image(const SceneStructure& structure, const triAccel* triangles, std::size_t count,
                  const Camera& camera, const RenderSettings& settings, Image& image,
                  RenderStatistics& statistics, ProgressBar* progress, std::string& error);

} // namespace zrv

#endif // ZRV_RENDERER_H
