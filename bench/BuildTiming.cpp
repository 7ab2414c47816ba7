#include "BuildTiming.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace zrv {
namespace bench {

namespace {

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double process_cpu_seconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

} // namespace

void BuildTiming::start() {
    cpu_start_ = process_cpu_seconds();
    wall_start_ = wall_seconds();
}

void BuildTiming::stop(benchmark::State& state) {
    const double wall = wall_seconds() - wall_start_;
    cpu_total_ += process_cpu_seconds() - cpu_start_;
    wall_total_ += wall;
    state.SetIterationTime(wall);
}

void BuildTiming::publish(benchmark::State& state, std::size_t triangles) const {
    const double n = double(triangles);
    state.SetItemsProcessed(state.iterations() * std::int64_t(triangles));
    state.counters["triangles"] = n;
    state.counters["s/build"] = benchmark::Counter(wall_total_, benchmark::Counter::kAvgIterations);
    state.counters["ns/(N log2 N)"] = benchmark::Counter(wall_total_ * 1e9 / (n * std::log2(n)),
                                                         benchmark::Counter::kAvgIterations);
    state.counters["cores_used"] = wall_total_ > 0.0 ? cpu_total_ / wall_total_ : 0.0;
}

void publish_tree_shape(benchmark::State& state, unsigned int nodes, unsigned int depth) {
    state.counters["nodes"] = double(nodes);
    state.counters["depth"] = double(depth);
}

} // namespace bench
} // namespace zrv
