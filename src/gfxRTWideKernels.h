// The wide BVH's traversals, compiled once per instruction set from
// gfxRTWideKernels.inc (SSE2 and x86-64-v3) and chosen with the library's
// other hot paths (gfxRTDispatch.cpp). Every version gives the same bits.
#ifndef GFX_RT_WIDE_KERNELS_H
#define GFX_RT_WIDE_KERNELS_H

#include "gfxRTWideBVH.h"
#include "gfxRTWideBVHLayout.h"
#include "gfxRTWideHitLists.h"
#include "gfxRTWideMeshHull.h"
#include "gfxRTWideScene.h"
#include "gfxRTWideSceneLayout.h"

namespace gfx_detail {

// A batch of rays and where their results go (gfxRTWideBVH::intersect_batch
// and occluded_batch): three floats per ray, one result per ray.
struct WideBatch {
    const float* origins;
    const float* directions;
    const float* max_distances; // null: no limit
    float* t;
    int* index;
    float* u; // may be null
    float* v; // may be null
    unsigned char* occluded;
};

// Points and where their closest points go (gfxRTWideBVH::closest_batch).
struct WideClosestBatch {
    const float* points;        // three floats per point
    const float* max_distances; // null: no limit
    gfxRTWideClosestPoint* closest;
};

struct WideKernels {
    bool (*intersect1)(const WideTree& tree, const float* origin, const float* direction,
                       float max_distance, gfxRTWideHit& hit);
    bool (*occluded1)(const WideTree& tree, const float* origin, const float* direction,
                      float max_distance);
    void (*intersect4)(const WideTree& tree, const RayPacket& rays, HitPacket& hits,
                       __m128i& hit_index, const RenderState& state, float max_distance);
    // count packets, each as intersect4 traces it.
    void (*intersect_packets)(const WideTree& tree, const RayPacket* rays, HitPacket* hits,
                              __m128i* hit_index, unsigned int count, const RenderState& state,
                              float max_distance);
    int (*occluded4)(const WideTree& tree, const RayPacket& rays, __m128 max_distance);
    // Rays [begin, end) of a batch.
    void (*intersect_range)(const WideTree& tree, const WideBatch& batch, unsigned int begin,
                            unsigned int end);
    void (*occluded_range)(const WideTree& tree, const WideBatch& batch, unsigned int begin,
                           unsigned int end);
    // The nearest point of the tree's triangles (gfxRTWideClosestKernels.inc).
    bool (*closest1)(const WideTree& tree, const float* point, float max_distance,
                     gfxRTWideClosestPoint& closest);
    // Points [begin, end) of a batch.
    void (*closest_range)(const WideTree& tree, const WideClosestBatch& batch, unsigned int begin,
                          unsigned int end);

    // The same queries over a two-level scene (gfxRTWideScene).
    bool (*scene_intersect1)(const WideSceneView& scene, const float* origin,
                             const float* direction, float max_distance, gfxRTWideSceneHit& hit);
    bool (*scene_occluded1)(const WideSceneView& scene, const float* origin, const float* direction,
                            float max_distance);
    void (*scene_intersect4)(const WideSceneView& scene, const RayPacket& rays, HitPacket& hits,
                             __m128i& hit_index, __m128i& hit_instance, const RenderState& state,
                             float max_distance);
    // count packets, each as scene_intersect4 traces it.
    void (*scene_intersect_packets)(const WideSceneView& scene, const RayPacket* rays,
                                    HitPacket* hits, __m128i* hit_index, __m128i* hit_instance,
                                    unsigned int count, const RenderState& state,
                                    float max_distance);
    int (*scene_occluded4)(const WideSceneView& scene, const RayPacket& rays, __m128 max_distance);
    void (*scene_intersect_range)(const WideSceneView& scene, const WideSceneBatch& batch,
                                  unsigned int begin, unsigned int end);
    void (*scene_occluded_range)(const WideSceneView& scene, const WideSceneBatch& batch,
                                 unsigned int begin, unsigned int end);

    // Every hit of the rays [begin, end) of a batch: counted into
    // batch.counts, or appended to out ray after ray, each ray's hits sorted
    // (false when out cannot grow).
    void (*count_range)(const WideTree& tree, const WideHitBatch& batch, unsigned int begin,
                        unsigned int end);
    bool (*list_range)(const WideTree& tree, const WideHitBatch& batch, unsigned int begin,
                       unsigned int end, HitBuffer& out);
    void (*scene_count_range)(const WideSceneView& scene, const WideHitBatch& batch,
                              unsigned int begin, unsigned int end);
    bool (*scene_list_range)(const WideSceneView& scene, const WideHitBatch& batch,
                             unsigned int begin, unsigned int end, HitBuffer& out);

    // The box of hull's corners carried by an instance's rows
    // (gfxRTWideHullKernels.inc), for bound_instance.
    void (*hull_box)(const MeshHull& hull, const double (&rows)[3][4], double lo[3], double hi[3]);
};

namespace sse2 {
extern const WideKernels wide_kernels;
}
namespace x86_64_v3 {
extern const WideKernels wide_kernels;
}
namespace x86_64_v4 {
extern const WideKernels wide_kernels;
}

// The chosen version; never null (the SSE2 one until the load-time choice).
extern const WideKernels* selected_wide_kernels;

inline const WideKernels& wide_kernels() {
    return *__atomic_load_n(&selected_wide_kernels, __ATOMIC_RELAXED);
}

} // namespace gfx_detail

#endif // GFX_RT_WIDE_KERNELS_H
