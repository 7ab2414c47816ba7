// Counters shared by the trace benchmarks.
#ifndef ZRV_BENCH_TRACE_COUNTERS_H
#define ZRV_BENCH_TRACE_COUNTERS_H

#include "FrameTrace.h"

#include <benchmark/benchmark.h>

#include <cstddef>

namespace zrv {
namespace bench {

// "triangles", "Mrays" (millions of rays per second of the benchmark's time),
// "hit_ratio", "calls/packet" (traversal calls per packet) and rays as items;
// frame is the last traced frame, every frame being the same.
inline void publish_trace_counters(benchmark::State& state, std::size_t triangles,
                                   std::size_t packets, const FrameTrace& frame) {
    const double frames = double(state.iterations());
    state.SetItemsProcessed(state.iterations() * std::int64_t(frame.rays));
    state.counters["triangles"] = double(triangles);
    state.counters["Mrays"] =
        benchmark::Counter(frames * double(frame.rays) * 1e-6, benchmark::Counter::kIsRate);
    state.counters["hit_ratio"] = frame.rays ? double(frame.hits) / double(frame.rays) : 0.0;
    state.counters["calls/packet"] =
        packets ? double(frame.traversal_calls) / double(packets) : 0.0;
}

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_TRACE_COUNTERS_H
