// What the trace benchmarks of one mesh size share: the primary rays, a
// KD-tree over the mesh, and the one-off check of its hits against Embree.
#ifndef ZRV_BENCH_TRACE_SETUP_H
#define ZRV_BENCH_TRACE_SETUP_H

#include "gfxRTKDTree.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace zrv {
namespace bench {

// The 2 x 2 packets of benchmark_camera() at IMAGE_SIZE x IMAGE_SIZE.
const std::vector<RayPacket>& benchmark_packets();

struct TraceSetup {
    std::size_t nominal = 0;
    std::unique_ptr<gfxRTKDTree> tree; // built serially, one traversal slot
    // Empty when the tree was built and its hits agree with Embree's (or
    // Embree is not available); otherwise why the trace benchmarks must stop.
    std::string error;
};

// Builds the tree over benchmark_mesh(nominal) and checks it on first use
// (untimed; prints the agreement), then returns the same set-up.
const TraceSetup& trace_setup(std::size_t nominal);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_TRACE_SETUP_H
