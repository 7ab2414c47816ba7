// The calls a ray set can be traced with, beyond the nearest-hit packets that
// every structure answers: what the wide BVH and Embree are compared on.
#ifndef ZRV_BENCH_RAY_QUERY_H
#define ZRV_BENCH_RAY_QUERY_H

namespace zrv {
namespace bench {

enum class RayQuery {
    PACKETS,          // nearest hits, one call per packet of four lanes
    PACKETS_IN_FOURS, // nearest hits, one call per four neighbouring packets
    ONE_RAY,          // nearest hits, one call per active lane
    OCCLUDED_PACKETS, // any hit, one call per packet
    OCCLUDED_ONE_RAY, // any hit, one call per active lane
    BATCH,            // nearest hits of the whole set, laid out as arrays, in one call
};

inline bool is_occlusion(RayQuery query) {
    return query == RayQuery::OCCLUDED_PACKETS || query == RayQuery::OCCLUDED_ONE_RAY;
}

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_RAY_QUERY_H
