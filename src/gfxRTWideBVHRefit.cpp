// Refitting a wide BVH to moved vertices: the tree keeps its nodes, leaves
// and blocks, and everything worked out from the triangles' positions is
// worked out again from the new records, as the build works it out: the
// blocks' copies of the triangles, every child's box (padded by the new
// scene's pad) and slop, the scene's box, the uniform slop and the longest
// edge. A box test is then as conservative as after a build, so the hits
// stay the brute force's; only the tree's quality follows the old shape.
#include "gfxRTWideBVH.h"

#include "gfxPoolJobs.h"
#include "gfxRTWideBVHBuilder.h"
#include "gfxRTWideUniformSlop.h"

#include <cstdint>
#include <limits>
#include <new>

using gfx_detail::TriangleBlock;
using gfx_detail::WideNode;

namespace gfx_detail {
namespace {

const float kInfinity = std::numeric_limits<float>::infinity();

// The box of a child's triangles (unpadded) and their least rounding length.
struct ChildFit {
    float lo[3], hi[3];
    float rounding_length;
};

ChildFit empty_fit() {
    return ChildFit{
        {kInfinity, kInfinity, kInfinity}, {-kInfinity, -kInfinity, -kInfinity}, kInfinity};
}

void merge(ChildFit& into, const ChildFit& fit) {
    for (int a = 0; a < 3; ++a) {
        into.lo[a] = fit.lo[a] < into.lo[a] ? fit.lo[a] : into.lo[a];
        into.hi[a] = fit.hi[a] > into.hi[a] ? fit.hi[a] : into.hi[a];
    }
    into.rounding_length =
        fit.rounding_length < into.rounding_length ? fit.rounding_length : into.rounding_length;
}

void grow(ChildFit& fit, const float* point) {
    for (int a = 0; a < 3; ++a) {
        fit.lo[a] = point[a] < fit.lo[a] ? point[a] : fit.lo[a];
        fit.hi[a] = point[a] > fit.hi[a] ? point[a] : fit.hi[a];
    }
}

bool lane_is_used(const TriangleBlock& block, unsigned int lane) {
    return (block.index[lane] & WIDE_INDEX_MASK) != WIDE_INDEX_MASK;
}

// One bit per input position: whether the tree's blocks hold it.
class HeldTriangles {
public:
    explicit HeldTriangles(unsigned int count)
        : words_(new (std::nothrow) std::uint64_t[std::size_t(count) / 64 + 1]()) {}
    ~HeldTriangles() { delete[] words_; }
    HeldTriangles(const HeldTriangles&) = delete;
    HeldTriangles& operator=(const HeldTriangles&) = delete;

    bool valid() const { return words_ != nullptr; }
    void mark(std::uint32_t i) { words_[i >> 6] |= std::uint64_t(1) << (i & 63); }
    bool held(std::uint32_t i) const { return ((words_[i >> 6] >> (i & 63)) & 1u) != 0; }

private:
    std::uint64_t* words_;
};

// Runs job(begin, end) over ranges of [0, count) on the pool's workers (here
// without a pool); returns the number of ranges, at most kMaxRanges.
const unsigned int kMaxRanges = 64;
template <typename Job>
unsigned int run_ranges(ZrvGfxTaskManager* pool, unsigned int count, const Job& job) {
    const unsigned int kMinRange = 16384;
    unsigned int size = count / kMaxRanges + 1;
    size = size < kMinRange ? kMinRange : size;
    const unsigned int range_count = count / size + (count % size != 0 ? 1u : 0u);
    run_jobs(pool, range_count, [&](unsigned int r) {
        const unsigned int begin = r * size;
        job(r, begin, count - begin < size ? count : begin + size);
    });
    return range_count;
}

// Whether the records' valid triangles are exactly those the tree holds,
// with the valid triangles' box in scene.
bool same_valid_triangles(const triAccel* triangles, unsigned int count, const HeldTriangles& held,
                          ZrvGfxTaskManager* pool, ChildFit& scene) {
    ChildFit boxes[kMaxRanges];
    bool same[kMaxRanges];
    const unsigned int ranges =
        run_ranges(pool, count, [&](unsigned int r, unsigned int begin, unsigned int end) {
            ChildFit box = empty_fit();
            bool all_same = true;
            for (unsigned int i = begin; i < end && all_same; ++i) {
                const triAccel& t = triangles[i];
                const bool valid = wide_triangle_is_valid(t);
                all_same = valid == held.held(i);
                if (valid) {
                    grow(box, t.vertex0);
                    grow(box, t.vertex1);
                    grow(box, t.vertex2);
                }
            }
            boxes[r] = box;
            same[r] = all_same;
        });
    scene = empty_fit();
    for (unsigned int r = 0; r < ranges; ++r) {
        if (!same[r])
            return false;
        merge(scene, boxes[r]);
    }
    return true;
}

// The subtrees the workers refit: those heading nodes at kLevel (the root's
// level being 1), in depth-first order, with their fits once done.
struct RefitPlan {
    static const unsigned int kLevel = 3;
    static const unsigned int kCapacity = 64;
    std::uint32_t root[kCapacity];
    ChildFit fit[kCapacity];
    unsigned int count;
};

class Refitter {
public:
    Refitter(const triAccel* triangles, WideNode* nodes, TriangleBlock* blocks, float pad)
        : triangles_(triangles), nodes_(nodes), blocks_(blocks), pad_(pad) {}

    // Lists the plan's subtrees below node (at level).
    void list_subtrees(std::uint32_t node, unsigned int level, RefitPlan& plan) const {
        const WideNode& n = nodes_[node];
        for (unsigned int k = 0; k < 8 && n.child[k] != WIDE_EMPTY_CHILD; ++k) {
            if (wide_is_leaf(n.child[k]))
                continue;
            if (level + 1 == RefitPlan::kLevel)
                plan.root[plan.count++] = n.child[k];
            else
                list_subtrees(n.child[k], level + 1, plan);
        }
    }

    // Refits node and everything below it (at level); with a plan, its
    // subtrees are taken as refitted already, their fits in the plan's order.
    ChildFit fit_node(std::uint32_t node, unsigned int level, const RefitPlan* plan,
                      unsigned int& next) const {
        WideNode& n = nodes_[node];
        ChildFit whole = empty_fit();
        for (unsigned int k = 0; k < 8 && n.child[k] != WIDE_EMPTY_CHILD; ++k) {
            const std::uint32_t child = n.child[k];
            ChildFit fit;
            if (wide_is_leaf(child))
                fit = fit_leaf(child);
            else if (plan != nullptr && level + 1 == RefitPlan::kLevel)
                fit = plan->fit[next++];
            else
                fit = fit_node(child, level + 1, plan, next);
            set_slot(n, k, fit);
            merge(whole, fit);
        }
        return whole;
    }

private:
    // Rewrites the leaf's lanes from the records, as the build writes them.
    ChildFit fit_leaf(std::uint32_t leaf) const {
        ChildFit fit = empty_fit();
        TriangleBlock* const first = blocks_ + wide_leaf_first(leaf);
        for (TriangleBlock* block = first; block != first + wide_leaf_blocks(leaf); ++block) {
            for (unsigned int lane = 0; lane < 4; ++lane) {
                if (!lane_is_used(*block, lane))
                    continue;
                const std::uint32_t index = block->index[lane] & WIDE_INDEX_MASK;
                const triAccel& tri = triangles_[index];
                const float* const vertices[3] = {tri.vertex0, tri.vertex1, tri.vertex2};
                for (int v = 0; v < 3; ++v) {
                    for (int a = 0; a < 3; ++a)
                        block->vertex[v][a][lane] = vertices[v][a];
                    grow(fit, vertices[v]);
                }
                for (int a = 0; a < 3; ++a)
                    block->normal[a][lane] = tri.normal[a];
                block->index[lane] = index |
                                     (tri.backface_early_out != 0 ? WIDE_BACKFACE_BIT : 0u) |
                                     (tri.casts_shadow != 0 ? WIDE_CASTS_SHADOW_BIT : 0u);
                const float length = wide_rounding_length(tri);
                fit.rounding_length = length < fit.rounding_length ? length : fit.rounding_length;
            }
        }
        return fit;
    }

    void set_slot(WideNode& node, unsigned int k, const ChildFit& fit) const {
        node.slop[k] = wide_slop_of(fit.rounding_length);
        for (int a = 0; a < 3; ++a) {
            node.bounds[2 * a][k] = fit.lo[a] - pad_;
            node.bounds[2 * a + 1][k] = fit.hi[a] + pad_;
        }
    }

    const triAccel* triangles_;
    WideNode* nodes_;
    TriangleBlock* blocks_;
    float pad_;
};

// Below this many triangles a refit runs on the calling thread alone.
const unsigned int kRefitTaskThreshold = 262144;

} // namespace
} // namespace gfx_detail

bool gfxRTWideBVH::refit(const triAccel* triangles, unsigned int count, unsigned int threads) {
    if (count != input_count_ || (triangles == nullptr && count != 0))
        return false;
    WideNode* const nodes = static_cast<WideNode*>(nodes_);
    TriangleBlock* const blocks = static_cast<TriangleBlock*>(blocks_);
    gfx_detail::HeldTriangles held(count);
    if (!held.valid())
        return false;
    for (unsigned int b = 0; b < block_count_; ++b)
        for (unsigned int lane = 0; lane < 4; ++lane)
            if (gfx_detail::lane_is_used(blocks[b], lane))
                held.mark(blocks[b].index[lane] & gfx_detail::WIDE_INDEX_MASK);
    if (threads == 0)
        threads = 1;
    if (threads > MAX_BUILD_THREADS)
        threads = MAX_BUILD_THREADS;
    ZrvGfxTaskManager* const pool = threads > 1 && count >= gfx_detail::kRefitTaskThreshold
                                        ? new (std::nothrow) ZrvGfxTaskManager(threads)
                                        : nullptr;
    gfx_detail::ChildFit scene;
    if (!gfx_detail::same_valid_triangles(triangles, count, held, pool, scene)) {
        delete pool;
        return false;
    }
    if (node_count_ == 0) { // nothing valid, then or now
        delete pool;
        return true;
    }

    const gfx_detail::Refitter refitter(triangles, nodes, blocks,
                                        gfx_detail::wide_box_pad(scene.lo, scene.hi));
    gfx_detail::RefitPlan plan;
    plan.count = 0;
    refitter.list_subtrees(0, 1, plan);
    gfx_detail::run_jobs(pool, plan.count, [&](unsigned int i) {
        unsigned int unused = 0;
        plan.fit[i] =
            refitter.fit_node(plan.root[i], gfx_detail::RefitPlan::kLevel, nullptr, unused);
    });
    unsigned int next = 0;
    refitter.fit_node(0, 1, &plan, next);

    int* const ids = triangle_ids_;
    gfx_detail::run_ranges(pool, count, [&](unsigned int, unsigned int begin, unsigned int end) {
        for (unsigned int i = begin; i < end; ++i)
            ids[i] = triangles[i].triangle_id;
    });
    delete pool;
    for (int a = 0; a < 3; ++a) {
        scene_lo_[a] = scene.lo[a];
        scene_hi_[a] = scene.hi[a];
    }
    uniform_slop_ = gfx_detail::wide_uniform_slop(nodes, node_count_);
    longest_edge_ = gfx_detail::wide_longest_edge(blocks, block_count_);
    return true;
}
