// The BVH's slab test, builder, traversal, record, check and dump.
#include "BVHTestUtil.h"
#include "FatalErrorRecorder.h"
#include "TextJournal.h"
#include "zrvSceneRandom.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace {

const float INF = std::numeric_limits<float>::infinity();
const float NaN = std::numeric_limits<float>::quiet_NaN();

// Box [0,1]^3: whether the ray passes and its entry distance (bits). Rays on
// a slab plane give 0 * inf = NaN distances, which survive or not by the
// operand order of every min and max.
const struct {
    const char* what;
    Ray3 ray;
    bool passes;
    float t_entry;
} BOX_CASES[] = {
    {"enters at 1", {{-1, 0.5f, 0.5f}, {1, 0, 0}}, true, 1.0f},
    {"starts inside", {{0.5f, 0.5f, 0.5f}, {1, 0, 0}}, true, 0.0f},
    {"box behind", {{2, 0.5f, 0.5f}, {1, 0, 0}}, false, 0.0f},
    {"passes above", {{-1, 2, 0.5f}, {1, 0, 0}}, false, 1.0f},
    {"grazes an edge", {{-1, 0, 0.5f}, {1, 1, 0}}, true, 1.0f},
    {"on the top plane: NaN dropped", {{-1, 1, 0.5f}, {1, 0, 0}}, true, 0.0f},
    {"on the bottom plane: NaN kept", {{-1, 0, 0.5f}, {1, 0, 0}}, false, INF},
    {"NaN x distances dropped", {{NaN, 0.5f, 0.5f}, {1, 0, 0}}, true, 0.0f},
    {"NaN z distances kept", {{-1, 0.5f, NaN}, {1, 0, 0}}, false, 0.0f},
    {"backwards out of the box", {{0.5f, 0.5f, 0.5f}, {-1, -0.0f, 0}}, true, 0.0f},
};

TEST(RayBox, SlabTestFollowsTheSSENaNRules) {
    const float bbmin[3] = {0, 0, 0}, bbmax[3] = {1, 1, 1};
    for (const auto& c : BOX_CASES) {
        // The case in lane 2, a plain hit in the other lanes.
        RayPacket rays = packet_of(BOX_CASES[0].ray);
        set_ray(rays, 2, c.ray);
        sse_vec inv = {_mm_div_ps(one4, rays.direction.x), _mm_div_ps(one4, rays.direction.y),
                       _mm_div_ps(one4, rays.direction.z)};
        rays.active_mask = 0; // not read
        __m128 t_entry;
        const int mask = gfxRT_ray_box_intersect(rays, inv, bbmin, bbmax, t_entry);
        EXPECT_EQ(std::make_pair(mask, bits_of(lane_of(t_entry, 2))),
                  std::make_pair(c.passes ? 15 : 11, bits_of(c.t_entry)))
            << c.what;
    }
}

// The two walks whose stacks a deep tree strains.
void dump_and_trace(const gfxRTBVH& tree, const Ray3& ray) {
    TextJournal journal;
    tree.debug(journal, false, 1);
    bvh_hit_id(tree, ray);
}

// Node count, root axis, objects in the root's child 0 and first (-1: a leaf).
using BuiltShape = std::array<int, 4>;

int objects_below(const gfxRTBVH& tree, int id) {
    const BVHNode& n = tree.get_node_array()[id];
    if (n.num_triangles > 0)
        return n.num_triangles;
    return objects_below(tree, n.firstChildNodeID) + objects_below(tree, n.firstChildNodeID + 1);
}

BuiltShape build_shape(std::vector<TestBox> boxes) {
    BoxBVH tree(std::move(boxes));
    EXPECT_TRUE(tree.build_tree(1));
    EXPECT_EQ(bvh_structural_fault(tree), "");
    const BVHNode& root = tree.get_node_array()[0];
    if (root.num_triangles > 0)
        return {int(tree.get_number_of_nodes()), -1, -1, -1};
    return {int(tree.get_number_of_nodes()), root.axis, objects_below(tree, root.firstChildNodeID),
            root.first};
}

std::vector<TestBox> at_points(const std::vector<std::array<float, 3>>& centres) {
    std::vector<TestBox> boxes;
    for (const auto& c : centres)
        boxes.push_back(TestBox{{c[0], c[1], c[2]}, {c[0], c[1], c[2]}});
    return boxes;
}

TEST(BVHBuilder, SplitChoices) {
    std::vector<TestBox> heavy_last = boxes_at({0, 1, 2, 3, 4, 5}),
                         heavy_first = boxes_at({0, 1.5f, 16, 16, 16});
    heavy_last[5].cost = heavy_first[0].cost = 100.0f;
    std::vector<TestBox> same_min = boxes_at({0.5f, 0.5f, 0.5f, 2.5f, 2.5f, 2.5f}, 0.5f);
    for (int i = 3; i < 6; ++i)
        same_min[i].min[0] = 0; // both children start at 0: child 0 first
    const struct {
        const char* what;
        std::vector<TestBox> boxes;
        BuiltShape expected;
    } cases[] = {
        {"one object: one leaf", boxes_at({3}), {1, -1, -1, -1}},
        {"four objects: one leaf", boxes_at({0, 1, 2, 3}), {1, -1, -1, -1}},
        {"five distinct centres split", boxes_at({0, 1, 2, 3, 10}), {3, 0, 4, 0}},
        // 2|3 and 3|2 cost the same; the downward sweep keeps the higher bin.
        {"equal costs: higher boundary", boxes_at({0, 1, 2, 3, 4}), {3, 0, 3, 0}},
        {"equal centres: one leaf", boxes_at({2, 2, 2, 2, 2, 2, 2, 2}), {1, -1, -1, -1}},
        {"centres within 1e-5: one leaf",
         boxes_at({0, 4e-6f, 8e-6f, 9e-6f, 9.5e-6f}),
         {1, -1, -1, -1}},
        {"cost isolates the heavy object", heavy_last, {5, 0, 5, 0}},
        {"even at the lowest boundary", heavy_first, {3, 0, 1, 0}},
        {"equal child minima", same_min, {3, 0, 3, 0}},
        {"x wins an x/y tie",
         at_points({{0, 0, 0}, {1, 1, 0.5f}, {2, 2, 0}, {3, 3, 0.5f}, {4, 4, 0}}),
         {3, 0, 3, 0}},
        {"y wins a y/z tie",
         at_points({{0, 0, 0}, {0.5f, 1, 1}, {0, 2, 2}, {0.5f, 3, 3}, {0, 4, 4}}),
         {3, 1, 3, 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(build_shape(c.boxes), c.expected) << c.what;
}

TEST(BVHBuilder, RandomAndPathologicalInputs) {
    FatalErrorRecorder recorder;
    // Node boxes are exact unions and first names the child starting lower,
    // serially and in parallel over a count one past whole 4096-object blocks.
    for (const auto& [count, threads] : {std::pair<int, unsigned>{20000, 1}, {30 * 4096 + 1, 2}}) {
        zrv::scenes::SplitMix64 rng(5);
        std::vector<TestBox> boxes;
        for (int i = 0; i < count; ++i) {
            TestBox& b = boxes.emplace_back();
            for (int a = 0; a < 3; ++a) {
                b.min[a] = float(rng.uniform(-10, 10));
                b.max[a] = b.min[a] + float(rng.uniform(0, 0.5));
            }
            b.cost = float(rng.uniform(0.5, 2));
        }
        BoxBVH tree(boxes);
        ASSERT_TRUE(tree.build_tree(threads));
        ASSERT_EQ(bvh_structural_fault(tree), "");
        const BVHNode* nodes = tree.get_node_array();
        for (unsigned int id = 0; id < tree.get_number_of_nodes(); ++id) {
            const BVHNode& n = nodes[id];
            const bool leaf = n.num_triangles > 0;
            float u[6] = {INF, INF, INF, -INF, -INF, -INF};
            for (int part = 0; part < (leaf ? n.num_triangles : 2); ++part) {
                const TestBox& b =
                    boxes[tree.get_object_order()[leaf ? n.firstTriangleID + part : 0]];
                const BVHNode& c = nodes[leaf ? 0 : n.firstChildNodeID + part];
                for (int a = 0; a < 3; ++a) {
                    u[a] = std::min(u[a], leaf ? b.min[a] : c.bbmin[a]);
                    u[3 + a] = std::max(u[3 + a], leaf ? b.max[a] : c.bbmax[a]);
                }
            }
            ASSERT_TRUE(std::equal(u, u + 3, n.bbmin) && std::equal(u + 3, u + 6, n.bbmax)) << id;
            EXPECT_TRUE(leaf || n.first == (nodes[n.firstChildNodeID + 1].bbmin[n.axis] <
                                            nodes[n.firstChildNodeID].bbmin[n.axis]));
        }
        const KDTreeStatistic* s = tree.get_statistic();
        EXPECT_EQ(s->number_of_leaves * 2 - 1, tree.get_number_of_nodes());
        EXPECT_DOUBLE_EQ(s->average_objects_per_cell, double(count) / s->number_of_leaves);
        EXPECT_TRUE(s->valid && s->max_objects_in_cell <= 4u);
    }
    // Geometric centres: splitting stops where the 64-entry stacks end.
    std::vector<float> geometric;
    for (int k = 0; k < 400; ++k)
        geometric.push_back(-std::pow(1.2f, float(k)));
    BoxBVH deep(boxes_at(geometric, 0.0f));
    ASSERT_TRUE(deep.build_tree(1));
    EXPECT_EQ(bvh_structural_fault(deep), "");
    EXPECT_EQ(deep.get_statistic()->tree_depth, 63u);
    // The dump and a ray down the deep side need no more stack either.
    dump_and_trace(deep, {{-1e30f, 0.5f, 0.5f}, {1, 0, 0}});
    EXPECT_TRUE(recorder.messages().empty());

    // 65534 equal centres: halved until leaves fit the 16-bit count.
    BoxBVH same(boxes_at(std::vector<float>(65534, 1.0f)));
    ASSERT_TRUE(same.build_tree(1));
    EXPECT_EQ(bvh_structural_fault(same), "");
    EXPECT_EQ(same.get_statistic()->max_objects_in_cell, 32767u);
}

TEST(BVHTraversal, CullsByOcclusionDistanceAndMask) {
    // Objects 0-2 left (hit at t = 2), 3-6 right (hit at t = 9, 8, 7, 6).
    std::vector<TestBox> boxes = boxes_at({0, 1, 2, 10, 11, 12, 13});
    for (int i = 0; i < 7; ++i)
        boxes[i].hit_t = i < 3 ? 2.0f : 12.0f - float(i);
    BoxBVH tree(boxes);
    ASSERT_TRUE(tree.build_tree(1));
    using V = std::vector<unsigned int>;
    auto trace = [&](RayPacket rays, int active, HitPacket hits, float max_distance) {
        rays.active_mask = active;
        tree.calls.clear();
        __m128i hit_object = _mm_set1_epi32(99);
        tree.traverse_tree(rays, hits, hit_object, RenderState{0, 0}, max_distance);
        V objects;
        for (const BoxBVH::Call& c : tree.calls)
            objects.push_back(c.object);
        return std::make_pair(objects, lane_of(hit_object, 0));
    };
    const RayPacket from_left = packet_of({{-5, 0.5f, 0.5f}, {1, 0, 0}});
    const RayPacket from_right = packet_of({{20, 0.5f, 0.5f}, {-1, 0, 0}});
    // Left first; the right box (entered at 14.75) lies behind the hit at 2.
    EXPECT_EQ(trace(from_left, 15, empty_hits(), 1e30f), std::make_pair(V{0, 1, 2}, 0));
    // Right first; the last of several improving objects names the hit.
    EXPECT_EQ(trace(from_right, 15, empty_hits(), 1e30f), std::make_pair(V{3, 4, 5, 6}, 6));
    // The boxes start at 4.75: culled at max_distance 4.75, not above.
    EXPECT_EQ(trace(from_left, 15, empty_hits(), 4.75f).first, V{});
    EXPECT_EQ(trace(from_left, 15, empty_hits(), 4.7501f).first, (V{0, 1, 2}));
    // A hit at the box entry does not occlude; a nearer one does, unless -1.
    HitPacket at_entry = empty_hits(4.75f);
    at_entry.id = _mm_set1_epi32(7);
    EXPECT_EQ(trace(from_left, 15, at_entry, 1e30f).first, (V{0, 1, 2}));
    HitPacket nearer = at_entry;
    nearer.t = _mm_set1_ps(4.7f);
    EXPECT_EQ(trace(from_left, 15, nearer, 1e30f), std::make_pair(V{}, 7));
    nearer.id = _mm_set1_epi32(-1);
    EXPECT_EQ(trace(from_left, 15, nearer, 1e30f).first, (V{0, 1, 2}));
    // No active lane: nothing tested, hit_object takes the hit's id.
    EXPECT_EQ(trace(from_left, 0, at_entry, 1e30f), std::make_pair(V{}, 7));
    // Lane 0's zero direction on the split axis visits child (first ^ 1) first.
    RayPacket mixed = from_left;
    set_ray(mixed, 0, {{11, 0.5f, 0.5f}, {0, 1, 0}});
    EXPECT_EQ(trace(mixed, 3, empty_hits(), 1e30f).first, (V{3, 4, 5, 6, 0, 1, 2}));
    EXPECT_EQ(tree.calls.back().lane_mask, 2);
}

class CountingTriangleBVH : public gfxRTBVH_triAccel {
public:
    using gfxRTBVH_triAccel::gfxRTBVH_triAccel;
    void test_object_hit(unsigned int object, int lane_mask, RayPacket& ray, HitPacket& hit,
                         const RenderState& state, float max_distance) const override {
        ++calls;
        gfxRTBVH_triAccel::test_object_hit(object, lane_mask, ray, hit, state, max_distance);
    }
    mutable int calls = 0;
};

// An empty tree touches nothing; a class derived from the triangle BVH keeps
// its own object test.
TEST(BVHTraversal, EmptyAndDerivedTrees) {
    BoxBVH tree({});
    EXPECT_TRUE(tree.build_tree(1));
    RayPacket rays = packet_of({{0, 0, 0}, {1, 0, 0}});
    HitPacket hits = empty_hits(3.0f);
    __m128i hit_object = _mm_set1_epi32(42);
    tree.traverse_tree(rays, hits, hit_object, RenderState{0, 0}, 1e30f);
    __m128 lo, hi;
    tree.get_tree_bbox(lo, hi);
    EXPECT_EQ(std::make_pair(lane_of(hit_object, 1), lane_of(hits.t, 1)), std::make_pair(42, 3.0f));
    EXPECT_EQ(std::make_pair(lane_of(lo, 3), lane_of(hi, 0)), std::make_pair(1e20f, -1e20f));
    EXPECT_EQ(tree.get_statistic()->average_objects_per_cell, 0.0);
    EXPECT_TRUE(streamed_items(tree) == bvh_record({}, {}));

    const float a[3] = {0, 0, 0}, b[3] = {1, 0, 0}, c[3] = {0, 1, 0};
    const triAccel triangle = make_triangle(a, b, c, 5);
    CountingTriangleBVH derived(&triangle, 1);
    ASSERT_TRUE(derived.build_tree(1));
    EXPECT_EQ(bvh_hit_id(derived, {{0.25f, 0.25f, 1}, {0, 0, -1}}), 5);
    EXPECT_EQ(derived.calls, 1);
}

const float LO[3] = {0, 0, 0}, HI[3] = {4, 4, 4};

TEST(BVHStream, RecordDumpAndStackLimit) {
    // A seven-object tree: root split on x into leaves of 3 and 4 objects.
    BoxBVH tree(boxes_at({0, 1, 2, 10, 11, 12, 13}));
    ASSERT_TRUE(tree.build_tree(1));
    RecordingWriter writer;
    ASSERT_TRUE(tree.stream(writer));
    const float root_lo[3] = {-0.25f, 0, 0}, root_hi[3] = {13.25f, 1, 1};
    const float left_hi[3] = {2.25f, 1, 1}, right_lo[3] = {9.75f, 0, 0};
    std::vector<int> order(tree.get_object_order(), tree.get_object_order() + 7);
    EXPECT_EQ(writer.items,
              bvh_record({inner_node(root_lo, root_hi, 1, 0, 0), leaf_node(root_lo, left_hi, 0, 3),
                          leaf_node(right_lo, root_hi, 3, 4)},
                         order));

    // Packed words: an inner node on z with child 1 first, a four-object leaf.
    const std::vector<StreamItem> crafted =
        bvh_record({inner_node(LO, HI, 5, 2, 1), leaf_node(LO, HI, 12, 4)}, {3, 1});
    EXPECT_EQ(crafted[3 + 7].i, (1 << 24) + (2 << 16));
    EXPECT_EQ(crafted[3 + 8 + 7].i, 4);
    std::vector<StreamItem> wrong_version = bvh_record({}, {});
    wrong_version[1] = StreamItem::String("version=2"); // refused right after it
    ReplayReader stops(wrong_version);
    EXPECT_TRUE(!tree.unstream(stops) && stops.position() == 2u);

    TextJournal journal;
    tree.debug(journal, true, 3);
    EXPECT_EQ(journal.text, "Tree Dump:\n"
                            "[-0.250000, 13.250000]x[0.000000, 1.000000]x[0.000000, 1.000000]\n"
                            "Node: children at 1 axis=0 first=0\n"
                            "   [-0.250000, 2.250000]x[0.000000, 1.000000]x[0.000000, 1.000000]\n"
                            "   Leaf: 3 at 0\n"
                            "   [9.750000, 13.250000]x[0.000000, 1.000000]x[0.000000, 1.000000]\n"
                            "   Leaf: 4 at 3\n");
    // Chains one and two levels deeper than a build goes (63): the dump's
    // stack runs out at 64 levels, the traversal's at 65, and each reports
    // its limit instead of writing past it.
    const std::string overflow = "AssertionFailed:stack_position<MAX_STACK_SIZE";
    for (int depth : {64, 65}) {
        std::vector<BVHNode> chain(2 * std::size_t(depth) + 1, leaf_node(LO, HI, 0, 1));
        chain[0] = inner_node(LO, HI, 1, 0, 0);
        for (int id = 1; id < 2 * depth - 1; id += 2)
            chain[std::size_t(id)] = inner_node(LO, HI, id + 2, 0, 0);
        BoxBVH deep(boxes_at({1}));
        ReplayReader reader(bvh_record(chain, {0}));
        ASSERT_TRUE(deep.unstream(reader));
        FatalErrorRecorder recorder;
        dump_and_trace(deep, {{-1, 1, 1}, {1, 0.01f, 0.02f}});
        EXPECT_EQ(recorder.messages(), std::vector<std::string>(depth == 64 ? 1 : 2, overflow))
            << depth;
    }
}

TEST(BVHCheck, ReportsEveryViolatedInvariant) {
    const float a[3] = {0, 0, 0}, b[3] = {2, 2, 2}, c[3] = {-1, 1, 1}, d[3] = {1, 3, 1};
    const float flipped_y[3] = {0, -1, 0}; // flat on x and z
    BVHNode bad_inner = inner_node(a, b, 1, 3, 2);
    bad_inner.num_triangles = -2;
    std::pair<std::vector<BVHNode>, std::vector<std::string>> cases[] = {
        {{leaf_node(a, flipped_y, -1, 3)},
         {"node.bbmin[1] <= node.bbmax[1]", "node.firstTriangleID >= 0"}},
        {{bad_inner, leaf_node(a, b, 0, 1), leaf_node(a, b, 1, 1)},
         {"node.num_triangles == 0", "node.axis <= 2", "node.first <= 1",
          "found_number_of_objects == get_number_of_objects()"}},
        {{inner_node(a, b, 1, 0, 0), leaf_node(c, b, 0, 2), leaf_node(a, d, 2, 1)},
         {"node.bbmin[0] <= child.bbmin[0]", "node.bbmax[1] >= child.bbmax[1]"}},
        {{inner_node(a, b, 1, 3, 0), leaf_node(a, b, 0, 2), leaf_node(a, b, 2, 1)},
         {"node.axis <= 2"}},
        {{}, {"(get_number_of_objects()==0) && (number_of_nodes_ == 0)"}},
    };
    for (auto& [nodes, messages] : cases) {
        BoxBVH tree(boxes_at({0, 1, 2}));
        ReplayReader reader(
            bvh_record(nodes, nodes.empty() ? std::vector<int>{} : std::vector<int>{0, 1, 2}));
        ASSERT_TRUE(tree.unstream(reader));
        FatalErrorRecorder recorder;
        EXPECT_TRUE(tree.check());
        for (std::string& m : messages)
            m = "AssertionFailed:" + m;
        EXPECT_EQ(recorder.messages(), messages);
        EXPECT_EQ(recorder.errors()[0].file, "src/gfxrtbvh.cpp");
    }
}

} // namespace
