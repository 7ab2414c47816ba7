#include "EmbreeAllHits.h"

#include "ChunkedWork.h"
#include "EmbreeRays.h"

#include <algorithm>
#include <atomic>

namespace zrv {
namespace bench {

namespace {

struct RecordedHit {
    float t, u, v;
    unsigned int triangle;
};

// The context of an all-hits call: Embree hands it to the filter, which
// finds the records of the ray through the ray's id (its place in the
// records of one rtcIntersect1M call).
struct HitRecorder {
    RTCIntersectContext context; // first, so that the filter's context is this
    RecordedHit* hits;           // EMBREE_MAX_RAY_HITS per record
    unsigned int* counts;        // per record
};

void record_and_reject(const RTCFilterFunctionNArguments* args) {
    const HitRecorder& recorder = *reinterpret_cast<const HitRecorder*>(args->context);
    for (unsigned int i = 0; i < args->N; ++i) {
        if (args->valid[i] != -1)
            continue;
        args->valid[i] = 0;
        const unsigned int record = RTCRayN_id(args->ray, args->N, i);
        const unsigned int triangle = RTCHitN_primID(args->hit, args->N, i);
        RecordedHit* hits = recorder.hits + record * EMBREE_MAX_RAY_HITS;
        unsigned int& count = recorder.counts[record];
        const unsigned int kept = std::min(count, EMBREE_MAX_RAY_HITS);
        if (std::any_of(hits, hits + kept,
                        [triangle](const RecordedHit& hit) { return hit.triangle == triangle; }))
            continue;
        if (count < EMBREE_MAX_RAY_HITS)
            hits[count] =
                RecordedHit{RTCRayN_tfar(args->ray, args->N, i), RTCHitN_u(args->hit, args->N, i),
                            RTCHitN_v(args->hit, args->N, i), triangle};
        ++count;
    }
}

// Traces rays [begin, end) in calls of EMBREE_RECORDS rays and hands each
// call's records to take(first ray, ray count, hits, counts).
template <class Take>
void trace_all_hits(RTCScene scene, const RayArrays& rays, std::size_t begin, std::size_t end,
                    Take take) {
    static thread_local RecordedHit hits[EMBREE_RECORDS * EMBREE_MAX_RAY_HITS];
    unsigned int counts[EMBREE_RECORDS];
    HitRecorder recorder{incoherent_context(), hits, counts};
    RTCRayHit records[EMBREE_RECORDS];
    for (std::size_t first = begin; first < end; first += EMBREE_RECORDS) {
        const std::size_t count = std::min(EMBREE_RECORDS, end - first);
        for (std::size_t k = 0; k < count; ++k) {
            set_embree_ray(records[k].ray, rays, first + k, unsigned(k));
            records[k].hit.geomID = RTC_INVALID_GEOMETRY_ID;
            records[k].hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
            counts[k] = 0;
        }
        rtcIntersect1M(scene, &recorder.context, records, unsigned(count), sizeof(RTCRayHit));
        take(first, count, hits, counts);
    }
}

} // namespace

RTCScene build_embree_all_hits_scene(RTCDevice device, const EmbreeTriangleBuffers& buffers) {
    return build_embree_scene(device, buffers, RTC_BUILD_QUALITY_HIGH, record_and_reject);
}

bool embree_count_hits(RTCScene all_hits, const RayArrays& rays, unsigned int threads,
                       std::vector<unsigned int>& counts) {
    counts.resize(rays.count);
    std::atomic<bool> overflow(false);
    run_in_chunks(rays.count, threads, [&](unsigned int, std::size_t begin, std::size_t end) {
        trace_all_hits(all_hits, rays, begin, end,
                       [&](std::size_t first, std::size_t count, const RecordedHit*,
                           const unsigned int* ray_counts) {
                           for (std::size_t k = 0; k < count; ++k) {
                               counts[first + k] = ray_counts[k];
                               if (ray_counts[k] > EMBREE_MAX_RAY_HITS)
                                   overflow = true;
                           }
                       });
    });
    return !overflow;
}

bool embree_list_hits(RTCScene all_hits, const RayArrays& rays, unsigned int threads,
                      EmbreeHitLists& lists) {
    lists.chunks.resize((rays.count + WORK_CHUNK - 1) / WORK_CHUNK);
    std::atomic<bool> overflow(false);
    run_in_chunks(rays.count, threads, [&](unsigned int, std::size_t begin, std::size_t end) {
        std::vector<EmbreeListedHit>& list = lists.chunks[begin / WORK_CHUNK];
        list.clear();
        trace_all_hits(
            all_hits, rays, begin, end,
            [&](std::size_t first, std::size_t count, RecordedHit* hits,
                const unsigned int* ray_counts) {
                for (std::size_t k = 0; k < count; ++k) {
                    if (ray_counts[k] > EMBREE_MAX_RAY_HITS)
                        overflow = true;
                    RecordedHit* ray_hits = hits + k * EMBREE_MAX_RAY_HITS;
                    RecordedHit* ray_end = ray_hits + std::min(ray_counts[k], EMBREE_MAX_RAY_HITS);
                    std::sort(ray_hits, ray_end, [](const RecordedHit& a, const RecordedHit& b) {
                        return a.t < b.t || (a.t == b.t && a.triangle < b.triangle);
                    });
                    for (const RecordedHit* hit = ray_hits; hit != ray_end; ++hit)
                        list.push_back(EmbreeListedHit{unsigned(first + k), hit->t,
                                                       int(hit->triangle), hit->u, hit->v});
                }
            });
    });
    return !overflow;
}

} // namespace bench
} // namespace zrv
