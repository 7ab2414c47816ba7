// Saving a built KD-tree through a gfxStreamWriter and reading it back.
//
// Order of values: "BEGIN:gfxRTKDTree", "version=1"; next free node, node
// count N, current depth, object count M; the scene box, the build properties
// and the statistics, each framed by its own tokens; N nodes (word 0 as uint,
// word 1 as uint for a leaf and as float for an inner node); M object entries
// as ints (-1 for null); "END:gfxRTKDTree".
#include "gfxRTKDTree.h"

#include "gfxAlignedMemory.h"
#include "gfxKDTreeNodeWords.h"
#include "PlxSystem.h"

#include <cstdint>
#include <cstring>

namespace {

const char* const TREE_BEGIN = "BEGIN:gfxRTKDTree";
const char* const TREE_VERSION = "version=1";
const char* const TREE_END = "END:gfxRTKDTree";
const char* const BOX_BEGIN = "BEGIN:KDTreeBBox";
const char* const BOX_END = "END:KDTreeBBox";
const char* const PROPERTIES_BEGIN = "BEGIN:KDTreeProperties";
const char* const PROPERTIES_END = "END:KDTreeProperties";
const char* const STATISTIC_BEGIN = "BEGIN:KDTreeStatistic";
const char* const STATISTIC_END = "END:KDTreeStatistic";

// Largest byte size the aligned allocator and the 32-bit offsets can express.
const unsigned long long MAX_BLOCK_BYTES = 0xFFFFFFFFull;

void write_token(gfxStreamWriter& writer, const char* literal) {
    const PlxUnicodeString token(literal);
    writer.write_string(token);
}

bool token_matches(gfxStreamReader& reader, const char* literal) {
    const PlxUnicodeString token = reader.read_string();
    return !(token != PlxUnicodeString(literal));
}

} // namespace

bool gfxRTKDTree::stream(gfxStreamWriter& writer) const {
    write_token(writer, TREE_BEGIN);
    write_token(writer, TREE_VERSION);
    writer.write_uint(next_free_node_);
    writer.write_uint(number_of_nodes_);
    writer.write_uint(current_tree_depth_);
    // A serial build knows how many entries it used; a parallel build (which
    // leaves next_free_object_ at 0) and a tree read back write them all.
    const unsigned int object_count =
        next_free_object_ != 0 && next_free_object_ < object_array_size_ ? next_free_object_
                                                                         : object_array_size_;
    writer.write_uint(object_count);

    write_token(writer, BOX_BEGIN);
    for (int axis = 0; axis < 3; ++axis)
        writer.write_float(scene_bbox_.bbmin[axis]);
    for (int axis = 0; axis < 3; ++axis)
        writer.write_float(scene_bbox_.bbmax[axis]);
    write_token(writer, BOX_END);

    write_token(writer, PROPERTIES_BEGIN);
    writer.write_uint(leaf_object_threshold_);
    writer.write_uint(max_tree_depth_);
    writer.write_float(traversal_cost_);
    writer.write_float(empty_space_bonus_);
    writer.write_double(min_volume_divisor_);
    writer.write_double(min_cell_volume_);
    write_token(writer, PROPERTIES_END);

    write_token(writer, STATISTIC_BEGIN);
    writer.write_uint(statistic_.number_of_empty_cells);
    writer.write_double(statistic_.average_objects_per_cell);
    writer.write_uint(statistic_.max_objects_in_cell);
    writer.write_uint(statistic_.number_of_leaves);
    writer.write_uint(statistic_.tree_depth);
    writer.write_uint(statistic_.number_of_objects);
    writer.write_uint(statistic_.valid ? 1u : 0u);
    write_token(writer, STATISTIC_END);

    // A tree without arrays (reset, or a failed build) writes zeros in their
    // place rather than reading through a null pointer.
    unsigned int offset = 8;
    for (unsigned int k = 0; k < number_of_nodes_; ++k, offset += 8) {
        const unsigned int word0 =
            node_array_ != nullptr ? gfx_detail::node_word(node_array_, offset) : 0u;
        writer.write_uint(word0);
        if (word0 & gfx_detail::LEAF_FLAG)
            writer.write_uint(gfx_detail::node_word(node_array_, offset + 4));
        else
            writer.write_float(
                node_array_ != nullptr ? gfx_detail::node_float(node_array_, offset + 4) : 0.0f);
    }
    for (unsigned int i = 0; i < object_count; ++i) {
        const triAccel* entry = triangles_ != nullptr ? triangles_[i] : nullptr;
        writer.write_int(entry == nullptr
                             ? -1
                             : int((std::intptr_t(entry) - std::intptr_t(first_triangle_)) /
                                   std::intptr_t(sizeof(triAccel))));
    }
    write_token(writer, TREE_END);
    return true;
}

bool gfxRTKDTree::unstream(gfxStreamReader& reader) {
    return read_stream(reader, ~0ull, ~0u) == UNSTREAM_DONE;
}

bool gfxRTKDTree::unstream_bounded(gfxStreamReader& reader, unsigned long long max_values,
                                   unsigned int max_depth) {
    return read_stream(reader, max_values, max_depth) == UNSTREAM_DONE;
}

gfxRTKDTree::UnstreamOutcome gfxRTKDTree::read_stream(gfxStreamReader& reader,
                                                      unsigned long long max_values,
                                                      unsigned int max_depth) {
    if (first_triangle_ == nullptr)
        return UNSTREAM_NO_TRIANGLE_ARRAY;
    const unsigned int old_node_capacity = node_array_size_;
    const unsigned int old_object_capacity = object_array_size_;

    if (!token_matches(reader, TREE_BEGIN))
        return UNSTREAM_TOKEN_MISMATCH;
    if (!token_matches(reader, TREE_VERSION))
        return UNSTREAM_TOKEN_MISMATCH;
    next_free_node_ = reader.read_uint();
    number_of_nodes_ = reader.read_uint();
    current_tree_depth_ = reader.read_uint();
    object_array_size_ = reader.read_uint();
    next_free_object_ = 0;

    // A token that fails from here until the nodes: the values read so far
    // stay, but the arrays (the old ones, sized for other counts, or none)
    // and the stacks go, so that nothing traverses or streams an array that
    // disagrees with the counts.
    const auto mismatch_before_arrays = [this]() {
        gfx_aligned_free(node_array_);
        node_array_ = nullptr;
        node_array_size_ = 0;
        gfx_aligned_free(triangles_);
        triangles_ = nullptr;
        free_traversal_stacks();
        return UNSTREAM_TOKEN_MISMATCH;
    };
    if (!token_matches(reader, BOX_BEGIN))
        return mismatch_before_arrays();
    for (int axis = 0; axis < 3; ++axis)
        scene_bbox_.bbmin[axis] = reader.read_float();
    for (int axis = 0; axis < 3; ++axis)
        scene_bbox_.bbmax[axis] = reader.read_float();
    if (!token_matches(reader, BOX_END))
        return mismatch_before_arrays();

    if (!token_matches(reader, PROPERTIES_BEGIN))
        return mismatch_before_arrays();
    leaf_object_threshold_ = reader.read_uint();
    max_tree_depth_ = reader.read_uint();
    traversal_cost_ = reader.read_float();
    empty_space_bonus_ = reader.read_float();
    min_volume_divisor_ = reader.read_double();
    min_cell_volume_ = reader.read_double();
    if (!token_matches(reader, PROPERTIES_END))
        return mismatch_before_arrays();

    if (!token_matches(reader, STATISTIC_BEGIN))
        return mismatch_before_arrays();
    statistic_.number_of_empty_cells = reader.read_uint();
    statistic_.average_objects_per_cell = reader.read_double();
    statistic_.max_objects_in_cell = reader.read_uint();
    statistic_.number_of_leaves = reader.read_uint();
    statistic_.tree_depth = reader.read_uint();
    statistic_.number_of_objects = reader.read_uint();
    statistic_.valid = reader.read_uint() != 0;
    statistic_.compile_time_sec = 0.0;
    if (!token_matches(reader, STATISTIC_END))
        return mismatch_before_arrays();

    // Counts that the arrays, the stacks or the caller's bound cannot hold.
    // The old arrays stay; the counts fall back to match them.
    const unsigned long long node_bytes = 8ull * number_of_nodes_ + 8;
    const unsigned long long object_bytes =
        (unsigned long long)object_array_size_ * sizeof(triAccel*);
    const unsigned long long stack_bytes = (max_tree_depth_ + 2ull) * sizeof(__m128);
    if (node_bytes > MAX_BLOCK_BYTES || object_bytes > MAX_BLOCK_BYTES ||
        stack_bytes > MAX_BLOCK_BYTES || number_of_nodes_ > max_values ||
        object_array_size_ > max_values || max_tree_depth_ > max_depth) {
        number_of_nodes_ = 0;
        object_array_size_ = old_object_capacity;
        return UNSTREAM_TOO_LARGE;
    }

    void* nodes =
        gfx_aligned_realloc(node_array_, old_node_capacity, unsigned(node_bytes), NODE_ALIGNMENT);
    if (nodes == nullptr) {
        number_of_nodes_ = 0;
        object_array_size_ = old_object_capacity;
        return UNSTREAM_OUT_OF_MEMORY;
    }
    node_array_ = static_cast<unsigned char*>(nodes);
    node_array_size_ = unsigned(node_bytes);
    gfx_detail::write_node(node_array_, 0, 0u, 0u);
    unsigned int offset = 8;
    for (unsigned int k = 0; k < number_of_nodes_; ++k, offset += 8) {
        const unsigned int word0 = reader.read_uint();
        gfx_detail::write_node_word(node_array_, offset, word0);
        if (int(word0) < 0) {
            gfx_detail::write_node_word(node_array_, offset + 4, reader.read_uint());
        } else {
            const float split = reader.read_float();
            std::memcpy(node_array_ + offset + 4, &split, 4);
        }
    }

    void* objects = gfx_aligned_realloc(
        triangles_, unsigned((unsigned long long)old_object_capacity * sizeof(triAccel*)),
        unsigned(object_bytes), 16);
    if (objects == nullptr) {
        number_of_nodes_ = 0;
        object_array_size_ = old_object_capacity;
        return UNSTREAM_OUT_OF_MEMORY;
    }
    triangles_ = static_cast<const triAccel**>(objects);
    // Entries are stored as read; the address is formed without pointer
    // arithmetic so that an index outside the host's array is not undefined.
    const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(first_triangle_);
    for (unsigned int i = 0; i < object_array_size_; ++i) {
        const int index = reader.read_int();
        triangles_[i] = index == -1 ? nullptr
                                    : reinterpret_cast<const triAccel*>(
                                          base + std::uintptr_t(std::intptr_t(index) *
                                                                std::intptr_t(sizeof(triAccel))));
    }

    // The nodes and entries read stay, but the stacks are still the old
    // ones (sized for another depth limit, or none): the tree is not traced.
    if (!token_matches(reader, TREE_END)) {
        free_traversal_stacks();
        return UNSTREAM_TOKEN_MISMATCH;
    }
    if (!allocate_traversal_stacks()) {
        // Traversal of a tree without complete stacks must not start.
        number_of_nodes_ = 0;
        return UNSTREAM_OUT_OF_MEMORY;
    }
    return UNSTREAM_DONE;
}
