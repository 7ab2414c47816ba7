// The parallel BVH builder gives the serial builder's tree.
#include "BVHTestUtil.h"
#include "zrvSceneRandom.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

std::vector<TestBox> random_boxes(unsigned int count, std::uint64_t seed) {
    zrv::scenes::SplitMix64 rng(seed);
    std::vector<TestBox> boxes(count);
    for (TestBox& b : boxes) {
        for (int a = 0; a < 3; ++a) {
            b.min[a] = float(rng.uniform(-100, 100));
            b.max[a] = b.min[a] + float(rng.uniform(0, 2));
        }
        b.cost = float(1 + rng.below(3));
    }
    return boxes;
}

TEST(BVHParallelBuild, SameTreeAsSerialForEveryThreadCount) {
    for (unsigned int n : {1u, 4u, 5u, 49999u, 50000u, 50001u, 300000u}) {
        const std::vector<TestBox> boxes = random_boxes(n, n);
        BoxBVH serial(boxes);
        ASSERT_TRUE(serial.build_tree(1));
        for (unsigned int threads : {2u, 3u, 4u, 8u}) {
            BoxBVH parallel(boxes);
            ASSERT_TRUE(parallel.build_tree(threads));
            EXPECT_EQ(bvh_structural_fault(parallel), "") << n << " objects, " << threads;
            EXPECT_EQ(bvh_shape_difference(serial, parallel), "") << n << " objects, " << threads;
        }
    }
}

TEST(BVHParallelBuild, DepthLimitAppliesInsideTasks) {
    // A spine of geometric centres, split on the caller's thread, carries a
    // cluster of 50000 objects down to the depth limit; the tasks below must
    // stop splitting at the same depth as the serial build.
    std::vector<float> centres;
    for (int k = 0; k < 250; ++k)
        centres.push_back(-std::pow(1.2f, float(k)));
    for (int k = 0; k < 50000; ++k)
        centres.push_back(float(k % 977) / 977.0f);
    const std::vector<TestBox> boxes = boxes_at(centres, 0.0f);
    BoxBVH serial(boxes), parallel(boxes);
    ASSERT_TRUE(serial.build_tree(1));
    ASSERT_TRUE(parallel.build_tree(2));
    EXPECT_EQ(bvh_shape_difference(serial, parallel), "");
    EXPECT_EQ(parallel.get_statistic()->tree_depth, 63u);
}

} // namespace
