#include "gfxrtbvhbuilder.h"

#include "gfxAlignedMemory.h"
#include "PlxSystem.h"

#include <new>

namespace {

// Centre extents below this along the widest axis are not split.
const float MIN_CENTROID_EXTENT = 1e-5f;
// 16 (1 - 1e-5f) in double precision: the largest centre lands in bin 15.
const double BIN_SCALE_NUMERATOR = 15.999840000004042;

inline float lane(const __m128& v, int k) {
    return reinterpret_cast<const float*>(&v)[k];
}

} // namespace

void BVHBBox::get_largest_axis(int& axis, float& min, float& max) const {
    const float ex = lane(bbmax, 0) - lane(bbmin, 0);
    const float ey = lane(bbmax, 1) - lane(bbmin, 1);
    const float ez = lane(bbmax, 2) - lane(bbmin, 2);
    if (ex < ez && ey < ez)
        axis = 2;
    else
        axis = ex < ey ? 1 : 0;
    min = lane(bbmin, axis);
    max = lane(bbmax, axis);
}

float BVHBBox::half_area_times_two() const {
    const float dx = lane(bbmax, 0) - lane(bbmin, 0);
    const float dy = lane(bbmax, 1) - lane(bbmin, 1);
    const float dz = lane(bbmax, 2) - lane(bbmin, 2);
    return 2.0f * (dx * dy + dx * dz + dy * dz);
}

gfxRTBVHBuilder::gfxRTBVHBuilder(gfxRTBVH* tree)
    : number_of_objects_(tree != nullptr ? tree->get_number_of_objects() : 0),
      node_array_(nullptr), object_order_(nullptr), build_objects_(nullptr),
      object_bins_(nullptr), tree_(tree) {}

gfxRTBVHBuilder::~gfxRTBVHBuilder() {
    // compile() has released everything; an interrupted one has not.
    release_arrays();
    delete[] object_order_;
}

void gfxRTBVHBuilder::release_arrays() {
    gfx_aligned_free(build_objects_);
    build_objects_ = nullptr;
    delete[] object_bins_;
    object_bins_ = nullptr;
    node_array_ = nullptr;
}

unsigned int gfxRTBVHBuilder::compile(BVHNode** nodes) {
    const unsigned int n = number_of_objects_;
    if (nodes == nullptr || n == 0 || n > MAX_OBJECTS)
        return 0;
    const unsigned int capacity = (2 * n - 1) * unsigned(sizeof(BVHNode));
    *nodes = static_cast<BVHNode*>(gfx_aligned_malloc(capacity, 32));
    object_order_ = new (std::nothrow) int[n];
    if (object_order_ != nullptr)
        for (unsigned int i = 0; i < n; ++i)
            object_order_[i] = int(i);
    build_objects_ =
        static_cast<BVHBuildObject*>(gfx_aligned_malloc(n * unsigned(sizeof(BVHBuildObject)), 16));
    if (build_objects_ != nullptr)
        compute_build_objects();
    object_bins_ = new (std::nothrow) unsigned char[n];

    unsigned int count = 0;
    if (*nodes != nullptr && object_order_ != nullptr && build_objects_ != nullptr &&
        object_bins_ != nullptr) {
        node_array_ = *nodes;
        count = build_nodes();
        node_array_ = nullptr;
    }
    if (count == 0) {
        gfx_aligned_free(*nodes);
        *nodes = nullptr;
    } else if (count < 2 * n - 1) {
        void* shrunk = gfx_aligned_realloc(*nodes, capacity, count * unsigned(sizeof(BVHNode)), 32);
        if (shrunk != nullptr)
            *nodes = static_cast<BVHNode*>(shrunk);
    }
    release_arrays();
    if (count != 0)
        tree_->set_object_order(object_order_);
    else
        delete[] object_order_;
    object_order_ = nullptr;
    return count;
}

unsigned int gfxRTBVHBuilder::build_nodes() {
    return build_sub_tree(node_array_, 0, int(number_of_objects_));
}

void gfxRTBVHBuilder::compute_build_objects() {
    for (unsigned int i = 0; i < number_of_objects_; ++i) {
        __m128 bbmin = _mm_setzero_ps();
        __m128 bbmax = _mm_setzero_ps();
        tree_->get_object_bbox(i, bbmin, bbmax);
        BVHBuildObject& o = build_objects_[i];
        o.bbmin = bbmin;
        o.bbmax = bbmax;
        o.centroid = _mm_mul_ps(_mm_add_ps(bbmin, bbmax), _mm_set1_ps(0.5f));
    }
    // The costs travel in the centre's fourth lane, which nothing else reads.
    for (unsigned int i = 0; i < number_of_objects_; ++i) {
        alignas(16) float centroid[4];
        _mm_store_ps(centroid, build_objects_[i].centroid);
        centroid[3] = tree_->get_object_intersection_cost(i);
        build_objects_[i].centroid = _mm_load_ps(centroid);
    }
}

void gfxRTBVHBuilder::compute_bounds(int begin, int end, BVHBBox& box,
                                     BVHBBox& centroid_box) const {
    box = BVHBBox();
    centroid_box = BVHBBox();
    for (int p = begin; p < end; ++p) {
        const BVHBuildObject& o = build_objects_[p];
        box.grow(o.bbmin, o.bbmax);
        centroid_box.grow(o.centroid, o.centroid);
    }
}

bool gfxRTBVHBuilder::find_split(const BVHBBox& centroid_box, int begin, int end, int& split,
                                 int& axis) {
    if (build_objects_ == nullptr || end - begin < MIN_SPLIT_OBJECTS)
        return false;
    float bin_costs[BIN_COUNT] = {};
    BVHBBox bin_boxes[BIN_COUNT];
    float cmin, cmax;
    centroid_box.get_largest_axis(axis, cmin, cmax);
    const float extent = cmax - cmin;
    if (extent < MIN_CENTROID_EXTENT)
        return false;
    const float scale = float(BIN_SCALE_NUMERATOR / extent);

    const double low = cmin;
    const double factor = scale;
    for (int p = begin; p < end; ++p) {
        const BVHBuildObject& o = build_objects_[p];
        const double x = (double(lane(o.centroid, axis)) - low) * factor;
        // Finite centres give 0 to 15; NaN and infinite ones are kept inside
        // the bins instead of indexing outside them.
        int bin = 0;
        if (x >= 1.0)
            bin = x < double(BIN_COUNT - 1) ? int(x) : BIN_COUNT - 1;
        bin_costs[bin] += lane(o.centroid, 3);
        bin_boxes[bin].grow(o.bbmin, o.bbmax);
        object_bins_[p] = static_cast<unsigned char>(bin);
    }

    const int mid = partition_objects(begin, end, find_best_bin(bin_costs, bin_boxes));
    split = mid;
    return begin < mid && mid < end;
}

int gfxRTBVHBuilder::find_best_bin(const float bin_costs[BIN_COUNT],
                                   const BVHBBox bin_boxes[BIN_COUNT]) {
    float left_cost[BIN_COUNT];
    float left_area[BIN_COUNT];
    BVHBBox left_box;
    float running_cost = 0.0f;
    for (int i = 0; i < BIN_COUNT; ++i) {
        running_cost += bin_costs[i];
        left_cost[i] = running_cost;
        left_box.grow(bin_boxes[i].bbmin, bin_boxes[i].bbmax);
        left_area[i] = left_box.half_area_times_two();
    }

    // Downwards, replacing only on a strictly lower cost: on equal costs the
    // higher boundary wins. A side without objects has an infinite area and a
    // NaN cost, which never compares lower.
    float best_cost = 1e20f;
    int best = 1;
    float right_cost = 0.0f;
    BVHBBox right_box;
    for (int b = BIN_COUNT - 1; b >= 1; --b) {
        right_cost += bin_costs[b];
        right_box.grow(bin_boxes[b].bbmin, bin_boxes[b].bbmax);
        const float right_area = right_box.half_area_times_two();
        const float cost = right_area * right_cost + left_area[b - 1] * left_cost[b - 1];
        if (cost < best_cost) {
            best_cost = cost;
            best = b;
        }
    }
    return best;
}

int gfxRTBVHBuilder::partition_objects(int begin, int end, int bin) {
    int i = begin;
    int j = end;
    if (i >= j)
        return i;
    for (;;) {
        while (i < j && object_bins_[i] < bin)
            ++i;
        --j;
        if (i >= j)
            return i;
        while (object_bins_[j] >= bin) {
            --j;
            if (i >= j)
                return i;
        }
        // The bins of positions i and j are not swapped: neither is read again.
        const int order = object_order_[i];
        object_order_[i] = object_order_[j];
        object_order_[j] = order;
        const BVHBuildObject record = build_objects_[i];
        build_objects_[i] = build_objects_[j];
        build_objects_[j] = record;
        ++i;
        if (i >= j)
            return i;
    }
}

bool gfxRTBVHBuilder::make_node(BVHNode* nodes, int id, int begin, int end, int depth,
                                int next_node, int children[2][3]) {
    BVHBBox box, centroid_box;
    compute_bounds(begin, end, box, centroid_box);
    BVHNode& node = nodes[id];
    // Whole-vector stores: the fourth lanes land on the id and packed words,
    // which are written below.
    _mm_store_ps(node.bbmin, box.bbmin);
    _mm_store_ps(node.bbmax, box.bbmax);

    int split = begin;
    int axis = 0;
    bool inner = false;
    if (depth <= MAX_SPLIT_DEPTH) {
        inner = find_split(centroid_box, begin, end, split, axis);
        if (!inner && end - begin > MAX_LEAF_OBJECTS) {
            // Centres too close to separate, too many for one leaf: halve.
            split = begin + (end - begin) / 2;
            inner = true;
        }
    }
    if (inner) {
        node.firstChildNodeID = next_node;
        node.num_triangles = 0;
        node.axis = static_cast<unsigned char>(axis);
        node.first = 0;
        const int child_ranges[2][3] = {{next_node, begin, split}, {next_node + 1, split, end}};
        for (int c = 0; c < 2; ++c)
            for (int k = 0; k < 3; ++k)
                children[c][k] = child_ranges[c][k];
        return true;
    }
    int count = end - begin;
    if (count > MAX_LEAF_OBJECTS) {
        PlxFatalError("BVH build: a range of more than 32767 objects reached the depth limit; "
                      "its leaf keeps the first 32767",
                      nullptr, nullptr, nullptr, __FILE__, __LINE__);
        count = MAX_LEAF_OBJECTS;
    }
    node.firstTriangleID = begin;
    node.num_triangles = static_cast<short>(count);
    node.axis = 0;
    node.first = 0;
    return false;
}

unsigned int gfxRTBVHBuilder::build_sub_tree(BVHNode* nodes, int begin, int end,
                                             int root_depth) {
    if (nodes == nullptr || build_objects_ == nullptr || object_order_ == nullptr)
        return 0;
    // Entries: node id, begin, end, depth.
    int stack[gfxRTBVH::MAX_STACK_SIZE][4];
    int stack_position = 0;
    stack[0][0] = 0;
    stack[0][1] = begin;
    stack[0][2] = end;
    stack[0][3] = root_depth;
    int next_node = 1;
    while (stack_position >= 0) {
        const int* entry = stack[stack_position];
        const int id = entry[0], b = entry[1], e = entry[2], depth = entry[3];
        --stack_position;
        int children[2][3];
        if (!make_node(nodes, id, b, e, depth, next_node, children))
            continue;
        // The left child (lower bins) is pushed first and so built last.
        for (int c = 0; c < 2; ++c) {
            ++stack_position;
            stack[stack_position][0] = children[c][0];
            stack[stack_position][1] = children[c][1];
            stack[stack_position][2] = children[c][2];
            stack[stack_position][3] = depth + 1;
        }
        next_node += 2;
    }
    return unsigned(next_node);
}
