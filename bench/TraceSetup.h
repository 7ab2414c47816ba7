// What the trace benchmarks of one mesh size share: the library's two trees
// over the mesh, and the one-off check of their hits against Embree's on
// every ray set.
#ifndef ZRV_BENCH_TRACE_SETUP_H
#define ZRV_BENCH_TRACE_SETUP_H

#include "FrameTrace.h"
#include "TwoLevelBuild.h"

#include "gfxRTBVH.h"
#include "gfxRTKDTree.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace zrv {
namespace bench {

// The library's acceleration structures: one KD-tree, the BVH over the
// triangles, and two-level structures whose BVH holds the mesh split into 16
// or 256 KD-trees (runs of the triangle list, which follow the knot's tube).
enum class Structure { KDTREE, BVH, TWO_LEVEL_16, TWO_LEVEL_256 };

const Structure STRUCTURES[] = {Structure::KDTREE, Structure::BVH, Structure::TWO_LEVEL_16,
                                Structure::TWO_LEVEL_256};
const std::size_t STRUCTURE_COUNT = sizeof(STRUCTURES) / sizeof(STRUCTURES[0]);

// "kdtree", "bvh", "twolevel16", "twolevel256": the structure's part of
// benchmark names.
const char* structure_label(Structure structure);
// "KD-tree", "BVH", ...: the structure in messages.
const char* structure_name(Structure structure);

struct TraceSetup {
    std::size_t nominal = 0;
    std::unique_ptr<gfxRTKDTree> kdtree;      // built serially, TRACE_SLOTS traversal slots
    std::unique_ptr<gfxRTBVH_triAccel> bvh;   // built with build_tree(1)
    TwoLevelTree two_level_16, two_level_256; // built on one thread
    // Per structure: empty when its tree was built and its hits agree with
    // Embree's on every ray set (or Embree is not available); otherwise why
    // its trace benchmarks must stop.
    std::string errors[STRUCTURE_COUNT];

    const std::string& error(Structure structure) const {
        return errors[static_cast<std::size_t>(structure)];
    }
    // Traces packets through the structure's tree on thread slot 0.
    FrameTrace trace(Structure structure, const std::vector<RayPacket>& packets,
                     std::vector<HitPacket>* hits_out) const;
    // Traces packets on `threads` threads at once (at most TRACE_SLOTS), the
    // hits left out.
    FrameTrace trace(Structure structure, const std::vector<RayPacket>& packets,
                     unsigned int threads) const;
};

// Builds every structure over benchmark_mesh(nominal) and checks them on first use
// (untimed; prints the agreements), then returns the same set-up.
const TraceSetup& trace_setup(std::size_t nominal);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_TRACE_SETUP_H
