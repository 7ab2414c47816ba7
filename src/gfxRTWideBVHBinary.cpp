#include "gfxRTWideBVHBinary.h"

#include "ZrvGfxConcurrency.h"

#include <atomic>
#include <cstring>
#include <limits>
#include <new>

namespace gfx_detail {

namespace {

// Split and leaf costs, in units of one four-triangle block test.
const float kTraversalCost = 1.0f;
const unsigned int kMaxLeafTriangles = 8;
// Bins per axis: on the benchmark meshes 16 gave as few nodes and blocks per
// ray as 32, at less build time.
const unsigned int kBins = 16;
// Ranges up to this size are split by a full sweep over their sorted
// centroids instead of bins: cheaper than 32 bins over a few centroids. (On
// the benchmark meshes, sweeping ranges of up to 32 gave the same nodes and
// blocks per ray as binning them and only cost build time.)
const unsigned int kSweepLimit = 8;
// Beyond this binary depth splits halve their range, so that the tree stays
// within the traversal stack whatever the input.
const unsigned int kMedianSplitDepth = 40;
struct SplitChoice {
    int axis; // -1: no split better than a leaf, or none possible
    unsigned int bin;
    float cost;
};

struct Range {
    unsigned int begin, end;
    Box box, centroids; // centroids as twice the centroid
    unsigned int depth;
    unsigned int node;
};

class BinaryBuilder {
public:
    BinaryBuilder(PrimRef* refs, BinaryNode* nodes, ZrvGfxTaskManager* pool)
        : refs_(refs), nodes_(nodes), pool_(pool), node_count_(1), block_count_(0) {}

    void build(Range range);
    // Makes the range's node an inner node whose second child holds its last
    // tail refs alone; builds one child and returns the other, still to
    // build.
    Range split_off_tail(const Range& range, unsigned int tail);

    unsigned int node_count() const { return node_count_.load(); }
    unsigned int block_count() const { return block_count_.load(); }

private:
    SplitChoice find_split(const Range& range) const;
    bool sweep_split(const Range& range, float cost_limit, bool must_split, Range& left,
                     Range& right) const;
    Range split_node(const Range& range, Range left, Range right);
    void bound_halves(const Range& range, unsigned int middle, Range& left, Range& right) const;
    // The box and the centroids' box of refs [begin, end).
    void bound_refs(unsigned int begin, unsigned int end, Box& box, Box& centroids) const;
    unsigned int partition(const Range& range, const SplitChoice& split, Range& left,
                           Range& right) const;
    void median_split(const Range& range, Range& left, Range& right) const;
    void make_leaf(const Range& range);
    void set_node_box(unsigned int node, const Box& box);

    PrimRef* refs_;
    BinaryNode* nodes_;
    ZrvGfxTaskManager* pool_;
    std::atomic<unsigned int> node_count_;
    std::atomic<unsigned int> block_count_;

    friend class BuildTask;
};

class BuildTask : public ZrvGfxRunnableTask {
public:
    BuildTask(BinaryBuilder& builder, const Range& range) : builder_(builder), range_(range) {}
    void run(unsigned int) override { builder_.build(range_); }

private:
    BinaryBuilder& builder_;
    Range range_;
};

void BinaryBuilder::set_node_box(unsigned int node, const Box& box) {
    alignas(16) float lo[4], hi[4];
    _mm_store_ps(lo, box.lo);
    _mm_store_ps(hi, box.hi);
    BinaryNode& n = nodes_[node];
    std::memcpy(n.lo, lo, sizeof n.lo);
    std::memcpy(n.hi, hi, sizeof n.hi);
    n.area = half_area(box);
}

SplitChoice BinaryBuilder::find_split(const Range& range) const {
    SplitChoice choice;
    choice.axis = -1;
    choice.bin = 0;
    choice.cost = std::numeric_limits<float>::infinity();

    alignas(16) float cmin[4], cmax[4];
    _mm_store_ps(cmin, range.centroids.lo);
    _mm_store_ps(cmax, range.centroids.hi);
    float scale[3];
    bool splittable = false;
    for (int a = 0; a < 3; ++a) {
        const float extent = cmax[a] - cmin[a];
        scale[a] = extent > 0.0f ? float(kBins) * (1.0f - 1.0f / 1024.0f) / extent : 0.0f;
        splittable = splittable || extent > 0.0f;
    }
    if (!splittable)
        return choice;

    Box bins[3][kBins];
    unsigned int counts[3][kBins] = {};
    for (int a = 0; a < 3; ++a)
        for (unsigned int b = 0; b < kBins; ++b)
            bins[a][b] = empty_box();
    const __m128 offset = range.centroids.lo;
    const __m128 scale4 = _mm_setr_ps(scale[0], scale[1], scale[2], 0.0f);
    for (unsigned int i = range.begin; i < range.end; ++i) {
        const PrimRef& r = refs_[i];
        const __m128 lo = ref_lo(r), hi = ref_hi(r);
        const __m128i bin =
            _mm_cvttps_epi32(_mm_mul_ps(_mm_sub_ps(_mm_add_ps(lo, hi), offset), scale4));
        alignas(16) std::int32_t k[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(k), bin);
        for (int a = 0; a < 3; ++a) {
            const unsigned int b = unsigned(k[a]) < kBins ? unsigned(k[a]) : kBins - 1;
            grow(bins[a][b], lo, hi);
            ++counts[a][b];
        }
    }

    for (int a = 0; a < 3; ++a) {
        if (scale[a] == 0.0f)
            continue;
        // Only the boundaries just right of a filled bin: one right of an
        // empty bin costs exactly what the boundary before it does, and only
        // a strictly lower cost is taken. Small ranges fill few bins.
        unsigned char filled[kBins];
        unsigned int m = 0;
        for (unsigned int b = 0; b < kBins; ++b) {
            filled[m] = (unsigned char)b;
            m += counts[a][b] != 0 ? 1u : 0u;
        }
        if (m < 2) // no boundary with refs on both sides
            continue;
        // Areas and counts of the filled bins from j on.
        float right_area[kBins];
        unsigned int right_count[kBins];
        Box right = empty_box();
        unsigned int count = 0;
        for (unsigned int j = m - 1; j > 0; --j) {
            grow(right, bins[a][filled[j]]);
            count += counts[a][filled[j]];
            right_area[j] = half_area(right);
            right_count[j] = count;
        }
        Box left = empty_box();
        count = 0;
        for (unsigned int j = 1; j < m; ++j) {
            grow(left, bins[a][filled[j - 1]]);
            count += counts[a][filled[j - 1]];
            const float cost = half_area(left) * float(blocks_for(count)) +
                               right_area[j] * float(blocks_for(right_count[j]));
            if (cost < choice.cost) {
                choice.cost = cost;
                choice.axis = a;
                choice.bin = filled[j - 1] + 1u;
            }
        }
    }
    return choice;
}

unsigned int BinaryBuilder::partition(const Range& range, const SplitChoice& split, Range& left,
                                      Range& right) const {
    const int a = split.axis;
    alignas(16) float cmin[4], cmax[4];
    _mm_store_ps(cmin, range.centroids.lo);
    _mm_store_ps(cmax, range.centroids.hi);
    const float scale = float(kBins) * (1.0f - 1.0f / 1024.0f) / (cmax[a] - cmin[a]);
    const float offset = cmin[a];
    // The bin of each ref exactly as find_split computed it.
    auto goes_left = [&](const PrimRef& r) {
        const float c = r.lo[a] + r.hi[a];
        const __m128 k =
            _mm_mul_ss(_mm_sub_ss(_mm_set_ss(c), _mm_set_ss(offset)), _mm_set_ss(scale));
        const int bin = _mm_cvttss_si32(k);
        const unsigned int b = unsigned(bin) < kBins ? unsigned(bin) : kBins - 1;
        return b < split.bin;
    };
    // Without branches on the side, which follows no pattern: each ref is
    // swapped into place and the left end moves on when it goes left. The
    // swap moves whole 16-byte halves: the next iteration often reloads the
    // ref just stored at the left end, and a load that spans several
    // narrower stores cannot be forwarded from them and waits for the cache.
    unsigned int middle = range.begin;
    for (unsigned int i = range.begin; i < range.end; ++i) {
        const bool left = goes_left(refs_[i]);
        __m128i* const a = reinterpret_cast<__m128i*>(refs_ + i);
        __m128i* const b = reinterpret_cast<__m128i*>(refs_ + middle);
        const __m128i a0 = _mm_load_si128(a), a1 = _mm_load_si128(a + 1);
        _mm_store_si128(a, _mm_load_si128(b));
        _mm_store_si128(a + 1, _mm_load_si128(b + 1));
        _mm_store_si128(b, a0);
        _mm_store_si128(b + 1, a1);
        middle += left ? 1u : 0u;
    }
    bound_halves(range, middle, left, right);
    return middle;
}

void BinaryBuilder::bound_halves(const Range& range, unsigned int middle, Range& left,
                                 Range& right) const {
    Box lb, lc, rb, rc;
    bound_refs(range.begin, middle, lb, lc);
    bound_refs(middle, range.end, rb, rc);
    left = Range{range.begin, middle, lb, lc, range.depth + 1, 0};
    right = Range{middle, range.end, rb, rc, range.depth + 1, 0};
}

void BinaryBuilder::bound_refs(unsigned int begin, unsigned int end, Box& box,
                               Box& centroids) const {
    box = empty_box();
    centroids = empty_box();
    for (unsigned int i = begin; i < end; ++i) {
        const __m128 c = ref_centroid2(refs_[i]);
        grow(box, ref_lo(refs_[i]), ref_hi(refs_[i]));
        grow(centroids, c, c);
    }
}

void BinaryBuilder::median_split(const Range& range, Range& left, Range& right) const {
    bound_halves(range, range.begin + (range.end - range.begin) / 2, left, right);
}

// Splits the range at the cheapest boundary of its refs sorted by centroid
// along some axis, reordering them, when that costs less than cost_limit (or
// must_split); otherwise leaves them alone and returns false.
bool BinaryBuilder::sweep_split(const Range& range, float cost_limit, bool must_split, Range& left,
                                Range& right) const {
    const unsigned int n = range.end - range.begin;
    const PrimRef* const refs = refs_ + range.begin;
    unsigned char best_order[kSweepLimit];
    unsigned int best_count = 0;
    float cost = std::numeric_limits<float>::infinity();
    // Positions sorted by centroid along each axis, ties by host position:
    // each ref's rank on the three axes at once is the count of refs before
    // it (host positions differ, so the ranks are distinct). A box unbounded
    // on both sides of an axis (an instance placed beyond float's range) has
    // no centroid there; it ranks as one at 0, so that every rank is taken.
    __m128 centroid[kSweepLimit];
    for (unsigned int i = 0; i < n; ++i) {
        const __m128 c = ref_centroid2(refs[i]);
        centroid[i] = _mm_and_ps(c, _mm_cmpord_ps(c, c));
    }
    unsigned char orders[3][kSweepLimit];
    for (unsigned int i = 0; i < n; ++i) {
        __m128i rank = _mm_setzero_si128();
        for (unsigned int j = 0; j < n; ++j) {
            const __m128 tie = refs[j].index < refs[i].index ? _mm_castsi128_ps(_mm_set1_epi32(-1))
                                                             : _mm_setzero_ps();
            const __m128 before =
                _mm_or_ps(_mm_cmplt_ps(centroid[j], centroid[i]),
                          _mm_and_ps(_mm_cmpeq_ps(centroid[j], centroid[i]), tie));
            rank = _mm_sub_epi32(rank, _mm_castps_si128(before));
        }
        alignas(16) std::int32_t r[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(r), rank);
        for (int a = 0; a < 3; ++a)
            orders[a][r[a]] = (unsigned char)i;
    }
    for (int a = 0; a < 3; ++a) {
        const unsigned char* const order = orders[a];
        float right_area[kSweepLimit];
        Box box = empty_box();
        for (unsigned int i = n - 1; i > 0; --i) {
            grow(box, ref_lo(refs[order[i]]), ref_hi(refs[order[i]]));
            right_area[i] = half_area(box);
        }
        box = empty_box();
        for (unsigned int i = 1; i < n; ++i) {
            grow(box, ref_lo(refs[order[i - 1]]), ref_hi(refs[order[i - 1]]));
            const float c =
                half_area(box) * float(blocks_for(i)) + right_area[i] * float(blocks_for(n - i));
            if (c < cost) {
                cost = c;
                best_count = i;
                std::memcpy(best_order, order, n);
            }
        }
    }
    if (best_count == 0 || !(must_split || cost < cost_limit))
        return false;
    PrimRef sorted[kSweepLimit];
    for (unsigned int i = 0; i < n; ++i)
        sorted[i] = refs[best_order[i]];
    std::memcpy(refs_ + range.begin, sorted, n * sizeof(PrimRef));
    bound_halves(range, range.begin + best_count, left, right);
    return true;
}

void BinaryBuilder::make_leaf(const Range& range) {
    BinaryNode& n = nodes_[range.node];
    n.first = range.begin;
    n.second = 0;
    n.count = range.end - range.begin;
    block_count_.fetch_add(blocks_for(n.count), std::memory_order_relaxed);
}

void BinaryBuilder::build(Range range) {
    for (;;) {
        set_node_box(range.node, range.box);
        const unsigned int n = range.end - range.begin;
        if (n == 1) {
            make_leaf(range);
            return;
        }
        Range left, right;
        bool split = false;
        if (range.depth < kMedianSplitDepth) {
            const float leaf_cost = nodes_[range.node].area * float(blocks_for(n));
            const float node_cost = nodes_[range.node].area * kTraversalCost;
            if (n <= kSweepLimit) {
                split =
                    sweep_split(range, leaf_cost - node_cost, n > kMaxLeafTriangles, left, right);
            } else {
                const SplitChoice choice = find_split(range);
                if (choice.axis >= 0 &&
                    (n > kMaxLeafTriangles || node_cost + choice.cost < leaf_cost)) {
                    partition(range, choice, left, right);
                    split = true;
                }
            }
        }
        if (!split) {
            if (n <= kMaxLeafTriangles) {
                make_leaf(range);
                return;
            }
            median_split(range, left, right);
        }
        range = split_node(range, left, right);
    }
}

// Makes range.node an inner node over left and right; builds the smaller
// (as a pool task when large enough) and returns the larger.
Range BinaryBuilder::split_node(const Range& range, Range left, Range right) {
    const unsigned int children = node_count_.fetch_add(2, std::memory_order_relaxed);
    BinaryNode& node = nodes_[range.node];
    node.first = children;
    node.second = children + 1;
    node.count = 0;
    left.node = children;
    right.node = children + 1;

    // The larger child continues with the caller; the smaller becomes a
    // task when it is large enough to be worth one.
    Range& smaller = (left.end - left.begin) < (right.end - right.begin) ? left : right;
    Range& larger = &smaller == &left ? right : left;
    if (pool_ != nullptr && smaller.end - smaller.begin >= kBinaryTaskThreshold) {
        BuildTask* task = new (std::nothrow) BuildTask(*this, smaller);
        if (task != nullptr)
            pool_->add_task(task);
        else
            build(smaller);
    } else {
        build(smaller);
    }
    return larger;
}

Range BinaryBuilder::split_off_tail(const Range& range, unsigned int tail) {
    set_node_box(range.node, range.box);
    Range left, right;
    bound_halves(range, range.end - tail, left, right);
    return split_node(range, left, right);
}

} // namespace

unsigned int build_binary_tree(PrimRef* refs, unsigned int count, const Box& box,
                               const Box& centroids, unsigned int set_apart, BinaryNode* nodes,
                               ZrvGfxTaskManager* pool) {
    BinaryBuilder builder(refs, nodes, pool);
    Range root{0, count, box, centroids, 0, 0};
    if (set_apart != 0 && set_apart < count)
        root = builder.split_off_tail(root, set_apart);
    if (pool == nullptr) {
        builder.build(root);
        return builder.block_count();
    }
    // Without a task of its own the root is split here; the tasks it queues
    // run below all the same.
    BuildTask* task = new (std::nothrow) BuildTask(builder, root);
    if (task != nullptr)
        pool->add_task(task);
    else
        builder.build(root);
    pool->run_tasks_and_wait();
    return builder.block_count();
}

} // namespace gfx_detail
