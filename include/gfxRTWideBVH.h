// A wide bounding-volume hierarchy over triangles, made for tracing speed.
//
// Eight children per node, their boxes stored lane by lane so that one SIMD
// test checks them all; leaves are blocks of four triangles stored lane by
// lane. The tree keeps its own copy of everything its traversals read, so the
// host may free or change its triAccel records once build() has returned.
//
// Every traversal gives the hit a brute force over all triangles with
// gfxRT_ray_triangle_intersect gives, bit for bit: the nearest t the kernel
// accepts (0.0001 <= t < the limit), and at equal t the lowest position in
// the host's array. The result therefore does not depend on the tree's shape,
// the thread count, the batch order or the kernel version. Box tests are
// widened (boxes padded outwards, slab intervals widened, and faces moved out
// with the square of the ray's distance, as the kernel's rounding grows), so
// that no triangle the kernel would hit is culled. There are two
// exceptions, where the kernel itself may report a hit far from the
// triangle, and the tree does not follow it:
// - a ray at a shallow angle to a triangle's plane: the kernel's rounding
//   may take its crossing of the plane as inside the triangle when it lies
//   well outside, by more the shallower the angle and the farther the
//   ray's origin; below about 1e-4 radians, anywhere along the plane. The
//   widening covers steep rays, and shallow ones from near. Measured on a
//   sphere and a floor with rays aimed at points of edges: none of 20,000
//   differs from within six times the scene's size; from up to seventeen
//   times, 6 do, at angles up to 2.3 degrees; from up to fifty times, 95,
//   at up to 7 degrees. Smaller triangles show it from nearer: with a
//   sphere of radius 0.05 (edges of about 0.003) on a floor 3 wide, 284 of
//   40,000 such rays from up to 8 away differ, and one seen there met the
//   plane at 4.6 degrees;
// - a ray whose signed volumes overflow or all come out zero: they multiply
//   two vertices' offsets from the origin and the direction, and beyond
//   float's range (offsets squared times the direction's size above about
//   1e37; offsets of 3e18 for a unit direction) they become infinite or
//   NaN, while for a triangle too small to be told apart from the origin
//   (edges below float's rounding of the offsets) they cancel to zero. The
//   kernel compares their sign bits as it compares any others, and reports
//   the ray crossing the triangle's plane, wherever that is, with NaN u and
//   v.
//
// Triangles with a NaN or infinite coordinate (vertex or normal) and
// triangles of zero area are left out of the tree: they are never hit. Rays
// with a non-finite component or a zero direction miss.
//
// A nearly flat triangle, with a vertex close to the line of the opposite
// edge, is hit by the kernel past its corners by about the rounding of its
// edges over its least altitude, and the boxes above it widen with that
// for rays from afar. The build sets triangles far flatter (or with edges
// far shorter) than most of the mesh's apart, in a subtree of their own
// under the root, so that only that subtree's boxes widen; a ray then tests
// about one block for every four of them its widened reach takes in. They
// still cost time: on the 100k benchmark mesh, camera rays traced 7 %
// slower with one triangle whose least altitude is about 1e-4 of its
// shortest edge, 15 % with ten and 3 to 4 times with a hundred (2.7 and 17
// times before they were set apart); a hundred at about 1e-3 cost about
// 20 % of camera rays and random rays alike, and at 1e-2 nothing. Such
// triangles are usually left over from meshing; removing or welding them
// keeps the tree fast.
//
// All queries are const and may run on any number of threads at once; they
// use no per-thread slot, and only list_batch allocates (its list, and
// buffers its workers grow while they gather hits).
#ifndef GFX_RT_WIDE_BVH_H
#define GFX_RT_WIDE_BVH_H

#include "gfxExport.h"
#include "gfxRTWideClosestPoint.h"
#include "gfxRTWideHitList.h"
#include "gfxRayTracing.h"
#include "gfxStream.h"

#include <cstddef>

// The nearest hit of one ray.
struct gfxRTWideHit {
    float t;   // distance in units of the ray's direction; max_distance on a miss
    float u;   // weight of vertex1, negative for a back-side hit (as the kernel's)
    float v;   // weight of vertex2
    int index; // position of the triangle in the host's array; -1 on a miss
};

// What a built tree holds (gfxRTWideBVH::statistics).
struct gfxRTWideBVHStatistics {
    unsigned int input_triangles; // the count given to build()
    unsigned int triangles;       // those kept (finite, of non-zero area)
    unsigned int nodes;           // wide inner nodes
    unsigned int leaves;          // children that are leaves
    unsigned int blocks;          // four-triangle blocks
    unsigned int depth;           // wide nodes on the longest path from the root
    std::size_t bytes;            // memory_bytes()
};

class GFX_API gfxRTWideBVH {
public:
    // Children per node and triangles per block.
    static const unsigned int WIDTH = 8;
    static const unsigned int BLOCK_SIZE = 4;
    // Most workers a build uses; larger requests are capped.
    static const unsigned int MAX_BUILD_THREADS = 64;
    // Largest triangle count a tree indexes.
    static const unsigned int MAX_TRIANGLES = 1u << 27;

    gfxRTWideBVH();
    ~gfxRTWideBVH();
    gfxRTWideBVH(const gfxRTWideBVH&) = delete;
    gfxRTWideBVH& operator=(const gfxRTWideBVH&) = delete;

    // Builds over count records on threads workers (0 counts as 1). Returns
    // false, leaving an empty tree, when count exceeds MAX_TRIANGLES, when
    // triangles is null with a non-zero count, or when memory runs out. Zero
    // triangles build an empty tree that every ray misses.
    bool build(const triAccel* triangles, unsigned int count, unsigned int threads);
    // Builds trees[j] over counts[j] records from triangles[j] for each j <
    // count, each as build() makes it, on threads workers (0 counts as 1):
    // meshes of fewer than 65,536 triangles, whose builds gain little from
    // more workers, are built side by side, one per worker, when there are
    // at least as many of them as workers; the others are built one after
    // another on every worker. Returns false, with every tree left empty,
    // when any build fails.
    static bool build_each(gfxRTWideBVH* trees, const triAccel* const* triangles,
                           const unsigned int* counts, unsigned int count, unsigned int threads);
    // Refits the tree to count records holding the triangles build() was
    // given, in the same order, moved (a deforming mesh's next frame), on
    // threads workers (0 counts as 1). The tree keeps its nodes and leaves;
    // its copies of the triangles (flags and ids included), every box and
    // the scene's box are worked out again from the records, so every query
    // gives the hits the brute force over them gives, as after a build. The
    // longer the tree is refitted away from the shape it was built for, the
    // slower it traces: build() again then. Returns false, leaving the tree
    // as it was, when count is not the build's, when triangles is null with
    // a non-zero count, when the valid triangles (finite, of non-zero area)
    // are not the ones the tree holds (build() again then), or when memory
    // runs out. Must not run while the tree is queried.
    bool refit(const triAccel* triangles, unsigned int count, unsigned int threads);
    // Releases everything: an empty tree.
    void clear();
    // Exchanges the two trees' contents, copying and allocating nothing: a
    // host builds a replacement on another thread while this tree is traced,
    // then swaps it in between queries. Must not run while either is queried.
    void swap(gfxRTWideBVH& other);

    // Nearest hit of one ray with 0.0001 <= t < max_distance. Returns whether
    // there is one; hit is written either way.
    bool intersect1(const float origin[3], const float direction[3], float max_distance,
                    gfxRTWideHit& hit) const;
    // Whether any triangle that casts shadows (casts_shadow != 0) is hit with
    // 0.0001 <= t < max_distance; stops at the first such hit.
    bool occluded1(const float origin[3], const float direction[3], float max_distance) const;

    // The packet query of the library's other trees, lanes of any
    // directions: for the lanes of rays.active_mask, the nearest hit with
    // 0.0001 <= t < min(hits.t, max_distance), tested with the packet kernel
    // (including its packet-wide back-face early out). Lanes with a hit get
    // t, u, v and id (the record's triangle_id) in hits and the triangle's
    // position in hit_index; the others keep hits and get -1 in hit_index.
    // With state.shadow_rays, triangles that cast no shadow are skipped and
    // u and v are left alone. state.thread_index is not used.
    void intersect4(RayPacket& rays, HitPacket& hits, __m128i& hit_index, const RenderState& state,
                    float max_distance) const;
    // count packets, each with what intersect4 gives it, bit for bit.
    // Packets from one point whose lanes lie within a few degrees of each
    // other, such as neighbouring 2x2 blocks of a camera's pixels, are
    // walked four at a time, each node tested once for all of them: pass a
    // camera's packets in fours of neighbouring blocks. A group's walk takes
    // in every box each packet's own would, so where the first exception
    // above applies it may also find a far hit that intersect4 misses.
    void intersect_packets(const RayPacket* rays, HitPacket* hits, __m128i* hit_index,
                           unsigned int count, const RenderState& state, float max_distance) const;
    // The lanes of rays.active_mask whose ray hits a triangle that casts
    // shadows with 0.0001 <= t < the lane's max_distance, as a lane mask.
    int occluded4(const RayPacket& rays, __m128 max_distance) const;

    // count rays: origins and directions hold three floats per ray,
    // max_distances one (null: no limit). Writes each ray's nearest hit into
    // t, index, u and v (u and v may be null) in the caller's order, as
    // intersect1 would. threads workers share the rays (0 counts as 1).
    // Each run of sixteen rays at positions 16k to 16k + 15 that start at
    // one point, bit for bit, and lie within a few degrees of each other
    // (neighbouring pixels of a camera) is walked as intersect_packets walks
    // four packets, each ray still with its own back-face early out: give a
    // camera's rays in the order of its pixels, or of its 2x2 blocks, and
    // they trace several times faster. Like intersect_packets, such a run
    // may find a far hit of the first exception above that intersect1
    // misses; which rays form runs depends on their positions alone, not on
    // the thread count.
    void intersect_batch(const float* origins, const float* directions, const float* max_distances,
                         unsigned int count, float* t, int* index, float* u, float* v,
                         unsigned int threads) const;
    // occluded[i] = 1 where occluded1 holds for ray i, 0 elsewhere; runs of
    // a camera's rays are walked together as in intersect_batch.
    void occluded_batch(const float* origins, const float* directions, const float* max_distances,
                        unsigned int count, unsigned char* occluded, unsigned int threads) const;

    // Every hit, not only the nearest: counts[i] = the triangles the kernel
    // hits on ray i with 0.0001 <= t < its max distance, from either side
    // (casts_shadow is not consulted; a triangle with backface_early_out
    // counts only from its front, as the kernel has it), found with the
    // nearest-hit traversal's widened box tests and a limit that never
    // shrinks. Where a ray meets an edge or a vertex exactly, one of the
    // kernel's signed volumes is exactly zero and its sign bit decides, +0
    // going with the front: such a ray counts every triangle sharing the
    // point when it comes from their front and none from their back. Where
    // rounding leaves the volumes non-zero, two triangles sharing an edge
    // take a ray through it exactly once between them, but a ray through a
    // vertex may count several of the triangles around it, or none. Counts
    // are therefore no robust inside/outside test.
    void count_batch(const float* origins, const float* directions, const float* max_distances,
                     unsigned int count, unsigned int* counts, unsigned int threads) const;
    // Those hits themselves, into list (released first; see
    // gfxRTWideHitList.h), each with the t, u and v intersect1 would give
    // for its triangle alone, and instance -1. Gathered in one traversal
    // per ray. False, leaving an empty list and nothing held, when memory
    // runs out.
    bool list_batch(const float* origins, const float* directions, const float* max_distances,
                    unsigned int count, gfxRTWideHitList& list, unsigned int threads) const;

    // The nearest point of the kept triangles to point closer than
    // max_distance (infinity: no limit; squared distances are compared as
    // floats); at equal distance, the lowest triangle position. Triangles
    // left out of the tree (non-finite, zero area) are never found. Returns
    // whether there is one; closest is written either way: with nothing
    // found, index -1, distance max_distance and a NaN point. A non-finite
    // point, or a max_distance not above 0, finds nothing.
    //
    // Each triangle's closest point comes from Ericson's region test in
    // float, the same operations for every kernel version, so the answer
    // does not depend on the tree, the thread count or the processor;
    // feature names the region. The test keeps to float's range for
    // triangles whose edges are between about 1e-9 and 1e9 units long.
    bool closest_point(const float point[3], float max_distance,
                       gfxRTWideClosestPoint& closest) const;
    // count points (three floats each), each with closest_point's answer for
    // its own max distance (max_distances null: no limit), in the caller's
    // order, on threads workers (0 counts as 1).
    void closest_batch(const float* points, const float* max_distances, unsigned int count,
                       gfxRTWideClosestPoint* closest, unsigned int threads) const;

    // Saving and restoring through the library's stream interfaces. stream
    // writes the tree's own tokens, its counts, boxes, nodes, triangle blocks
    // and id table; it returns false only for a tree it cannot describe.
    bool stream(gfxStreamWriter& writer) const;
    // Reads a tree that stream wrote and checks it before it replaces this
    // one: every count bounded by max_values (the values the stream can
    // still deliver; a byte stream's remaining size serves), every child and
    // block reference in range, each node reached exactly once, the depth
    // within the traversal's stack, no NaN in a used box. A tree that passes
    // traces exactly as the tree that wrote it. Otherwise returns false,
    // leaves this tree empty with nothing allocated and, when reason is not
    // null, sets it to one line that says why.
    bool unstream(gfxStreamReader& reader, unsigned long long max_values,
                  PlxUnicodeString* reason = nullptr);

    bool empty() const { return node_count_ == 0; }
    // The box of the triangles the tree holds (those its build kept, or those
    // of the tree unstream read). False, with lo and hi untouched, for an
    // empty tree.
    bool bounds(float lo[3], float hi[3]) const;
    // Bytes the tree holds: nodes, triangle blocks and the id table.
    std::size_t memory_bytes() const;
    gfxRTWideBVHStatistics statistics() const;

private:
    friend struct gfxRTWideBVHAccess;

    void* nodes_;             // node_count_ wide nodes
    void* blocks_;            // block_count_ triangle blocks
    int* triangle_ids_;       // the records' triangle_id by host position
    unsigned int node_count_; // 0 for an empty tree
    unsigned int block_count_;
    unsigned int input_count_; // records given to build()
    unsigned int kept_count_;  // triangles in the blocks
    unsigned int leaf_count_;
    unsigned int depth_;
    float scene_lo_[3]; // the box of the kept triangles
    float scene_hi_[3];
    float uniform_slop_;     // one slop for every box test, or 0 for each child's own
    float longest_edge_;     // of any kept triangle, rounded up
    bool children_adjacent_; // each node's inner children at consecutive nodes
};

#endif // GFX_RT_WIDE_BVH_H
