// Exact results of the KD-tree build: the candidate pool's models, depth
// limits, traversal answers, failed builds and allocations.
#include "AllocationFaults.h"
#include "FatalErrorRecorder.h"
#include "KDTreeTestUtil.h"
#include "zrvScenes.h"
#include "zrvSceneShapes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

struct PoolFixture : ::testing::Test {
    gfxSplitCandidate storage[3][4] = {};
    gfxSplitCandidate* lists[3] = {storage[0], storage[1], storage[2]};
    unsigned int sizes[3] = {0, 0, 0};
    gfxSplitCandidate* out[3] = {};
};

TEST_F(PoolFixture, ModelFollowsListLengthAndRequest) {
    using M = gfxSplitCandidateMemoryManager;
    const struct {
        unsigned length;
        M::ModelSize requested, expected;
    } cases[] = {
        {1299999, M::MODEL_SMALL, M::MODEL_SMALL},  {1300000, M::MODEL_SMALL, M::MODEL_MEDIUM},
        {2600000, M::MODEL_SMALL, M::MODEL_MEDIUM}, {2600001, M::MODEL_SMALL, M::MODEL_LARGE},
        {10, M::MODEL_MEDIUM, M::MODEL_MEDIUM},     {10, M::MODEL_LARGE, M::MODEL_LARGE}};
    for (const auto& c : cases) {
        M pool;
        ASSERT_TRUE(pool.init(c.length, lists, 0, sizes, false, c.requested));
        EXPECT_EQ(pool.get_model_size(), c.expected) << c.length;
        pool.release_all();
    }
}

TEST_F(PoolFixture, SmallModelIsAStackOfBlocks) {
    gfxSplitCandidateMemoryManager pool;
    ASSERT_TRUE(pool.init(10, lists, 3, sizes, false, gfxSplitCandidateMemoryManager::MODEL_SMALL));
    EXPECT_EQ(pool.get_max_index(), 50u);
    EXPECT_EQ(pool.get_free_space(out, 7), 10u);
    gfxSplitCandidate* first[3] = {out[0], out[1], out[2]};
    for (unsigned expected : {20u, 30u, 40u, 50u}) // 50: exhausted
        EXPECT_EQ(pool.get_free_space(out, 7), expected);
    pool.release_space(first, 10);
    EXPECT_EQ(pool.get_free_space(out, 7), 10u);
    gfxSplitCandidate* initial[3];
    pool.get_initial_lists(initial);
    EXPECT_EQ(out[1], initial[1] + 10);
}

TEST_F(PoolFixture, MediumModelIsFirstFit) {
    gfxSplitCandidateMemoryManager tight;
    ASSERT_TRUE(
        tight.init(10, lists, 0, sizes, false, gfxSplitCandidateMemoryManager::MODEL_MEDIUM));
    EXPECT_EQ(tight.get_max_index(), 10u);
    EXPECT_EQ(tight.get_free_space(out, 4), 10u); // 10 + 4 >= 10 fails
    EXPECT_EQ(out[0], nullptr);                   // and leaves the lists alone

    gfxSplitCandidateMemoryManager pool;
    ASSERT_TRUE(
        pool.init(10, lists, 8, sizes, false, gfxSplitCandidateMemoryManager::MODEL_MEDIUM));
    EXPECT_EQ(pool.get_max_index(), 50u);
    EXPECT_EQ(pool.get_free_space(out, 6), 10u);
    gfxSplitCandidate* at10[3] = {out[0], out[1], out[2]};
    EXPECT_EQ(pool.get_free_space(out, 6), 16u);
    pool.release_space(at10, 10);
    // The gap 10-15 holds 4, then 2; 22 + 28 is not below 50.
    const unsigned requests[4][2] = {{4, 10}, {2, 14}, {28, 50}, {27, 22}};
    for (const auto& r : requests)
        EXPECT_EQ(pool.get_free_space(out, r[0]), r[1]) << r[0];
}

TEST_F(PoolFixture, LargeModelAllocatesPerRequest) {
    for (bool private_heap : {false, true}) {
        gfxSplitCandidateMemoryManager pool;
        ASSERT_TRUE(pool.init(4, lists, 5, sizes, private_heap,
                              gfxSplitCandidateMemoryManager::MODEL_LARGE));
        EXPECT_EQ(pool.get_max_index(), 4u);
        gfxSplitCandidate *a[3], *b[3], *initial[3];
        EXPECT_EQ(pool.get_free_space(a, 1000), 0u);
        EXPECT_EQ(pool.get_free_space(b, 1000), 0u);
        a[2][999] = gfxSplitCandidate(); // the whole requested length is usable
        EXPECT_NE(a[0], b[0]);
        pool.release_space(a, 0);
        pool.get_initial_lists(initial);
        pool.release_space(initial, 0); // frees the root lists: release_all must not again
        pool.get_initial_lists(initial);
        EXPECT_EQ(initial[0], nullptr);
        pool.release_space(b, 0);
        pool.release_all();
    }
}

TEST(KDTreeBuild, DepthLimitTable) {
    const unsigned cases[][2] = {{0, 0},    {1, 8},     {2, 10},      {10, 12},
                                 {100, 16}, {1000, 19}, {100000, 26}, {1000000, 30}};
    for (const auto& c : cases)
        EXPECT_EQ(InspectableKDTree().depth_limit_for(c[0]), c[1]) << c[0];
}

// A triangle whose vertex bounds are [x0, x1] x [0, 1] x [0, 1].
triAccel slab(float x0, float x1, int id) {
    const float a[3] = {x0, 0, 0}, b[3] = {x1, 1, 0}, c[3] = {x0, 1, 1};
    return make_triangle(a, b, c, id);
}

TEST(KDTreeBuild, ThreeSlabsTraceThenAFailedRebuild) {
    const std::vector<triAccel> tris = {slab(0, 1, 0), slab(2, 3, 1), slab(4, 5, 2)};
    InspectableKDTree tree;
    ASSERT_TRUE(tree.create_tree_from_triAccel_list(tris.data(), 3));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(tree.node_array()) % 32, 0u);

    // Misses, inactive packets and missing arguments give nothing; a hit gives
    // the count of the first leaf reached, which holds the nearest hits.
    const RenderState state{0, 0};
    HitPacket hits = empty_hits();
    RayPacket rays = packet_of({{0.5f, 5, 0.5f}, {0, 1, 0}}); // away from the box
    EXPECT_EQ(tree.traverse_tree(&rays, &hits, 0, &state, 1e30f), 0u);
    rays = packet_of({{0.5f, 0.5f, 3}, {0, 0, -1}});
    rays.active_mask = 0;
    EXPECT_EQ(tree.traverse_tree(&rays, &hits, 0, &state, 1e30f), 0u);
    EXPECT_EQ(tree.traverse_tree(nullptr, &hits, 0, &state, 1e30f), 0u);
    EXPECT_EQ(tree.traverse_tree(&rays, nullptr, 0, &state, 1e30f), 0u);
    EXPECT_EQ(tree.traverse_tree(&rays, &hits, 0, nullptr, 1e30f), 0u);
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(lane_of(hits.t, k), 1e30f);
    rays.active_mask = 15;
    EXPECT_EQ(tree.traverse_tree(&rays, &hits, 0, &state, 1e30f), 2u);
    EXPECT_EQ(lane_of(hits.id, 2), 0);

    // A failed build leaves an empty tree that answers every query with nothing.
    EXPECT_FALSE(tree.create_tree_from_triAccel_list(tris.data(), 0));
    EXPECT_FALSE(tree.get_statistic()->valid);
    EXPECT_EQ(tree.get_statistic()->number_of_leaves, 0u);
    EXPECT_TRUE(tree.get_number_of_nodes() == 0 && !tree.node_array() &&
                !tree.get_triAccel_array());
    EXPECT_FALSE(tree.create_tree_from_triAccel_list(nullptr, 3));
    // Counts whose arrays would not fit 32-bit offsets fail before any memory is read.
    EXPECT_FALSE(tree.create_tree_from_triAccel_list(tris.data(), gfxRTKDTree::MAX_TRIANGLES + 1));
    hits = empty_hits();
    EXPECT_EQ(tree.traverse_tree(&rays, &hits, 0, &state, 1e30f), 0u);
    EXPECT_EQ(lane_of(hits.id, 0), -1);
}

// Each allocation of a build failed in turn: the build gets by without it, or
// fails and leaves a reset tree; either way the tree then equals a rebuilt one.
TEST(KDTreeBuild, EveryFailedAllocationFailsTheBuildOrChangesNothing) {
    const std::vector<triAccel> tris = zrv::scenes::random_triangle_soup(
        1500, zrv::scenes::Bounds{{-1, -1, -1}, {1, 1, 1}}, 0.6f, 3);
    const unsigned count = unsigned(tris.size());
    InspectableKDTree rebuilt;
    ASSERT_TRUE(rebuilt.create_tree_from_triAccel_list(tris.data(), count));
    ASSERT_TRUE(rebuilt.create_tree_from_triAccel_list(tris.data(), count));
    const unsigned nodes = rebuilt.get_number_of_nodes(), objects = rebuilt.next_free_object();
    int failed = 0;
    for (int skip = 0;; ++skip) {
        InspectableKDTree tree;
        AllocationFaults faults({AllocationFaultRule::ANY_THREAD, 0, ~std::size_t(0), skip});
        const bool built = tree.create_tree_from_triAccel_list(tris.data(), count);
        if (faults.injected() == 0)
            break;
        EXPECT_EQ(built, tree.get_statistic()->valid) << skip;
        if (!built) {
            ++failed;
            EXPECT_EQ(tree.get_number_of_nodes(), 0u) << skip;
            ASSERT_TRUE(tree.create_tree_from_triAccel_list(tris.data(), count)) << skip;
        }
        ASSERT_EQ(tree.get_number_of_nodes(), nodes) << skip;
        ASSERT_EQ(tree.next_free_object(), objects) << skip;
        EXPECT_EQ(std::memcmp(tree.node_array() + 8, rebuilt.node_array() + 8, 8 * nodes), 0);
        EXPECT_EQ(std::memcmp(tree.get_triAccel_array(), rebuilt.get_triAccel_array(),
                              objects * sizeof(triAccel*)),
                  0);
    }
    EXPECT_GT(failed, 0);
}

// A near slab and, far behind it, a dense sphere (an inner subtree): a ray
// past the slab finds the sphere about 24 away, but not within 10. With too
// few nodes claimed, the stack check reports and the traversal goes on.
TEST(KDTreeTraversal, MaxDistanceStopsTheDescentAndTheStackCheckReports) {
    zrv::scenes::Mesh mesh;
    mesh.append({slab(0, 1, 0)});
    mesh.append(zrv::scenes::uv_sphere({0.5f, 0.5f, -20}, 1.0f, 24, 12));
    const std::vector<triAccel> tris = mesh.finalize();
    InspectableKDTree tree;
    ASSERT_TRUE(tree.create_tree_from_triAccel_list(tris.data(), unsigned(tris.size())));
    const RenderState state{0, 0};
    const RayPacket rays = packet_of({{1.2f, 0.5f, 5}, {0, 0, -1}});
    HitPacket expected = empty_hits(), culled = empty_hits();
    tree.traverse_tree(&rays, &expected, 0, &state, 1e30f);
    ASSERT_GT(lane_of(expected.id, 0), 0);
    tree.traverse_tree(&rays, &culled, 0, &state, 10.0f);
    EXPECT_EQ(lane_of(culled.id, 0), -1);

    FatalErrorRecorder recorder;
    const unsigned nodes = tree.get_number_of_nodes();
    tree.understate_node_count(1);
    HitPacket hits = empty_hits();
    tree.traverse_tree(&rays, &hits, 0, &state, 1e30f);
    tree.understate_node_count(nodes);
    ASSERT_FALSE(recorder.errors().empty());
    const RecordedFatalError e = recorder.errors().front();
    EXPECT_EQ(e.message, "AssertionFailed:stack_index < number_of_nodes_");
    EXPECT_TRUE(EndsWith(e.file, "src/gfxrtkdtree.cpp")) << e.file;
    EXPECT_TRUE(e.reserved_arguments_null);
    EXPECT_EQ(lane_of(hits.id, 0), lane_of(expected.id, 0)); // the traversal went on
}

// A waiting child is entered when it starts at max_distance itself, and not
// a float step beyond it: a shadow ray past slabs that cast no shadow, with
// max_distance the distance to the root's plane, still finds the casters
// behind the plane (max_distance culls children, not hits).
TEST(KDTreeTraversal, AChildStartingAtMaxDistanceIsEntered) {
    std::vector<triAccel> tris;
    for (int k = 0; k < 8; ++k) {
        tris.push_back(slab(0, 1, 2 * k));
        tris.back().casts_shadow = 0;
        tris.push_back(slab(4, 5, 2 * k + 1));
    }
    InspectableKDTree tree;
    ASSERT_TRUE(tree.create_tree_from_triAccel_list(tris.data(), unsigned(tris.size())));
    ASSERT_EQ(tree.word0(8) & 3, 0u); // the root splits x, between the slabs
    const float plane = tree.split_position(8);
    ASSERT_TRUE(plane >= 1 && plane <= 4);
    const RenderState shadow{0, 1};
    const RayPacket rays = packet_of({{plane - 4, 0.75f, 0.25f}, {1, 0, 0}});
    HitPacket reached = empty_hits(), short_of = empty_hits(), reference = empty_hits();
    brute_force_trace(tris, rays, shadow, reference);
    ASSERT_EQ(lane_of(reference.id, 0), 1);
    tree.traverse_tree(&rays, &reached, 0, &shadow, 4.0f);
    EXPECT_EQ(count_disagreements(rays, reached, reference), 0);
    tree.traverse_tree(&rays, &short_of, 0, &shadow, std::nextafter(4.0f, 0.0f));
    EXPECT_EQ(lane_of(short_of.id, 0), -1);
}

} // namespace
