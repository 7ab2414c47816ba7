#include "gfxRTWideBVHCheck.h"

#include <cstdint>
#include <cstdio>
#include <new>

#include <xmmintrin.h>

namespace gfx_detail {

namespace {

// One bit per node and one per block, set as the walk reaches them, in one
// allocation.
class Marks {
public:
    Marks(std::size_t nodes, std::size_t blocks)
        : block_base_((nodes + 63) / 64),
          words_(new (std::nothrow) std::uint64_t[block_base_ + (blocks + 63) / 64 + 1]()) {}
    ~Marks() { delete[] words_; }
    Marks(const Marks&) = delete;
    Marks& operator=(const Marks&) = delete;

    bool valid() const { return words_ != nullptr; }
    // Set the bit; false when it was set already.
    bool mark_node(std::size_t node) { return mark(0, node); }
    bool mark_block(std::size_t block) { return mark(block_base_, block); }

private:
    bool mark(std::size_t base, std::size_t bit) {
        std::uint64_t& word = words_[base + (bit >> 6)];
        const std::uint64_t mask = std::uint64_t(1) << (bit & 63);
        const bool fresh = (word & mask) == 0;
        word |= mask;
        return fresh;
    }

    std::size_t block_base_;
    std::uint64_t* words_;
};

struct Visit {
    std::uint32_t node;
    unsigned int level; // 1 for the root
};

} // namespace

const char* check_wide_shape(const WideShape& shape, char* message, std::size_t size) {
    Marks marks(shape.node_count, shape.block_count);
    if (!marks.valid()) {
        std::snprintf(message, size, "out of memory while checking the tree");
        return message;
    }
    // A node pushes at most eight children after its own entry is popped,
    // and the walk stops at the first level beyond WIDE_MAX_DEPTH.
    Visit stack[8 * (WIDE_MAX_DEPTH + 1)];
    unsigned int stack_size = 0;
    stack[stack_size++] = Visit{0, 1};
    marks.mark_node(0);
    unsigned int reached = 1, covered = 0, leaves = 0, depth = 0;
    while (stack_size != 0) {
        const Visit visit = stack[--stack_size];
        if (visit.level > WIDE_MAX_DEPTH) {
            std::snprintf(message, size,
                          "node %u is on a path of more than %u nodes; traversal stacks hold %u",
                          visit.node, WIDE_MAX_DEPTH, WIDE_MAX_DEPTH);
            return message;
        }
        depth = visit.level > depth ? visit.level : depth;
        const WideNode& node = shape.nodes[visit.node];
        for (unsigned int k = 0; k < 8 && node.child[k] != WIDE_EMPTY_CHILD; ++k) {
            const std::uint32_t child = node.child[k];
            if (!wide_is_leaf(child)) {
                if (!marks.mark_node(child)) {
                    std::snprintf(message, size, "node %u is reached twice (child %u of node %u)",
                                  child, k, visit.node);
                    return message;
                }
                ++reached;
                stack[stack_size++] = Visit{child, visit.level + 1};
                // A large tree is out of the caches: its references are
                // asked for now, well before the walk reaches them.
                _mm_prefetch(reinterpret_cast<const char*>(shape.nodes[child].child), _MM_HINT_T0);
                continue;
            }
            ++leaves;
            const std::uint32_t first = wide_leaf_first(child);
            for (std::uint32_t b = first; b < first + wide_leaf_blocks(child); ++b) {
                if (!marks.mark_block(b)) {
                    std::snprintf(message, size, "block %u is in two leaves (child %u of node %u)",
                                  b, k, visit.node);
                    return message;
                }
                ++covered;
            }
        }
    }
    if (reached != shape.node_count) {
        std::snprintf(message, size, "%u of the %u nodes are reachable from the root", reached,
                      shape.node_count);
        return message;
    }
    if (covered != shape.block_count) {
        std::snprintf(message, size, "%u of the %u blocks are in a leaf", covered,
                      shape.block_count);
        return message;
    }
    if (leaves != shape.leaf_count || depth != shape.depth) {
        std::snprintf(message, size,
                      "the tree has %u leaves and %u levels, its statistics say %u and %u", leaves,
                      depth, shape.leaf_count, shape.depth);
        return message;
    }
    return nullptr;
}

} // namespace gfx_detail
