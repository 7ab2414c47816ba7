// What the trace benchmarks of one mesh size share: the library's two trees
// over the mesh, and the one-off check of their hits against Embree's on
// every ray set.
#ifndef ZRV_BENCH_TRACE_SETUP_H
#define ZRV_BENCH_TRACE_SETUP_H

#include "FrameTrace.h"

#include "gfxRTBVH.h"
#include "gfxRTKDTree.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace zrv {
namespace bench {

// The library's acceleration structures.
enum class Structure { KDTREE, BVH };

const Structure STRUCTURES[] = {Structure::KDTREE, Structure::BVH};

// "kdtree", "bvh": the structure's part of benchmark names.
const char* structure_label(Structure structure);
// "KD-tree", "BVH": the structure in messages.
const char* structure_name(Structure structure);

struct TraceSetup {
    std::size_t nominal = 0;
    std::unique_ptr<gfxRTKDTree> kdtree;    // built serially, one traversal slot
    std::unique_ptr<gfxRTBVH_triAccel> bvh; // built with build_tree(1)
    // Per structure: empty when its tree was built and its hits agree with
    // Embree's on every ray set (or Embree is not available); otherwise why
    // its trace benchmarks must stop.
    std::string kdtree_error;
    std::string bvh_error;

    const std::string& error(Structure structure) const;
    // Traces packets through the structure's tree on thread slot 0.
    FrameTrace trace(Structure structure, const std::vector<RayPacket>& packets,
                     std::vector<HitPacket>* hits_out) const;
};

// Builds both trees over benchmark_mesh(nominal) and checks them on first use
// (untimed; prints the agreements), then returns the same set-up.
const TraceSetup& trace_setup(std::size_t nominal);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_TRACE_SETUP_H
