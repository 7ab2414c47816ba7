// Saving and restoring KD-trees: the exact values of the stream, the token
// checks, the limits on counts read from a stream, checked loading, and
// round trips that must give every ray the original's hits.
#include "AllocationFaults.h"
#include "KDTreeTestUtil.h"
#include "OracleScenes.h"
#include "RecordingStream.h"
#include "StreamFiles.h"
#include "gfxRTAccelerationStructureServices.h"
#include "zrvStreams.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

namespace {

using Items = std::vector<StreamItem>;
using S = StreamItem;

const unsigned LEAF = 0x80000000u;

// Items from text: s:token u:unsigned (0x allowed) i:int f:float d:double.
Items items_of(const std::string& text) {
    Items items;
    std::istringstream words(text);
    for (std::string w; words >> w;) {
        const char* v = w.c_str() + 2;
        items.push_back(w[0] == 's'   ? S::String(v)
                        : w[0] == 'u' ? S::Uint(unsigned(std::strtoul(v, nullptr, 0)))
                        : w[0] == 'i' ? S::Int(std::atoi(v))
                        : w[0] == 'f' ? S::Float(std::strtof(v, nullptr))
                                      : S::Double(std::strtod(v, nullptr)));
    }
    return items;
}

// A hand-made tree over 2 triangles: root split at x = 0.5 with its pair at
// 16, a leaf at 16 with entry 0 and an empty leaf at 24 whose first is 1.
// Entries: triangle 0, null, triangle 1 (in range, in no leaf).
Items small_tree() {
    return items_of("s:BEGIN:gfxRTKDTree s:version=1 u:32 u:3 u:0 u:3 "
                    "s:BEGIN:KDTreeBBox f:0 f:0 f:0 f:1 f:1 f:0.25 s:END:KDTreeBBox "
                    "s:BEGIN:KDTreeProperties u:2 u:9 f:0.2 f:0.5 d:1e9 d:2.5e-10 "
                    "s:END:KDTreeProperties "
                    "s:BEGIN:KDTreeStatistic u:1 d:1.0 u:2 u:2 u:2 u:2 u:1 s:END:KDTreeStatistic "
                    "u:8 f:0.5 u:0x80000000 u:1 u:0x80000001 u:0 "
                    "i:0 i:-1 i:1 s:END:gfxRTKDTree");
}
const std::size_t FIRST_NODE_ITEM = 31;
const std::size_t FIRST_OBJECT_ITEM = 37;

std::vector<triAccel> two_triangles() {
    const float a0[3] = {0, 0, 0}, a1[3] = {0.4f, 0, 0}, a2[3] = {0, 1, 0};
    const float b0[3] = {0.6f, 0, 0}, b1[3] = {1, 0, 0}, b2[3] = {1, 1, 0.25f};
    return {make_triangle(a0, a1, a2, 0), make_triangle(b0, b1, b2, 1)};
}

Items stream_of(const gfxRTKDTree& tree) {
    RecordingWriter writer;
    EXPECT_TRUE(tree.stream(writer));
    return writer.items;
}

TEST(KDTreeStream, HandMadeTreeReadsAndWritesBackValueForValue) {
    const std::vector<triAccel> tris = two_triangles();
    InspectableKDTree tree(2);
    tree.set_first_triangle(tris.data());
    ReplayReader reader(small_tree());
    ASSERT_TRUE(tree.unstream(reader));
    EXPECT_TRUE(reader.faults().empty()) << reader.faults()[0];
    EXPECT_EQ(reader.position(), small_tree().size());

    // The empty leaf keeps its first entry; -1 reads back as null.
    const std::uint32_t words[6] = {8, 0x3F000000u, LEAF, 1, LEAF | 1, 0};
    EXPECT_EQ(std::memcmp(tree.node_array() + 8, words, sizeof words), 0);
    const triAccel* entries[3] = {&tris[0], nullptr, &tris[1]};
    EXPECT_EQ(std::memcmp(tree.get_triAccel_array(), entries, sizeof entries), 0);
    EXPECT_EQ(tree.node_array_size(), 32u);
    EXPECT_EQ(tree.object_array_size(), 3u);
    EXPECT_EQ(tree.next_free_object(), 0u);
    EXPECT_EQ(tree.get_max_tree_depth(), 9u);
    EXPECT_EQ(tree.get_statistic()->compile_time_sec, 0.0);
    EXPECT_TRUE(tree.get_statistic()->valid);

    // Written back, with next_free_object_ 0: the whole object array.
    EXPECT_TRUE(stream_of(tree) == small_tree());

    // Both stacks exist: both thread slots trace.
    for (unsigned thread = 0; thread < 2; ++thread) {
        const RenderState state{thread, 0};
        RayPacket rays = packet_of(Ray3{{0.1f, 0.2f, -1}, {0, 0, 1}});
        HitPacket hits = empty_hits();
        host_trace(tree, rays, state, hits);
        EXPECT_EQ(lane_of(hits.id, 0), 0) << thread;
    }
}

TEST(KDTreeStream, EveryTokenMismatchStopsReadingAtOnce) {
    const std::vector<triAccel> tris = two_triangles();
    const Items good = small_tree();
    for (std::size_t i = 0; i < good.size(); ++i) {
        if (good[i].kind != S::STRING)
            continue;
        Items bad = good;
        bad[i].s += "x";
        ReplayReader reader(bad);
        std::unique_ptr<gfxRTKDTree> tree(
            gfxRTAccelerationStructureServices::UnstreamNewKDTree(reader, tris.data(), 1));
        EXPECT_EQ(tree, nullptr) << i;
        EXPECT_EQ(reader.position(), i + 1) << "reads after the bad token " << i;
        EXPECT_TRUE(reader.faults().empty()) << i;
    }
    // Without a triangle array nothing is read.
    ReplayReader reader(good);
    EXPECT_EQ(gfxRTAccelerationStructureServices::UnstreamNewKDTree(reader, nullptr, 1), nullptr);
    EXPECT_EQ(reader.position(), 0u);
}

// Counts whose arrays would not fit 32-bit offsets are refused before the
// nodes are read; failed allocations (node array, object array, one stack,
// with the aligned allocator's header and padding) fail the read. Either way
// the tree is left without nodes.
TEST(KDTreeStream, HugeCountsAndFailedAllocationsFailTheRead) {
    const std::vector<triAccel> tris = two_triangles();
    const struct {
        std::size_t item;
        unsigned value;
        std::size_t failing_bytes;
    } cases[] = {
        {3, 0x20000000u, 0},  // 8N + 8 bytes of nodes
        {3, 0xFFFFFFFFu, 0},  // ... also wrapping 32 bits
        {5, 0x20000000u, 0},  // M entries of 8 bytes
        {16, 0xFFFFFFFFu, 0}, // stacks of max_tree_depth_ + 2 entries
        {16, 0x10000000u, 0}, {16, 9, 32 + 16 + 31}, {16, 9, 24 + 16 + 15}, {16, 9, 176 + 16 + 15},
    };
    for (const auto& c : cases) {
        Items items = small_tree();
        items[c.item].u = c.value;
        InspectableKDTree tree(1);
        tree.set_first_triangle(tris.data());
        ReplayReader reader(items);
        AllocationFaultRule rule;
        rule.min_bytes = rule.max_bytes = c.failing_bytes ? c.failing_bytes : ~std::size_t(0);
        AllocationFaults faults(rule);
        EXPECT_FALSE(tree.unstream(reader)) << c.item << " " << c.value << " " << c.failing_bytes;
        EXPECT_EQ(faults.injected(), c.failing_bytes ? 1 : 0) << c.failing_bytes;
        if (c.failing_bytes == 0) {
            EXPECT_EQ(reader.position(), FIRST_NODE_ITEM);
        }
        EXPECT_EQ(tree.get_number_of_nodes(), 0u);
    }
}

// Round trips of built trees through a file, loaded checked over a copy of
// the triangles elsewhere in memory, give the same stream again. It holds
// next_free_object_ entries, or the whole object array where a merged tree
// leaves that 0.
class KDTreeRoundTrip : public ::testing::TestWithParam<OracleScene> {};

TEST_P(KDTreeRoundTrip, SerialAndParallelTreesReloadOverACopy) {
    const std::vector<triAccel> tris = GetParam().make(), copy = tris;
    const unsigned count = unsigned(tris.size());
    for (int threads : {1, 4}) {
        InspectableKDTree original(1);
        // Small scenes may fall back to a serial build: any built tree serves.
        const int code = gfxRTAccelerationStructureServices::CompileKDTree(&original, threads,
                                                                           tris.data(), count);
        ASSERT_TRUE(original.get_statistic()->valid);
        ASSERT_EQ(original.next_free_object() == 0, threads > 1 && code == 0);
        ASSERT_LT(original.next_free_object(), original.object_array_size());
        const Items items = stream_of(original);
        ASSERT_EQ(items[5], S::Uint(original.next_free_object() ? original.next_free_object()
                                                                : original.object_array_size()));
        const std::unique_ptr<zrv::streams::FileReader> file =
            write_and_reopen([&](gfxStreamWriter& w) { original.stream(w); });
        ASSERT_TRUE(file != nullptr && file->ok());
        PlxUnicodeString reason;
        std::unique_ptr<gfxRTKDTree> loaded(
            gfxRTAccelerationStructureServices::UnstreamNewKDTreeChecked(
                *file, copy.data(), count, 1, file->remaining(), &reason));
        ASSERT_NE(loaded, nullptr) << reason.ConvertToChar();
        EXPECT_TRUE(file->at_end());
        EXPECT_TRUE(stream_of(*loaded) == items);
        EXPECT_TRUE(gfxRTAccelerationStructureServices::CheckKDTree(*loaded, count, &reason))
            << reason.ConvertToChar();
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, KDTreeRoundTrip, ::testing::ValuesIn(ORACLE_SCENES),
                         [](const ::testing::TestParamInfo<OracleScene>& info) {
                             return std::string(info.param.name);
                         });

// Checked loading: each fault of a crafted stream is refused with a reason.
TEST(KDTreeCheckedLoad, CraftedFaultsAreRefusedWithAReason) {
    const std::vector<triAccel> tris = two_triangles();
    const struct {
        const char* name;
        void (*craft)(Items&);
        const char* reason;
        unsigned triangle_count = 2;
        unsigned long long max_values = 1000;
    } cases[] = {
        {"pair outside", [](Items& it) { it[FIRST_NODE_ITEM].u = 24; }, "outside"},
        {"pair wraps 32 bits", [](Items& it) { it[FIRST_NODE_ITEM].u = 0x7FFFFFF8; }, "outside"},
        {"axis 3", [](Items& it) { it[FIRST_NODE_ITEM].u = 8 | 3; }, "axis 3"},
        {"pair not on a node", [](Items& it) { it[FIRST_NODE_ITEM].u = 4; }, "ahead"},
        {"leaf past the objects", [](Items& it) { it[FIRST_NODE_ITEM + 3].u = 4; },
         "object array of 3"},
        {"leaf first far out", [](Items& it) { it[FIRST_NODE_ITEM + 2].u = LEAF | 0x7FFFFFFF; },
         "object array"},
        {"index past the host's array", [](Items& it) { it[FIRST_OBJECT_ITEM].i = 2; },
         "triangle 2 of an array of 2"},
        {"negative index", [](Items& it) { it[FIRST_OBJECT_ITEM].i = -2; }, "triangle -2"},
        {"null entry inside a leaf", [](Items& it) { it[FIRST_OBJECT_ITEM].i = -1; },
         "null object entry"},
        {"saved for more triangles", [](Items&) {}, "triangle 1 of an array of 1", 1, 1000},
        {"deeper than the stacks", [](Items& it) { it[16].u = 0; }, "levels deep"},
        {"depth limit above the checked maximum", [](Items& it) { it[16].u = 129; }, "too large"},
        {"more nodes than the stream holds", [](Items& it) { it[3].u = 4; }, "too large", 2, 3},
        {"more objects than the stream holds",
         [](Items& it) {
             it[5].u = 4;
             it.insert(it.end() - 1, S::Int(1));
         },
         "too large", 2, 3},
        {"no nodes",
         [](Items& it) {
             it[3].u = 0;
             it.erase(it.begin() + FIRST_NODE_ITEM, it.begin() + FIRST_OBJECT_ITEM);
         },
         "no nodes"},
        {"bad token", [](Items& it) { it[0].s = "BEGIN:gfxRTBVH"; }, "token"},
        {"nodes reached twice", // both children inner nodes sharing the pair 32/40
         [](Items& it) {
             it[3].u = 5;
             it[FIRST_NODE_ITEM + 2] = S::Uint(16);
             it[FIRST_NODE_ITEM + 3] = S::Float(0.2f);
             it[FIRST_NODE_ITEM + 4] = S::Uint(8);
             it[FIRST_NODE_ITEM + 5] = S::Float(0.7f);
             const Items leaves = items_of("u:0x80000000 u:1 u:0x80000001 u:0");
             it.insert(it.begin() + FIRST_OBJECT_ITEM, leaves.begin(), leaves.end());
         },
         "reached twice"},
        {"a node reached by nobody",
         [](Items& it) {
             it[3].u = 4;
             it.insert(it.begin() + FIRST_OBJECT_ITEM, {S::Uint(LEAF), S::Uint(0)});
         },
         "3 of the 4 nodes"},
    };
    for (const auto& c : cases) {
        Items items = small_tree();
        c.craft(items);
        ReplayReader reader(items);
        PlxUnicodeString reason;
        std::unique_ptr<gfxRTKDTree> tree(
            gfxRTAccelerationStructureServices::UnstreamNewKDTreeChecked(
                reader, tris.data(), c.triangle_count, 1, c.max_values, &reason));
        EXPECT_EQ(tree, nullptr) << c.name;
        EXPECT_TRUE(reader.faults().empty()) << c.name;
        EXPECT_NE(std::string(reason.ConvertToChar()).find(c.reason), std::string::npos)
            << c.name << ": " << reason.ConvertToChar();
    }
    // The untouched stream loads, and gets no reason.
    ReplayReader reader(small_tree());
    PlxUnicodeString reason;
    std::unique_ptr<gfxRTKDTree> tree(gfxRTAccelerationStructureServices::UnstreamNewKDTreeChecked(
        reader, tris.data(), 2, 1, 1000, &reason));
    EXPECT_NE(tree, nullptr) << reason.ConvertToChar();
    EXPECT_STREQ(reason.ConvertToChar(), "");
}

// Subtrees that only claim sizes: the merge must refuse them before copying.
class ClaimedSizes : public gfxRTKDTree {
public:
    ClaimedSizes(unsigned int node_bytes, unsigned int objects) : gfxRTKDTree(1) {
        next_free_node_ = node_bytes;
        next_free_object_ = objects;
    }
};

TEST(KDTreeMerge, SizesSummingPastThirtyTwoBitsFailTheMerge) {
    const std::vector<triAccel> tris = ORACLE_SCENES[0].make();
    const struct {
        unsigned node_bytes, objects;
    } cases[] = {{16, 0x10000000u}, {16, 0x7FFFFFFFu}, {0x80000000u, 0}, {0xFFFFFFF0u, 0}};
    for (const auto& c : cases) {
        InspectableKDTree tree(1);
        gfxKDTreeCompileState* seeds[2] = {};
        ASSERT_TRUE(tree.create_seed_notes_from_triAccel_list(tris.data(), unsigned(tris.size()), 2,
                                                              seeds));
        ClaimedSizes a(c.node_bytes, c.objects), b(c.node_bytes, c.objects);
        const gfxRTKDTree* subtrees[2] = {&a, &b};
        EXPECT_FALSE(tree.remerge_subtrees(subtrees, 2, unsigned(tris.size())))
            << c.node_bytes << " " << c.objects;
        delete seeds[0];
        delete seeds[1];
    }
}

} // namespace
