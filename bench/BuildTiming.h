// Timing of acceleration-structure builds for the build benchmarks, which
// use manual time so that setting up and freeing a structure is not counted.
#ifndef ZRV_BENCH_BUILD_TIMING_H
#define ZRV_BENCH_BUILD_TIMING_H

#include <benchmark/benchmark.h>

#include <cstddef>

namespace zrv {
namespace bench {

// Wall-clock and whole-process CPU time of the builds of one benchmark run.
class BuildTiming {
public:
    void start();
    // Ends the build started last and reports its wall time as the iteration time.
    void stop(benchmark::State& state);

    // Publishes "triangles", "s/build", "ns/(N log2 N)" (flat across sizes
    // for an N log N build), "cores_used" (process CPU time over wall time)
    // and triangles per second as items.
    void publish(benchmark::State& state, std::size_t triangles) const;

private:
    double wall_start_ = 0.0;
    double cpu_start_ = 0.0;
    double wall_total_ = 0.0;
    double cpu_total_ = 0.0;
};

// Publishes "nodes" and "depth" of the tree a build made.
void publish_tree_shape(benchmark::State& state, unsigned int nodes, unsigned int depth);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_BUILD_TIMING_H
