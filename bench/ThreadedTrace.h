// A frame traced by several threads at once, as a host renders with them.
#ifndef ZRV_BENCH_THREADED_TRACE_H
#define ZRV_BENCH_THREADED_TRACE_H

#include "FrameTrace.h"

#include <cstddef>
#include <thread>
#include <vector>

namespace zrv {
namespace bench {

// Splits packets into `threads` runs of consecutive packets of (nearly) equal
// length and traces run k with trace_run(k, first packet, packet count) on a
// thread of its own, k being the thread index of its queries; one thread
// traces on the caller's. Returns the counts of the whole frame.
template <class TraceRun>
FrameTrace trace_in_threads(unsigned int threads, const std::vector<RayPacket>& packets,
                            TraceRun trace_run) {
    if (threads <= 1)
        return trace_run(0u, packets.data(), packets.size());
    std::vector<FrameTrace> frames(threads);
    std::vector<std::thread> workers;
    workers.reserve(threads);
    for (unsigned int k = 0; k < threads; ++k) {
        const std::size_t first = packets.size() * k / threads;
        const std::size_t last = packets.size() * (k + 1) / threads;
        workers.emplace_back([&frames, &packets, &trace_run, k, first, last] {
            frames[k] = trace_run(k, packets.data() + first, last - first);
        });
    }
    FrameTrace total;
    for (unsigned int k = 0; k < threads; ++k) {
        workers[k].join();
        total.rays += frames[k].rays;
        total.hits += frames[k].hits;
        total.traversal_calls += frames[k].traversal_calls;
    }
    return total;
}

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_THREADED_TRACE_H
