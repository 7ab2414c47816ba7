// Saving a wide BVH through a gfxStreamWriter and reading it back checked.
//
// Order of values: "BEGIN:gfxRTWideBVH", "version=1"; as uints the input
// triangle count, the kept triangle count, node count N, block count B, leaf
// count and depth; the scene box as six floats (lower corner, then upper;
// zeros for an empty tree); N nodes, each its used child count n (1 to 8)
// and for each of the n used slots in order its six bounds (as the layout's
// rows), its slop as floats and its reference as a uint; B blocks, each its
// used lane count m (1 to 4) and for each of the m used lanes vertex 0, 1, 2
// and the normal (three floats each) and the index word as a uint; for a
// tree with nodes, the id table (input count ints); "END:gfxRTWideBVH".
//
// Unused slots and lanes are not written: the builder fills them the same
// way every time (NaN boxes and coordinates, empty reference, zero slop,
// WIDE_INDEX_MASK), after the used ones, and the reader does the same.
#include "gfxRTWideBVH.h"

#include "gfxLargeBlocks.h"
#include "gfxRTWideBVHCheck.h"
#include "gfxRTWideBVHLayout.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <initializer_list>

using gfx_detail::TriangleBlock;
using gfx_detail::WideNode;

namespace {

const char* const TREE_BEGIN = "BEGIN:gfxRTWideBVH";
const char* const TREE_VERSION = "version=1";
const char* const TREE_END = "END:gfxRTWideBVH";

// The fewest values a node, a block and an id take in the stream: what
// max_values bounds the counts by before anything is allocated.
const unsigned long long MIN_NODE_VALUES = 1 + 8;
const unsigned long long MIN_BLOCK_VALUES = 1 + 13;

// Used child slots of a node: those before the first empty reference. Zero
// when a later slot is used anyway (a node the format cannot describe).
unsigned int used_slots(const WideNode& node) {
    unsigned int used = 0;
    while (used < 8 && node.child[used] != gfx_detail::WIDE_EMPTY_CHILD)
        ++used;
    for (unsigned int k = used; k < 8; ++k)
        if (node.child[k] != gfx_detail::WIDE_EMPTY_CHILD)
            return 0;
    return used;
}

// Used lanes of a block, as used_slots.
unsigned int used_lanes(const TriangleBlock& block) {
    unsigned int used = 0;
    while (used < 4 && block.index[used] != gfx_detail::WIDE_INDEX_MASK)
        ++used;
    for (unsigned int k = used; k < 4; ++k)
        if (block.index[k] != gfx_detail::WIDE_INDEX_MASK)
            return 0;
    return used;
}

void write_token(gfxStreamWriter& writer, const char* literal) {
    writer.write_string(PlxUnicodeString(literal));
}

bool token_matches(gfxStreamReader& reader, const char* literal) {
    return reader.read_string() == literal;
}

bool finite(float value) {
    return std::isfinite(value);
}

// The arrays of a tree being read: freed unless released to the tree.
struct LoadedArrays {
    WideNode* nodes = nullptr;
    TriangleBlock* blocks = nullptr;
    int* ids = nullptr;
    ~LoadedArrays() {
        gfx_detail::large_block_free(nodes);
        gfx_detail::large_block_free(blocks);
        gfx_detail::large_block_free(ids);
    }
};

// The counts and statistics at the head of the stream.
struct Head {
    unsigned int input, kept, nodes, blocks, leaves, depth;
    float lo[3], hi[3];
};

// Reads the nodes into nodes, checking each used slot's box, slop and
// reference range. Null, or the reason written into message.
const char* read_nodes(gfxStreamReader& reader, const Head& head, WideNode* nodes, char* message,
                       std::size_t size) {
    for (unsigned int i = 0; i < head.nodes; ++i) {
        WideNode& node = nodes[i];
        const unsigned int used = reader.read_uint();
        if (used == 0 || used > 8) {
            std::snprintf(message, size, "node %u has %u children", i, used);
            return message;
        }
        for (unsigned int k = 0; k < used; ++k) {
            bool box_finite = true;
            for (int b = 0; b < 6; ++b) {
                const float bound = reader.read_float();
                node.bounds[b][k] = bound;
                box_finite &= finite(bound);
            }
            const float slop = reader.read_float();
            node.slop[k] = slop;
            const std::uint32_t child = reader.read_uint();
            node.child[k] = child;
            if (!box_finite) {
                std::snprintf(message, size, "child %u of node %u has a box that is not finite", k,
                              i);
                return message;
            }
            if (!(slop >= 0.0f && finite(slop))) {
                std::snprintf(message, size, "child %u of node %u has slop %g", k, i, double(slop));
                return message;
            }
            if (gfx_detail::wide_is_leaf(child)) {
                const unsigned long long first = gfx_detail::wide_leaf_first(child);
                const unsigned long long end = first + gfx_detail::wide_leaf_blocks(child);
                if (end > head.blocks) {
                    std::snprintf(message, size,
                                  "child %u of node %u names blocks %llu to %llu of %u", k, i,
                                  first, end - 1, head.blocks);
                    return message;
                }
            } else if (child == gfx_detail::WIDE_EMPTY_CHILD || child >= head.nodes) {
                std::snprintf(message, size, "child %u of node %u names node %u of %u", k, i, child,
                              head.nodes);
                return message;
            }
        }
        for (unsigned int k = used; k < 8; ++k)
            gfx_detail::wide_clear_slot(node, k);
    }
    return nullptr;
}

// Reads the blocks, checking that every used lane is finite and names a
// host position below the input count, and that they hold the kept count.
const char* read_blocks(gfxStreamReader& reader, const Head& head, TriangleBlock* blocks,
                        char* message, std::size_t size) {
    unsigned long long triangles = 0;
    for (unsigned int i = 0; i < head.blocks; ++i) {
        TriangleBlock& block = blocks[i];
        const unsigned int used = reader.read_uint();
        if (used == 0 || used > 4) {
            std::snprintf(message, size, "block %u has %u triangles", i, used);
            return message;
        }
        for (unsigned int lane = 0; lane < used; ++lane) {
            bool lane_finite = true;
            for (int k = 0; k < 3; ++k)
                for (int a = 0; a < 3; ++a) {
                    const float value = reader.read_float();
                    block.vertex[k][a][lane] = value;
                    lane_finite &= finite(value);
                }
            for (int a = 0; a < 3; ++a) {
                const float value = reader.read_float();
                block.normal[a][lane] = value;
                lane_finite &= finite(value);
            }
            const std::uint32_t index = reader.read_uint();
            block.index[lane] = index;
            if (!lane_finite) {
                std::snprintf(message, size, "triangle %u of block %u is not finite", lane, i);
                return message;
            }
            if ((index & gfx_detail::WIDE_INDEX_MASK) >= head.input) {
                std::snprintf(message, size, "triangle %u of block %u names triangle %u of %u",
                              lane, i, index & gfx_detail::WIDE_INDEX_MASK, head.input);
                return message;
            }
        }
        for (unsigned int lane = used; lane < 4; ++lane)
            gfx_detail::wide_clear_lane(block, lane);
        triangles += used;
    }
    if (triangles != head.kept) {
        std::snprintf(message, size, "the blocks hold %llu triangles, the tree says %u kept",
                      triangles, head.kept);
        return message;
    }
    return nullptr;
}

// Checks the counts and the scene box before anything is allocated.
const char* check_head(const Head& head, unsigned long long max_values, char* message,
                       std::size_t size) {
    if (head.input > gfxRTWideBVH::MAX_TRIANGLES || head.kept > head.input) {
        std::snprintf(message, size, "the tree keeps %u of %u triangles; it indexes at most %u",
                      head.kept, head.input, gfxRTWideBVH::MAX_TRIANGLES);
        return message;
    }
    if (head.nodes == 0) {
        const bool zero_box = head.lo[0] == 0.0f && head.lo[1] == 0.0f && head.lo[2] == 0.0f &&
                              head.hi[0] == 0.0f && head.hi[1] == 0.0f && head.hi[2] == 0.0f;
        if (head.blocks != 0 || head.leaves != 0 || head.depth != 0 || head.kept != 0 ||
            !zero_box) {
            std::snprintf(message, size,
                          "an empty tree with %u blocks, %u leaves, depth %u, %u kept triangles "
                          "or a box",
                          head.blocks, head.leaves, head.depth, head.kept);
            return message;
        }
        return nullptr;
    }
    if (head.kept == 0) {
        std::snprintf(message, size, "a tree of %u nodes keeps no triangle", head.nodes);
        return message;
    }
    const unsigned long long needed =
        head.nodes * MIN_NODE_VALUES + head.blocks * MIN_BLOCK_VALUES + head.input;
    if (needed > max_values) {
        std::snprintf(
            message, size,
            "%u nodes, %u blocks and %u ids need %llu values, the stream holds at most %llu",
            head.nodes, head.blocks, head.input, needed, max_values);
        return message;
    }
    if (head.nodes > gfx_detail::WIDE_LEAF_BIT || head.blocks > gfx_detail::WIDE_LEAF_FIRST_MASK) {
        std::snprintf(message, size, "%u nodes and %u blocks are more than references can name",
                      head.nodes, head.blocks);
        return message;
    }
    if (head.depth > gfx_detail::WIDE_MAX_DEPTH) {
        std::snprintf(message, size, "the tree is %u levels deep; traversal stacks hold %u",
                      head.depth, gfx_detail::WIDE_MAX_DEPTH);
        return message;
    }
    for (int a = 0; a < 3; ++a) {
        if (!(finite(head.lo[a]) && finite(head.hi[a]) && head.lo[a] <= head.hi[a])) {
            std::snprintf(message, size, "the scene box is not finite or inside out along axis %d",
                          a);
            return message;
        }
    }
    return nullptr;
}

} // namespace

bool gfxRTWideBVH::stream(gfxStreamWriter& writer) const {
    const WideNode* const nodes = static_cast<const WideNode*>(nodes_);
    const TriangleBlock* const blocks = static_cast<const TriangleBlock*>(blocks_);
    // Refused before anything is written: slots or lanes used after an
    // unused one, which the format has no place for.
    for (unsigned int i = 0; i < node_count_; ++i)
        if (used_slots(nodes[i]) == 0)
            return false;
    for (unsigned int i = 0; i < block_count_; ++i)
        if (used_lanes(blocks[i]) == 0)
            return false;

    write_token(writer, TREE_BEGIN);
    write_token(writer, TREE_VERSION);
    for (unsigned int count :
         {input_count_, kept_count_, node_count_, block_count_, leaf_count_, depth_})
        writer.write_uint(count);
    for (int a = 0; a < 3; ++a)
        writer.write_float(empty() ? 0.0f : scene_lo_[a]);
    for (int a = 0; a < 3; ++a)
        writer.write_float(empty() ? 0.0f : scene_hi_[a]);
    for (unsigned int i = 0; i < node_count_; ++i) {
        const WideNode& node = nodes[i];
        const unsigned int used = used_slots(node);
        writer.write_uint(used);
        for (unsigned int k = 0; k < used; ++k) {
            for (int b = 0; b < 6; ++b)
                writer.write_float(node.bounds[b][k]);
            writer.write_float(node.slop[k]);
            writer.write_uint(node.child[k]);
        }
    }
    for (unsigned int i = 0; i < block_count_; ++i) {
        const TriangleBlock& block = blocks[i];
        const unsigned int used = used_lanes(block);
        writer.write_uint(used);
        for (unsigned int lane = 0; lane < used; ++lane) {
            for (int k = 0; k < 3; ++k)
                for (int a = 0; a < 3; ++a)
                    writer.write_float(block.vertex[k][a][lane]);
            for (int a = 0; a < 3; ++a)
                writer.write_float(block.normal[a][lane]);
            writer.write_uint(block.index[lane]);
        }
    }
    if (node_count_ != 0)
        for (unsigned int i = 0; i < input_count_; ++i)
            writer.write_int(triangle_ids_[i]);
    write_token(writer, TREE_END);
    return true;
}

bool gfxRTWideBVH::unstream(gfxStreamReader& reader, unsigned long long max_values,
                            PlxUnicodeString* reason) {
    clear();
    char message[200];
    const char* refusal = nullptr;
    LoadedArrays arrays;
    Head head{};

    if (!token_matches(reader, TREE_BEGIN)) {
        refusal = "the stream does not hold a wide BVH (its first token does not match)";
    } else if (!token_matches(reader, TREE_VERSION)) {
        refusal = "the wide BVH is of a version this library does not read";
    } else {
        head.input = reader.read_uint();
        head.kept = reader.read_uint();
        head.nodes = reader.read_uint();
        head.blocks = reader.read_uint();
        head.leaves = reader.read_uint();
        head.depth = reader.read_uint();
        for (int a = 0; a < 3; ++a)
            head.lo[a] = reader.read_float();
        for (int a = 0; a < 3; ++a)
            head.hi[a] = reader.read_float();
        refusal = check_head(head, max_values, message, sizeof message);
    }
    if (refusal == nullptr && head.nodes != 0) {
        arrays.nodes = static_cast<WideNode*>(
            gfx_detail::large_block_alloc(std::size_t(head.nodes) * sizeof(WideNode)));
        arrays.blocks = static_cast<TriangleBlock*>(
            gfx_detail::large_block_alloc(std::size_t(head.blocks) * sizeof(TriangleBlock)));
        arrays.ids =
            static_cast<int*>(gfx_detail::large_block_alloc(std::size_t(head.input) * sizeof(int)));
        if (arrays.nodes == nullptr || (head.blocks != 0 && arrays.blocks == nullptr) ||
            arrays.ids == nullptr)
            refusal = "out of memory while reading the tree";
    }
    if (refusal == nullptr && head.nodes != 0) {
        refusal = read_nodes(reader, head, arrays.nodes, message, sizeof message);
        if (refusal == nullptr)
            refusal = read_blocks(reader, head, arrays.blocks, message, sizeof message);
        if (refusal == nullptr)
            for (unsigned int i = 0; i < head.input; ++i)
                arrays.ids[i] = reader.read_int();
    }
    if (refusal == nullptr && !token_matches(reader, TREE_END))
        refusal = "the wide BVH does not end where its counts say";
    if (refusal == nullptr && head.nodes != 0)
        refusal = gfx_detail::check_wide_shape(
            gfx_detail::WideShape{arrays.nodes, head.nodes, head.blocks, head.leaves, head.depth},
            message, sizeof message);
    if (refusal != nullptr) {
        if (reason != nullptr)
            *reason = PlxUnicodeString(refusal);
        return false;
    }

    nodes_ = arrays.nodes;
    blocks_ = arrays.blocks;
    triangle_ids_ = arrays.ids;
    arrays.nodes = nullptr;
    arrays.blocks = nullptr;
    arrays.ids = nullptr;
    node_count_ = head.nodes;
    block_count_ = head.blocks;
    input_count_ = head.input;
    kept_count_ = head.kept;
    leaf_count_ = head.leaves;
    depth_ = head.depth;
    for (int a = 0; a < 3; ++a) {
        scene_lo_[a] = head.lo[a];
        scene_hi_[a] = head.hi[a];
    }
    return true;
}
