// The wide BVH the trace benchmarks of one mesh size share, and the one-off
// check of its hits against Embree's on every figure it is measured on.
#ifndef ZRV_BENCH_WIDE_BVH_SETUP_H
#define ZRV_BENCH_WIDE_BVH_SETUP_H

#include "FrameTrace.h"
#include "QueryFigures.h"

#include "gfxRTWideBVH.h"

#include <cstddef>
#include <memory>
#include <string>

namespace zrv {
namespace bench {

struct WideBVHSetup {
    std::size_t nominal = 0;
    std::unique_ptr<gfxRTWideBVH> tree; // built on one thread
    // Empty when the tree was built and agrees with Embree on every figure
    // (or Embree is not available); otherwise why its benchmarks must stop.
    std::string error;

    // Traces the figure's rays with its call on `threads` threads: halves of
    // the packets on std::threads, or the batch call's own workers.
    FrameTrace trace(const QueryFigure& figure, unsigned int threads) const;
};

// Builds the wide BVH over benchmark_mesh(nominal) and checks it on first
// use (untimed; prints the agreements), then returns the same set-up.
const WideBVHSetup& wide_bvh_setup(std::size_t nominal);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_WIDE_BVH_SETUP_H
