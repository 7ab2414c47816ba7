#include "gfxRTWideBVH.h"

#include "gfxLargeBlocks.h"
#include "gfxRTWideAdjacentChildren.h"
#include "gfxRTWideBVHAccess.h"
#include "gfxRTWideBatchChunks.h"
#include "gfxRTWideBVHBuilder.h"
#include "gfxRTWideKernels.h"
#include "gfxRTWideUniformSlop.h"

#include <new>
#include <utility>

using gfx_detail::TriangleBlock;
using gfx_detail::WideNode;

gfxRTWideBVH::gfxRTWideBVH()
    : nodes_(nullptr), blocks_(nullptr), triangle_ids_(nullptr), node_count_(0), block_count_(0),
      input_count_(0), kept_count_(0), leaf_count_(0),
      depth_(0), scene_lo_{0, 0, 0}, scene_hi_{0, 0, 0}, uniform_slop_(0.0f), longest_edge_(0.0f),
      children_adjacent_(false) {}

gfxRTWideBVH::~gfxRTWideBVH() {
    clear();
}

void gfxRTWideBVH::clear() {
    gfx_detail::large_block_free(nodes_);
    gfx_detail::large_block_free(blocks_);
    gfx_detail::large_block_free(triangle_ids_);
    nodes_ = nullptr;
    blocks_ = nullptr;
    triangle_ids_ = nullptr;
    node_count_ = block_count_ = input_count_ = kept_count_ = leaf_count_ = depth_ = 0;
    for (int a = 0; a < 3; ++a)
        scene_lo_[a] = scene_hi_[a] = 0.0f;
    uniform_slop_ = 0.0f;
    longest_edge_ = 0.0f;
    children_adjacent_ = false;
}

void gfxRTWideBVH::swap(gfxRTWideBVH& other) {
    std::swap(nodes_, other.nodes_);
    std::swap(blocks_, other.blocks_);
    std::swap(triangle_ids_, other.triangle_ids_);
    std::swap(node_count_, other.node_count_);
    std::swap(block_count_, other.block_count_);
    std::swap(input_count_, other.input_count_);
    std::swap(kept_count_, other.kept_count_);
    std::swap(leaf_count_, other.leaf_count_);
    std::swap(depth_, other.depth_);
    std::swap(scene_lo_, other.scene_lo_);
    std::swap(scene_hi_, other.scene_hi_);
    std::swap(uniform_slop_, other.uniform_slop_);
    std::swap(longest_edge_, other.longest_edge_);
    std::swap(children_adjacent_, other.children_adjacent_);
}

bool gfxRTWideBVH::build(const triAccel* triangles, unsigned int count, unsigned int threads) {
    clear();
    if (count > MAX_TRIANGLES || (triangles == nullptr && count != 0))
        return false;
    if (count == 0)
        return true;
    if (threads == 0)
        threads = 1;
    if (threads > MAX_BUILD_THREADS)
        threads = MAX_BUILD_THREADS;

    int* const ids =
        static_cast<int*>(gfx_detail::large_block_alloc(std::size_t(count) * sizeof(int)));
    if (ids == nullptr)
        return false;
    gfx_detail::WideBuildOutput out;
    if (!gfx_detail::build_wide_tree(triangles, count, threads, out)) {
        gfx_detail::large_block_free(ids);
        return false;
    }
    input_count_ = count;
    kept_count_ = out.kept;
    if (out.node_count == 0) { // nothing the kernel can hit
        gfx_detail::large_block_free(ids);
        return true;
    }
    for (unsigned int i = 0; i < count; ++i)
        ids[i] = triangles[i].triangle_id;
    nodes_ = out.nodes;
    blocks_ = out.blocks;
    triangle_ids_ = ids;
    node_count_ = out.node_count;
    block_count_ = out.block_count;
    leaf_count_ = out.leaf_count;
    depth_ = out.depth;
    for (int a = 0; a < 3; ++a) {
        scene_lo_[a] = out.scene_lo[a];
        scene_hi_[a] = out.scene_hi[a];
    }
    uniform_slop_ = gfx_detail::wide_uniform_slop(out.nodes, out.node_count);
    longest_edge_ = gfx_detail::wide_longest_edge(out.blocks, out.block_count);
    children_adjacent_ = gfx_detail::wide_children_adjacent(out.nodes, out.node_count);
    return true;
}

bool gfxRTWideBVH::intersect1(const float origin[3], const float direction[3], float max_distance,
                              gfxRTWideHit& hit) const {
    return gfx_detail::wide_kernels().intersect1(gfxRTWideBVHAccess::view(*this), origin, direction,
                                                 max_distance, hit);
}

bool gfxRTWideBVH::occluded1(const float origin[3], const float direction[3],
                             float max_distance) const {
    return gfx_detail::wide_kernels().occluded1(gfxRTWideBVHAccess::view(*this), origin, direction,
                                                max_distance);
}

void gfxRTWideBVH::intersect4(RayPacket& rays, HitPacket& hits, __m128i& hit_index,
                              const RenderState& state, float max_distance) const {
    gfx_detail::wide_kernels().intersect4(gfxRTWideBVHAccess::view(*this), rays, hits, hit_index,
                                          state, max_distance);
}

void gfxRTWideBVH::intersect_packets(const RayPacket* rays, HitPacket* hits, __m128i* hit_index,
                                     unsigned int count, const RenderState& state,
                                     float max_distance) const {
    if (count == 0 || rays == nullptr || hits == nullptr || hit_index == nullptr)
        return;
    gfx_detail::wide_kernels().intersect_packets(gfxRTWideBVHAccess::view(*this), rays, hits,
                                                 hit_index, count, state, max_distance);
}

int gfxRTWideBVH::occluded4(const RayPacket& rays, __m128 max_distance) const {
    return gfx_detail::wide_kernels().occluded4(gfxRTWideBVHAccess::view(*this), rays,
                                                max_distance);
}

void gfxRTWideBVH::intersect_batch(const float* origins, const float* directions,
                                   const float* max_distances, unsigned int count, float* t,
                                   int* index, float* u, float* v, unsigned int threads) const {
    if (count == 0 || origins == nullptr || directions == nullptr || t == nullptr ||
        index == nullptr)
        return;
    const gfx_detail::WideBatch batch{origins, directions, max_distances, t, index, u, v, nullptr};
    gfx_detail::trace_kernel_in_chunks(gfx_detail::wide_kernels().intersect_range,
                                       gfxRTWideBVHAccess::view(*this), batch, count, threads);
}

void gfxRTWideBVH::occluded_batch(const float* origins, const float* directions,
                                  const float* max_distances, unsigned int count,
                                  unsigned char* occluded, unsigned int threads) const {
    if (count == 0 || origins == nullptr || directions == nullptr || occluded == nullptr)
        return;
    const gfx_detail::WideBatch batch{origins, directions, max_distances, nullptr,
                                      nullptr, nullptr,    nullptr,       occluded};
    gfx_detail::trace_kernel_in_chunks(gfx_detail::wide_kernels().occluded_range,
                                       gfxRTWideBVHAccess::view(*this), batch, count, threads);
}

bool gfxRTWideBVH::closest_point(const float point[3], float max_distance,
                                 gfxRTWideClosestPoint& closest) const {
    return gfx_detail::wide_kernels().closest1(gfxRTWideBVHAccess::view(*this), point, max_distance,
                                               closest);
}

void gfxRTWideBVH::closest_batch(const float* points, const float* max_distances,
                                 unsigned int count, gfxRTWideClosestPoint* closest,
                                 unsigned int threads) const {
    if (count == 0 || points == nullptr || closest == nullptr)
        return;
    const gfx_detail::WideClosestBatch batch{points, max_distances, closest};
    gfx_detail::trace_kernel_in_chunks(gfx_detail::wide_kernels().closest_range,
                                       gfxRTWideBVHAccess::view(*this), batch, count, threads);
}

std::size_t gfxRTWideBVH::memory_bytes() const {
    return gfxRTWideBVHAccess::memory_bytes(*this);
}

bool gfxRTWideBVH::bounds(float lo[3], float hi[3]) const {
    if (empty())
        return false;
    for (int a = 0; a < 3; ++a) {
        lo[a] = scene_lo_[a];
        hi[a] = scene_hi_[a];
    }
    return true;
}

gfxRTWideBVHStatistics gfxRTWideBVH::statistics() const {
    return gfxRTWideBVHStatistics{input_count_, kept_count_, node_count_,   leaf_count_,
                                  block_count_, depth_,      memory_bytes()};
}
