// The host's entry points for building acceleration structures.
#ifndef GFX_RT_ACCELERATION_STRUCTURE_SERVICES_H
#define GFX_RT_ACCELERATION_STRUCTURE_SERVICES_H

#include "gfxExport.h"
#include "gfxRTBVH.h"
#include "gfxRTKDTree.h"
#include "gfxRayTracing.h"

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
};

#endif // GFX_RT_ACCELERATION_STRUCTURE_SERVICES_H
