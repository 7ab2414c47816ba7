#include "gfxRTWideBVHBuilder.h"

#include "gfxPoolJobs.h"
#include "gfxLargeBlocks.h"
#include "gfxRTWideBVHBinary.h"
#include "gfxRTWideBVHCollapse.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

namespace gfx_detail {

namespace {

// The kernel's sign tests take a point as inside a triangle within a band
// along each edge's line, of a width inversely proportional to the edge's
// length; the slop covers the band of the shortest edge. Past a corner of
// angle theta whose shorter edge has length a, the two edges' bands overlap
// for about twice the wider band's width over sin(theta), inversely
// proportional to a sin(theta), an altitude of the triangle. So a triangle
// with a vertex near the line of the opposite edge (a least altitude small
// against its shortest edge) is hit well past its corners; a thin
// isosceles one, whose least altitude is about its shortest edge, is not.
// Measured with rays crossing an edge's line past such corners: the slop
// of the shortest edge alone covers the triangle while its least altitude
// is at least sin(15 degrees) times its shortest edge.
const double kLeastAltitudeRatio = 0.25881904510252076; // sin(15 degrees)

// (vertex1 - vertex0) x (vertex2 - vertex0) in double: exact enough that a
// zero vector means the triangle has no area.
void double_cross(const triAccel& t, double cross[3]) {
    double e1[3], e2[3];
    for (int a = 0; a < 3; ++a) {
        e1[a] = double(t.vertex1[a]) - double(t.vertex0[a]);
        e2[a] = double(t.vertex2[a]) - double(t.vertex0[a]);
    }
    cross[0] = e1[1] * e2[2] - e1[2] * e2[1];
    cross[1] = e1[2] * e2[0] - e1[0] * e2[2];
    cross[2] = e1[0] * e2[1] - e1[1] * e2[0];
}

// std::nextafter(f, 0.0f) for a non-negative f, without a call into libm
// once per triangle.
float one_ulp_toward_zero(float f) {
    if (!(f > 0.0f))
        return f;
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    --bits;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// std::fmin and std::fmax, ties of zeros included (each keeps x), for the
// values of a valid triangle (coordinates, rounding lengths), never NaN:
// comparisons, not calls.
float least(float x, float y) {
    return y < x ? y : x;
}
float greatest(float x, float y) {
    return y > x ? y : x;
}

} // namespace

float wide_rounding_length(const triAccel& t) {
    const float* const v[3] = {t.vertex0, t.vertex1, t.vertex2};
    double shortest = 0.0, longest = 0.0;
    for (int e = 0; e < 3; ++e) {
        double squared = 0.0;
        for (int a = 0; a < 3; ++a) {
            const double d = double(v[(e + 1) % 3][a]) - double(v[e][a]);
            squared += d * d;
        }
        shortest = e == 0 || squared < shortest ? squared : shortest;
        longest = squared > longest ? squared : longest;
    }
    double cross[3];
    double_cross(t, cross);
    const double area2 = cross[0] * cross[0] + cross[1] * cross[1] + cross[2] * cross[2];
    // The least altitude, onto the longest edge, is twice the area over it.
    const double ratio2 = kLeastAltitudeRatio * kLeastAltitudeRatio;
    const double length = area2 < ratio2 * shortest * longest
                              ? std::sqrt(area2 / longest) / kLeastAltitudeRatio
                              : std::sqrt(shortest);
    return one_ulp_toward_zero(float(length));
}

float wide_box_pad(const float lo[3], const float hi[3]) {
    float extent = 0.0f, magnitude = 0.0f;
    for (int a = 0; a < 3; ++a) {
        extent = std::fmax(extent, hi[a] - lo[a]);
        magnitude = std::fmax(magnitude, std::fmax(std::fabs(lo[a]), std::fabs(hi[a])));
    }
    return extent * (1.0f / 65536.0f) + magnitude * (1.0f / 2097152.0f) + 1e-30f;
}

namespace {

// The valid triangles of one range of the input, written densely from its
// start, with their bounds and their least rounding length.
struct GatheredRange {
    unsigned int begin, end, kept;
    Box box, centroids;
    float least_rounding;
};

void gather_range(const triAccel* triangles, PrimRef* refs, GatheredRange& range) {
    range.kept = 0;
    range.box = empty_box();
    range.centroids = empty_box();
    range.least_rounding = kInfinity;
    for (unsigned int i = range.begin; i < range.end; ++i) {
        const triAccel& t = triangles[i];
        if (!wide_triangle_is_valid(t))
            continue;
        PrimRef& r = refs[range.begin + range.kept++];
        for (int a = 0; a < 3; ++a) {
            r.lo[a] = least(least(t.vertex0[a], t.vertex1[a]), t.vertex2[a]);
            r.hi[a] = greatest(greatest(t.vertex0[a], t.vertex1[a]), t.vertex2[a]);
        }
        r.index = i;
        r.rounding_length = wide_rounding_length(t);
        range.least_rounding = least(range.least_rounding, r.rounding_length);
        grow(range.box, ref_lo(r), ref_hi(r));
        const __m128 c = ref_centroid2(r);
        grow(range.centroids, c, c);
    }
}

// Gathers the valid triangles into refs, in input order, ranges of the
// input at a time (on the pool's workers, if any); all describes them as one
// range.
void gather_refs(const triAccel* triangles, unsigned int count, PrimRef* refs,
                 ZrvGfxTaskManager* pool, GatheredRange& all) {
    const unsigned int kMaxRanges = 64, kMinRange = 16384;
    GatheredRange ranges[kMaxRanges];
    unsigned int size = count / kMaxRanges + 1;
    size = size < kMinRange ? kMinRange : size;
    const unsigned int range_count = count / size + (count % size != 0 ? 1u : 0u);
    for (unsigned int r = 0; r < range_count; ++r) {
        ranges[r].begin = r * size;
        ranges[r].end = count - ranges[r].begin < size ? count : ranges[r].begin + size;
    }
    run_jobs(pool, range_count, [&](unsigned int r) { gather_range(triangles, refs, ranges[r]); });
    // Close the gaps the invalid triangles left.
    all = GatheredRange{0, count, 0, empty_box(), empty_box(), kInfinity};
    for (unsigned int r = 0; r < range_count; ++r) {
        if (all.kept != ranges[r].begin)
            std::memmove(refs + all.kept, refs + ranges[r].begin, ranges[r].kept * sizeof(PrimRef));
        all.kept += ranges[r].kept;
        grow(all.box, ranges[r].box);
        grow(all.centroids, ranges[r].centroids);
        all.least_rounding = std::fmin(all.least_rounding, ranges[r].least_rounding);
    }
}

// A triangle's slop widens every box above it, up to the root, so a few
// triangles far flatter (or with edges far shorter) than the mesh's others
// would widen boxes across the whole tree, and every ray would enter them.
// Such triangles are set apart in a subtree of their own under the root:
// only its boxes widen, and a ray pays about one block test for every few of
// them. Set apart: a rounding length under a quarter of the typical one
// (the median of a sample), with a widening, for rays from the scene's
// middle, above a sixteenth of it. A mesh of small triangles in a large
// scene widens alike everywhere and keeps them all together.
const unsigned int kTypicalSample = 1024;
const float kSetApartBelowTypical = 0.25f;
const float kSetApartWidening = 1.0f / 16.0f;

// Moves the triangles to set apart to the end of refs, keeping the order of
// both sets, and returns how many (0 when none or all). scratch holds
// gathered.kept refs.
unsigned int set_apart_flat(PrimRef* refs, const GatheredRange& gathered, float extent,
                            PrimRef* scratch) {
    const unsigned int kept = gathered.kept;
    float sample[kTypicalSample];
    const unsigned int samples = kept < kTypicalSample ? kept : kTypicalSample;
    for (unsigned int i = 0; i < samples; ++i)
        sample[i] = refs[std::size_t(i) * kept / samples].rounding_length;
    std::nth_element(sample, sample + samples / 2, sample + samples);
    const float typical = sample[samples / 2];
    // widening = slop * reach^2, with a reach of half the extent.
    const float spread = WIDE_SLOP_FACTOR * 0.25f * extent * extent;
    const float below =
        std::fmin(typical * kSetApartBelowTypical, spread / (typical * kSetApartWidening));
    if (!(gathered.least_rounding < below))
        return 0;
    unsigned int apart = 0, stay = 0;
    for (unsigned int i = 0; i < kept; ++i) {
        if (refs[i].rounding_length < below)
            scratch[apart++] = refs[i];
        else
            refs[stay++] = refs[i];
    }
    if (apart == kept) // refs are as they were
        return 0;
    std::memcpy(refs + stay, scratch, std::size_t(apart) * sizeof(PrimRef));
    return apart;
}

} // namespace

bool wide_triangle_is_valid(const triAccel& t) {
    const float* const values[4] = {t.vertex0, t.vertex1, t.vertex2, t.normal};
    for (const float* v : values)
        for (int a = 0; a < 3; ++a)
            if (!std::isfinite(v[a]))
                return false;
    double cross[3];
    double_cross(t, cross);
    return cross[0] != 0.0 || cross[1] != 0.0 || cross[2] != 0.0;
}

bool build_wide_tree(const triAccel* triangles, unsigned int count, unsigned int threads,
                     WideBuildOutput& out) {
    out = WideBuildOutput{nullptr, nullptr, 0, 0, 0, 0, 0, {0, 0, 0}, {0, 0, 0}};
    PrimRef* const refs =
        static_cast<PrimRef*>(scratch_block_alloc(std::size_t(count) * sizeof(PrimRef)));
    if (count != 0 && refs == nullptr)
        return false;
    // One pool for every stage; without one (one thread, a small mesh, or no
    // memory for it) everything runs here.
    ZrvGfxTaskManager* const pool = threads > 1 && count >= 2 * kBinaryTaskThreshold
                                        ? new (std::nothrow) ZrvGfxTaskManager(threads)
                                        : nullptr;
    GatheredRange gathered;
    gather_refs(triangles, count, refs, pool, gathered);
    const unsigned int kept = gathered.kept;
    if (kept == 0) {
        delete pool;
        large_block_free(refs);
        return true;
    }

    alignas(16) float lo[4], hi[4];
    _mm_store_ps(lo, gathered.box.lo);
    _mm_store_ps(hi, gathered.box.hi);
    float extent = 0.0f;
    for (int a = 0; a < 3; ++a)
        extent = std::fmax(extent, hi[a] - lo[a]);
    const float pad = wide_box_pad(lo, hi);

    BinaryNode* const binary =
        static_cast<BinaryNode*>(scratch_block_alloc(std::size_t(2) * kept * sizeof(BinaryNode)));
    if (binary == nullptr) {
        delete pool;
        large_block_free(refs);
        return false;
    }
    // The binary nodes' memory is free until the tree is built.
    const unsigned int apart =
        set_apart_flat(refs, gathered, extent, reinterpret_cast<PrimRef*>(binary));
    build_binary_tree(refs, kept, gathered.box, gathered.centroids, apart, binary, pool);

    WideCollapsePlan plan;
    const WideTreeSize size = measure_wide_tree(binary, refs, pool, plan);
    WideNode* const nodes =
        static_cast<WideNode*>(large_block_alloc(std::size_t(size.nodes) * sizeof(WideNode)));
    TriangleBlock* const blocks = static_cast<TriangleBlock*>(
        large_block_alloc(std::size_t(size.blocks) * sizeof(TriangleBlock)));
    bool built = nodes != nullptr && blocks != nullptr;
    if (built) {
        out.depth = collapse_wide_tree(CollapseSource{binary, refs, triangles, pad}, plan, nodes,
                                       blocks, pool, out.leaf_count);
        out.nodes = nodes;
        out.blocks = blocks;
        out.node_count = size.nodes;
        out.block_count = size.blocks;
        out.kept = kept;
        for (int a = 0; a < 3; ++a) {
            out.scene_lo[a] = lo[a];
            out.scene_hi[a] = hi[a];
        }
    } else {
        large_block_free(nodes);
        large_block_free(blocks);
    }
    delete pool;
    large_block_free(binary);
    large_block_free(refs);
    return built;
}

} // namespace gfx_detail
