// Hemisphere sample sets: layout, values, distribution, failing allocations.
#include "AllocationFaults.h"
#include "PacketTestUtil.h"
#include "gfxRTOrderedSamples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

using Samples = gfxRTOrderedSamples;

// In the order of SampleSet: size, threshold, then x, y, z of entries 0, 1 and the last.
struct SetFacts {
    unsigned int size, threshold;
    float entries[3][3];
};
const SetFacts SETS[] = {
    {8, 8, -0.524142f, 0.518059f, 0.675936f, -0.219696f, 0.469739f, 0.855032f, 0.735900f,
     -0.533411f, 0.417042f},
    {16, 12, -0.594856f, -0.588768f, 0.547264f, -0.581503f, -0.092740f, 0.808241f, 0.443169f,
     0.417546f, 0.793257f},
    {36, 20, -0.055854f, -0.090112f, 0.994364f, -0.047684f, 0.134778f, 0.989728f, 0.018911f,
     0.898116f, 0.439352f},
    {64, 24, -0.248561f, -0.228185f, 0.941355f, -0.248522f, -0.027489f, 0.968236f, 0.308503f,
     -0.583732f, 0.751055f},
    {128, 40, -0.138830f, -0.130820f, 0.981638f, -0.195763f, -0.026176f, 0.980302f, -0.261195f,
     -0.694964f, 0.669927f},
};

TEST(OrderedSamples, FixedEntriesLayoutAndCosineDistribution) {
    const Samples* samples = Samples::Instance();
    ASSERT_NE(samples, nullptr);
    for (const SetFacts& facts : SETS) {
        const auto set = Samples::SampleSet(&facts - SETS);
        const unsigned int n = facts.size;
        EXPECT_EQ(samples->get_set_size(set) * 1000 + samples->get_adaptive_threshold(set),
                  n * 1000 + facts.threshold);
        const sse_vec* records = samples->get_set(set);
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(records) % 16, 0u);
        double sum[3] = {0, 0, 0}, sum_zz = 0;
        for (unsigned int i = 0; i < n; ++i) {
            // Sample i is lane i % 4 of record i / 4.
            const sse_vec& r = records[i / 4];
            const float v[3] = {lane_of(r.x, int(i % 4)), lane_of(r.y, int(i % 4)),
                                lane_of(r.z, int(i % 4))};
            const int fixed = i < 2 ? int(i) : i == n - 1 ? 2 : -1;
            for (int c = 0; c < 3; ++c)
                sum[c] += v[c];
            EXPECT_TRUE(fixed < 0 || std::equal(v, v + 3, facts.entries[fixed]))
                << i << " of " << n;
            EXPECT_NEAR(std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]), 1.0f, 1e-6f);
            EXPECT_GT(v[2], 0.0f);
            sum_zz += double(v[2]) * v[2];
        }
        // Cosine-distributed (E[z] = 2/3, E[z^2] = 1/2), closer than at random.
        EXPECT_NEAR(sum[2] / n, 2.0 / 3.0, 0.1 / n);
        EXPECT_NEAR(sum_zz / n, 0.5, 0.01);
        EXPECT_NEAR(std::abs(sum[0]) + std::abs(sum[1]), 0.0, 3.0);
    }
}

// A first Instance call in a fresh process whose allocation of [min_bytes,
// max_bytes] fails gives null; a later call succeeds.
void fail_one_allocation(std::size_t min_bytes, std::size_t max_bytes) {
    {
        AllocationFaults faults({AllocationFaultRule::ARMING_THREAD, min_bytes, max_bytes});
        if (Samples::Instance() != nullptr || faults.injected() != 1)
            std::exit(2);
    }
    const Samples* samples = Samples::Instance();
    const bool whole = samples != nullptr && samples == Samples::Instance() &&
                       samples->get_set(Samples::SAMPLES_128) != nullptr;
    std::exit(whole ? 0 : 3);
}

TEST(OrderedSamplesDeathTest, InstanceFailsAsAWholeWhenStorageIsShort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // a fresh process per case
    EXPECT_EXIT(fail_one_allocation(sizeof(Samples), sizeof(Samples)), testing::ExitedWithCode(0),
                "");
    // Each set's records: 48 bytes per four samples, plus the allocator's overhead.
    for (const SetFacts& facts : SETS) {
        const std::size_t bytes = facts.size / 4 * sizeof(sse_vec);
        EXPECT_EXIT(fail_one_allocation(bytes, bytes + 64), testing::ExitedWithCode(0), "");
    }
}

} // namespace
