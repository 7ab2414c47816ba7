#include "gfxRTWideBVHCollapse.h"

#include "gfxPoolJobs.h"

#include <cmath>
#include <limits>
#include <new>

namespace gfx_detail {

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
    // Inner children first, each group in the order found: a node's inner
    // children then take consecutive nodes in slot order (write_node).
    std::uint32_t leaves[8];
    unsigned int inner = 0, leaf = 0;
    for (unsigned int k = 0; k < n; ++k) {
        if (nodes[children[k]].count == 0)
            children[inner++] = children[k];
        else
            leaves[leaf++] = children[k];
    }
    for (unsigned int k = 0; k < leaf; ++k)
        children[inner + k] = leaves[k];
    return n;
}

namespace {

// The box of child slot k: the binary node's, padded, or NaN for an unused
// slot (null), which no box test passes.
void set_child_box(WideNode& node, unsigned int k, const BinaryNode* child, float pad) {
    if (child == nullptr) {
        wide_clear_slot(node, k);
        return;
    }
    node.slop[k] = wide_slop_of(child->rounding_length);
    for (int a = 0; a < 3; ++a) {
        node.bounds[2 * a][k] = child->lo[a] - pad;
        node.bounds[2 * a + 1][k] = child->hi[a] + pad;
    }
}

// The least rounding length of a binary leaf's triangles.
float rounding_length_of(const BinaryNode& leaf, const PrimRef* refs) {
    float shortest = std::numeric_limits<float>::infinity();
    for (std::uint32_t i = leaf.first; i < leaf.first + leaf.count; ++i)
        shortest = refs[i].rounding_length < shortest ? refs[i].rounding_length : shortest;
    return shortest;
}

// What the wide subtree of a binary inner node needs, and the least
// rounding length below it.
struct SubtreeMeasure {
    WideTreeSize size;
    float rounding_length;
};

void add_child(SubtreeMeasure& measure, const BinaryNode& child, const WideTreeSize& size) {
    measure.size.nodes += size.nodes;
    measure.size.blocks += size.blocks;
    if (child.rounding_length < measure.rounding_length)
        measure.rounding_length = child.rounding_length;
}

// Where a walk over the wide levels stops at the plan's subtrees (those
// heading wide nodes at WideCollapsePlan::kLevel), taking them in the order
// they were listed. Without a plan, a walk goes all the way down.
struct PlanCursor {
    const WideCollapsePlan* plan;
    unsigned int next;

    bool stops_at(unsigned int level) const {
        return plan != nullptr && level == WideCollapsePlan::kLevel;
    }
};

// Measures the wide subtree of the inner node root (a wide node at level)
// and sets the rounding length of every binary node that becomes one of its
// child slots; the plan's subtrees it meets were measured already.
SubtreeMeasure measure_subtree(BinaryNode* binary, const PrimRef* refs, std::uint32_t root,
                               unsigned int level, PlanCursor& cursor) {
    std::uint32_t children[8];
    const unsigned int n = collect_children(binary, root, children);
    SubtreeMeasure measure{{1, 0}, std::numeric_limits<float>::infinity()};
    for (unsigned int k = 0; k < n; ++k) {
        BinaryNode& c = binary[children[k]];
        if (c.count != 0) {
            c.rounding_length = rounding_length_of(c, refs);
            add_child(measure, c, WideTreeSize{0, blocks_for(c.count)});
        } else if (cursor.stops_at(level + 1)) {
            add_child(measure, c, cursor.plan->size[cursor.next++]);
        } else {
            const SubtreeMeasure below =
                measure_subtree(binary, refs, children[k], level + 1, cursor);
            c.rounding_length = below.rounding_length;
            add_child(measure, c, below.size);
        }
    }
    return measure;
}

// Lists, in depth-first order, the inner nodes that head wide nodes at
// WideCollapsePlan::kLevel below the wide node of root (at level).
void list_planned_subtrees(const BinaryNode* binary, std::uint32_t root, unsigned int level,
                           WideCollapsePlan& plan) {
    std::uint32_t children[8];
    const unsigned int n = collect_children(binary, root, children);
    for (unsigned int k = 0; k < n; ++k) {
        if (binary[children[k]].count != 0)
            continue;
        if (level + 1 == WideCollapsePlan::kLevel)
            plan.root[plan.count++] = children[k];
        else
            list_planned_subtrees(binary, children[k], level + 1, plan);
    }
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
    unsigned int root_index; // a part's: the node its root is written at
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

    // Writes the wide node made of the binary inner node root (at level) at
    // index, its inner children at consecutive nodes from the next free one
    // on, then their subtrees, in depth-first order. Each of the plan's
    // subtrees it meets gets its root's node and the nodes and blocks below
    // it, and a collapser of its own in parts, to be written later.
    void write_node(std::uint32_t root, unsigned int index, unsigned int level, PlanCursor& cursor,
                    Collapser* parts) {
        if (level > depth)
            depth = level;
        std::uint32_t children[8];
        const unsigned int n = collect_children(binary, root, children);
        WideNode& node = nodes[index];
        unsigned int inner = 0;
        for (unsigned int k = 0; k < 8; ++k) {
            set_child_box(node, k, k < n ? &binary[children[k]] : nullptr, pad);
            if (k >= n)
                continue;
            const BinaryNode& c = binary[children[k]];
            if (c.count == 0) {
                ++inner;
                continue;
            }
            node.child[k] = wide_leaf_ref(block_count, blocks_for(c.count));
            ++leaf_count;
            write_leaf(c);
        }
        const unsigned int first = node_count;
        node_count += inner;
        for (unsigned int k = 0; k < inner; ++k) {
            node.child[k] = first + k;
            if (cursor.stops_at(level + 1)) {
                Collapser& part = parts[cursor.next];
                part = *this;
                part.root_index = first + k;
                part.leaf_count = 0;
                part.depth = 0;
                node_count += cursor.plan->size[cursor.next].nodes - 1;
                block_count += cursor.plan->size[cursor.next].blocks;
                ++cursor.next;
            } else {
                write_node(children[k], first + k, level + 1, cursor, parts);
            }
        }
    }
};

} // namespace

WideTreeSize measure_wide_tree(BinaryNode* binary, const PrimRef* refs, ZrvGfxTaskManager* pool,
                               WideCollapsePlan& plan) {
    plan.count = 0;
    if (binary[0].count != 0) {
        binary[0].rounding_length = rounding_length_of(binary[0], refs);
        return WideTreeSize{1, blocks_for(binary[0].count)};
    }
    list_planned_subtrees(binary, 0, 1, plan);
    run_jobs(pool, plan.count, [&](unsigned int i) {
        PlanCursor whole{nullptr, 0};
        const SubtreeMeasure measure =
            measure_subtree(binary, refs, plan.root[i], WideCollapsePlan::kLevel, whole);
        binary[plan.root[i]].rounding_length = measure.rounding_length;
        plan.size[i] = measure.size;
    });
    PlanCursor cursor{&plan, 0};
    const SubtreeMeasure measure = measure_subtree(binary, refs, 0, 1, cursor);
    binary[0].rounding_length = measure.rounding_length;
    return measure.size;
}

unsigned int collapse_wide_tree(const CollapseSource& source, const WideCollapsePlan& plan,
                                WideNode* nodes, TriangleBlock* blocks, ZrvGfxTaskManager* pool,
                                unsigned int& leaves) {
    const BinaryNode* const binary = source.binary;
    Collapser root{binary, source.refs, source.triangles, nodes, blocks, source.pad, 1, 0, 0, 0, 1};
    if (binary[0].count != 0) {
        // One leaf: a root node with it as its only child.
        set_child_box(nodes[0], 0, &binary[0], source.pad);
        nodes[0].child[0] = wide_leaf_ref(0, blocks_for(binary[0].count));
        for (unsigned int k = 1; k < 8; ++k)
            set_child_box(nodes[0], k, nullptr, source.pad);
        root.write_leaf(binary[0]);
        leaves = 1;
        return 1;
    }

    // The levels above the plan here, its subtrees by the workers: each
    // starts at the node and block that the depth-first order gives it.
    Collapser parts[WideCollapsePlan::kCapacity];
    PlanCursor cursor{&plan, 0};
    root.write_node(0, 0, 1, cursor, parts);
    run_jobs(pool, plan.count, [&](unsigned int i) {
        PlanCursor whole{nullptr, 0};
        parts[i].write_node(plan.root[i], parts[i].root_index, WideCollapsePlan::kLevel, whole,
                            nullptr);
    });
    leaves = root.leaf_count;
    unsigned int depth = root.depth;
    for (unsigned int i = 0; i < plan.count; ++i) {
        leaves += parts[i].leaf_count;
        depth = parts[i].depth > depth ? parts[i].depth : depth;
    }
    return depth;
}

} // namespace gfx_detail
