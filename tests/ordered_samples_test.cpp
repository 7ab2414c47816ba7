// The ordered hemisphere sample sets: sizes, layout, fixed entries, and that
// every set is a cosine-distributed set of unit directions.
#include "AllocationFaults.h"
#include "PacketTestUtil.h"
#include "gfxRTOrderedSamples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

using Set = gfxRTOrderedSamples::SampleSet;

struct Vec {
    float x, y, z;
};

struct SetFacts {
    Set set;
    unsigned int size, threshold;
    Vec first, second, last;
};

const SetFacts SETS[] = {
    {gfxRTOrderedSamples::SAMPLES_8,
     8,
     8,
     {-0.524142f, 0.518059f, 0.675936f},
     {-0.219696f, 0.469739f, 0.855032f},
     {0.735900f, -0.533411f, 0.417042f}},
    {gfxRTOrderedSamples::SAMPLES_16,
     16,
     12,
     {-0.594856f, -0.588768f, 0.547264f},
     {-0.581503f, -0.092740f, 0.808241f},
     {0.443169f, 0.417546f, 0.793257f}},
    {gfxRTOrderedSamples::SAMPLES_36,
     36,
     20,
     {-0.055854f, -0.090112f, 0.994364f},
     {-0.047684f, 0.134778f, 0.989728f},
     {0.018911f, 0.898116f, 0.439352f}},
    {gfxRTOrderedSamples::SAMPLES_64,
     64,
     24,
     {-0.248561f, -0.228185f, 0.941355f},
     {-0.248522f, -0.027489f, 0.968236f},
     {0.308503f, -0.583732f, 0.751055f}},
    {gfxRTOrderedSamples::SAMPLES_128,
     128,
     40,
     {-0.138830f, -0.130820f, 0.981638f},
     {-0.195763f, -0.026176f, 0.980302f},
     {-0.261195f, -0.694964f, 0.669927f}},
};

// Sample i of a set, read from record i / 4, lane i % 4.
Vec sample(const sse_vec* records, unsigned int i) {
    const sse_vec& r = records[i / 4];
    const int k = int(i % 4);
    return {lane_of(r.x, k), lane_of(r.y, k), lane_of(r.z, k)};
}

void expect_equal(const Vec& actual, const Vec& expected, const char* what, unsigned int size) {
    EXPECT_EQ(actual.x, expected.x) << what << " of the set of " << size;
    EXPECT_EQ(actual.y, expected.y) << what << " of the set of " << size;
    EXPECT_EQ(actual.z, expected.z) << what << " of the set of " << size;
}

TEST(OrderedSamples, SizesThresholdsAndFixedEntries) {
    const gfxRTOrderedSamples* samples = gfxRTOrderedSamples::Instance();
    ASSERT_NE(samples, nullptr);
    EXPECT_EQ(gfxRTOrderedSamples::Instance(), samples);
    EXPECT_EQ(gfxRTOrderedSamples::SAMPLE_SET_COUNT, 5u);
    for (const SetFacts& facts : SETS) {
        EXPECT_EQ(samples->get_set_size(facts.set), facts.size);
        EXPECT_EQ(samples->get_adaptive_threshold(facts.set), facts.threshold);
        const sse_vec* records = samples->get_set(facts.set);
        ASSERT_NE(records, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(records) % 16, 0u);
        expect_equal(sample(records, 0), facts.first, "entry 0", facts.size);
        expect_equal(sample(records, 1), facts.second, "entry 1", facts.size);
        // The last entry fills the last lane of the last record.
        expect_equal(sample(records, facts.size - 1), facts.last, "last entry", facts.size);
    }
    // Entries 3 and 4 of the set of 8 straddle its two records.
    const sse_vec* eight = samples->get_set(gfxRTOrderedSamples::SAMPLES_8);
    EXPECT_EQ(lane_of(eight[0].x, 3), 0.227587f);
    EXPECT_EQ(lane_of(eight[0].z, 3), 0.901388f);
    EXPECT_EQ(lane_of(eight[1].x, 0), -0.530165f);
    EXPECT_EQ(lane_of(eight[1].z, 0), 0.749999f);
}

// Largest distance between the empirical distribution of values in [0, 1)
// and the uniform one.
double uniform_distance(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const double n = double(values.size());
    double worst = 0;
    for (size_t k = 0; k < values.size(); ++k)
        worst = std::max({worst, (k + 1) / n - values[k], values[k] - k / n});
    return worst;
}

TEST(OrderedSamples, EverySetIsACosineDistributionOfUnitDirections) {
    const gfxRTOrderedSamples* samples = gfxRTOrderedSamples::Instance();
    ASSERT_NE(samples, nullptr);
    const double pi = std::acos(-1.0);
    double previous_error = 1.0;
    for (const SetFacts& facts : SETS) {
        const sse_vec* records = samples->get_set(facts.set);
        const unsigned int n = facts.size;
        double sum_x = 0, sum_y = 0, sum_z = 0, sum_zz = 0;
        std::vector<double> u1, u2; // the unit-square points the directions map from
        for (unsigned int i = 0; i < n; ++i) {
            const Vec s = sample(records, i);
            const float length = std::sqrt(s.x * s.x + s.y * s.y + s.z * s.z);
            EXPECT_NEAR(length, 1.0f, 8 * 1.2e-7f) << "sample " << i << " of " << n;
            EXPECT_GT(s.z, 0.0f) << "sample " << i << " of " << n;
            sum_x += s.x;
            sum_y += s.y;
            sum_z += s.z;
            sum_zz += double(s.z) * s.z;
            u1.push_back(1.0 - double(s.z) * s.z);
            u2.push_back(std::atan2(double(s.y), double(s.x)) / (2 * pi) + 0.5);
        }
        // With cosine-distributed directions the mean of z estimates
        // (1/pi) * integral of cos^2 over the hemisphere = 2/3.
        const double error = std::fabs(sum_z / n - 2.0 / 3.0);
        EXPECT_LT(error, previous_error) << "set of " << n;
        previous_error = error;
        // Random directions would be off by about 0.24 / sqrt(n).
        EXPECT_LT(error, 0.1 / n) << "set of " << n;
        EXPECT_NEAR(sum_zz / n, 0.5, 0.01) << "set of " << n;
        EXPECT_NEAR(sum_x / n, 0.0, 0.1) << "set of " << n;
        EXPECT_NEAR(sum_y / n, 0.0, 0.1) << "set of " << n;
        // Stratified, not merely random: both coordinates stay far closer to
        // uniform than n random points would (about 0.9 / sqrt(n)).
        EXPECT_LT(uniform_distance(u1), 1.5 / n) << "set of " << n;
        EXPECT_LT(uniform_distance(u2), 4.0 / n) << "set of " << n;
    }
}

// The first call of Instance in a fresh process, with one allocation failing.
void fail_one_allocation(std::size_t min_bytes, std::size_t max_bytes) {
    {
        AllocationFaultRule rule;
        rule.thread = AllocationFaultRule::ARMING_THREAD;
        rule.min_bytes = min_bytes;
        rule.max_bytes = max_bytes;
        AllocationFaults faults(rule);
        if (gfxRTOrderedSamples::Instance() != nullptr || faults.injected() != 1)
            std::exit(2);
    }
    // A later call tries again.
    const gfxRTOrderedSamples* samples = gfxRTOrderedSamples::Instance();
    if (samples == nullptr || samples != gfxRTOrderedSamples::Instance() ||
        samples->get_set(gfxRTOrderedSamples::SAMPLES_128) == nullptr)
        std::exit(3);
    std::exit(0); // under LeakSanitizer, anything the failed call kept fails the exit code
}

TEST(OrderedSamplesDeathTest, InstanceFailsAsAWholeWhenStorageIsShort) {
    // A fresh process per case, so that no earlier call has made the object.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The object itself, then each set's records (48 bytes per four samples,
    // plus the aligned allocator's overhead).
    EXPECT_EXIT(fail_one_allocation(sizeof(gfxRTOrderedSamples), sizeof(gfxRTOrderedSamples)),
                testing::ExitedWithCode(0), "");
    for (const SetFacts& facts : SETS) {
        const std::size_t bytes = facts.size / 4 * sizeof(sse_vec);
        EXPECT_EXIT(fail_one_allocation(bytes, bytes + 64), testing::ExitedWithCode(0), "")
            << "set of " << facts.size;
    }
}

} // namespace
