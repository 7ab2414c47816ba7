// The host's entry points for building acceleration structures.
#ifndef GFX_RT_ACCELERATION_STRUCTURE_SERVICES_H
#define GFX_RT_ACCELERATION_STRUCTURE_SERVICES_H

#include "gfxExport.h"
#include "gfxRTBVH.h"
#include "gfxRTKDTree.h"
#include "gfxRayTracing.h"
#include "gfxStream.h"

class GFX_API gfxRTAccelerationStructureServices {
public:
    // Largest number of seeds (and build threads) of a parallel KD-tree build.
    static const unsigned int MAX_KDTREE_SEEDS = 64;

    gfxRTAccelerationStructureServices() {}
    virtual ~gfxRTAccelerationStructureServices();

    // Builds tree over triangles[0 .. count - 1] on number_of_threads threads
    // (rounded down to a power of two, at most MAX_KDTREE_SEEDS; 0 or 1 build
    // serially). Returns 0 when built, 1 for a null tree or triangle pointer
    // (nothing done), or 2, 3, 4 when seeding, a subtree or the merge failed
    // and the tree was rebuilt serially. Whether the final build succeeded is
    // tree->get_statistic()->valid.
    static int CompileKDTree(gfxRTKDTree* tree, int number_of_threads, const triAccel* triangles,
                             unsigned int count);

    // Builds bvh over its objects on number_of_threads threads (1 or less:
    // serially). Returns 0 when built, 1 for a null bvh (nothing done), 2
    // when the build's consistency check failed.
    static int CompileBVHTree(gfxRTBVH* bvh, int number_of_threads);

    // A new tree for number_of_threads tracing threads, read from reader over
    // the host's triangles, or null when the stream does not hold a tree
    // (wrong tokens, a null triangle pointer, arrays that cannot be
    // allocated). The caller owns the tree. The stream is trusted: use the
    // checked loader below for files nobody vouches for.
    static gfxRTKDTree* UnstreamNewKDTree(gfxStreamReader& reader, const triAccel* triangles,
                                          unsigned int number_of_threads);

    // A new BVH over the host's triangles read from reader (the triangle
    // count comes from the stream), or null when the stream does not hold
    // one or the tree cannot be allocated. The caller owns the tree.
    static gfxRTBVH* UnstreamNewBVH(gfxStreamReader& reader, const triAccel* triangles);

    // Checked loading. Deepest depth limit a checked loader accepts: far
    // beyond what any build sets, and it bounds the traversal stacks.
    static const unsigned int MAX_CHECKED_KDTREE_DEPTH = 128;

    // As UnstreamNewKDTree for a stream nobody vouches for. triangle_count
    // is the length of the host's array. max_values bounds the values the
    // stream can still deliver (a byte stream's remaining size serves): no
    // count above it is allocated or read. After reading, the whole tree is
    // checked (see CheckKDTree). On failure returns null and, when reason is
    // not null, sets it to a sentence the host can show.
    static gfxRTKDTree* UnstreamNewKDTreeChecked(gfxStreamReader& reader, const triAccel* triangles,
                                                 unsigned int triangle_count,
                                                 unsigned int number_of_threads,
                                                 unsigned long long max_values,
                                                 PlxUnicodeString* reason);
    // True when traversing tree cannot reach outside its arrays or the host's
    // triangles[0 .. triangle_count - 1]: every node reachable exactly once
    // from the root and all nodes reachable, children pairs inside the node
    // array, split axes 0 to 2, leaves' object ranges inside the object
    // array and free of null entries, every object entry null or one of the
    // host's triangles, and no leaf deeper than the traversal stacks allow.
    // Otherwise false, with the first fault found in reason (when not null).
    static bool CheckKDTree(const gfxRTKDTree& tree, unsigned int triangle_count,
                            PlxUnicodeString* reason);

    // As UnstreamNewBVH for a stream nobody vouches for: triangle_count is
    // the length of the host's array, which the stream must have been saved
    // for; max_values as for UnstreamNewKDTreeChecked. After reading, the
    // whole tree is checked (see CheckBVH).
    static gfxRTBVH* UnstreamNewBVHChecked(gfxStreamReader& reader, const triAccel* triangles,
                                           unsigned int triangle_count,
                                           unsigned long long max_values, PlxUnicodeString* reason);
    // True when traversing bvh cannot reach outside its arrays or its
    // objects: every node reached once from the root and all nodes reached,
    // children inside the node array, after their parent and in pairs, leaf
    // ranges inside the order array, the order a permutation of the
    // object_count objects (which bvh must report as its object count), and
    // no more than gfxRTBVH's stack size of levels. Usable on any BVH a host
    // read itself, e.g. one over KD-trees. Otherwise false, with the first
    // fault found in reason (when not null).
    static bool CheckBVH(const gfxRTBVH& bvh, unsigned int object_count, PlxUnicodeString* reason);
};

#endif // GFX_RT_ACCELERATION_STRUCTURE_SERVICES_H
