#include "EmbreeBatchQueries.h"

#include "ChunkedWork.h"
#include "EmbreeRays.h"

#include <algorithm>
#include <limits>

namespace zrv {
namespace bench {

void embree_intersect_arrays(RTCScene scene, const RayArrays& rays, bool coherent,
                             unsigned int threads, BatchHits& hits) {
    hits.resize(rays.count);
    run_in_chunks(rays.count, threads, [&](unsigned int, std::size_t begin, std::size_t end) {
        RTCIntersectContext context = ray_context(coherent);
        RTCRayHit records[EMBREE_RECORDS];
        for (std::size_t first = begin; first < end; first += EMBREE_RECORDS) {
            const std::size_t count = std::min(EMBREE_RECORDS, end - first);
            for (std::size_t k = 0; k < count; ++k) {
                set_embree_ray(records[k].ray, rays, first + k, 0);
                records[k].hit.geomID = RTC_INVALID_GEOMETRY_ID;
                records[k].hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
            }
            rtcIntersect1M(scene, &context, records, unsigned(count), sizeof(RTCRayHit));
            for (std::size_t k = 0; k < count; ++k) {
                const bool hit = records[k].hit.geomID != RTC_INVALID_GEOMETRY_ID;
                hits.t[first + k] =
                    hit ? records[k].ray.tfar : std::numeric_limits<float>::infinity();
                hits.index[first + k] = hit ? int(records[k].hit.primID) : -1;
                hits.u[first + k] = records[k].hit.u;
                hits.v[first + k] = records[k].hit.v;
            }
        }
    });
}

void embree_occluded_arrays(RTCScene scene, const RayArrays& rays, bool coherent,
                            unsigned int threads, std::vector<unsigned char>& occluded) {
    occluded.resize(rays.count);
    run_in_chunks(rays.count, threads, [&](unsigned int, std::size_t begin, std::size_t end) {
        RTCIntersectContext context = ray_context(coherent);
        RTCRay records[EMBREE_RECORDS];
        for (std::size_t first = begin; first < end; first += EMBREE_RECORDS) {
            const std::size_t count = std::min(EMBREE_RECORDS, end - first);
            for (std::size_t k = 0; k < count; ++k)
                set_embree_ray(records[k], rays, first + k, 0);
            rtcOccluded1M(scene, &context, records, unsigned(count), sizeof(RTCRay));
            // Embree sets tfar to -inf on the occluded rays.
            for (std::size_t k = 0; k < count; ++k)
                occluded[first + k] = records[k].tfar < 0.0f;
        }
    });
}

} // namespace bench
} // namespace zrv
