#include "gfxrtbvhbuilder.h"

#include "gfxAlignedMemory.h"
#include "gfxHugePages.h"
#include "gfxRTHotPaths.h"
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

float BVHBBox::surface_area() const {
    // (dx, dy, dz) times (dy, dz, dx): the three face areas, summed as
    // (dx dy + dx dz) + dy dz.
    const __m128 d = _mm_sub_ps(bbmax, bbmin);
    const __m128 faces = _mm_mul_ps(d, _mm_shuffle_ps(d, d, _MM_SHUFFLE(3, 0, 2, 1)));
    const __m128 sum = _mm_add_ss(_mm_add_ss(faces, _mm_movehl_ps(faces, faces)),
                                  _mm_shuffle_ps(faces, faces, _MM_SHUFFLE(1, 1, 1, 1)));
    return _mm_cvtss_f32(_mm_mul_ss(_mm_set_ss(2.0f), sum));
}

gfxRTBVHBuilder::gfxRTBVHBuilder(gfxRTBVH* tree)
    : number_of_objects_(tree != nullptr ? tree->get_number_of_objects() : 0), node_array_(nullptr),
      object_order_(nullptr), build_objects_(nullptr), object_bins_(nullptr), tree_(tree) {}

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
    gfx_detail::advise_huge_pages(*nodes, capacity);
    object_order_ = new (std::nothrow) int[n];
    if (object_order_ != nullptr)
        for (unsigned int i = 0; i < n; ++i)
            object_order_[i] = int(i);
    object_bins_ = new (std::nothrow) unsigned char[n];
    build_objects_ =
        static_cast<BVHBuildObject*>(gfx_aligned_malloc(n * unsigned(sizeof(BVHBuildObject)), 16));
    gfx_detail::advise_huge_pages(build_objects_, n * sizeof(BVHBuildObject));
    if (build_objects_ != nullptr)
        compute_build_objects();

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
    for (unsigned int i = 0; i < number_of_objects_; ++i)
        make_build_object(*tree_, i, build_objects_[i]);
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
                                 int& axis, BVHRangePasses* passes) {
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

    // The loop is in gfxRTHotPaths.inc, compiled once per instruction set.
    if (passes == nullptr ||
        !passes->bin_objects(begin, end, axis, cmin, scale, bin_costs, bin_boxes))
        gfx_detail::hot_paths().bin_objects(build_objects_, object_bins_, begin, end, axis, cmin,
                                            scale, bin_costs, bin_boxes);

    const int best_bin = find_best_bin(bin_costs, bin_boxes);
    int mid = 0;
    if (passes == nullptr || !passes->partition_objects(begin, end, best_bin, mid))
        mid = partition_objects(begin, end, best_bin);
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
        left_area[i] = left_box.surface_area();
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
        const float right_area = right_box.surface_area();
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
        swap_build_objects(object_order_, build_objects_, i, j);
        ++i;
        if (i >= j)
            return i;
    }
}

bool gfxRTBVHBuilder::make_node(BVHNode* nodes, const BVHBuildRange& range, int next_node,
                                BVHBuildRange children[2], BVHRangePasses* passes) {
    const int begin = range.begin, end = range.end;
    BVHBBox box, centroid_box;
    if (passes == nullptr || !passes->compute_bounds(begin, end, box, centroid_box))
        compute_bounds(begin, end, box, centroid_box);
    BVHNode& node = nodes[range.id];
    // Whole-vector stores: the fourth lanes land on the id and packed words,
    // which are written below.
    _mm_store_ps(node.bbmin, box.bbmin);
    _mm_store_ps(node.bbmax, box.bbmax);

    int split = begin;
    int axis = 0;
    bool inner = false;
    if (range.depth <= MAX_SPLIT_DEPTH) {
        inner = find_split(centroid_box, begin, end, split, axis, passes);
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
        children[0] = {next_node, begin, split, range.depth + 1};
        children[1] = {next_node + 1, split, end, range.depth + 1};
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

unsigned int gfxRTBVHBuilder::build_sub_tree(BVHNode* nodes, int begin, int end, int root_depth) {
    if (nodes == nullptr || build_objects_ == nullptr || object_order_ == nullptr)
        return 0;
    BVHBuildRange stack[gfxRTBVH::MAX_STACK_SIZE];
    int stack_position = 0;
    stack[0] = {0, begin, end, root_depth};
    int next_node = 1;
    while (stack_position >= 0) {
        const BVHBuildRange range = stack[stack_position--];
        // The children land on the stack left first, so the right one is
        // built first.
        if (make_node(nodes, range, next_node, &stack[stack_position + 1])) {
            stack_position += 2;
            next_node += 2;
        }
    }
    return unsigned(next_node);
}
