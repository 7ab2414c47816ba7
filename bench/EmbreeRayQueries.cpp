#include "EmbreeRayQueries.h"

#include "LaneCalls.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace zrv {
namespace bench {

namespace {

// Hits nearer than this are rejected, as by the library's triangle test.
const float EMBREE_TNEAR = 0.0001f;
// Rays per rtcIntersect1M call: the records stay in the first-level cache.
const std::size_t BATCH_CHUNK = 256;

RTCIntersectContext make_context(bool coherent) {
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    context.flags =
        coherent ? RTC_INTERSECT_CONTEXT_FLAG_COHERENT : RTC_INTERSECT_CONTEXT_FLAG_INCOHERENT;
    return context;
}

void set_ray(RTCRay& ray, const float origin[3], const float direction[3]) {
    ray.org_x = origin[0];
    ray.org_y = origin[1];
    ray.org_z = origin[2];
    ray.tnear = EMBREE_TNEAR;
    ray.dir_x = direction[0];
    ray.dir_y = direction[1];
    ray.dir_z = direction[2];
    ray.time = 0.0f;
    ray.tfar = NO_HIT_DISTANCE;
    ray.mask = ~0u;
    ray.id = 0;
    ray.flags = 0;
}

struct PacketLanes {
    alignas(16) float origin[3][4];
    alignas(16) float direction[3][4];

    explicit PacketLanes(const RayPacket& packet) {
        _mm_store_ps(origin[0], packet.origin.x);
        _mm_store_ps(origin[1], packet.origin.y);
        _mm_store_ps(origin[2], packet.origin.z);
        _mm_store_ps(direction[0], packet.direction.x);
        _mm_store_ps(direction[1], packet.direction.y);
        _mm_store_ps(direction[2], packet.direction.z);
    }
    void lane(int k, RTCRay& ray) const {
        const float o[3] = {origin[0][k], origin[1][k], origin[2][k]};
        const float d[3] = {direction[0][k], direction[1][k], direction[2][k]};
        set_ray(ray, o, d);
    }
};

unsigned int intersect_lanes(RTCScene scene, RTCIntersectContext& context, const RayPacket& rays,
                             HitPacket& hits) {
    return intersect_each_lane(rays, hits,
                               [&](const LaneRay& ray, float& t, float& u, float& v, int& id) {
                                   RTCRayHit query;
                                   set_ray(query.ray, ray.origin, ray.direction);
                                   query.hit.geomID = RTC_INVALID_GEOMETRY_ID;
                                   query.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
                                   rtcIntersect1(scene, &context, &query);
                                   if (query.hit.geomID == RTC_INVALID_GEOMETRY_ID)
                                       return false;
                                   t = query.ray.tfar;
                                   u = query.hit.u;
                                   v = query.hit.v;
                                   id = int(query.hit.primID);
                                   return true;
                               });
}

// n (at most four) neighbouring packets through one rtcIntersect16, packet
// k in lanes 4k to 4k + 3.
unsigned int intersect_fours(RTCScene scene, RTCIntersectContext& context, const RayPacket* rays,
                             std::size_t n, HitPacket* hits) {
    alignas(64) RTCRayHit16 query;
    alignas(64) int valid[16];
    for (std::size_t k = 0; k < 4; ++k) {
        const RayPacket& packet = rays[k < n ? k : 0];
        const std::size_t at = 4 * k;
        _mm_store_ps(query.ray.org_x + at, packet.origin.x);
        _mm_store_ps(query.ray.org_y + at, packet.origin.y);
        _mm_store_ps(query.ray.org_z + at, packet.origin.z);
        _mm_store_ps(query.ray.dir_x + at, packet.direction.x);
        _mm_store_ps(query.ray.dir_y + at, packet.direction.y);
        _mm_store_ps(query.ray.dir_z + at, packet.direction.z);
        for (std::size_t lane = 0; lane < 4; ++lane) {
            query.ray.tnear[at + lane] = EMBREE_TNEAR;
            query.ray.tfar[at + lane] = NO_HIT_DISTANCE;
            query.ray.time[at + lane] = 0.0f;
            query.ray.mask[at + lane] = ~0u;
            query.ray.id[at + lane] = 0;
            query.ray.flags[at + lane] = 0;
            query.hit.geomID[at + lane] = RTC_INVALID_GEOMETRY_ID;
            query.hit.instID[0][at + lane] = RTC_INVALID_GEOMETRY_ID;
            valid[at + lane] = k < n && ((packet.active_mask >> lane) & 1) ? -1 : 0;
        }
    }
    rtcIntersect16(valid, scene, &context, &query);
    for (std::size_t k = 0; k < n; ++k) {
        alignas(16) int id[4];
        for (std::size_t lane = 0; lane < 4; ++lane)
            id[lane] = query.hit.geomID[4 * k + lane] == RTC_INVALID_GEOMETRY_ID
                           ? -1
                           : int(query.hit.primID[4 * k + lane]);
        hits[k].t = _mm_load_ps(query.ray.tfar + 4 * k);
        hits[k].u = _mm_load_ps(query.hit.u + 4 * k);
        hits[k].v = _mm_load_ps(query.hit.v + 4 * k);
        hits[k].id = _mm_load_si128(reinterpret_cast<const __m128i*>(id));
    }
    return 1;
}

int occluded_packet(RTCScene scene, RTCIntersectContext& context, const RayPacket& rays) {
    alignas(16) RTCRay4 query;
    _mm_store_ps(query.org_x, rays.origin.x);
    _mm_store_ps(query.org_y, rays.origin.y);
    _mm_store_ps(query.org_z, rays.origin.z);
    _mm_store_ps(query.dir_x, rays.direction.x);
    _mm_store_ps(query.dir_y, rays.direction.y);
    _mm_store_ps(query.dir_z, rays.direction.z);
    _mm_store_ps(query.tnear, _mm_set1_ps(EMBREE_TNEAR));
    _mm_store_ps(query.tfar, _mm_set1_ps(NO_HIT_DISTANCE));
    _mm_store_ps(query.time, _mm_setzero_ps());
    _mm_store_si128(reinterpret_cast<__m128i*>(query.mask), _mm_set1_epi32(-1));
    _mm_store_si128(reinterpret_cast<__m128i*>(query.id), _mm_setzero_si128());
    _mm_store_si128(reinterpret_cast<__m128i*>(query.flags), _mm_setzero_si128());
    const __m128i lane_bits = _mm_set_epi32(8, 4, 2, 1);
    alignas(16) int valid[4];
    _mm_store_si128(
        reinterpret_cast<__m128i*>(valid),
        _mm_cmpeq_epi32(_mm_and_si128(_mm_set1_epi32(rays.active_mask), lane_bits), lane_bits));
    rtcOccluded4(valid, scene, &context, &query);
    // Embree sets tfar to -inf on the occluded lanes.
    return _mm_movemask_ps(_mm_cmplt_ps(_mm_load_ps(query.tfar), _mm_setzero_ps())) &
           rays.active_mask & 0xF;
}

int occluded_lanes(RTCScene scene, RTCIntersectContext& context, const RayPacket& rays,
                   unsigned int& calls) {
    const PacketLanes lanes(rays);
    int occluded = 0;
    for (int lane = 0; lane < 4; ++lane) {
        if (!((rays.active_mask >> lane) & 1))
            continue;
        RTCRay query;
        lanes.lane(lane, query);
        rtcOccluded1(scene, &context, &query);
        if (query.tfar < 0.0f)
            occluded |= 1 << lane;
        ++calls;
    }
    return occluded;
}

// Rays [first, last) of arrays through rtcIntersect1M.
std::size_t batch_run(RTCScene scene, const RayArrays& arrays, std::size_t first, std::size_t last,
                      BatchHits& hits) {
    RTCIntersectContext context = make_context(false);
    RTCRayHit records[BATCH_CHUNK];
    std::size_t hit_count = 0;
    for (std::size_t start = first; start < last; start += BATCH_CHUNK) {
        const std::size_t count = std::min(BATCH_CHUNK, last - start);
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t ray = start + k;
            set_ray(records[k].ray, &arrays.origins[3 * ray], &arrays.directions[3 * ray]);
            records[k].hit.geomID = RTC_INVALID_GEOMETRY_ID;
            records[k].hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
        }
        rtcIntersect1M(scene, &context, records, unsigned(count), sizeof(RTCRayHit));
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t ray = start + k;
            const bool hit = records[k].hit.geomID != RTC_INVALID_GEOMETRY_ID;
            hits.t[ray] = records[k].ray.tfar;
            hits.index[ray] = hit ? int(records[k].hit.primID) : -1;
            hits.u[ray] = records[k].hit.u;
            hits.v[ray] = records[k].hit.v;
            hit_count += hit;
        }
    }
    return hit_count;
}

} // namespace

FrameTrace trace_run_embree_query(RTCScene scene, RayQuery query, bool coherent,
                                  const RayPacket* packets, std::size_t count, HitPacket* hits_out,
                                  int* occluded_out) {
    RTCIntersectContext context = make_context(coherent);
    if (query == RayQuery::PACKETS_IN_FOURS)
        return trace_packet_runs<4>(packets, count, hits_out,
                                    [&](const RayPacket* first, std::size_t n, HitPacket* hits) {
                                        return intersect_fours(scene, context, first, n, hits);
                                    });
    if (query == RayQuery::ONE_RAY)
        return trace_packets(packets, count, hits_out, [&](const RayPacket& rays, HitPacket& hits) {
            return intersect_lanes(scene, context, rays, hits);
        });
    FrameTrace frame;
    if (!is_occlusion(query))
        return frame;
    for (std::size_t i = 0; i < count; ++i) {
        const int active = packets[i].active_mask & 0xF;
        int occluded = 0;
        if (query == RayQuery::OCCLUDED_ONE_RAY) {
            unsigned int calls = 0;
            occluded = occluded_lanes(scene, context, packets[i], calls);
            frame.traversal_calls += calls;
        } else if (active) {
            occluded = occluded_packet(scene, context, packets[i]);
            ++frame.traversal_calls;
        }
        frame.rays += lane_count(active);
        frame.hits += lane_count(occluded & active);
        if (occluded_out)
            occluded_out[i] = occluded & active;
    }
    return frame;
}

FrameTrace trace_batch_embree(RTCScene scene, const RayArrays& arrays, unsigned int threads,
                              BatchHits& hits) {
    hits.resize(arrays.count);
    if (threads == 0)
        threads = 1;
    FrameTrace frame;
    frame.rays = arrays.count;
    frame.traversal_calls = 1;
    if (threads == 1) {
        frame.hits = batch_run(scene, arrays, 0, arrays.count, hits);
        return frame;
    }
    std::vector<std::size_t> hit_counts(threads);
    std::vector<std::thread> workers;
    for (unsigned int k = 0; k < threads; ++k) {
        const std::size_t first = arrays.count * k / threads;
        const std::size_t last = arrays.count * (k + 1) / threads;
        workers.emplace_back(
            [&, k, first, last] { hit_counts[k] = batch_run(scene, arrays, first, last, hits); });
    }
    for (unsigned int k = 0; k < threads; ++k) {
        workers[k].join();
        frame.hits += hit_counts[k];
    }
    return frame;
}

} // namespace bench
} // namespace zrv
