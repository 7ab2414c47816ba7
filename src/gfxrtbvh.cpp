// The BVH base class: node storage, packet traversal, statistics, the build
// entry point, the stream record, the consistency check and the text dump.
#include "gfxRTBVH.h"

#include "gfxAlignedMemory.h"
#include "gfxJournal.h"
#include "gfxMonotonicClock.h"
#include "gfxRTHotPaths.h"
#include "gfxStream.h"
#include "gfxrtbvhbuilder.h"
#include "gfxrtbvhbuilderparallel.h"
#include "PlxSystem.h"

#include <cstring>
#include <new>

namespace {

// The node's last four bytes (count, axis, first) as one little-endian word.
inline int packed_word(const BVHNode& node) {
    int word;
    std::memcpy(&word, &node.num_triangles, 4);
    return word;
}

inline void unpack_word(int word, BVHNode& node) {
    std::memcpy(&node.num_triangles, &word, 4);
}

// Reported, and the traversal or dump stops, rather than writing past the
// 64-entry stack (a tree read from a stream is not checked for depth).
__attribute__((noinline, cold)) void report_stack_overflow(const char* file, int line) {
    PlxFatalError("AssertionFailed:stack_position<MAX_STACK_SIZE", nullptr, nullptr, nullptr, file,
                  line);
}

// Checks a condition of check_tree, reporting it with its own text.
#define GFX_BVH_CHECK(condition, text)                                                             \
    do {                                                                                           \
        if (!(condition))                                                                          \
            PlxFatalError("AssertionFailed:" text, nullptr, nullptr, nullptr, __FILE__, __LINE__); \
    } while (0)

// first of an inner node: which child the traversal visits first.
inline void set_node_first(const BVHNode* nodes, BVHNode& node) {
    if (node.num_triangles >= 1)
        return;
    const float b0 = nodes[node.firstChildNodeID].bbmin[node.axis];
    const float b1 = nodes[node.firstChildNodeID + 1].bbmin[node.axis];
    // Unordered (NaN) boxes put child 1 first, as a lower minimum does.
    node.first = (b1 < b0 || b1 != b1 || b0 != b0) ? 1 : 0;
}

void check_nodes(BVHNode* nodes, unsigned int count, unsigned int objects, bool set_first);

} // namespace

gfxRTBVH::gfxRTBVH()
    : node_array_(nullptr), number_of_nodes_(0), object_order_(nullptr),
      statistic_(new (std::nothrow) KDTreeStatistic()), traversable_(true), object_order_size_(0) {}

gfxRTBVH::~gfxRTBVH() {
    release_tree();
    delete statistic_;
    statistic_ = nullptr;
}

void gfxRTBVH::release_tree() {
    gfx_aligned_free(node_array_);
    node_array_ = nullptr;
    number_of_nodes_ = 0;
    delete[] object_order_;
    object_order_ = nullptr;
    object_order_size_ = 0;
    traversable_ = true;
}

void gfxRTBVH::set_object_order(const int* order) {
    object_order_ = order;
    object_order_size_ = order != nullptr ? get_number_of_objects() : 0;
}

void gfxRTBVH::get_tree_bbox(__m128& bbmin, __m128& bbmax) const {
    if (node_array_ != nullptr && number_of_nodes_ > 0) {
        bbmin = _mm_load_ps(node_array_[0].bbmin);
        bbmax = _mm_load_ps(node_array_[0].bbmax);
    } else {
        bbmin = _mm_set1_ps(1e20f);
        bbmax = _mm_set1_ps(-1e20f);
    }
}

void gfx_detail::report_bvh_stack_overflow() {
    report_stack_overflow(__FILE__, __LINE__);
}

void gfxRTBVH::traverse_tree(RayPacket& ray, HitPacket& hit, __m128i& hit_object,
                             const RenderState& state, float max_distance) const {
    if (node_array_ == nullptr || object_order_ == nullptr || !traversable_)
        return;
    // The loop itself is in gfxRTHotPaths.inc, compiled once per instruction set.
    gfx_detail::hot_paths().bvh_traverse(*this, node_array_, object_order_, ray, hit, hit_object,
                                         state, max_distance);
}

void gfxRTBVH::calculate_node_first() {
    for (unsigned int id = 0; id < number_of_nodes_; ++id)
        set_node_first(node_array_, node_array_[id]);
}

const KDTreeStatistic* gfxRTBVH::get_statistic() const {
    if (statistic_ == nullptr)
        return nullptr;
    unsigned int leaves = 0;
    unsigned int deepest = 0;
    unsigned int largest = 0;
    if (number_of_nodes_ > 0 && node_array_ != nullptr) {
        // Children have larger ids than their parents, so one pass in id
        // order hands every node its depth before the node is reached.
        int* depth = new (std::nothrow) int[number_of_nodes_]();
        if (depth != nullptr) {
            depth[0] = 0;
            for (unsigned int id = 0; id < number_of_nodes_; ++id) {
                const BVHNode& node = node_array_[id];
                if (node.num_triangles < 1) {
                    const unsigned int child = unsigned(node.firstChildNodeID);
                    if (child > id && child + 1 < number_of_nodes_)
                        depth[child] = depth[child + 1] = depth[id] + 1;
                    continue;
                }
                ++leaves;
                if (unsigned(depth[id]) > deepest)
                    deepest = unsigned(depth[id]);
                if (unsigned(node.num_triangles) > largest)
                    largest = unsigned(node.num_triangles);
            }
            delete[] depth;
        }
    }
    const unsigned int objects = get_number_of_objects();
    statistic_->number_of_empty_cells = 0;
    statistic_->average_objects_per_cell = leaves > 0 ? double(objects) / double(leaves) : 0.0;
    statistic_->max_objects_in_cell = largest;
    statistic_->tree_depth = deepest;
    statistic_->number_of_objects = objects;
    statistic_->number_of_leaves = leaves;
    statistic_->valid = true;
    return statistic_;
}

bool gfxRTBVH::build_tree(unsigned int number_of_threads) {
    release_tree();
    const std::uint64_t start = gfx_detail::monotonic_nanoseconds();
    if (get_number_of_objects() > 0) {
        if (number_of_threads > MAX_BUILD_THREADS)
            number_of_threads = MAX_BUILD_THREADS;
        gfxRTBVHBuilder* builder = number_of_threads > 1
                                       ? new (std::nothrow)
                                             gfxRTBVHBuilderParallel(this, number_of_threads)
                                       : new (std::nothrow) gfxRTBVHBuilder(this);
        if (builder != nullptr) {
            number_of_nodes_ = builder->compile(&node_array_);
            delete builder;
        }
    }
    // calculate_node_first and check_tree in one pass over the nodes: node
    // by node, first is set before the node is checked, as when the two run
    // one after the other.
    bool ok = true;
    if (node_array_ != nullptr)
        check_nodes(node_array_, number_of_nodes_, get_number_of_objects(), true);
    else
        ok = check_tree();
    if (node_array_ != nullptr && statistic_ != nullptr) {
        statistic_->compile_time_sec = gfx_detail::seconds_since(start);
        statistic_->valid = ok;
    }
    return ok;
}

bool gfxRTBVH::order_covers_objects() const {
    const unsigned int objects = get_number_of_objects();
    return objects == 0 || (object_order_ != nullptr && object_order_size_ >= objects);
}

bool gfxRTBVH::stream(gfxStreamWriter& writer) const {
    // Refused rather than reading past an order that does not cover the
    // objects (never built, or objects added since the build).
    if (!order_covers_objects())
        return false;
    const unsigned int objects = get_number_of_objects();
    writer.write_string(PlxUnicodeString("BEGIN:gfxRTBVH"));
    writer.write_string(PlxUnicodeString("version=1"));
    writer.write_uint(number_of_nodes_);
    for (unsigned int id = 0; id < number_of_nodes_; ++id) {
        const BVHNode& node = node_array_[id];
        writer.write_float(node.bbmin[0]);
        writer.write_float(node.bbmin[1]);
        writer.write_float(node.bbmin[2]);
        writer.write_int(node.firstChildNodeID);
        writer.write_float(node.bbmax[0]);
        writer.write_float(node.bbmax[1]);
        writer.write_float(node.bbmax[2]);
        writer.write_int(packed_word(node));
    }
    writer.write_uint(objects);
    for (unsigned int i = 0; i < objects; ++i)
        writer.write_int(object_order_[i]);
    writer.write_string(PlxUnicodeString("END:gfxRTBVH"));
    return true;
}

bool gfxRTBVH::unstream(gfxStreamReader& reader) {
    return read_hierarchy(reader, ~0ull);
}

bool gfxRTBVH::read_hierarchy(gfxStreamReader& reader, unsigned long long max_values) {
    if (reader.read_string() != "BEGIN:gfxRTBVH")
        return false;
    if (reader.read_string() != "version=1")
        return false;
    // Counts whose arrays would not fit 32-bit byte sizes, and failed
    // allocations, end the read: nothing is written past an array.
    const unsigned int nodes = reader.read_uint();
    if (nodes > 0xFFFFFFFFu / sizeof(BVHNode) || nodes > max_values)
        return false;
    if (nodes == 0) {
        gfx_aligned_free(node_array_);
        node_array_ = nullptr;
    } else {
        void* resized =
            gfx_aligned_realloc(node_array_, number_of_nodes_ * unsigned(sizeof(BVHNode)),
                                nodes * unsigned(sizeof(BVHNode)), 32);
        if (resized == nullptr)
            return false;
        node_array_ = static_cast<BVHNode*>(resized);
    }
    // The hierarchy is the stream's from here on, complete or not.
    traversable_ = false;
    number_of_nodes_ = nodes;
    for (unsigned int id = 0; id < nodes; ++id) {
        BVHNode& node = node_array_[id];
        node.bbmin[0] = reader.read_float();
        node.bbmin[1] = reader.read_float();
        node.bbmin[2] = reader.read_float();
        node.firstChildNodeID = reader.read_int();
        node.bbmax[0] = reader.read_float();
        node.bbmax[1] = reader.read_float();
        node.bbmax[2] = reader.read_float();
        unpack_word(reader.read_int(), node);
    }

    const unsigned int objects = reader.read_uint();
    delete[] object_order_;
    object_order_ = nullptr;
    object_order_size_ = 0;
    if (objects > 0xFFFFFFFFu / sizeof(int) || objects > max_values)
        return false;
    int* order = new (std::nothrow) int[objects];
    if (order == nullptr)
        return false;
    for (unsigned int i = 0; i < objects; ++i)
        order[i] = reader.read_int();
    object_order_ = order;
    object_order_size_ = objects;
    traversable_ = !(reader.read_string() != "END:gfxRTBVH");
    return traversable_;
}

namespace {

// Whether every condition check_node tests holds for the node: four-lane
// compares of the corners (NaN fails them, as it fails the scalar tests).
// Nodes that fail are checked again one condition at a time, in order, so
// that the first violated condition is the one reported.
inline bool node_is_sound(const BVHNode* nodes, unsigned int id, unsigned int count) {
    const BVHNode& node = nodes[id];
    const __m128 low = _mm_load_ps(node.bbmin);
    const __m128 high = _mm_load_ps(node.bbmax);
    if ((_mm_movemask_ps(_mm_cmple_ps(low, high)) & 7) != 7)
        return false;
    if (node.num_triangles > 0)
        return node.firstTriangleID >= 0;
    if (node.num_triangles != 0 || node.firstChildNodeID < 0 || node.axis > 2 || node.first > 1)
        return false;
    const unsigned int first_child = unsigned(node.firstChildNodeID);
    if (first_child + 1 >= count)
        return true;
    for (unsigned int c = 0; c < 2; ++c) {
        const BVHNode& child = nodes[first_child + c];
        const __m128 inside = _mm_and_ps(_mm_cmple_ps(low, _mm_load_ps(child.bbmin)),
                                         _mm_cmpge_ps(high, _mm_load_ps(child.bbmax)));
        if ((_mm_movemask_ps(inside) & 7) != 7)
            return false;
    }
    return true;
}

// Reports the violated conditions of one node, in order.
void check_node(const BVHNode* nodes, unsigned int id, unsigned int count) {
    const BVHNode& node = nodes[id];
    GFX_BVH_CHECK(node.bbmin[0] <= node.bbmax[0], "node.bbmin[0] <= node.bbmax[0]");
    GFX_BVH_CHECK(node.bbmin[1] <= node.bbmax[1], "node.bbmin[1] <= node.bbmax[1]");
    GFX_BVH_CHECK(node.bbmin[2] <= node.bbmax[2], "node.bbmin[2] <= node.bbmax[2]");
    if (node.num_triangles > 0) {
        GFX_BVH_CHECK(node.firstTriangleID >= 0, "node.firstTriangleID >= 0");
        return;
    }
    GFX_BVH_CHECK(node.num_triangles == 0, "node.num_triangles == 0");
    GFX_BVH_CHECK(node.firstChildNodeID >= 0, "node.firstChildNodeID >= 0");
    GFX_BVH_CHECK(node.axis <= 2, "node.axis <= 2");
    GFX_BVH_CHECK(node.first <= 1, "node.first <= 1");
    // Children outside the array are not read: the builders never make
    // them, and a check must not fault.
    const unsigned int first_child = unsigned(node.firstChildNodeID);
    if (node.firstChildNodeID < 0 || first_child + 1 >= count)
        return;
    for (unsigned int c = 0; c < 2; ++c) {
        const BVHNode& child = nodes[first_child + c];
        GFX_BVH_CHECK(node.bbmin[0] <= child.bbmin[0], "node.bbmin[0] <= child.bbmin[0]");
        GFX_BVH_CHECK(node.bbmin[1] <= child.bbmin[1], "node.bbmin[1] <= child.bbmin[1]");
        GFX_BVH_CHECK(node.bbmin[2] <= child.bbmin[2], "node.bbmin[2] <= child.bbmin[2]");
        GFX_BVH_CHECK(node.bbmax[0] >= child.bbmax[0], "node.bbmax[0] >= child.bbmax[0]");
        GFX_BVH_CHECK(node.bbmax[1] >= child.bbmax[1], "node.bbmax[1] >= child.bbmax[1]");
        GFX_BVH_CHECK(node.bbmax[2] >= child.bbmax[2], "node.bbmax[2] >= child.bbmax[2]");
    }
}

// check_tree's checks of every node and of the object count. With set_first,
// each inner node's first is set just before the node is checked.
void check_nodes(BVHNode* nodes, unsigned int count, unsigned int objects, bool set_first) {
    unsigned int found_number_of_objects = 0;
    for (unsigned int id = 0; id < count; ++id) {
        if (set_first)
            set_node_first(nodes, nodes[id]);
        if (!node_is_sound(nodes, id, count))
            check_node(nodes, id, count);
        if (nodes[id].num_triangles > 0)
            found_number_of_objects += unsigned(nodes[id].num_triangles);
    }
    GFX_BVH_CHECK(found_number_of_objects == objects,
                  "found_number_of_objects == get_number_of_objects()");
}

} // namespace

bool gfxRTBVH::check_tree() const {
    if (node_array_ == nullptr) {
        GFX_BVH_CHECK((get_number_of_objects() == 0) && (number_of_nodes_ == 0),
                      "(get_number_of_objects()==0) && (number_of_nodes_ == 0)");
        return true;
    }
    check_nodes(node_array_, number_of_nodes_, get_number_of_objects(), false);
    return true;
}

void gfxRTBVH::debug(gfxJournal& journal, bool, int indent) const {
    journal << "Tree Dump:\n";
    if (node_array_ == nullptr || number_of_nodes_ == 0)
        return;
    const unsigned int step = indent > 0 ? unsigned(indent) : 0u;
    int stack_ids[MAX_STACK_SIZE];
    unsigned int stack_depths[MAX_STACK_SIZE];
    int stack_position = 0;
    stack_ids[0] = 0;
    stack_depths[0] = 0;
    while (stack_position >= 0) {
        const int id = stack_ids[stack_position];
        const unsigned int depth = stack_depths[stack_position];
        --stack_position;
        // Ids outside the array (possible only in a tree read from a
        // stream) are not followed.
        if (id < 0 || unsigned(id) >= number_of_nodes_)
            continue;
        const BVHNode& node = node_array_[id];
        write_indent(journal, depth * step);
        journal << "[" << double(node.bbmin[0]) << ", " << double(node.bbmax[0]) << "]x["
                << double(node.bbmin[1]) << ", " << double(node.bbmax[1]) << "]x["
                << double(node.bbmin[2]) << ", " << double(node.bbmax[2]) << "]\n";
        write_indent(journal, depth * step);
        if (node.num_triangles > 0) {
            journal << "Leaf: " << int(node.num_triangles) << " at " << node.firstTriangleID
                    << "\n";
            continue;
        }
        journal << "Node: children at " << node.firstChildNodeID << " axis=" << int(node.axis)
                << " first=" << int(node.first) << "\n";
        // Child 1 below child 0, so that child 0's whole subtree prints first.
        const int children[2] = {node.firstChildNodeID + 1, node.firstChildNodeID};
        for (int child : children) {
            if (stack_position + 1 >= MAX_STACK_SIZE) {
                report_stack_overflow(__FILE__, __LINE__);
                return;
            }
            ++stack_position;
            stack_ids[stack_position] = child;
            stack_depths[stack_position] = depth + 1;
        }
    }
}
