// The SAH build's root split against a plain sweep of the rule, under each
// compiled version: random scenes on a coarse grid (equal costs, planar
// events, lists of every length modulo four) and at arbitrary coordinates.
#include "KDTreeTestUtil.h"
#include "gfxKernelDispatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <vector>

namespace {

// A candidate: position, type (0 start, 1 planar, 2 end) and object, in the
// order the build sorts them.
using Event = std::tuple<float, int, unsigned int>;

struct Box {
    float lo[3], hi[3];
};

double area(double x, double y, double z) {
    return 2.0 * (x * y + x * z + y * z);
}

struct RootChoice {
    bool inner;
    int axis;
    float position;
};

// The root by the rule: every candidate in the box, costs compared strictly
// in the order x, y, z and list order, the empty-side bonus, the leaf test
// and the degenerate splits that make a leaf after all.
RootChoice reference_root(const std::vector<triAccel>& triangles) {
    const unsigned int n = unsigned(triangles.size());
    std::vector<Box> boxes;
    Box node = {{1e30f, 1e30f, 1e30f}, {-1e30f, -1e30f, -1e30f}};
    for (const triAccel& t : triangles) {
        Box b;
        for (int a = 0; a < 3; ++a) {
            b.lo[a] = std::min(std::min(t.vertex0[a], t.vertex1[a]), t.vertex2[a]);
            b.hi[a] = std::max(std::max(t.vertex0[a], t.vertex1[a]), t.vertex2[a]);
            node.lo[a] = std::min(node.lo[a], b.lo[a]);
            node.hi[a] = std::max(node.hi[a], b.hi[a]);
        }
        boxes.push_back(b);
    }
    const float e[3] = {node.hi[0] - node.lo[0], node.hi[1] - node.lo[1], node.hi[2] - node.lo[2]};
    const double whole = area(e[0], e[1], e[2]);
    double best = double(1e20f);
    int best_axis = 0;
    float best_position = 0.0f;
    bool empty_side = false;
    for (int a = 0; a < 3; ++a) {
        if (!(e[a] > 0.0f))
            continue;
        std::vector<Event> events;
        for (unsigned int j = 0; j < n; ++j) {
            const bool flat = boxes[j].lo[a] == boxes[j].hi[a];
            events.emplace_back(boxes[j].lo[a], flat ? 1 : 0, j);
            if (!flat)
                events.emplace_back(boxes[j].hi[a], 2, j);
        }
        std::sort(events.begin(), events.end());
        unsigned int starts = 0, planars = 0, ends = 0;
        for (const auto& [position, type, object] : events) {
            starts += type == 0;
            planars += type == 1;
            ends += type == 2;
            if (!(node.lo[a] <= position && position <= node.hi[a]))
                continue;
            const unsigned int nl = starts + planars, nr = n - planars - ends;
            float left[3] = {e[0], e[1], e[2]}, right[3] = {e[0], e[1], e[2]};
            left[a] = position - node.lo[a];
            right[a] = node.hi[a] - position;
            const double cost =
                (area(left[0], left[1], left[2]) * nl + area(right[0], right[1], right[2]) * nr) /
                whole;
            if (cost < best) {
                best = cost;
                best_axis = a;
                best_position = position;
                empty_side = nl == 0 || nr == 0;
            }
        }
    }
    if (empty_side)
        best *= 0.5;
    if (float(n) - 0.2f <= best)
        return {false, 0, 0.0f};
    unsigned int crossing = 0;
    for (const Box& b : boxes)
        crossing += b.lo[best_axis] < best_position && b.hi[best_axis] > best_position;
    const bool degenerate =
        best_position == node.lo[best_axis] || best_position == node.hi[best_axis] || crossing == n;
    return {!degenerate, best_axis, best_position};
}

// n small triangles; on a grid of 6 cells per axis with integer edges, or
// anywhere in the unit cube.
std::vector<triAccel> random_scene(unsigned int n, bool grid, std::mt19937& rng) {
    std::uniform_int_distribution<int> cell(0, 5), step(0, 1);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f), small(0.0f, 0.1f);
    std::vector<triAccel> triangles;
    for (unsigned int i = 0; i < n; ++i) {
        float v[3][3];
        for (int a = 0; a < 3; ++a) {
            const float base = grid ? float(cell(rng)) : unit(rng);
            for (int k = 0; k < 3; ++k)
                v[k][a] = base + (k == 0 ? 0.0f : grid ? float(step(rng)) : small(rng));
        }
        triangles.push_back(make_triangle(v[0], v[1], v[2], int(i)));
    }
    return triangles;
}

class KDTreeRootSplit : public ::testing::TestWithParam<gfxKernelLevel> {};

TEST_P(KDTreeRootSplit, MatchesThePlainSweep) {
    if (!gfxIsKernelLevelSupported(GetParam()))
        GTEST_SKIP() << "this processor cannot run that version";
    const gfxKernelLevel before = gfxGetKernelLevel();
    ASSERT_TRUE(gfxSetKernelLevel(GetParam()));
    std::mt19937 rng(17);
    unsigned int inner_roots = 0;
    for (unsigned int round = 0; round < 400; ++round) {
        const unsigned int n = 3 + round % 45 + (round % 7 == 0 ? 200 : 0);
        const std::vector<triAccel> triangles = random_scene(n, round % 2 == 0, rng);
        const RootChoice expected = reference_root(triangles);
        InspectableKDTree tree;
        ASSERT_TRUE(tree.create_tree_from_triAccel_list(triangles.data(), n));
        const std::uint32_t word0 = tree.word0(8);
        const bool inner = (word0 & 0x80000000u) == 0;
        ASSERT_EQ(inner, expected.inner) << "round " << round << ", " << n << " triangles";
        if (!inner)
            continue;
        ++inner_roots;
        EXPECT_EQ(int(word0 & 3u), expected.axis) << "round " << round;
        EXPECT_EQ(tree.split_position(8), expected.position) << "round " << round;
    }
    EXPECT_GT(inner_roots, 300u);
    gfxSetKernelLevel(before);
}

INSTANTIATE_TEST_SUITE_P(SSE2AndX86_64_v3, KDTreeRootSplit,
                         ::testing::Values(GFX_KERNELS_SSE2, GFX_KERNELS_X86_64_V3));

} // namespace
