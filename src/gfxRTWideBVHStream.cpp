// Saving a wide BVH through a gfxStreamWriter and reading it back checked.
//
// Order of values: "BEGIN:gfxRTWideBVH", "version=2"; as uints the input
// triangle count, the kept triangle count, node count N, block count B, leaf
// count and depth; the scene box as six floats (lower corner, then upper;
// zeros for an empty tree). For a tree with nodes, then, columns that each go
// as one run (include/gfxStreamRuns.h) through streams that take runs:
//   N uints: every node's used child count n (1 to 8), S in all;
//   7 S floats: every used slot's six bounds (as the layout's rows) and its
//     slop, node by node and slot by slot;
//   S uints: the used slots' references, in the same order;
//   B uints: every block's used lane count m (1 to 4), the kept count in all;
//   kept uints: the used lanes' index words, block by block and lane by lane;
//   12 kept floats: every used lane's vertex 0, 1, 2 and normal (three floats
//     each), in the same order;
//   input count ints: the id table.
// Last, "END:gfxRTWideBVH".
//
// Version 1, still read, has the same head and then the values node by node
// and block by block: each node its used count and for each used slot its
// bounds, slop and reference; each block its used count and for each used
// lane its twelve floats and its index word; the id table.
//
// Unused slots and lanes are not written: the builder fills them the same
// way every time (NaN boxes and coordinates, empty reference, zero slop,
// WIDE_INDEX_MASK), after the used ones, and the reader does the same.
#include "gfxRTWideBVH.h"

#include "gfxLargeBlocks.h"
#include "gfxRTWideAdjacentChildren.h"
#include "gfxRTWideBVHCheck.h"
#include "gfxRTWideBVHLayout.h"
#include "gfxRTWideUniformSlop.h"
#include "gfxStreamRunAccess.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include <emmintrin.h>
#include <xmmintrin.h>

using gfx_detail::TriangleBlock;
using gfx_detail::WideNode;

namespace {

const char* const TREE_BEGIN = "BEGIN:gfxRTWideBVH";
const char* const TREE_VERSION = "version=2";
const char* const TREE_VERSION_1 = "version=1";
const char* const TREE_END = "END:gfxRTWideBVH";

// The fewest values a node, a block and an id take in the stream: what
// max_values bounds the counts by before anything is allocated.
const unsigned long long MIN_NODE_VALUES = 1 + 8;
const unsigned long long MIN_BLOCK_VALUES = 1 + 13;

// Floats of a used slot and of a used lane.
const unsigned int SLOT_FLOATS = 7;
const unsigned int LANE_FLOATS = 12;

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

// The checks of one used slot, after its values are in node: the box and
// the slop, then the reference against the counts. Null, or the reason.
const char* check_slot_box(const WideNode& node, unsigned int k, unsigned int i, char* message,
                           std::size_t size) {
    bool box_finite = true;
    for (int b = 0; b < 6; ++b)
        box_finite &= finite(node.bounds[b][k]);
    if (!box_finite) {
        std::snprintf(message, size, "child %u of node %u has a box that is not finite", k, i);
        return message;
    }
    const float slop = node.slop[k];
    if (!(slop >= 0.0f && finite(slop))) {
        std::snprintf(message, size, "child %u of node %u has slop %g", k, i, double(slop));
        return message;
    }
    return nullptr;
}

const char* check_slot_child(std::uint32_t child, unsigned int k, unsigned int i, const Head& head,
                             char* message, std::size_t size) {
    if (gfx_detail::wide_is_leaf(child)) {
        const unsigned long long first = gfx_detail::wide_leaf_first(child);
        const unsigned long long end = first + gfx_detail::wide_leaf_blocks(child);
        if (end > head.blocks) {
            std::snprintf(message, size, "child %u of node %u names blocks %llu to %llu of %u", k,
                          i, first, end - 1, head.blocks);
            return message;
        }
    } else if (child == gfx_detail::WIDE_EMPTY_CHILD || child >= head.nodes) {
        std::snprintf(message, size, "child %u of node %u names node %u of %u", k, i, child,
                      head.nodes);
        return message;
    }
    return nullptr;
}

// The checks of one used lane, after its values are in block: the floats,
// then the index word.
const char* check_lane_floats(const TriangleBlock& block, unsigned int lane, unsigned int i,
                              char* message, std::size_t size) {
    bool lane_finite = true;
    for (int k = 0; k < 3; ++k)
        for (int a = 0; a < 3; ++a)
            lane_finite &= finite(block.vertex[k][a][lane]);
    for (int a = 0; a < 3; ++a)
        lane_finite &= finite(block.normal[a][lane]);
    if (!lane_finite) {
        std::snprintf(message, size, "triangle %u of block %u is not finite", lane, i);
        return message;
    }
    return nullptr;
}

const char* check_lane_index(const TriangleBlock& block, unsigned int lane, unsigned int i,
                             const Head& head, char* message, std::size_t size) {
    const std::uint32_t index = block.index[lane];
    if ((index & gfx_detail::WIDE_INDEX_MASK) >= head.input) {
        std::snprintf(message, size, "triangle %u of block %u names triangle %u of %u", lane, i,
                      index & gfx_detail::WIDE_INDEX_MASK, head.input);
        return message;
    }
    return nullptr;
}

const char* check_node_used(unsigned int used, unsigned int i, char* message, std::size_t size) {
    if (used == 0 || used > 8) {
        std::snprintf(message, size, "node %u has %u children", i, used);
        return message;
    }
    return nullptr;
}

const char* check_block_used(unsigned int used, unsigned int i, char* message, std::size_t size) {
    if (used == 0 || used > 4) {
        std::snprintf(message, size, "block %u has %u triangles", i, used);
        return message;
    }
    return nullptr;
}

const char* check_kept(unsigned long long triangles, const Head& head, char* message,
                       std::size_t size) {
    if (triangles != head.kept) {
        std::snprintf(message, size, "the blocks hold %llu triangles, the tree says %u kept",
                      triangles, head.kept);
        return message;
    }
    return nullptr;
}

// Version 1, value by value: each node its used count and each used slot's
// six bounds, slop and reference; each block its used count and each used
// lane's twelve floats and index word; the ids.
const char* read_values(gfxStreamReader& reader, const Head& head, LoadedArrays& arrays,
                        char* message, std::size_t size) {
    for (unsigned int i = 0; i < head.nodes; ++i) {
        WideNode& node = arrays.nodes[i];
        const unsigned int used = reader.read_uint();
        if (check_node_used(used, i, message, size) != nullptr)
            return message;
        for (unsigned int k = 0; k < used; ++k) {
            for (int b = 0; b < 6; ++b)
                node.bounds[b][k] = reader.read_float();
            node.slop[k] = reader.read_float();
            const std::uint32_t child = reader.read_uint();
            node.child[k] = child;
            if (check_slot_box(node, k, i, message, size) != nullptr ||
                check_slot_child(child, k, i, head, message, size) != nullptr)
                return message;
        }
        for (unsigned int k = used; k < 8; ++k)
            gfx_detail::wide_clear_slot(node, k);
    }
    unsigned long long triangles = 0;
    for (unsigned int i = 0; i < head.blocks; ++i) {
        TriangleBlock& block = arrays.blocks[i];
        const unsigned int used = reader.read_uint();
        if (check_block_used(used, i, message, size) != nullptr)
            return message;
        for (unsigned int lane = 0; lane < used; ++lane) {
            for (int k = 0; k < 3; ++k)
                for (int a = 0; a < 3; ++a)
                    block.vertex[k][a][lane] = reader.read_float();
            for (int a = 0; a < 3; ++a)
                block.normal[a][lane] = reader.read_float();
            block.index[lane] = reader.read_uint();
            if (check_lane_floats(block, lane, i, message, size) != nullptr ||
                check_lane_index(block, lane, i, head, message, size) != nullptr)
                return message;
        }
        for (unsigned int lane = used; lane < 4; ++lane)
            gfx_detail::wide_clear_lane(block, lane);
        triangles += used;
    }
    if (check_kept(triangles, head, message, size) != nullptr)
        return message;
    for (unsigned int i = 0; i < head.input; ++i)
        arrays.ids[i] = reader.read_int();
    return nullptr;
}

// A block of four used lanes from their records (twelve floats each) and
// index words, four rows at a time. False when a float is not finite or an
// index word names no input triangle: the caller then finds which.
bool fill_full_block(TriangleBlock& block, const float* records, const std::uint32_t* index,
                     unsigned int input) {
    float* const rows = &block.vertex[0][0][0]; // the twelve rows of four lanes
    const __m128 zero = _mm_setzero_ps();
    __m128 finite_lanes = _mm_castsi128_ps(_mm_set1_epi32(-1));
    for (unsigned int r = 0; r < LANE_FLOATS; r += 4) {
        __m128 a = _mm_loadu_ps(records + r), b = _mm_loadu_ps(records + LANE_FLOATS + r);
        __m128 c = _mm_loadu_ps(records + 2 * LANE_FLOATS + r);
        __m128 d = _mm_loadu_ps(records + 3 * LANE_FLOATS + r);
        _MM_TRANSPOSE4_PS(a, b, c, d);
        // x - x is zero exactly when x is finite.
        finite_lanes = _mm_and_ps(finite_lanes, _mm_cmpeq_ps(_mm_sub_ps(a, a), zero));
        finite_lanes = _mm_and_ps(finite_lanes, _mm_cmpeq_ps(_mm_sub_ps(b, b), zero));
        finite_lanes = _mm_and_ps(finite_lanes, _mm_cmpeq_ps(_mm_sub_ps(c, c), zero));
        finite_lanes = _mm_and_ps(finite_lanes, _mm_cmpeq_ps(_mm_sub_ps(d, d), zero));
        _mm_store_ps(rows + 4 * r, a);
        _mm_store_ps(rows + 4 * r + 4, b);
        _mm_store_ps(rows + 4 * r + 8, c);
        _mm_store_ps(rows + 4 * r + 12, d);
    }
    bool named = true;
    for (int lane = 0; lane < 4; ++lane) {
        block.index[lane] = index[lane];
        named &= (index[lane] & gfx_detail::WIDE_INDEX_MASK) < input;
    }
    return named && _mm_movemask_ps(finite_lanes) == 0xF;
}

// Reads a run of count used counts into used (one byte each), checking each
// with check. Null, or the reason.
template <typename Check>
const char* read_used_counts(gfx_detail::RunReader& runs, unsigned int count, unsigned char* used,
                             unsigned long long& total, Check check, char* message,
                             std::size_t size) {
    gfx_detail::RunCursor<unsigned int, 1> counts(runs, count);
    total = 0;
    for (unsigned int i = 0; i < count; ++i) {
        const unsigned int n = *counts.next();
        if (check(n, i, message, size) != nullptr)
            return message;
        used[i] = (unsigned char)n;
        total += n;
    }
    return nullptr;
}

// Version 2, column by column (see the top of the file), each column one
// run. The used counts wait in used, one byte per node and block.
const char* read_columns(gfxStreamReader& reader, const Head& head, LoadedArrays& arrays,
                         unsigned char* used, char* message, std::size_t size) {
    gfx_detail::RunReader runs(reader);
    unsigned long long slots = 0;
    if (read_used_counts(runs, head.nodes, used, slots, check_node_used, message, size) != nullptr)
        return message;
    {
        gfx_detail::RunCursor<float, SLOT_FLOATS> floats(runs, slots);
        for (unsigned int i = 0; i < head.nodes; ++i) {
            WideNode& node = arrays.nodes[i];
            for (unsigned int k = 0; k < used[i]; ++k) {
                const float* f = floats.next();
                for (int b = 0; b < 6; ++b)
                    node.bounds[b][k] = f[b];
                node.slop[k] = f[6];
                if (check_slot_box(node, k, i, message, size) != nullptr)
                    return message;
            }
            for (unsigned int k = used[i]; k < 8; ++k)
                gfx_detail::wide_clear_slot(node, k);
        }
    }
    {
        gfx_detail::RunCursor<unsigned int, 1> references(runs, slots);
        for (unsigned int i = 0; i < head.nodes; ++i) {
            WideNode& node = arrays.nodes[i];
            for (unsigned int k = 0; k < used[i]; ++k) {
                const std::uint32_t child = *references.next();
                if (check_slot_child(child, k, i, head, message, size) != nullptr)
                    return message;
                node.child[k] = child;
            }
        }
    }
    unsigned char* const lanes_used = used + head.nodes;
    unsigned long long lanes = 0;
    if (read_used_counts(runs, head.blocks, lanes_used, lanes, check_block_used, message, size) !=
            nullptr ||
        check_kept(lanes, head, message, size) != nullptr)
        return message;
    // The index words wait in the id table, which holds at least the kept
    // count and is read last: the blocks are then written in one pass.
    runs.read(reinterpret_cast<unsigned int*>(arrays.ids), std::size_t(lanes));
    const std::uint32_t* index = reinterpret_cast<const std::uint32_t*>(arrays.ids);
    gfx_detail::RunCursor<float, LANE_FLOATS> floats(runs, lanes);
    for (unsigned int i = 0; i < head.blocks; ++i) {
        TriangleBlock& block = arrays.blocks[i];
        const unsigned int used = lanes_used[i];
        const float* f = floats.next(used);
        const std::uint32_t* const block_index = index;
        index += used;
        if (used == 4 && fill_full_block(block, f, block_index, head.input))
            continue;
        // Lane by lane, which also finds the first reason of a full block.
        for (unsigned int lane = 0; lane < used; ++lane, f += LANE_FLOATS) {
            for (int k = 0; k < 3; ++k)
                for (int a = 0; a < 3; ++a)
                    block.vertex[k][a][lane] = f[3 * k + a];
            for (int a = 0; a < 3; ++a)
                block.normal[a][lane] = f[9 + a];
            block.index[lane] = block_index[lane];
            if (check_lane_floats(block, lane, i, message, size) != nullptr ||
                check_lane_index(block, lane, i, head, message, size) != nullptr)
                return message;
        }
        for (unsigned int lane = used; lane < 4; ++lane)
            gfx_detail::wide_clear_lane(block, lane);
    }
    runs.read(arrays.ids, head.input);
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
    if (node_count_ != 0) {
        gfx_detail::RunWriter runs(writer);
        {
            gfx_detail::RunSink<unsigned int, 1> counts(runs);
            for (unsigned int i = 0; i < node_count_; ++i)
                *counts.put() = used_slots(nodes[i]);
        }
        {
            gfx_detail::RunSink<float, SLOT_FLOATS> floats(runs);
            for (unsigned int i = 0; i < node_count_; ++i)
                for (unsigned int k = 0, used = used_slots(nodes[i]); k < used; ++k) {
                    float* f = floats.put();
                    for (int b = 0; b < 6; ++b)
                        f[b] = nodes[i].bounds[b][k];
                    f[6] = nodes[i].slop[k];
                }
        }
        {
            gfx_detail::RunSink<unsigned int, 1> references(runs);
            for (unsigned int i = 0; i < node_count_; ++i)
                for (unsigned int k = 0, used = used_slots(nodes[i]); k < used; ++k)
                    *references.put() = nodes[i].child[k];
        }
        {
            gfx_detail::RunSink<unsigned int, 1> counts(runs);
            for (unsigned int i = 0; i < block_count_; ++i)
                *counts.put() = used_lanes(blocks[i]);
        }
        {
            gfx_detail::RunSink<unsigned int, 1> indices(runs);
            for (unsigned int i = 0; i < block_count_; ++i)
                for (unsigned int lane = 0, used = used_lanes(blocks[i]); lane < used; ++lane)
                    *indices.put() = blocks[i].index[lane];
        }
        {
            gfx_detail::RunSink<float, LANE_FLOATS> floats(runs);
            for (unsigned int i = 0; i < block_count_; ++i)
                for (unsigned int lane = 0, used = used_lanes(blocks[i]); lane < used; ++lane) {
                    float* f = floats.put();
                    for (int k = 0; k < 3; ++k)
                        for (int a = 0; a < 3; ++a)
                            f[3 * k + a] = blocks[i].vertex[k][a][lane];
                    for (int a = 0; a < 3; ++a)
                        f[9 + a] = blocks[i].normal[a][lane];
                }
        }
        runs.write(triangle_ids_, input_count_);
    }
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
    PlxUnicodeString version;

    if (!token_matches(reader, TREE_BEGIN)) {
        refusal = "the stream does not hold a wide BVH (its first token does not match)";
    } else if ((version = reader.read_string()) != TREE_VERSION && version != TREE_VERSION_1) {
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
        if (version == TREE_VERSION_1) {
            refusal = read_values(reader, head, arrays, message, sizeof message);
        } else {
            // The used counts of the nodes and then of the blocks.
            unsigned char* const used = static_cast<unsigned char*>(gfx_detail::scratch_block_alloc(
                std::size_t(head.nodes) + std::size_t(head.blocks)));
            refusal = used == nullptr
                          ? "out of memory while reading the tree"
                          : read_columns(reader, head, arrays, used, message, sizeof message);
            gfx_detail::large_block_free(used);
        }
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
    uniform_slop_ = gfx_detail::wide_uniform_slop(static_cast<const gfx_detail::WideNode*>(nodes_),
                                                  node_count_);
    longest_edge_ = gfx_detail::wide_longest_edge(
        static_cast<const gfx_detail::TriangleBlock*>(blocks_), block_count_);
    children_adjacent_ = gfx_detail::wide_children_adjacent(
        static_cast<const gfx_detail::WideNode*>(nodes_), node_count_);
    return true;
}
