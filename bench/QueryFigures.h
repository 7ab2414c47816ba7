// The figures the wide BVH is measured on, and those Embree adds for them:
// a ray set traced with one kind of call, named by the variant base of its
// benchmarks (wide BVH: widebvh_trace/<base>_1thread/100k, ...).
#ifndef ZRV_BENCH_QUERY_FIGURES_H
#define ZRV_BENCH_QUERY_FIGURES_H

#include "BenchRays.h"
#include "RayQuery.h"

namespace zrv {
namespace bench {

struct QueryFigure {
    const char* variant_base;
    RaySet rays;
    RayQuery query;
};

// The four ray sets under the names of the other structures' figures (packet
// calls, except intersect1 for the single rays), then the AO rays as
// occlusion rays, the random rays as one batch, and the camera packets four
// at a time (intersect_packets; Embree's rtcIntersect16).
const QueryFigure WIDE_BVH_FIGURES[] = {
    {"primary_2x2", RaySet::PRIMARY_2X2, RayQuery::PACKETS},
    {"single", RaySet::SINGLE, RayQuery::ONE_RAY},
    {"ao", RaySet::AO, RayQuery::PACKETS},
    {"random", RaySet::RANDOM, RayQuery::PACKETS},
    {"ao_occluded4", RaySet::AO, RayQuery::OCCLUDED_PACKETS},
    {"ao_occluded1", RaySet::AO, RayQuery::OCCLUDED_ONE_RAY},
    {"random_batch", RaySet::RANDOM, RayQuery::BATCH},
    {"primary_fours", RaySet::PRIMARY_2X2, RayQuery::PACKETS_IN_FOURS},
};

// Embree's own packet figures cover the four sets; these are its
// counterparts of the wide BVH's other calls.
const QueryFigure EMBREE_QUERY_FIGURES[] = {
    {"single_intersect1", RaySet::SINGLE, RayQuery::ONE_RAY},
    {"ao_occluded4", RaySet::AO, RayQuery::OCCLUDED_PACKETS},
    {"ao_occluded1", RaySet::AO, RayQuery::OCCLUDED_ONE_RAY},
    {"random_batch", RaySet::RANDOM, RayQuery::BATCH},
    {"primary_fours", RaySet::PRIMARY_2X2, RayQuery::PACKETS_IN_FOURS},
};

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_QUERY_FIGURES_H
