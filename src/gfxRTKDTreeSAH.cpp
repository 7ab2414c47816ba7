// The SAH recursion: sweep, leaf tests, split and distribution of the lists.
#include "gfxRTKDTreeSAH.h"

#include "gfxAlignedMemory.h"
#include "gfxKDTreeNodeWords.h"
#include "gfxSplitCandidateSort.h"
#include "PlxSystem.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <emmintrin.h>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace {

const unsigned char STARTS_BELOW = 1;     // the object's box minimum lies below the plane
const unsigned char ENDS_AT_OR_BELOW = 2; // its box maximum lies at or below the plane

// Surface area of a box with extents (x, y, z), in double precision.
inline double surface_area(double x, double y, double z) {
    return 2.0 * (x * y + x * z + y * z);
}

} // namespace

gfxRTKDTreeSAH::gfxRTKDTreeSAH()
    : proxies_(nullptr), leaf_proxies_(nullptr), seeds_(nullptr), collect_seeds_(false),
      number_of_seeds_(0), seed_depth_(0),
      memory_manager_(new (std::nothrow) gfxSplitCandidateMemoryManager()), side_flags_(nullptr),
      side_flags_size_(0) {}

gfxRTKDTreeSAH::~gfxRTKDTreeSAH() {
    delete[] leaf_proxies_;
    leaf_proxies_ = nullptr;
    proxies_ = nullptr;
    seeds_ = nullptr;
    delete memory_manager_;
    memory_manager_ = nullptr;
    delete[] side_flags_;
    side_flags_ = nullptr;
}

void gfxRTKDTreeSAH::release_build_scratch() {
    delete[] leaf_proxies_;
    leaf_proxies_ = nullptr;
    delete[] side_flags_;
    side_flags_ = nullptr;
    side_flags_size_ = 0;
}

unsigned int gfxRTKDTreeSAH::compute_tree_depth(unsigned int number_of_objects) const {
    if (number_of_objects == 0)
        return 0;
    const float log_n = float(std::log10(double(number_of_objects)));
    return unsigned(std::ceil(double(log_n) * 3.6 + 8.0));
}

bool gfxRTKDTreeSAH::setup_split_candidate_lists(unsigned int number_of_objects,
                                                 unsigned int* list_sizes) {
    return setup_split_candidate_lists_serial(number_of_objects, list_sizes);
}

bool gfxRTKDTreeSAH::setup_split_candidate_lists_serial(unsigned int n, unsigned int* list_sizes) {
    gfxSplitCandidate* lists[3] = {nullptr, nullptr, nullptr};
    bool allocated = true;
    for (int axis = 0; axis < 3; ++axis) {
        list_sizes[axis] = 0;
        lists[axis] = static_cast<gfxSplitCandidate*>(
            std::malloc(std::size_t(2) * n * sizeof(gfxSplitCandidate) + 1));
        allocated = allocated && lists[axis] != nullptr;
    }
    bool result = false;
    if (allocated) {
        for (unsigned int j = 0; j < n; ++j) {
            const KDTreeBBox& box = *proxies_[j]->bbox;
            for (int axis = 0; axis < 3; ++axis)
                list_sizes[axis] = gfx_detail::append_box_events(
                    lists[axis], list_sizes[axis], box.bbmin[axis], box.bbmax[axis], j);
        }
        for (int axis = 0; axis < 3; ++axis)
            allocated =
                gfx_detail::sort_split_candidates(lists[axis], list_sizes[axis]) && allocated;
    }
    if (allocated) {
        unsigned int list_length = list_sizes[0];
        if (list_sizes[1] > list_length)
            list_length = list_sizes[1];
        if (list_sizes[2] > list_length)
            list_length = list_sizes[2];
        if (memory_manager_ != nullptr)
            result = memory_manager_->init(list_length, lists, max_tree_depth_, list_sizes, false,
                                           gfxSplitCandidateMemoryManager::MODEL_SMALL);
    }
    for (gfxSplitCandidate* list : lists)
        std::free(list);
    return result;
}

bool gfxRTKDTreeSAH::create_leaf(unsigned int number_of_objects, unsigned int node_offset) {
    update_statistics(number_of_objects);
    gfx_detail::write_node(node_array_, node_offset, gfx_detail::LEAF_FLAG | next_free_object_,
                           number_of_objects);
    if (!store_leaf_data(number_of_objects, next_free_object_))
        return false;
    next_free_object_ += number_of_objects;
    return true;
}

void gfxRTKDTreeSAH::gather_leaf_objects(unsigned int list_size, const gfxSplitCandidate* x_list) {
    unsigned int count = 0;
    for (unsigned int i = 0; i < list_size; ++i)
        if (x_list[i].type != gfxSplitCandidate::END_EVENT)
            leaf_proxies_[count++] = proxies_[x_list[i].object_index];
}

bool gfxRTKDTreeSAH::make_leaf(unsigned int number_of_objects, unsigned int node_offset,
                               unsigned int list_size, const gfxSplitCandidate* x_list) {
    gather_leaf_objects(list_size, x_list);
    return create_leaf(number_of_objects, node_offset);
}

bool gfxRTKDTreeSAH::ensure_side_flags(unsigned int n, const unsigned int* list_sizes,
                                       gfxSplitCandidate* const* lists) {
    // Sized by the largest object index of the root lists, once per build.
    unsigned int needed = 0;
    for (unsigned int i = 0; i < list_sizes[0]; ++i)
        if (lists[0][i].object_index >= needed)
            needed = lists[0][i].object_index + 1;
    if (needed < n)
        needed = n;
    if (needed <= side_flags_size_ && side_flags_ != nullptr)
        return true;
    delete[] side_flags_;
    side_flags_ = new (std::nothrow) unsigned char[needed > 0 ? needed : 1];
    side_flags_size_ = side_flags_ != nullptr ? needed : 0;
    return side_flags_ != nullptr;
}

namespace {

// The best split candidate found so far; cost = raw / area.
struct SplitChoice {
    double cost;
    double raw;
    float position;
    int axis;
    bool empty_side;
};

// Surface areas 2 * (x*y + x*z + y*z) of two boxes that differ from the node
// box only in their extent along AXIS (lane 0: left box, lane 1: right box).
// Packed doubles round exactly like the scalar expression.
template <int AXIS> inline __m128d surface_area_pair(__m128d e, const float extents[3]) {
    const __m128d x = _mm_set1_pd(extents[0]);
    const __m128d y = _mm_set1_pd(extents[1]);
    const __m128d z = _mm_set1_pd(extents[2]);
    __m128d xy, xz, yz;
    if (AXIS == 0) {
        xy = _mm_mul_pd(e, y);
        xz = _mm_mul_pd(e, z);
        yz = _mm_mul_pd(y, z);
    } else if (AXIS == 1) {
        xy = _mm_mul_pd(x, e);
        xz = _mm_mul_pd(x, z);
        yz = _mm_mul_pd(e, z);
    } else {
        xy = _mm_mul_pd(x, y);
        xz = _mm_mul_pd(x, e);
        yz = _mm_mul_pd(y, e);
    }
    return _mm_mul_pd(_mm_set1_pd(2.0), _mm_add_pd(_mm_add_pd(xy, xz), yz));
}

// Change of the object counts at an event of each type, as one 64-bit step
// of the word (right << 32) + left: the object of a start event counts on
// the left from its start on, one that ends leaves the right side, a planar
// one does both at once. The low half never carries into the high one (it
// only grows, up to n), so both halves stay exact counts; adding integers
// keeps the loop-carried chain of the sweep one cycle long.
const std::uint64_t LEFT_STEP = 1;
const std::uint64_t RIGHT_STEP = std::uint64_t(0xFFFFFFFFu) << 32; // -1 in the high half
const std::uint64_t COUNT_STEP[4] = {LEFT_STEP, LEFT_STEP + RIGHT_STEP, RIGHT_STEP, 0};

// (left, right) of a count word as doubles, which hold them exactly.
inline __m128d count_pair(std::uint64_t counts) {
    return _mm_cvtepi32_pd(_mm_cvtsi64_si128(static_cast<long long>(counts)));
}

// Best candidate of one axis list: the sweep of the surface-area heuristic.
// Candidates in [first, last) are evaluated; all of them are counted, each
// before it is evaluated: left = starts + planars, right = n - planars - ends.
template <int AXIS>
void sweep_axis(const gfxSplitCandidate* list, unsigned int first, unsigned int last,
                unsigned int n, const float extents[3], float lo, float hi, double area,
                SplitChoice& result) {
    SplitChoice best = result; // kept in registers through the loop
    std::uint64_t counts = std::uint64_t(n) << 32;
    for (unsigned int i = 0; i < first; ++i)
        counts += COUNT_STEP[list[i].type];
    for (unsigned int i = first; i < last; ++i) {
        const gfxSplitCandidate c = list[i];
        counts += COUNT_STEP[c.type];
        if (!(lo <= c.position && c.position <= hi))
            continue;
        const float left_extent = c.position - lo;
        const float right_extent = hi - c.position;
        const __m128d areas =
            surface_area_pair<AXIS>(_mm_set_pd(right_extent, left_extent), extents);
        const __m128d pair = count_pair(counts);
        const __m128d weighted = _mm_mul_pd(areas, pair);
        const double raw =
            _mm_cvtsd_f64(weighted) + _mm_cvtsd_f64(_mm_unpackhi_pd(weighted, weighted));
        // cost = raw / area grows with raw: a raw cost not below the best
        // one's cannot give a lower cost, so most candidates need no division.
        if (!(raw < best.raw))
            continue;
        const double cost = raw / area;
        if (cost < best.cost) {
            best.cost = cost;
            best.raw = raw;
            best.position = c.position;
            best.axis = AXIS;
            best.empty_side =
                _mm_movemask_pd(_mm_cmpeq_pd(pair, _mm_setzero_pd())) != 0; // a side is empty
        }
    }
    result = best;
}

// The cheapest split of a node over its three sorted lists. With median_only
// (seeding) only the middle candidate of each list is evaluated.
SplitChoice find_best_split(unsigned int n, const unsigned int* list_sizes, const KDTreeBBox& bbox,
                            gfxSplitCandidate* const* lists, bool median_only) {
    const float extents[3] = {bbox.bbmax[0] - bbox.bbmin[0], bbox.bbmax[1] - bbox.bbmin[1],
                              bbox.bbmax[2] - bbox.bbmin[2]};
    const double area = surface_area(extents[0], extents[1], extents[2]);
    SplitChoice best{double(1e20f), HUGE_VAL, 0.0f, 0, false};
    for (int axis = 0; axis < 3; ++axis) {
        if (!(extents[axis] > 0.0f))
            continue;
        const unsigned int size = list_sizes[axis];
        unsigned int first = 0;
        unsigned int last = size; // evaluated range [first, last)
        if (median_only) {
            first = size / 2;
            last = first < size ? first + 1 : size;
        }
        const float lo = bbox.bbmin[axis];
        const float hi = bbox.bbmax[axis];
        if (axis == 0)
            sweep_axis<0>(lists[0], first, last, n, extents, lo, hi, area, best);
        else if (axis == 1)
            sweep_axis<1>(lists[1], first, last, n, extents, lo, hi, area, best);
        else
            sweep_axis<2>(lists[2], first, last, n, extents, lo, hi, area, best);
    }
    return best;
}

// Side flags of every object of a node against the plane at p, from its
// events on the split axis (they are the bounds of its own box on that
// axis): a start event sets STARTS_BELOW, an end event ENDS_AT_OR_BELOW, a
// planar event both, each from its own position and whatever the order of
// the events. Branch-free: the event's type selects the bits it sets.
void classify_objects(const gfxSplitCandidate* list, unsigned int size, float p,
                      unsigned char* flags) {
    // Bits set per type, two per type: start 1, planar 3, end 2 (and 3 for
    // the unused type 3, which the old per-type branches treated as planar).
    const unsigned int SET_BITS = 0xEDu; // 0b11'10'11'01: from the right 1, 3, 2, 3
    for (unsigned int i = 0; i < size; ++i) {
        const gfxSplitCandidate c = list[i];
        const unsigned int set = (SET_BITS >> (2 * c.type)) & 3u;
        const unsigned int sides =
            (c.position < p ? STARTS_BELOW : 0u) | (c.position <= p ? ENDS_AT_OR_BELOW : 0u);
        unsigned char& f = flags[c.object_index];
        f = static_cast<unsigned char>((f & ~set & 3u) | (sides & set));
    }
}

// Step of a side's word (end events << 32) + events at an event whose
// object has side flags f (from classify_objects: STARTS_BELOW without
// ENDS_AT_OR_BELOW means both sides, both bits left only, no STARTS_BELOW
// right only) and whose type is type; index f | type << 2.
constexpr std::uint64_t side_step(unsigned int index, bool left) {
    const unsigned int f = index & 3u;
    const unsigned int type = index >> 2;
    const std::uint64_t goes = left ? (f & STARTS_BELOW) : (f != (STARTS_BELOW | ENDS_AT_OR_BELOW));
    const std::uint64_t is_end = type == gfxSplitCandidate::END_EVENT;
    return goes | ((goes & is_end) << 32);
}

template <bool LEFT, std::size_t... I>
constexpr std::array<std::uint64_t, sizeof...(I)> side_steps(std::index_sequence<I...>) {
    return {{side_step(unsigned(I), LEFT)...}};
}

constexpr std::array<std::uint64_t, 16> LEFT_STEPS =
    side_steps<true>(std::make_index_sequence<16>());
constexpr std::array<std::uint64_t, 16> RIGHT_STEPS =
    side_steps<false>(std::make_index_sequence<16>());

// Copies the events of one axis list to the lists of the sides their
// objects go to, keeping their order. The objects of a side are its events
// that are not end events. Each side keeps its event and end-event counts in
// one word that a table step advances, so an event costs two loads, two
// stores and two adds whatever its type and sides.
void distribute_events(const gfxSplitCandidate* list, unsigned int size, const unsigned char* flags,
                       gfxSplitCandidate* out_left, gfxSplitCandidate* out_right,
                       unsigned int& left_size, unsigned int& right_size,
                       unsigned int& objects_left, unsigned int& objects_right) {
    std::uint64_t left = 0, right = 0;
    for (unsigned int i = 0; i < size; ++i) {
        const gfxSplitCandidate c = list[i];
        const unsigned int index = flags[c.object_index] | (c.type << 2);
        out_left[std::uint32_t(left)] = c;
        out_right[std::uint32_t(right)] = c;
        left += LEFT_STEPS[index];
        right += RIGHT_STEPS[index];
    }
    left_size = std::uint32_t(left);
    right_size = std::uint32_t(right);
    objects_left = left_size - std::uint32_t(left >> 32);
    objects_right = right_size - std::uint32_t(right >> 32);
}

} // namespace

bool gfxRTKDTreeSAH::build_sub_tree_sah(unsigned int n, unsigned int node_offset,
                                        const unsigned int* list_sizes, const KDTreeBBox* bbox,
                                        unsigned int list_index, gfxSplitCandidate* const* lists) {
    if (proxies_ == nullptr || bbox == nullptr || memory_manager_ == nullptr)
        return false;
    if (current_tree_depth_ == 0 && !ensure_side_flags(n, list_sizes, lists))
        return false;
    const unsigned int depth = ++current_tree_depth_;

    if (collect_seeds_ && depth > seed_depth_) {
        seeds_[number_of_seeds_] = new (std::nothrow) gfxKDTreeCompileState(
            n, node_offset, lists, list_sizes, bbox, depth, memory_manager_->get_model_size());
        ++number_of_seeds_;
        memory_manager_->release_space(lists, list_index);
        --current_tree_depth_;
        return true;
    }

    ++number_of_nodes_;
    if (node_offset >= node_array_size_) {
        if (node_array_size_ > 0x7FFFFFFFu)
            return false; // twice the size would not fit 32-bit offsets
        unsigned char* grown = static_cast<unsigned char*>(gfx_aligned_realloc(
            node_array_, node_array_size_, 2 * node_array_size_, NODE_ALIGNMENT));
        if (grown == nullptr)
            return false;
        node_array_ = grown;
        node_array_size_ *= 2;
    }

    if (n == 0) {
        if (!create_leaf(0, node_offset))
            return false;
        memory_manager_->release_space(lists, list_index);
        --current_tree_depth_;
        return true;
    }

    const bool may_split = n > leaf_object_threshold_ && depth < max_tree_depth_;
    const float volume = (bbox->bbmax[0] - bbox->bbmin[0]) * (bbox->bbmax[1] - bbox->bbmin[1]) *
                         (bbox->bbmax[2] - bbox->bbmin[2]);
    SplitChoice best{};
    bool make_inner = false;
    if (!(volume < min_cell_volume_) && may_split) {
        // Seeding splits at median events only: cheap, balanced top levels.
        best = find_best_split(n, list_sizes, *bbox, lists, collect_seeds_);
        if (best.empty_side)
            best.cost *= (1 - empty_space_bonus_);
        make_inner = !(float(n) - traversal_cost_ <= best.cost);
    }
    if (!make_inner) {
        if (!make_leaf(n, node_offset, list_sizes[0], lists[0]))
            return false;
        memory_manager_->release_space(lists, list_index);
        --current_tree_depth_;
        return true;
    }

    gfxSplitCandidate* left_lists[3];
    gfxSplitCandidate* right_lists[3];
    const unsigned int left_index = memory_manager_->get_free_space(left_lists, 2 * n);
    const unsigned int right_index = memory_manager_->get_free_space(right_lists, 2 * n);
    if (left_index >= memory_manager_->get_max_index() ||
        right_index >= memory_manager_->get_max_index())
        return false;

    const int split_axis = best.axis;
    const float p = best.position;
    classify_objects(lists[split_axis], list_sizes[split_axis], p, side_flags_);

    // Distribute: an object starting at or above the plane goes right, one
    // ending at or below it left, one crossing it to both sides.
    unsigned int left_sizes[3];
    unsigned int right_sizes[3];
    unsigned int number_of_objects_left[3];
    unsigned int number_of_objects_right[3];
    for (int axis = 0; axis < 3; ++axis)
        distribute_events(lists[axis], list_sizes[axis], side_flags_, left_lists[axis],
                          right_lists[axis], left_sizes[axis], right_sizes[axis],
                          number_of_objects_left[axis], number_of_objects_right[axis]);
    PLX_ASSERT((number_of_objects_left[0] == number_of_objects_left[1]) &&
               (number_of_objects_left[1] == number_of_objects_left[2]));
    PLX_ASSERT((number_of_objects_right[0] == number_of_objects_right[1]) &&
               (number_of_objects_right[1] == number_of_objects_right[2]));

    if (p == bbox->bbmin[split_axis] || p == bbox->bbmax[split_axis] ||
        (number_of_objects_left[0] == n && number_of_objects_right[0] == n)) {
        if (!make_leaf(n, node_offset, list_sizes[0], lists[0]))
            return false;
        memory_manager_->release_space(lists, list_index);
        memory_manager_->release_space(left_lists, left_index);
        memory_manager_->release_space(right_lists, right_index);
        --current_tree_depth_;
        return true;
    }

    const unsigned int pair = next_free_node_;
    unsigned int position_bits;
    std::memcpy(&position_bits, &p, 4);
    gfx_detail::write_node(node_array_, node_offset, (pair - node_offset) + unsigned(split_axis),
                           position_bits);
    next_free_node_ += 16;
    KDTreeBBox left_box = *bbox;
    KDTreeBBox right_box = *bbox;
    left_box.bbmax[split_axis] = p;
    right_box.bbmin[split_axis] = p;
    memory_manager_->release_space(lists, list_index);

    if (!build_sub_tree_sah(number_of_objects_left[0], pair, left_sizes, &left_box, left_index,
                            left_lists))
        return false;
    if (!build_sub_tree_sah(number_of_objects_right[0], pair + 8, right_sizes, &right_box,
                            right_index, right_lists))
        return false;
    --current_tree_depth_;
    return true;
}
