// The parallel KD-tree build: seed counts, the merged layout, the fall-back
// paths of CompileKDTree, and hits identical to the serial tree's.
#include "AllocationFaults.h"
#include "KDTreeTestUtil.h"
#include "OracleScenes.h"
#include "gfxRTAccelerationStructureServices.h"
#include "zrvScenes.h"
#include "zrvSceneShapes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <set>

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

struct Seeds {
    gfxKDTreeCompileState* records[64] = {};
    ~Seeds() {
        for (gfxKDTreeCompileState* r : records)
            delete r;
    }
};

TEST(KDTreeParallel, SeedCountIsLargestPowerOfTwo) {
    const unsigned threads[] = {0, 1, 2, 3, 4, 7, 8, 64, 127, 128, 1000};
    const unsigned seeds[] = {0, 1, 2, 2, 4, 4, 8, 64, 64, 128, 512};
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(gfxRTKDTree::get_possible_number_of_seeds(threads[i]), seeds[i]) << threads[i];
}

TEST(KDTreeParallel, TwoSeedLayoutNodeByNode) {
    const std::vector<triAccel> tris = mixed_scene();
    const unsigned count = unsigned(tris.size());
    InspectableKDTree tree(1);
    Seeds seeds;
    ASSERT_TRUE(tree.create_seed_notes_from_triAccel_list(tris.data(), count, 2, seeds.records));
    ASSERT_EQ(tree.get_number_of_nodes(), 1u);
    ASSERT_EQ(tree.next_free_node(), 32u);
    const std::uint32_t top_word0 = tree.word0(8);
    const float top_split = tree.split_position(8);
    EXPECT_EQ(top_word0 & ~3u, 8u);
    EXPECT_EQ(seeds.records[0]->number_of_objects + seeds.records[1]->number_of_objects >= count,
              true);

    InspectableKDTree sub0(1), sub1(1);
    ASSERT_TRUE(sub0.create_tree_from_seed(seeds.records[0], tree.get_proxies(), 2,
                                           tree.get_max_tree_depth(), tree.get_scene_bbox()));
    ASSERT_TRUE(sub1.create_tree_from_seed(seeds.records[1], tree.get_proxies(), 2,
                                           tree.get_max_tree_depth(), tree.get_scene_bbox()));
    EXPECT_EQ(sub0.get_max_tree_depth(), tree.get_max_tree_depth() - 1);
    const gfxRTKDTree* subtrees[2] = {&sub0, &sub1};
    ASSERT_TRUE(tree.remerge_subtrees(subtrees, 2, count));
    EXPECT_EQ(tree.get_proxies(), nullptr);

    // Root at 8 keeps axis and plane and points at the pair 16/24 (the
    // subtree roots); the bodies follow from 32, subtree 0 first.
    EXPECT_EQ(tree.word0(8), top_word0);
    EXPECT_EQ(tree.split_position(8), top_split);
    EXPECT_EQ(tree.get_number_of_nodes(),
              1 + sub0.get_number_of_nodes() + sub1.get_number_of_nodes());
    const unsigned body0 = 32, body1 = 32 + sub0.next_free_node() - 16;
    const unsigned base1 = sub0.next_free_object();
    const struct {
        const InspectableKDTree* sub;
        unsigned root, body, object_base;
    } parts[2] = {{&sub0, 16, body0, 0}, {&sub1, 24, body1, base1}};
    for (const auto& part : parts) {
        const std::uint32_t w = part.sub->word0(8);
        if (w & 0x80000000u)
            EXPECT_EQ(tree.word0(part.root), 0x80000000u | (part.object_base + (w & 0x7FFFFFFFu)));
        else
            EXPECT_EQ(tree.word0(part.root), (w & 3) + (part.body - part.root));
        EXPECT_EQ(tree.word1(part.root), part.sub->word1(8));
        for (unsigned node = 16; node < part.sub->next_free_node(); node += 8) {
            const unsigned merged = part.body + node - 16;
            const std::uint32_t sw = part.sub->word0(node);
            EXPECT_EQ(tree.word0(merged),
                      (sw & 0x80000000u) ? (0x80000000u | (part.object_base + (sw & 0x7FFFFFFFu)))
                                         : sw);
            EXPECT_EQ(tree.word1(merged), part.sub->word1(node));
        }
    }
    EXPECT_EQ(std::memcmp(tree.get_triAccel_array(), sub0.get_triAccel_array(),
                          sub0.next_free_object() * sizeof(triAccel*)),
              0);
    EXPECT_EQ(std::memcmp(tree.get_triAccel_array() + base1, sub1.get_triAccel_array(),
                          sub1.next_free_object() * sizeof(triAccel*)),
              0);
    const KDTreeStatistic& s = *tree.get_statistic();
    EXPECT_EQ(s.number_of_leaves,
              sub0.get_statistic()->number_of_leaves + sub1.get_statistic()->number_of_leaves);
    EXPECT_DOUBLE_EQ(s.average_objects_per_cell, (sub0.get_statistic()->average_objects_per_cell +
                                                  sub1.get_statistic()->average_objects_per_cell) /
                                                     2);
    EXPECT_EQ(s.tree_depth,
              std::max(sub0.get_statistic()->tree_depth, sub1.get_statistic()->tree_depth) + 1);
    EXPECT_EQ(s.number_of_objects, count);
    EXPECT_TRUE(s.valid);
    EXPECT_EQ(tree.structural_fault(tris.data(), count), "");
}

// A seed record over the given objects of a seeded tree, with their boxes.
std::unique_ptr<gfxKDTreeCompileState> seed_over(const gfxRTKDTree& tree,
                                                 const std::vector<unsigned>& objects) {
    std::vector<gfxSplitCandidate> lists[3];
    KDTreeBBox box = *tree.get_proxies()[objects.empty() ? 0 : objects[0]]->bbox;
    for (unsigned o : objects) {
        const KDTreeBBox& b = *tree.get_proxies()[o]->bbox;
        for (int a = 0; a < 3; ++a) {
            box.bbmin[a] = std::min(box.bbmin[a], b.bbmin[a]);
            box.bbmax[a] = std::max(box.bbmax[a], b.bbmax[a]);
            gfxSplitCandidate c;
            c.object_index = o;
            c.position = b.bbmin[a];
            c.type = b.bbmin[a] == b.bbmax[a] ? gfxSplitCandidate::PLANAR_EVENT
                                              : gfxSplitCandidate::START_EVENT;
            lists[a].push_back(c);
            if (b.bbmin[a] != b.bbmax[a]) {
                c.position = b.bbmax[a];
                c.type = gfxSplitCandidate::END_EVENT;
                lists[a].push_back(c);
            }
        }
    }
    for (auto& l : lists)
        std::sort(l.begin(), l.end(), [](const gfxSplitCandidate& x, const gfxSplitCandidate& y) {
            return compare_split_candidates(&x, &y) < 0;
        });
    gfxSplitCandidate* ptrs[3] = {lists[0].data(), lists[1].data(), lists[2].data()};
    const unsigned sizes[3] = {unsigned(lists[0].size()), unsigned(lists[1].size()),
                               unsigned(lists[2].size())};
    return std::make_unique<gfxKDTreeCompileState>(unsigned(objects.size()), 0, ptrs, sizes, &box,
                                                   2, gfxSplitCandidateMemoryManager::MODEL_SMALL);
}

TEST(KDTreeParallel, EmptyAndSingleLeafSubtreesMerge) {
    const std::vector<triAccel> tris = mixed_scene();
    const unsigned count = unsigned(tris.size());
    InspectableKDTree tree(2);
    Seeds seeds;
    ASSERT_TRUE(tree.create_seed_notes_from_triAccel_list(tris.data(), count, 2, seeds.records));
    auto empty = seed_over(tree, {});
    auto pair = seed_over(tree, {5, 9});
    InspectableKDTree sub0(1), sub1(1);
    ASSERT_TRUE(sub0.create_tree_from_seed(empty.get(), tree.get_proxies(), 2,
                                           tree.get_max_tree_depth(), tree.get_scene_bbox()));
    EXPECT_EQ(sub0.get_number_of_nodes(), 1u);
    EXPECT_EQ(sub0.word0(8), 0x80000000u);
    EXPECT_EQ(sub0.word1(8), 0u);
    EXPECT_EQ(sub0.get_statistic()->number_of_empty_cells, 1u);
    ASSERT_TRUE(sub1.create_tree_from_seed(pair.get(), tree.get_proxies(), 2,
                                           tree.get_max_tree_depth(), tree.get_scene_bbox()));
    EXPECT_EQ(sub1.get_number_of_nodes(), 1u); // two objects: a leaf, no body
    EXPECT_EQ(sub1.next_free_node(), 16u);
    const gfxRTKDTree* subtrees[2] = {&sub0, &sub1};
    ASSERT_TRUE(tree.remerge_subtrees(subtrees, 2, count));
    EXPECT_EQ(tree.get_number_of_nodes(), 3u);
    EXPECT_EQ(tree.word0(16), 0x80000000u);
    EXPECT_EQ(tree.word1(16), 0u);
    EXPECT_EQ(tree.word0(24), 0x80000000u); // rebased by subtree 0's zero objects
    EXPECT_EQ(tree.word1(24), 2u);
    const std::set<const triAccel*> leaf(tree.get_triAccel_array(), tree.get_triAccel_array() + 2);
    EXPECT_EQ(leaf, (std::set<const triAccel*>{&tris[5], &tris[9]}));
    EXPECT_EQ(tree.get_statistic()->number_of_empty_cells, 1u);
    EXPECT_EQ(tree.get_statistic()->average_objects_per_cell, 1.0); // mean of 0 and 2
    EXPECT_EQ(tree.structural_fault(tris.data(), count), "");
}

// Rays of every kind through the scene; each lane's hit must equal the
// serially built tree's bit for bit.
void expect_same_hits(const gfxRTKDTree& parallel, const gfxRTKDTree& serial, const Bounds& b,
                      unsigned seed) {
    std::mt19937 rng(seed);
    int hits = 0;
    for (int i = 0; i < 4000; ++i) {
        RayPacket p = packet_of({{0, 0, 0}, {0, 0, 1}});
        for (int k = 0; k < 4; ++k)
            set_ray(p, k, random_ray(b.min, b.max, 0.2f, rng));
        HitPacket a = empty_hits(), s = empty_hits();
        host_trace(parallel, p, RenderState{0, 0}, a);
        host_trace(serial, p, RenderState{0, 0}, s);
        for (int k = 0; k < 4; ++k) {
            ASSERT_EQ(bits_of(lane_of(a.t, k)), bits_of(lane_of(s.t, k))) << "packet " << i;
            if (lane_of(a.id, k) != lane_of(s.id, k)) {
                ASSERT_GE(lane_of(a.id, k), 0); // only a tie at the same t may differ
            }
            hits += lane_of(s.id, k) >= 0;
        }
    }
    EXPECT_GT(hits, 80); // at least half a percent of the 16000 rays
}

class CompiledOnOracleScenes : public ::testing::TestWithParam<OracleScene> {};

TEST_P(CompiledOnOracleScenes, HitLikeTheSerialTree) {
    const std::vector<triAccel> tris = GetParam().make();
    const unsigned count = unsigned(tris.size());
    const Bounds bounds = zrv::scenes::scene_bounds(tris);
    InspectableKDTree serial(1);
    ASSERT_TRUE(serial.create_tree_from_triAccel_list(tris.data(), count));
    for (int threads : {2, 4, 8, 64}) {
        InspectableKDTree tree(2); // two tracing slots: the root lists are sorted in parallel
        const int code =
            gfxRTAccelerationStructureServices::CompileKDTree(&tree, threads, tris.data(), count);
        // Seeding may end early on a sparse scene; the fall-back is then serial.
        ASSERT_TRUE(code == 0 || code == 2) << threads << " threads: code " << code;
        ASSERT_TRUE(tree.get_statistic()->valid);
        ASSERT_EQ(tree.structural_fault(tris.data(), count), "") << threads;
        EXPECT_EQ(tree.get_statistic()->number_of_objects, count);
        expect_same_hits(tree, serial, bounds, unsigned(threads));
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, CompiledOnOracleScenes, ::testing::ValuesIn(ORACLE_SCENES),
                         [](const ::testing::TestParamInfo<OracleScene>& info) {
                             return std::string(info.param.name);
                         });

TEST(KDTreeParallel, MixedSceneCompilesInParallelAtEverySeedCount) {
    const std::vector<triAccel> tris = mixed_scene();
    InspectableKDTree serial(1);
    ASSERT_TRUE(serial.create_tree_from_triAccel_list(tris.data(), unsigned(tris.size())));
    for (int threads : {2, 3, 4, 7, 8, 64, 127}) {
        InspectableKDTree tree(1);
        EXPECT_EQ(gfxRTAccelerationStructureServices::CompileKDTree(&tree, threads, tris.data(),
                                                                    unsigned(tris.size())),
                  0)
            << threads;
        // The merged top tree has one inner node per seed but one.
        const unsigned seeds = gfxRTKDTree::get_possible_number_of_seeds(unsigned(threads));
        for (unsigned k = 1; k < seeds; ++k)
            ASSERT_EQ(tree.word0(8 * k) & ~3u, 8 * k) << threads << " threads, node " << k;
        expect_same_hits(tree, serial, zrv::scenes::scene_bounds(tris), unsigned(threads));
    }
}

TEST(KDTreeParallel, RootListsAreSortedInParallelFrom1000Objects) {
    // Below 1000 objects, or with more than 64 slots, the serial sort runs
    // and the tree is exactly the single-slot tree.
    const std::vector<triAccel> all = zrv::scenes::box_grid({0, 0, 0}, 10, 10, 1, 1.0f, 1.0f);
    ASSERT_GE(all.size(), 1000u);
    const std::vector<triAccel> small(all.begin(), all.begin() + 999);
    InspectableKDTree one(1), three(3);
    ASSERT_TRUE(one.create_tree_from_triAccel_list(small.data(), 999));
    ASSERT_TRUE(three.create_tree_from_triAccel_list(small.data(), 999));
    ASSERT_EQ(one.get_number_of_nodes(), three.get_number_of_nodes());
    EXPECT_EQ(
        std::memcmp(one.node_array() + 8, three.node_array() + 8, 8 * one.get_number_of_nodes()),
        0);
    // From 1000 on, three sorting threads make the lists; the tree answers
    // exactly like the serially sorted one.
    InspectableKDTree serial(1), parallel(3);
    ASSERT_TRUE(serial.create_tree_from_triAccel_list(all.data(), unsigned(all.size())));
    ASSERT_TRUE(parallel.create_tree_from_triAccel_list(all.data(), unsigned(all.size())));
    ASSERT_EQ(parallel.structural_fault(all.data(), unsigned(all.size())), "");
    expect_same_hits(parallel, serial, zrv::scenes::scene_bounds(all), 17);
}

TEST(KDTreeParallel, MoreThan64ThreadsUse64Seeds) {
    const std::vector<triAccel> tris = mixed_scene();
    const unsigned count = unsigned(tris.size());
    InspectableKDTree with64(1), with200(1);
    ASSERT_EQ(gfxRTAccelerationStructureServices::CompileKDTree(&with64, 64, tris.data(), count),
              0);
    ASSERT_EQ(gfxRTAccelerationStructureServices::CompileKDTree(&with200, 200, tris.data(), count),
              0);
    ASSERT_EQ(with64.get_number_of_nodes(), with200.get_number_of_nodes());
    EXPECT_EQ(std::memcmp(with64.node_array() + 8, with200.node_array() + 8,
                          8 * with64.get_number_of_nodes()),
              0);
}

TEST(KDTreeParallel, NullArgumentsAndSerialThreadCounts) {
    const std::vector<triAccel> tris = mixed_scene();
    InspectableKDTree tree(1);
    EXPECT_EQ(gfxRTAccelerationStructureServices::CompileKDTree(nullptr, 2, tris.data(), 5), 1);
    EXPECT_EQ(gfxRTAccelerationStructureServices::CompileKDTree(&tree, 2, nullptr, 5), 1);
    EXPECT_EQ(tree.node_array(), nullptr);
    for (int threads : {0, 1}) {
        ASSERT_EQ(gfxRTAccelerationStructureServices::CompileKDTree(&tree, threads, tris.data(),
                                                                    unsigned(tris.size())),
                  0);
        EXPECT_TRUE(tree.get_statistic()->valid);
    }
    // A serial build that fails still answers 0; valid tells the outcome.
    EXPECT_EQ(gfxRTAccelerationStructureServices::CompileKDTree(&tree, 1, tris.data(), 0), 0);
    EXPECT_FALSE(tree.get_statistic()->valid);
}

// After a fall-back the tree must be the complete serial tree.
void expect_serial_tree(const InspectableKDTree& tree, const std::vector<triAccel>& tris) {
    InspectableKDTree serial(1);
    ASSERT_TRUE(serial.create_tree_from_triAccel_list(tris.data(), unsigned(tris.size())));
    ASSERT_TRUE(tree.get_statistic()->valid);
    ASSERT_EQ(tree.get_number_of_nodes(), serial.get_number_of_nodes());
    EXPECT_EQ(std::memcmp(tree.node_array() + 8, serial.node_array() + 8,
                          8 * serial.get_number_of_nodes()),
              0);
    EXPECT_EQ(tree.get_proxies(), nullptr);
}

TEST(KDTreeParallel, SeedingThatEndsInALeafFallsBackWithCode2) {
    // Three triangles: at depth 2 the cells hold at most two and become leaves.
    zrv::scenes::Mesh mesh;
    mesh.append(zrv::scenes::uv_sphere({0, 0, 0}, 1, 3, 2));
    const std::vector<triAccel> tris = mesh.finalize();
    InspectableKDTree tree(1);
    EXPECT_EQ(gfxRTAccelerationStructureServices::CompileKDTree(&tree, 4, tris.data(),
                                                                unsigned(tris.size())),
              2);
    expect_serial_tree(tree, tris);
}

TEST(KDTreeParallel, FailingSubtreeFallsBackWithCode3) {
    const std::vector<triAccel> tris = mixed_scene();
    InspectableKDTree tree(1);
    AllocationFaultRule rule;
    rule.thread = AllocationFaultRule::OTHER_THREADS; // only the subtree builders allocate there
    AllocationFaults faults(rule);
    EXPECT_EQ(gfxRTAccelerationStructureServices::CompileKDTree(&tree, 4, tris.data(),
                                                                unsigned(tris.size())),
              3);
    EXPECT_EQ(faults.injected(), 1);
    expect_serial_tree(tree, tris);
}

TEST(KDTreeParallel, FailingMergeFallsBackWithCode4) {
    const std::vector<triAccel> tris = mixed_scene();
    const unsigned count = unsigned(tris.size());
    // The merge grows the object array to hold every leaf entry at once: learn
    // that size from a good build, then make exactly that allocation fail.
    InspectableKDTree probe(1);
    ASSERT_EQ(gfxRTAccelerationStructureServices::CompileKDTree(&probe, 2, tris.data(), count), 0);
    std::size_t entries = 0;
    for (auto leaf : probe.leaves())
        entries += leaf.second;
    InspectableKDTree tree(1);
    AllocationFaultRule rule;
    rule.thread = AllocationFaultRule::ARMING_THREAD;
    rule.min_bytes = entries * sizeof(triAccel*);
    rule.max_bytes = rule.min_bytes + 64; // the aligned allocator's header and padding
    AllocationFaults faults(rule);
    EXPECT_EQ(gfxRTAccelerationStructureServices::CompileKDTree(&tree, 2, tris.data(), count), 4);
    EXPECT_EQ(faults.injected(), 1);
    expect_serial_tree(tree, tris);
}

} // namespace
