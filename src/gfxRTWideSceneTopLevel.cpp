#include "gfxRTWideSceneTopLevel.h"

#include "ZrvGfxConcurrency.h"
#include "gfxLargeBlocks.h"
#include "gfxRTWideBVHBinary.h"
#include "gfxRTWideBVHCollapse.h"

#include <cstring>
#include <limits>
#include <new>

namespace gfx_detail {

namespace {

// Writes wide nodes in depth-first order from the binary tree: a binary leaf
// of one instance becomes a leaf child, a binary leaf of several a node with
// one instance per child.
struct TopLevelWriter {
    const BinaryNode* binary;
    const PrimRef* refs;
    const InstanceBounds* bounds;
    WideNode* nodes;
    unsigned int node_count;

    static void set_slot(WideNode& node, unsigned int k, const float* lo, const float* hi,
                         float slop, std::uint32_t ref) {
        set_top_slot(node, k, lo, hi, slop);
        node.child[k] = ref;
    }

    static void clear_slots(WideNode& node, unsigned int from) {
        const float nan = std::numeric_limits<float>::quiet_NaN();
        for (unsigned int k = from; k < 8; ++k) {
            for (int b = 0; b < 6; ++b)
                node.bounds[b][k] = nan;
            node.slop[k] = 0.0f;
            node.child[k] = WIDE_EMPTY_CHILD;
        }
    }

    // Returns the largest slop below the node written.
    float write_group(const BinaryNode& leaf) {
        WideNode& node = nodes[node_count++];
        float slop = 0.0f;
        for (unsigned int k = 0; k < leaf.count; ++k) {
            const std::uint32_t position = leaf.first + k;
            const InstanceBounds& b = bounds[refs[position].index];
            set_slot(node, k, b.lo, b.hi, b.slop, wide_leaf_ref(position, 1));
            slop = b.slop > slop ? b.slop : slop;
        }
        clear_slots(node, leaf.count);
        return slop;
    }

    float write_node(std::uint32_t root) {
        WideNode& node = nodes[node_count++];
        std::uint32_t children[8];
        const unsigned int n = collect_children(binary, root, children);
        float slop = 0.0f;
        for (unsigned int k = 0; k < n; ++k) {
            const BinaryNode& c = binary[children[k]];
            float below;
            std::uint32_t ref;
            if (c.count == 1) {
                below = bounds[refs[c.first].index].slop;
                ref = wide_leaf_ref(c.first, 1);
            } else {
                ref = node_count;
                below = c.count != 0 ? write_group(c) : write_node(children[k]);
            }
            set_slot(node, k, c.lo, c.hi, below, ref);
            slop = below > slop ? below : slop;
        }
        clear_slots(node, n);
        return slop;
    }
};

// The union of node's used slots and their largest slop.
void union_of_slots(const WideNode& node, float* lo, float* hi, float& slop) {
    const float inf = std::numeric_limits<float>::infinity();
    for (int a = 0; a < 3; ++a) {
        lo[a] = inf;
        hi[a] = -inf;
    }
    slop = 0.0f;
    for (unsigned int k = 0; k < 8 && node.child[k] != WIDE_EMPTY_CHILD; ++k) {
        for (int a = 0; a < 3; ++a) {
            lo[a] = node.bounds[2 * a][k] < lo[a] ? node.bounds[2 * a][k] : lo[a];
            hi[a] = node.bounds[2 * a + 1][k] > hi[a] ? node.bounds[2 * a + 1][k] : hi[a];
        }
        slop = node.slop[k] > slop ? node.slop[k] : slop;
    }
}

} // namespace

void set_top_slot(WideNode& node, unsigned int k, const float* lo, const float* hi, float slop) {
    for (int a = 0; a < 3; ++a) {
        node.bounds[2 * a][k] = lo[a];
        node.bounds[2 * a + 1][k] = hi[a];
    }
    node.slop[k] = slop;
}

void set_top_slot_to_node(WideNode& node, unsigned int k, const WideNode& child) {
    float lo[3], hi[3], slop;
    union_of_slots(child, lo, hi, slop);
    set_top_slot(node, k, lo, hi, slop);
}

void finish_refit(TopLevel& top) {
    if (top.node_count == 0)
        return;
    float slop;
    union_of_slots(top.nodes[0], top.scene_lo, top.scene_hi, slop);
}

void free_top_level(TopLevel& top) {
    large_block_free(top.nodes);
    large_block_free(top.placed);
    top = TopLevel{nullptr, nullptr, 0, 0, {0, 0, 0}, {0, 0, 0}, 0, 0.0};
}

bool build_top_level(const PlacedInstance* instances, const InstanceBounds* bounds,
                     unsigned int count, unsigned int threads, TopLevel& top) {
    if (count == 0) {
        free_top_level(top);
        return true;
    }
    if (count > top.capacity)
        free_top_level(top);
    if (top.nodes == nullptr) {
        top.nodes = static_cast<WideNode*>(large_block_alloc(count * sizeof(WideNode)));
        top.placed =
            static_cast<PlacedInstance*>(large_block_alloc(count * sizeof(PlacedInstance)));
        top.capacity = count;
    }
    PrimRef* const refs = static_cast<PrimRef*>(scratch_block_alloc(count * sizeof(PrimRef)));
    BinaryNode* const binary = static_cast<BinaryNode*>(
        scratch_block_alloc((2 * std::size_t(count) - 1) * sizeof(BinaryNode)));
    if (refs == nullptr || binary == nullptr || top.nodes == nullptr || top.placed == nullptr) {
        large_block_free(refs);
        large_block_free(binary);
        free_top_level(top);
        return false;
    }
    WideNode* const nodes = top.nodes;
    PlacedInstance* const placed = top.placed;
    Box box = empty_box(), centroids = empty_box();
    for (unsigned int i = 0; i < count; ++i) {
        PrimRef& r = refs[i];
        std::memcpy(r.lo, bounds[i].lo, sizeof r.lo);
        std::memcpy(r.hi, bounds[i].hi, sizeof r.hi);
        r.index = i;
        r.rounding_length = 0.0f;
        grow(box, ref_lo(r), ref_hi(r));
        const __m128 c = ref_centroid2(r);
        grow(centroids, c, c);
    }
    ZrvGfxTaskManager* pool = threads > 1 && count >= kBinaryTaskThreshold
                                  ? new (std::nothrow) ZrvGfxTaskManager(threads)
                                  : nullptr;
    build_binary_tree(refs, count, box, centroids, 0, binary, pool);
    delete pool;

    TopLevelWriter writer{binary, refs, bounds, nodes, 0};
    if (binary[0].count != 0)
        writer.write_group(binary[0]);
    else
        writer.write_node(0);
    for (unsigned int i = 0; i < count; ++i)
        placed[i] = instances[refs[i].index];
    alignas(16) float lo[4], hi[4];
    _mm_store_ps(lo, box.lo);
    _mm_store_ps(hi, box.hi);
    large_block_free(refs);
    large_block_free(binary);
    top.node_count = writer.node_count;
    top.placed_count = count;
    for (int a = 0; a < 3; ++a) {
        top.scene_lo[a] = lo[a];
        top.scene_hi[a] = hi[a];
    }
    top.built_cost = top_level_cost(top);
    return true;
}

namespace {

// Half the surface area of the box lo..hi, in double.
double half_area(const float* lo, const float* hi) {
    const double x = double(hi[0]) - lo[0], y = double(hi[1]) - lo[1], z = double(hi[2]) - lo[2];
    return x * y + y * z + z * x;
}

} // namespace

double top_level_cost(const TopLevel& top) {
    double slots = 0.0;
    unsigned int count = 0;
    for (unsigned int n = 0; n < top.node_count; ++n) {
        const WideNode& node = top.nodes[n];
        for (unsigned int k = 0; k < 8 && node.child[k] != WIDE_EMPTY_CHILD; ++k) {
            const float lo[3] = {node.bounds[0][k], node.bounds[2][k], node.bounds[4][k]};
            const float hi[3] = {node.bounds[1][k], node.bounds[3][k], node.bounds[5][k]};
            slots += half_area(lo, hi);
            ++count;
        }
    }
    const double scene = half_area(top.scene_lo, top.scene_hi);
    // A flat or single-point scene: every slot is entered.
    return scene > 0.0 && scene < std::numeric_limits<double>::infinity() ? slots / scene
                                                                          : double(count);
}

} // namespace gfx_detail
