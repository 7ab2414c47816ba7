// Two-level structures over one mesh: the mesh split into runs of its
// triangle list (which follow the knot's tube), one KD-tree each, under a BVH.
#ifndef ZRV_BENCH_TWO_LEVEL_BUILD_H
#define ZRV_BENCH_TWO_LEVEL_BUILD_H

#include "gfxRTBVH.h"
#include "gfxRTKDTree.h"

#include <cstddef>
#include <memory>
#include <vector>

namespace zrv {
namespace bench {

// Traversal slots of every KD-tree the benchmarks trace: enough for the
// two-thread traces.
const unsigned int TRACE_SLOTS = 2;

// KD-trees over parts of a mesh under one BVH; the parts' triangles live here.
struct TwoLevelTree {
    std::vector<std::vector<triAccel>> parts;
    std::unique_ptr<gfxRTBVH_KDTree> bvh;
};

// Splits mesh into `parts` runs and builds them on `threads` threads: the
// KD-trees (serial builds, TRACE_SLOTS traversal slots each) shared out
// among std::threads, then the BVH over them with build_tree(threads).
// False on failure.
bool build_two_level(const std::vector<triAccel>& mesh, std::size_t parts, unsigned int threads,
                     TwoLevelTree& out);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_TWO_LEVEL_BUILD_H
