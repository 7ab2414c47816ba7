#include "gfxRTWideBVHBuilder.h"

#include "ZrvGfxConcurrency.h"
#include "gfxLargeBlocks.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <emmintrin.h>
#include <limits>
#include <new>

namespace gfx_detail {

namespace {

// One valid triangle during the build: its box and its host position.
struct alignas(16) PrimRef {
    float lo[3];
    std::uint32_t index;
    float hi[3];
    std::uint32_t unused;
};

struct Box {
    __m128 lo, hi;
};

const float kInfinity = std::numeric_limits<float>::infinity();

inline Box empty_box() {
    return Box{_mm_set1_ps(kInfinity), _mm_set1_ps(-kInfinity)};
}
inline void grow(Box& box, __m128 lo, __m128 hi) {
    box.lo = _mm_min_ps(box.lo, lo);
    box.hi = _mm_max_ps(box.hi, hi);
}
inline void grow(Box& box, const Box& other) {
    grow(box, other.lo, other.hi);
}
inline __m128 ref_lo(const PrimRef& r) {
    return _mm_load_ps(r.lo);
}
inline __m128 ref_hi(const PrimRef& r) {
    return _mm_load_ps(r.hi);
}
// Twice the centroid: the sum of the corners needs no scaling.
inline __m128 ref_centroid2(const PrimRef& r) {
    return _mm_add_ps(ref_lo(r), ref_hi(r));
}

// Half the surface area; an empty box has none.
inline float half_area(const Box& box) {
    const __m128 d = _mm_sub_ps(box.hi, box.lo);
    const __m128 rotated = _mm_shuffle_ps(d, d, _MM_SHUFFLE(3, 0, 2, 1)); // dy, dz, dx
    const __m128 products = _mm_mul_ps(d, rotated);                       // dxdy, dydz, dzdx
    const __m128 sum = _mm_add_ss(
        _mm_add_ss(products, _mm_shuffle_ps(products, products, _MM_SHUFFLE(3, 2, 1, 1))),
        _mm_shuffle_ps(products, products, _MM_SHUFFLE(3, 2, 1, 2)));
    return _mm_cvtss_f32(d) >= 0.0f ? _mm_cvtss_f32(sum) : 0.0f;
}

inline unsigned int blocks_for(unsigned int triangles) {
    return (triangles + 3u) / 4u;
}

// The binary tree the wide one is collapsed from. A leaf has count > 0 and
// holds refs [first, first + count); an inner node's children are first and
// second.
struct BinaryNode {
    float lo[3];
    std::uint32_t first;
    float hi[3];
    std::uint32_t second;
    std::uint32_t count;
    float area;
};

// Split and leaf costs, in units of one four-triangle block test.
const float kTraversalCost = 1.0f;
const unsigned int kMaxLeafTriangles = 16;
const unsigned int kBins = 32;
// Ranges up to this size are split by a full sweep over their sorted
// centroids instead of bins: exact splits where they matter most, near the
// leaves, at little cost.
const unsigned int kSweepLimit = 24;
// Beyond this binary depth splits halve their range, so that the tree stays
// within the traversal stack whatever the input.
const unsigned int kMedianSplitDepth = 40;
// Ranges at least this large are handed to the pool as tasks of their own.
const unsigned int kTaskThreshold = 4096;

struct SplitChoice {
    int axis; // -1: no split better than a leaf, or none possible
    unsigned int bin;
    float cost;
    Box left_box, right_box, left_centroids, right_centroids;
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

    unsigned int node_count() const { return node_count_.load(); }
    unsigned int block_count() const { return block_count_.load(); }

private:
    SplitChoice find_split(const Range& range) const;
    bool sweep_split(const Range& range, float cost_limit, bool must_split, Range& left,
                     Range& right) const;
    void bound_halves(const Range& range, unsigned int middle, Range& left, Range& right) const;
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
        // Areas and counts of the bins right of each boundary.
        float right_area[kBins];
        unsigned int right_count[kBins];
        Box right = empty_box();
        unsigned int count = 0;
        for (unsigned int b = kBins - 1; b > 0; --b) {
            grow(right, bins[a][b]);
            count += counts[a][b];
            right_area[b] = half_area(right);
            right_count[b] = count;
        }
        Box left = empty_box();
        count = 0;
        for (unsigned int b = 1; b < kBins; ++b) {
            grow(left, bins[a][b - 1]);
            count += counts[a][b - 1];
            if (count == 0 || right_count[b] == 0)
                continue;
            const float cost = half_area(left) * float(blocks_for(count)) +
                               right_area[b] * float(blocks_for(right_count[b]));
            if (cost < choice.cost) {
                choice.cost = cost;
                choice.axis = a;
                choice.bin = b;
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
    Box lb = empty_box(), lc = empty_box(), rb = empty_box(), rc = empty_box();
    unsigned int i = range.begin, j = range.end;
    while (i < j) {
        if (goes_left(refs_[i])) {
            grow(lb, ref_lo(refs_[i]), ref_hi(refs_[i]));
            const __m128 c = ref_centroid2(refs_[i]);
            grow(lc, c, c);
            ++i;
        } else {
            --j;
            PrimRef tmp = refs_[i];
            refs_[i] = refs_[j];
            refs_[j] = tmp;
            grow(rb, ref_lo(refs_[j]), ref_hi(refs_[j]));
            const __m128 c = ref_centroid2(refs_[j]);
            grow(rc, c, c);
        }
    }
    left = Range{range.begin, i, lb, lc, range.depth + 1, 0};
    right = Range{i, range.end, rb, rc, range.depth + 1, 0};
    return i;
}

void BinaryBuilder::bound_halves(const Range& range, unsigned int middle, Range& left,
                                 Range& right) const {
    Box lb = empty_box(), lc = empty_box(), rb = empty_box(), rc = empty_box();
    for (unsigned int i = range.begin; i < range.end; ++i) {
        const __m128 c = ref_centroid2(refs_[i]);
        if (i < middle) {
            grow(lb, ref_lo(refs_[i]), ref_hi(refs_[i]));
            grow(lc, c, c);
        } else {
            grow(rb, ref_lo(refs_[i]), ref_hi(refs_[i]));
            grow(rc, c, c);
        }
    }
    left = Range{range.begin, middle, lb, lc, range.depth + 1, 0};
    right = Range{middle, range.end, rb, rc, range.depth + 1, 0};
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
    for (int a = 0; a < 3; ++a) {
        // Positions sorted by centroid along a, ties by host position.
        unsigned char order[kSweepLimit];
        float key[kSweepLimit];
        for (unsigned int i = 0; i < n; ++i) {
            unsigned int j = i;
            const float k = refs[i].lo[a] + refs[i].hi[a];
            while (j > 0 && (key[j - 1] > k ||
                             (key[j - 1] == k && refs[order[j - 1]].index > refs[i].index))) {
                key[j] = key[j - 1];
                order[j] = order[j - 1];
                --j;
            }
            key[j] = k;
            order[j] = (unsigned char)i;
        }
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
        const unsigned int children = node_count_.fetch_add(2, std::memory_order_relaxed);
        BinaryNode& node = nodes_[range.node];
        node.first = children;
        node.second = children + 1;
        node.count = 0;
        left.node = children;
        right.node = children + 1;

        // The larger child continues here; the smaller becomes a task when
        // it is large enough to be worth one.
        Range& smaller = (left.end - left.begin) < (right.end - right.begin) ? left : right;
        Range& larger = &smaller == &left ? right : left;
        if (pool_ != nullptr && smaller.end - smaller.begin >= kTaskThreshold) {
            BuildTask* task = new (std::nothrow) BuildTask(*this, smaller);
            if (task != nullptr)
                pool_->add_task(task);
            else
                build(smaller);
        } else {
            build(smaller);
        }
        range = larger;
    }
}

// The children of a wide node: binary nodes below one inner node, opened
// largest area first until there are eight or none can be opened.
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
    return n;
}

struct Collapser {
    const BinaryNode* binary;
    const PrimRef* refs;
    const triAccel* triangles;
    WideNode* nodes;
    TriangleBlock* blocks;
    float pad;
    unsigned int node_count;
    unsigned int block_count;
    unsigned int leaf_count;
    unsigned int depth;

    // Counts the wide nodes below (and including) the one made of root.
    static unsigned int count_nodes(const BinaryNode* binary, std::uint32_t root) {
        std::uint32_t children[8];
        const unsigned int n = collect_children(binary, root, children);
        unsigned int total = 1;
        for (unsigned int k = 0; k < n; ++k)
            if (binary[children[k]].count == 0)
                total += count_nodes(binary, children[k]);
        return total;
    }

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
                    const float nan = std::numeric_limits<float>::quiet_NaN();
                    for (int k = 0; k < 3; ++k)
                        for (int a = 0; a < 3; ++a)
                            block.vertex[k][a][lane] = nan;
                    for (int a = 0; a < 3; ++a)
                        block.normal[a][lane] = nan;
                    block.index[lane] = WIDE_INDEX_MASK;
                }
            }
        }
    }

    // Writes the wide node made of the binary inner node root, then the
    // nodes below it, in depth-first order.
    void write_node(std::uint32_t root, unsigned int level) {
        const unsigned int index = node_count++;
        if (level > depth)
            depth = level;
        std::uint32_t children[8];
        const unsigned int n = collect_children(binary, root, children);
        const float nan = std::numeric_limits<float>::quiet_NaN();
        for (unsigned int k = 0; k < 8; ++k) {
            WideNode& node = nodes[index];
            if (k >= n) {
                for (int b = 0; b < 6; ++b)
                    node.bounds[b][k] = nan;
                node.child[k] = WIDE_EMPTY_CHILD;
                continue;
            }
            const BinaryNode& c = binary[children[k]];
            for (int a = 0; a < 3; ++a) {
                node.bounds[2 * a][k] = c.lo[a] - pad;
                node.bounds[2 * a + 1][k] = c.hi[a] + pad;
            }
            if (c.count != 0) {
                node.child[k] = wide_leaf_ref(block_count, blocks_for(c.count));
                ++leaf_count;
                write_leaf(c);
            } else {
                node.child[k] = node_count;
                write_node(children[k], level + 1);
            }
        }
    }
};

// Gathers the valid triangles; returns how many.
unsigned int gather_refs(const triAccel* triangles, unsigned int count, PrimRef* refs) {
    unsigned int kept = 0;
    for (unsigned int i = 0; i < count; ++i) {
        const triAccel& t = triangles[i];
        if (!wide_triangle_is_valid(t))
            continue;
        PrimRef& r = refs[kept++];
        for (int a = 0; a < 3; ++a) {
            r.lo[a] = std::fmin(std::fmin(t.vertex0[a], t.vertex1[a]), t.vertex2[a]);
            r.hi[a] = std::fmax(std::fmax(t.vertex0[a], t.vertex1[a]), t.vertex2[a]);
        }
        r.index = i;
        r.unused = 0;
    }
    return kept;
}

} // namespace

bool wide_triangle_is_valid(const triAccel& t) {
    const float* const values[4] = {t.vertex0, t.vertex1, t.vertex2, t.normal};
    for (const float* v : values)
        for (int a = 0; a < 3; ++a)
            if (!std::isfinite(v[a]))
                return false;
    double e1[3], e2[3];
    for (int a = 0; a < 3; ++a) {
        e1[a] = double(t.vertex1[a]) - double(t.vertex0[a]);
        e2[a] = double(t.vertex2[a]) - double(t.vertex0[a]);
    }
    const double cx = e1[1] * e2[2] - e1[2] * e2[1];
    const double cy = e1[2] * e2[0] - e1[0] * e2[2];
    const double cz = e1[0] * e2[1] - e1[1] * e2[0];
    return cx != 0.0 || cy != 0.0 || cz != 0.0;
}

bool build_wide_tree(const triAccel* triangles, unsigned int count, unsigned int threads,
                     WideBuildOutput& out) {
    out = WideBuildOutput{nullptr, nullptr, 0, 0, 0, 0, 0};
    PrimRef* const refs =
        static_cast<PrimRef*>(large_block_alloc(std::size_t(count) * sizeof(PrimRef)));
    if (count != 0 && refs == nullptr)
        return false;
    const unsigned int kept = gather_refs(triangles, count, refs);
    if (kept == 0) {
        large_block_free(refs);
        return true;
    }

    Box box = empty_box(), centroids = empty_box();
    for (unsigned int i = 0; i < kept; ++i) {
        grow(box, ref_lo(refs[i]), ref_hi(refs[i]));
        const __m128 c = ref_centroid2(refs[i]);
        grow(centroids, c, c);
    }
    // Boxes are padded by a margin above what the kernel's and the slab
    // test's rounding can move a hit by, for rays from within the scene's
    // reach: a fraction of the scene's extent and of its largest coordinate.
    alignas(16) float lo[4], hi[4];
    _mm_store_ps(lo, box.lo);
    _mm_store_ps(hi, box.hi);
    float extent = 0.0f, magnitude = 0.0f;
    for (int a = 0; a < 3; ++a) {
        extent = std::fmax(extent, hi[a] - lo[a]);
        magnitude = std::fmax(magnitude, std::fmax(std::fabs(lo[a]), std::fabs(hi[a])));
    }
    const float pad = extent * (1.0f / 65536.0f) + magnitude * (1.0f / 2097152.0f) + 1e-30f;

    BinaryNode* const binary =
        static_cast<BinaryNode*>(large_block_alloc(std::size_t(2) * kept * sizeof(BinaryNode)));
    if (binary == nullptr) {
        large_block_free(refs);
        return false;
    }
    unsigned int binary_nodes = 0, block_count = 0;
    {
        const unsigned int workers = threads > 1 && kept >= 2 * kTaskThreshold ? threads : 1;
        ZrvGfxTaskManager* pool =
            workers > 1 ? new (std::nothrow) ZrvGfxTaskManager(workers) : nullptr;
        BinaryBuilder builder(refs, binary, pool);
        const Range root{0, kept, box, centroids, 0, 0};
        if (pool != nullptr) {
            // Without a task of its own the root is split here; the tasks it
            // queues run below all the same.
            BuildTask* task = new (std::nothrow) BuildTask(builder, root);
            if (task != nullptr)
                pool->add_task(task);
            else
                builder.build(root);
            pool->run_tasks_and_wait();
            delete pool;
        } else {
            builder.build(root);
        }
        binary_nodes = builder.node_count();
        block_count = builder.block_count();
    }
    (void)binary_nodes;

    // A root that is a leaf gets a wide node of its own over it.
    unsigned int node_count = 1;
    if (binary[0].count == 0)
        node_count = Collapser::count_nodes(binary, 0);
    WideNode* const nodes =
        static_cast<WideNode*>(large_block_alloc(std::size_t(node_count) * sizeof(WideNode)));
    TriangleBlock* const blocks = static_cast<TriangleBlock*>(
        large_block_alloc(std::size_t(block_count) * sizeof(TriangleBlock)));
    if (nodes == nullptr || blocks == nullptr) {
        large_block_free(nodes);
        large_block_free(blocks);
        large_block_free(binary);
        large_block_free(refs);
        return false;
    }
    Collapser collapser{binary, refs, triangles, nodes, blocks, pad, 0, 0, 0, 0};
    if (binary[0].count == 0) {
        collapser.write_node(0, 1);
    } else {
        // One leaf: a root node with it as its only child.
        collapser.node_count = 1;
        collapser.depth = 1;
        WideNode& root = nodes[0];
        const float nan = std::numeric_limits<float>::quiet_NaN();
        for (unsigned int k = 0; k < 8; ++k) {
            for (int b = 0; b < 6; ++b)
                root.bounds[b][k] = nan;
            root.child[k] = WIDE_EMPTY_CHILD;
        }
        for (int a = 0; a < 3; ++a) {
            root.bounds[2 * a][0] = binary[0].lo[a] - pad;
            root.bounds[2 * a + 1][0] = binary[0].hi[a] + pad;
        }
        root.child[0] = wide_leaf_ref(0, blocks_for(binary[0].count));
        collapser.leaf_count = 1;
        collapser.write_leaf(binary[0]);
    }
    large_block_free(binary);
    large_block_free(refs);

    out.nodes = nodes;
    out.blocks = blocks;
    out.node_count = collapser.node_count;
    out.block_count = collapser.block_count;
    out.leaf_count = collapser.leaf_count;
    out.depth = collapser.depth;
    out.kept = kept;
    return true;
}

} // namespace gfx_detail
