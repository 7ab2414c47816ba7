// One pass of a set of packets through any acceleration structure: the loop,
// the "no hit" start of each packet and the counts every trace reports.
#ifndef ZRV_BENCH_FRAME_TRACE_H
#define ZRV_BENCH_FRAME_TRACE_H

#include "gfxRayTracing.h"

#include <cstddef>
#include <vector>

namespace zrv {
namespace bench {

// Distance limit of the benchmark rays: no limit in practice, but finite.
const float NO_HIT_DISTANCE = 1e30f;

// Number of set bits of a four-lane mask.
inline unsigned int lane_count(int mask) {
    return unsigned((mask & 1) + ((mask >> 1) & 1) + ((mask >> 2) & 1) + ((mask >> 3) & 1));
}

// Every lane without a hit, as a host sets a HitPacket before a query.
inline void clear_hits(HitPacket& hits) {
    hits.t = _mm_set1_ps(NO_HIT_DISTANCE);
    hits.u = _mm_setzero_ps();
    hits.v = _mm_setzero_ps();
    hits.id = _mm_set1_epi32(-1);
}

// Hits of a whole frame.
struct FrameTrace {
    std::size_t rays = 0;
    std::size_t hits = 0;
    std::size_t traversal_calls = 0;
};

// Traces packets[0, count) in runs of up to kRun with trace_run(const
// RayPacket* first, std::size_t n, HitPacket* hits), which fills hits[0, n)
// and returns the number of traversal calls it made; a hit is an id >= 0.
// When hits_out is not null it receives one HitPacket per packet.
template <std::size_t kRun, class TraceRun>
FrameTrace trace_packet_runs(const RayPacket* packets, std::size_t count, HitPacket* hits_out,
                             TraceRun trace_run) {
    FrameTrace frame;
    HitPacket hits[kRun];
    for (std::size_t first = 0; first < count; first += kRun) {
        const std::size_t n = count - first < kRun ? count - first : kRun;
        frame.traversal_calls += trace_run(packets + first, n, hits);
        for (std::size_t k = 0; k < n; ++k) {
            const int active = packets[first + k].active_mask & 0xF;
            const int hit_lanes =
                _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(hits[k].id, _mm_set1_epi32(-1))));
            frame.hits += lane_count(hit_lanes & active);
            frame.rays += lane_count(active);
            if (hits_out)
                hits_out[first + k] = hits[k];
        }
    }
    return frame;
}

// Traces packets[0, count) with trace_one(const RayPacket&, HitPacket&), which
// returns the number of traversal calls it made, as trace_packet_runs does.
template <class TraceOne>
FrameTrace trace_packets(const RayPacket* packets, std::size_t count, HitPacket* hits_out,
                         TraceOne trace_one) {
    return trace_packet_runs<1>(packets, count, hits_out,
                                [&](const RayPacket* first, std::size_t, HitPacket* hits) {
                                    return trace_one(*first, *hits);
                                });
}

// The same over a whole vector of packets.
template <class TraceOne>
FrameTrace trace_packets(const std::vector<RayPacket>& packets, std::vector<HitPacket>* hits_out,
                         TraceOne trace_one) {
    if (hits_out)
        hits_out->resize(packets.size());
    return trace_packets(packets.data(), packets.size(), hits_out ? hits_out->data() : nullptr,
                         trace_one);
}

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_FRAME_TRACE_H
