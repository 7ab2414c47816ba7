// Checks every query of a wide BVH against the brute force (WideOracle.h) on
// given rays, under every kernel version this processor runs.
#ifndef ZRV_TEST_WIDE_ORACLE_CHECK_H
#define ZRV_TEST_WIDE_ORACLE_CHECK_H

#include "gfxRTWideBVH.h"

#include <string>
#include <vector>

// Single rays as arrays: three floats per ray, one limit per ray.
struct WideRays {
    std::vector<float> origins, directions, limits;
    void add(const float* origin, const float* direction, float limit);
    unsigned int size() const { return unsigned(limits.size()); }
};

// Exact bits of a hit, for messages and comparisons.
std::string hit_bits(const gfxRTWideHit& hit);

// intersect1, occluded1, both batch calls (1 and 3 threads) on rays, and
// intersect4 (with and without shadow_rays) and occluded4 on packets. Stops
// reporting after a few mismatches.
void expect_wide_oracle(const gfxRTWideBVH& tree, const std::vector<triAccel>& tris,
                        const WideRays& rays, const std::vector<RayPacket>& packets,
                        const std::string& where);

// Packets of four of the rays, in order (unbounded, every lane active).
std::vector<RayPacket> packets_of(const WideRays& rays);

#endif // ZRV_TEST_WIDE_ORACLE_CHECK_H
