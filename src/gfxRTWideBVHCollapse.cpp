#include "gfxRTWideBVHCollapse.h"

#include "ZrvGfxConcurrency.h"

#include <cmath>
#include <limits>
#include <new>

namespace gfx_detail {

namespace {

// The children of a wide node: binary nodes below one inner node, opened
// largest area first until there are eight or none can be opened.
unsigned int collect_children(const BinaryNode* nodes, std::uint32_t root,
                              std::uint32_t (&children)[8]) {
    unsigned int n = 2;
    children[0] = nodes[root].first;
    children[1] = nodes[root].second;
    while (n < 8) {
        int widest = -1;
        float widest_area = -1.0f;
        for (unsigned int k = 0; k < n; ++k) {
            const BinaryNode& c = nodes[children[k]];
            if (c.count == 0 && c.area > widest_area) {
                widest = int(k);
                widest_area = c.area;
            }
        }
        if (widest < 0)
            break;
        const BinaryNode& opened = nodes[children[widest]];
        children[widest] = opened.first;
        children[n++] = opened.second;
    }
    return n;
}

// The box of child slot k: the binary node's, padded, or NaN for an unused
// slot (null), which no box test passes.
void set_child_box(WideNode& node, unsigned int k, const BinaryNode* child, float pad) {
    if (child == nullptr) {
        wide_clear_slot(node, k);
        return;
    }
    // Rounded up by the division's rounding at most; a shortest edge of a
    // denormal length gives the largest float rather than infinity.
    const float slop = WIDE_SLOP_FACTOR / child->shortest_edge;
    node.slop[k] = slop < std::numeric_limits<float>::max()
                       ? std::nextafter(slop, std::numeric_limits<float>::max())
                       : std::numeric_limits<float>::max();
    for (int a = 0; a < 3; ++a) {
        node.bounds[2 * a][k] = child->lo[a] - pad;
        node.bounds[2 * a + 1][k] = child->hi[a] + pad;
    }
}

WideTreeSize measure_subtree(const BinaryNode* binary, std::uint32_t root) {
    std::uint32_t children[8];
    const unsigned int n = collect_children(binary, root, children);
    WideTreeSize size{1, 0};
    for (unsigned int k = 0; k < n; ++k) {
        const BinaryNode& c = binary[children[k]];
        if (c.count != 0) {
            size.blocks += blocks_for(c.count);
        } else {
            const WideTreeSize below = measure_subtree(binary, children[k]);
            size.nodes += below.nodes;
            size.blocks += below.blocks;
        }
    }
    return size;
}

// Writes wide nodes and blocks from the next free ones on.
struct Collapser {
    const BinaryNode* binary;
    const PrimRef* refs;
    const triAccel* triangles;
    WideNode* nodes;
    TriangleBlock* blocks;
    float pad;
    unsigned int node_count; // the next node and block to write

    unsigned int block_count;
    unsigned int leaf_count;
    unsigned int depth;

    void write_leaf(const BinaryNode& leaf) {
        const unsigned int n = leaf.count;
        for (unsigned int first = 0; first < n; first += 4) {
            TriangleBlock& block = blocks[block_count++];
            for (unsigned int lane = 0; lane < 4; ++lane) {
                if (first + lane < n) {
                    const std::uint32_t index = refs[leaf.first + first + lane].index;
                    const triAccel& tri = triangles[index];
                    const float* const vertices[3] = {tri.vertex0, tri.vertex1, tri.vertex2};
                    for (int k = 0; k < 3; ++k)
                        for (int a = 0; a < 3; ++a)
                            block.vertex[k][a][lane] = vertices[k][a];
                    for (int a = 0; a < 3; ++a)
                        block.normal[a][lane] = tri.normal[a];
                    block.index[lane] = index |
                                        (tri.backface_early_out != 0 ? WIDE_BACKFACE_BIT : 0u) |
                                        (tri.casts_shadow != 0 ? WIDE_CASTS_SHADOW_BIT : 0u);
                } else {
                    wide_clear_lane(block, lane);
                }
            }
        }
    }

    // Writes the wide node made of the binary inner node root, then the
    // nodes below it, in depth-first order.
    void write_node(std::uint32_t root, unsigned int level) {
        const unsigned int index = node_count++;
        if (level > depth)
            depth = level;
        std::uint32_t children[8];
        const unsigned int n = collect_children(binary, root, children);
        for (unsigned int k = 0; k < 8; ++k) {
            WideNode& node = nodes[index];
            set_child_box(node, k, k < n ? &binary[children[k]] : nullptr, pad);
            if (k >= n)
                continue;
            const BinaryNode& c = binary[children[k]];
            if (c.count != 0) {
                node.child[k] = wide_leaf_ref(block_count, blocks_for(c.count));
                ++leaf_count;
                write_leaf(c);
            } else {
                node.child[k] = node_count;
                write_node(children[k], level + 1);
            }
        }
    }
};

// What writing one subtree found.
struct SubtreeTotals {
    unsigned int leaves = 0;
    unsigned int depth = 0;
};

// One subtree below the root, written by a worker into its own ranges.
class CollapseTask : public ZrvGfxRunnableTask {
public:
    CollapseTask(const Collapser& collapser, std::uint32_t root, SubtreeTotals& totals)
        : collapser_(collapser), root_(root), totals_(totals) {}
    void run(unsigned int) override {
        collapser_.write_node(root_, 2);
        totals_.leaves = collapser_.leaf_count;
        totals_.depth = collapser_.depth;
    }

private:
    Collapser collapser_;
    std::uint32_t root_;
    SubtreeTotals& totals_;
};

} // namespace

WideTreeSize measure_wide_tree(const BinaryNode* binary) {
    if (binary[0].count != 0)
        return WideTreeSize{1, blocks_for(binary[0].count)};
    return measure_subtree(binary, 0);
}

unsigned int collapse_wide_tree(const CollapseSource& source, WideNode* nodes,
                                TriangleBlock* blocks, ZrvGfxTaskManager* pool,
                                unsigned int& leaves) {
    const BinaryNode* const binary = source.binary;
    Collapser root{binary, source.refs, source.triangles, nodes, blocks, source.pad, 0, 0, 0, 1};
    if (binary[0].count != 0) {
        // One leaf: a root node with it as its only child.
        root.node_count = 1;
        set_child_box(nodes[0], 0, &binary[0], source.pad);
        nodes[0].child[0] = wide_leaf_ref(0, blocks_for(binary[0].count));
        for (unsigned int k = 1; k < 8; ++k)
            set_child_box(nodes[0], k, nullptr, source.pad);
        root.write_leaf(binary[0]);
        leaves = 1;
        return 1;
    }
    if (pool == nullptr) {
        root.write_node(0, 1);
        leaves = root.leaf_count;
        return root.depth;
    }

    // The root node here, its subtrees by the workers: each starts at the
    // node and block that the depth-first order gives it.
    std::uint32_t children[8];
    const unsigned int n = collect_children(binary, 0, children);
    root.node_count = 1;
    SubtreeTotals totals[8];
    for (unsigned int k = 0; k < 8; ++k) {
        set_child_box(nodes[0], k, k < n ? &binary[children[k]] : nullptr, source.pad);
        if (k >= n)
            continue;
        const BinaryNode& c = binary[children[k]];
        if (c.count != 0) {
            nodes[0].child[k] = wide_leaf_ref(root.block_count, blocks_for(c.count));
            root.write_leaf(c);
            totals[k].leaves = 1;
            continue;
        }
        nodes[0].child[k] = root.node_count;
        Collapser part = root;
        part.leaf_count = 0;
        part.depth = 0;
        CollapseTask* task = new (std::nothrow) CollapseTask(part, children[k], totals[k]);
        if (task != nullptr)
            pool->add_task(task);
        else
            CollapseTask(part, children[k], totals[k]).run(0);
        const WideTreeSize size = measure_subtree(binary, children[k]);
        root.node_count += size.nodes;
        root.block_count += size.blocks;
    }
    pool->run_tasks_and_wait();
    unsigned int depth = 1;
    leaves = 0;
    for (const SubtreeTotals& t : totals) {
        leaves += t.leaves;
        depth = t.depth > depth ? t.depth : depth;
    }
    return depth;
}

} // namespace gfx_detail
