#include "WideBVHTracing.h"

#include "LaneCalls.h"

namespace zrv {
namespace bench {

namespace {

unsigned int intersect_packet(const gfxRTWideBVH& tree, const RayPacket& rays, HitPacket& hits) {
    clear_hits(hits);
    if ((rays.active_mask & 0xF) == 0)
        return 0;
    // intersect4 takes the packet by non-const reference.
    RayPacket query = rays;
    RenderState state = {};
    __m128i hit_index;
    tree.intersect4(query, hits, hit_index, state, NO_HIT_DISTANCE);
    // Embree's primitive ids are host positions, as hit_index is.
    hits.id = hit_index;
    return 1;
}

// Neighbouring packets in one call, n at most four.
unsigned int intersect_fours(const gfxRTWideBVH& tree, const RayPacket* rays, std::size_t n,
                             HitPacket* hits) {
    __m128i hit_index[4];
    for (std::size_t k = 0; k < n; ++k)
        clear_hits(hits[k]);
    tree.intersect_packets(rays, hits, hit_index, unsigned(n), RenderState{}, NO_HIT_DISTANCE);
    for (std::size_t k = 0; k < n; ++k)
        hits[k].id = hit_index[k];
    return 1;
}

unsigned int intersect_lanes(const gfxRTWideBVH& tree, const RayPacket& rays, HitPacket& hits) {
    return intersect_each_lane(
        rays, hits, [&](const LaneRay& ray, float& t, float& u, float& v, int& id) {
            gfxRTWideHit hit;
            if (!tree.intersect1(ray.origin, ray.direction, NO_HIT_DISTANCE, hit))
                return false;
            t = hit.t;
            u = hit.u;
            v = hit.v;
            id = hit.index;
            return true;
        });
}

int occluded_lanes(const gfxRTWideBVH& tree, const RayPacket& rays, unsigned int& calls) {
    int occluded = 0;
    for (int lane = 0; lane < 4; ++lane) {
        if (!((rays.active_mask >> lane) & 1))
            continue;
        const LaneRay ray = lane_ray(rays, lane);
        if (tree.occluded1(ray.origin, ray.direction, NO_HIT_DISTANCE))
            occluded |= 1 << lane;
        ++calls;
    }
    return occluded;
}

} // namespace

FrameTrace trace_run_wide(const gfxRTWideBVH& tree, RayQuery query, const RayPacket* packets,
                          std::size_t count, HitPacket* hits_out, int* occluded_out) {
    if (query == RayQuery::PACKETS_IN_FOURS)
        return trace_packet_runs<4>(packets, count, hits_out,
                                    [&](const RayPacket* first, std::size_t n, HitPacket* hits) {
                                        return intersect_fours(tree, first, n, hits);
                                    });
    if (!is_occlusion(query)) {
        const bool one_ray = query == RayQuery::ONE_RAY;
        return trace_packets(packets, count, hits_out, [&](const RayPacket& rays, HitPacket& hits) {
            return one_ray ? intersect_lanes(tree, rays, hits) : intersect_packet(tree, rays, hits);
        });
    }
    const __m128 max_distance = _mm_set1_ps(NO_HIT_DISTANCE);
    FrameTrace frame;
    for (std::size_t i = 0; i < count; ++i) {
        const int active = packets[i].active_mask & 0xF;
        int occluded = 0;
        if (query == RayQuery::OCCLUDED_ONE_RAY) {
            unsigned int calls = 0;
            occluded = occluded_lanes(tree, packets[i], calls);
            frame.traversal_calls += calls;
        } else if (active) {
            occluded = tree.occluded4(packets[i], max_distance);
            ++frame.traversal_calls;
        }
        frame.rays += lane_count(active);
        frame.hits += lane_count(occluded & active);
        if (occluded_out)
            occluded_out[i] = occluded & active;
    }
    return frame;
}

FrameTrace trace_batch_wide(const gfxRTWideBVH& tree, const RayArrays& arrays, unsigned int threads,
                            BatchHits& hits) {
    hits.resize(arrays.count);
    tree.intersect_batch(arrays.origins.data(), arrays.directions.data(), nullptr,
                         unsigned(arrays.count), hits.t.data(), hits.index.data(), hits.u.data(),
                         hits.v.data(), threads);
    FrameTrace frame;
    frame.rays = arrays.count;
    frame.traversal_calls = 1;
    for (int index : hits.index)
        frame.hits += index >= 0;
    return frame;
}

} // namespace bench
} // namespace zrv
