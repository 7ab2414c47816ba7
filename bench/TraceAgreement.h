// Comparison of two traces of the same packets (a structure against Embree):
// nearest hits, or occlusion masks.
#ifndef ZRV_BENCH_TRACE_AGREEMENT_H
#define ZRV_BENCH_TRACE_AGREEMENT_H

#include "gfxRayTracing.h"

#include <cstddef>
#include <string>
#include <vector>

namespace zrv {
namespace bench {

// Relative difference of hit distances counted as agreement.
const double T_RELATIVE_TOLERANCE = 1e-4;
// Fraction of rays that must agree on hit/miss, and of common hits on t.
const double REQUIRED_AGREEMENT = 0.999;

struct TraceAgreement {
    std::size_t rays = 0;
    std::size_t hits_a = 0;
    std::size_t hits_b = 0;
    std::size_t same_hit_or_miss = 0;
    std::size_t both_hit = 0;
    std::size_t same_t = 0;  // common hits with |t_a - t_b| <= T_RELATIVE_TOLERANCE * t_b
    std::size_t same_id = 0; // common hits on the same triangle
    double max_relative_t_difference = 0.0;

    double hit_or_miss_fraction() const;
    double t_fraction() const;
    // Both fractions reach REQUIRED_AGREEMENT.
    bool acceptable() const;
    // One line: name_a against name_b, counts and fractions.
    std::string describe(const char* name_a, const char* name_b) const;
};

// Compares lane by lane the active lanes of packets; a hit is an id >= 0.
TraceAgreement compare_traces(const std::vector<RayPacket>& packets,
                              const std::vector<HitPacket>& hits_a,
                              const std::vector<HitPacket>& hits_b);

// Agreement of two occlusion traces: lane masks, one per packet.
struct OcclusionAgreement {
    std::size_t rays = 0;
    std::size_t occluded_a = 0;
    std::size_t occluded_b = 0;
    std::size_t same = 0; // rays both call occluded or both call free

    double fraction() const;
    // The fraction reaches REQUIRED_AGREEMENT.
    bool acceptable() const;
    std::string describe(const char* name_a, const char* name_b) const;
};

// Compares lane by lane the active lanes of packets.
OcclusionAgreement compare_occlusion(const std::vector<RayPacket>& packets,
                                     const std::vector<int>& occluded_a,
                                     const std::vector<int>& occluded_b);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_TRACE_AGREEMENT_H
