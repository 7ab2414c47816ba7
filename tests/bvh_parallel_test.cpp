// The parallel BVH builder gives the serial builder's tree.
#include "AllocationFaults.h"
#include "BVHTestUtil.h"
#include "FatalErrorRecorder.h"
#include "zrvSceneRandom.h"
#include "zrvSceneShapes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <set>
#include <thread>

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

// The serial tree bit for bit: for counts around the task threshold, and on
// inputs where the top levels' chunked passes must combine in order (signed
// zeros tied at node bounds) or leave the work to the serial passes (NaN and
// infinite boxes, fractional costs, integral costs too large to add exactly).
TEST(BVHParallelBuild, SameTreeAsSerialForEveryThreadCount) {
    std::vector<std::vector<TestBox>> cases;
    for (unsigned int n : {1u, 4u, 5u, 49999u, 50000u, 50001u, 300000u})
        cases.push_back(random_boxes(n, n));
    const std::size_t first = cases.size();
    const unsigned int n = 120001;
    cases.insert(cases.end(), 5, random_boxes(n, 11));
    for (unsigned int i = 0; i < n; ++i) {
        TestBox& zeros = cases[first][i];
        zeros.min[0] = i % 3 == 0 ? -0.0f : 0.0f;
        zeros.max[2] = i % 5 == 0 ? -0.0f : 0.0f;
        zeros.min[2] = zeros.min[0] - zeros.max[0] - 0.5f;
        cases[first + 1][i].cost = 0.5f + float(i % 7) * 0.1f;
        cases[first + 2][i].cost = 1e6f;
    }
    cases[first + 3][n / 3].min[1] = std::nanf("");
    cases[first + 4][n / 2].min[0] = -INFINITY;
    cases[first + 4][n / 2].max[0] = INFINITY;
    FatalErrorRecorder recorder; // a NaN box fails the builds' own check
    for (std::size_t c = 0; c < cases.size(); ++c) {
        BoxBVH serial(cases[c]);
        serial.build_tree(1);
        for (unsigned int threads : {2u, 3u, 4u, 8u}) {
            BoxBVH parallel(cases[c]);
            parallel.build_tree(threads);
            EXPECT_EQ(bvh_structural_fault(parallel), "") << c << ", " << threads;
            EXPECT_EQ(bvh_shape_difference(serial, parallel), "") << c << ", " << threads;
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
    serial.build_tree(1);
    parallel.build_tree(2);
    EXPECT_EQ(bvh_shape_difference(serial, parallel), "");
    EXPECT_EQ(parallel.get_statistic()->tree_depth, 63u);
}

// Each allocation on the calling thread failed in turn: the failure is
// reported (false, or an assertion when the tree has no nodes), a build that
// succeeds gives the serial tree, and the same object then builds again.
TEST(BVHParallelBuild, EveryFailedAllocationIsReportedAndRecoveredFrom) {
    for (const auto& [n, threads] : {std::pair<unsigned, unsigned>{1000, 1}, {50001, 2}}) {
        const std::vector<TestBox> boxes = random_boxes(n, 3);
        BoxBVH serial(boxes);
        ASSERT_TRUE(serial.build_tree(1));
        int reported = 0;
        for (int skip = 0;; ++skip) {
            BoxBVH tree(boxes);
            FatalErrorRecorder recorder;
            bool built;
            {
                AllocationFaults faults(
                    {AllocationFaultRule::ARMING_THREAD, 0, ~std::size_t(0), skip});
                built = tree.build_tree(threads);
                if (faults.injected() == 0)
                    break; // every allocation of the build was let through
            }
            if (!built || !recorder.errors().empty())
                ++reported;
            else
                EXPECT_EQ(bvh_shape_difference(serial, tree), "") << n << " objects, " << skip;
            ASSERT_TRUE(tree.build_tree(1)) << n << " objects, " << skip;
            EXPECT_EQ(bvh_shape_difference(serial, tree), "") << n << " objects, " << skip;
        }
        EXPECT_GE(reported, 5) << n << " objects";
    }
}

// A host's tree derived from Base (over boxes, or the library's triangle
// adaptor) that records the threads calling its object operations.
template <typename Base> class ThreadRecording : public Base {
public:
    using Base::Base;
    unsigned int get_number_of_objects() const override {
        record();
        return Base::get_number_of_objects();
    }
    void get_object_bbox(unsigned int object, __m128& bbmin, __m128& bbmax) const override {
        record();
        Base::get_object_bbox(object, bbmin, bbmax);
    }
    float get_object_intersection_cost(unsigned int object) const override {
        record();
        return Base::get_object_intersection_cost(object);
    }
    void record() const { // locked: a faulty build would call from the workers
        std::lock_guard<std::mutex> lock(mutex);
        threads.insert(std::this_thread::get_id());
        ++calls;
    }
    mutable std::mutex mutex;
    mutable std::set<std::thread::id> threads;
    mutable unsigned int calls = 0;
};

// Above the task threshold the top levels' passes run on the pool; a host's
// object operations (every object's box and cost among them) are still called
// on the building thread only, and the tree is the serial one.
TEST(BVHParallelBuild, HostObjectOperationsStayOnTheBuildingThread) {
    const unsigned int n = 60000;
    const auto expect_serial_tree_from_this_thread = [&](const gfxRTBVH& serial, auto& host) {
        ASSERT_TRUE(host.build_tree(4));
        std::lock_guard<std::mutex> lock(host.mutex);
        EXPECT_EQ(host.threads, std::set<std::thread::id>{std::this_thread::get_id()});
        EXPECT_GE(host.calls, 2 * n);
        EXPECT_EQ(bvh_shape_difference(serial, host), "");
    };
    const std::vector<TestBox> boxes = random_boxes(n, 19);
    BoxBVH serial_boxes(boxes);
    ASSERT_TRUE(serial_boxes.build_tree(1));
    ThreadRecording<BoxBVH> host_boxes(boxes);
    expect_serial_tree_from_this_thread(serial_boxes, host_boxes);

    const std::vector<triAccel> triangles = zrv::scenes::random_triangle_soup(
        n, zrv::scenes::Bounds{{-10, -10, -10}, {10, 10, 10}}, 0.5f, 19);
    gfxRTBVH_triAccel serial_triangles(triangles.data(), n);
    ASSERT_TRUE(serial_triangles.build_tree(1));
    ThreadRecording<gfxRTBVH_triAccel> host_triangles(triangles.data(), n);
    expect_serial_tree_from_this_thread(serial_triangles, host_triangles);
    // The adaptor itself, whose records the workers make, builds the same tree.
    gfxRTBVH_triAccel adaptor(triangles.data(), n);
    ASSERT_TRUE(adaptor.build_tree(4));
    EXPECT_EQ(bvh_shape_difference(serial_triangles, adaptor), "");
}

} // namespace
