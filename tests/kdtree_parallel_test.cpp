// Parallel KD-tree builds: seeds, merging, fall-backs, hits and concurrent tracing.
#include "AllocationFaults.h"
#include "KDTreeTestUtil.h"
#include "OracleRays.h"
#include "OracleScenes.h"
#include "gfxRTAccelerationStructureServices.h"
#include "zrvScenes.h"
#include "zrvSceneShapes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <thread>

namespace {

using zrv::scenes::Bounds;

std::vector<triAccel> mixed_scene() {
    zrv::scenes::Mesh mesh;
    mesh.append(zrv::scenes::torus({0, 0, 0}, 1.0f, 0.3f, 64, 24));
    mesh.append(zrv::scenes::uv_sphere({0.2f, 0.1f, 0}, 0.5f, 32, 16));
    mesh.append(zrv::scenes::random_triangle_soup(2000, Bounds{{-2, -1, -2}, {2, 1, 2}}, 0.3f, 4));
    mesh.append(zrv::scenes::box_grid({-2, -1.2f, -2}, 4, 1, 4, 0.5f, 1.0f));
    return mesh.finalize();
}

TEST(KDTreeParallel, SeedCountIsLargestPowerOfTwo) {
    const unsigned threads[] = {0, 1, 2, 3, 4, 7, 8, 64, 127, 128, 1000};
    const unsigned seeds[] = {0, 1, 2, 2, 4, 4, 8, 64, 64, 128, 512};
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(gfxRTKDTree::get_possible_number_of_seeds(threads[i]), seeds[i]) << threads[i];
}

// Random rays hit in parallel builds as in the serial tree (ties may swap).
void expect_same_hits(const gfxRTKDTree& parallel, const gfxRTKDTree& serial, const Bounds& b,
                      unsigned seed) {
    for (const RayPacket& p : incoherent_packets(b, 3000, seed)) {
        HitPacket a = empty_hits(), s = empty_hits();
        host_trace(parallel, p, RenderState{0, 0}, a);
        host_trace(serial, p, RenderState{0, 0}, s);
        std::string report;
        ASSERT_EQ(count_disagreements(p, a, s, &report), 0) << report;
    }
}

class CompiledTree : public ::testing::TestWithParam<OracleScene> {};

// Every seed count: every ray hits like in the serial tree, and more than 64
// threads seed as 64.
TEST_P(CompiledTree, HitsLikeTheSerialTreeAtEverySeedCount) {
    const std::vector<triAccel> tris = GetParam().make();
    const unsigned count = unsigned(tris.size());
    InspectableKDTree serial(1);
    ASSERT_TRUE(serial.create_tree_from_triAccel_list(tris.data(), count));
    std::vector<unsigned char> with64;
    for (int threads : {2, 3, 4, 8, 64, 127, 200}) {
        InspectableKDTree tree(3); // three tracing slots: the root lists are sorted in parallel
        ASSERT_EQ(
            gfxRTAccelerationStructureServices::CompileKDTree(&tree, threads, tris.data(), count),
            0)
            << threads << " threads";
        ASSERT_TRUE(tree.get_statistic()->valid);
        const std::vector<unsigned char> nodes(
            tree.node_array() + 8, tree.node_array() + 8 + 8 * tree.get_number_of_nodes());
        if (threads <= 64)
            expect_same_hits(tree, serial, zrv::scenes::scene_bounds(tris), unsigned(threads));
        if (threads == 64)
            with64 = nodes;
        EXPECT_TRUE(threads <= 64 || nodes == with64) << threads;
    }
}

const OracleScene SCENES[] = {ORACLE_SCENES[0],      ORACLE_SCENES[1], ORACLE_SCENES[2],
                              ORACLE_SCENES[3],      ORACLE_SCENES[4], ORACLE_SCENES[5],
                              {"mixed", mixed_scene}};

INSTANTIATE_TEST_SUITE_P(Scenes, CompiledTree, ::testing::ValuesIn(SCENES), SceneName());

TEST(KDTreeParallel, BadSeedCountsNullArgumentsAndFailedSerialBuilds) {
    const std::vector<triAccel> tris = mixed_scene();
    InspectableKDTree tree(1);
    gfxKDTreeCompileState* seeds[8] = {}; // seed counts are powers of two from 2
    for (unsigned not_a_seed_count : {0u, 1u, 3u, 6u})
        EXPECT_FALSE(
            tree.create_seed_notes_from_triAccel_list(tris.data(), 5, not_a_seed_count, seeds));
    EXPECT_EQ(gfxRTAccelerationStructureServices::CompileKDTree(nullptr, 2, tris.data(), 5), 1);
    EXPECT_EQ(gfxRTAccelerationStructureServices::CompileKDTree(&tree, 2, nullptr, 5), 1);
    EXPECT_EQ(tree.node_array(), nullptr);
    // A serial build that fails still answers 0 (round trips build with 0 and
    // 1 threads); valid tells the outcome.
    EXPECT_EQ(gfxRTAccelerationStructureServices::CompileKDTree(&tree, 1, tris.data(), 0), 0);
    EXPECT_FALSE(tree.get_statistic()->valid);
}

// Subtrees that only claim sizes summing past 32 bits: the merge refuses them.
struct ClaimedSizes : gfxRTKDTree {
    ClaimedSizes(unsigned node_bytes, unsigned objects) : gfxRTKDTree(1) {
        next_free_node_ = node_bytes;
        next_free_object_ = objects;
    }
};

TEST(KDTreeParallel, MergedSizesPastThirtyTwoBitsFailTheMerge) {
    const unsigned cases[][2] = {{16, 0x10000000u}, {16, 0x7FFFFFFFu}, {0x80000000u, 0}, {~15u, 0}};
    for (const auto& c : cases) {
        ClaimedSizes a(c[0], c[1]), b(c[0], c[1]);
        const gfxRTKDTree* subtrees[2] = {&a, &b};
        EXPECT_FALSE(InspectableKDTree(1).remerge_subtrees(subtrees, 2, 0)) << c[0] << " " << c[1];
    }
}

// Each way CompileKDTree falls back to the serial tree, with its code: seeding
// that ends in a leaf (three triangles), a failing subtree build (on other
// threads), a failing merge (of the merged object array, sized by a good build).
TEST(KDTreeParallel, FallBacksLeaveTheSerialTreeAndTellWhy) {
    const auto compile = [](InspectableKDTree& tree, const std::vector<triAccel>& tris, int n) {
        return gfxRTAccelerationStructureServices::CompileKDTree(&tree, n, tris.data(),
                                                                 unsigned(tris.size()));
    };
    const auto same_nodes = [](const InspectableKDTree& a, const InspectableKDTree& b) {
        return a.get_number_of_nodes() == b.get_number_of_nodes() &&
               !std::memcmp(a.node_array() + 8, b.node_array() + 8, 8 * b.get_number_of_nodes());
    };
    const std::vector<triAccel> three = zrv::scenes::uv_sphere({0, 0, 0}, 1, 3, 2);
    InspectableKDTree small(1), small_serial(1);
    EXPECT_EQ(compile(small, three, 4), 2) << "too few triangles for four seeds";
    ASSERT_TRUE(small_serial.create_tree_from_triAccel_list(three.data(), unsigned(three.size())));
    EXPECT_TRUE(same_nodes(small, small_serial));
    // Each allocation of the calling thread failed in turn, then the first of
    // the workers: the compiled tree, or after a fall-back (2 to 4) the serial
    // one, with the build's proxies gone.
    const std::vector<triAccel> mixed = mixed_scene();
    InspectableKDTree probe(1), serial(1);
    ASSERT_EQ(compile(probe, mixed, 2), 0);
    ASSERT_TRUE(serial.create_tree_from_triAccel_list(mixed.data(), unsigned(mixed.size())));
    std::set<int> codes;
    for (auto thread : {AllocationFaultRule::ARMING_THREAD, AllocationFaultRule::OTHER_THREADS})
        for (AllocationFaultRule rule; thread == rule.ARMING_THREAD || rule.skip == 0;
             ++rule.skip) {
            rule.thread = thread;
            InspectableKDTree tree(1);
            AllocationFaults faults(rule);
            const int code = compile(tree, mixed, 2);
            if (faults.injected() == 0)
                break;
            codes.insert(code);
            EXPECT_TRUE(same_nodes(tree, code == 0 ? probe : serial)) << rule.skip << " " << code;
            EXPECT_EQ(tree.get_proxies(), nullptr);
        }
    EXPECT_EQ(codes, (std::set<int>{0, 2, 3, 4}));
}

// Three threads trace one tree at once, each in its own stack slot, twice over.
TEST(KDTreeThreads, ConcurrentTracingMatchesOneThread) {
    const std::vector<triAccel> tris = mixed_scene();
    gfxRTKDTree tree(3);
    ASSERT_TRUE(tree.create_tree_from_triAccel_list(tris.data(), unsigned(tris.size())));
    const std::vector<RayPacket> packets =
        incoherent_packets(zrv::scenes::scene_bounds(tris), 3000, 3);
    std::vector<HitPacket> alone(packets.size(), empty_hits());
    for (std::size_t i = 0; i < packets.size(); ++i)
        host_trace(tree, packets[i], RenderState{0, 0}, alone[i]);
    std::vector<HitPacket> together(packets.size(), empty_hits());
    std::vector<std::thread> threads;
    for (unsigned slot = 0; slot < 3; ++slot)
        threads.emplace_back([&, slot] {
            for (int round = 0; round < 2; ++round)
                for (std::size_t i = slot; i < packets.size(); i += 3) {
                    together[i] = empty_hits();
                    host_trace(tree, packets[i], RenderState{slot, 0}, together[i]);
                }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_GT(expect_identical_hits(together, alone), 1000);
}

} // namespace
