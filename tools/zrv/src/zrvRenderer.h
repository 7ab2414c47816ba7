// The ray-traced image: primary rays in 2x2 pixel packets, Lambert shading
// and shadow rays, on several threads that share one KD-tree.
#ifndef ZRV_RENDERER_H
#define ZRV_RENDERER_H

#include "zrvCamera.h"
#include "zrvImage.h"
#include "zrvProgressBar.h"
#include "zrvRenderStatistics.h"
#include "zrvShading.h"

#include <gfxRTKDTree.h>

#include <cstddef>
#include <string>

namespace zrv {

struct RenderSettings {
    int threads = 1; // at most the tree's thread count; worker k uses thread_index k
    Vec3 toward_light{-0.45f, 1.0f, 0.6f}; // any non-zero length
    ShadingParameters shading;
};

// Renders the camera's view of the tree, which was built over the count
// triangles (triangle_id = index in that array). Every pixel's colour depends
// only on the pixel, so the image is the same for any thread count.
// progress may be null. Returns false with a one-line error when the workers
// cannot be started.
bool render_image(const gfxRTKDTree& tree, const triAccel* triangles, std::size_t count,
                  const Camera& camera, const RenderSettings& settings, Image& image,
                  RenderStatistics& statistics, ProgressBar* progress, std::string& error);

} // namespace zrv

#endif // ZRV_RENDERER_H
