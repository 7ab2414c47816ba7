// Saving and restoring KD-trees: the exact values of the stream, the token
// checks, the limits on counts read from a stream, checked loading, and
// round trips that must give every ray the original's hits.
#include "AllocationFaults.h"
#include "KDTreeTestUtil.h"
#include "OracleRays.h"
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
using Bytes = std::vector<unsigned char>;
using S = StreamItem;

const unsigned LEAF = 0x80000000u;

// Items from text: s:token u:unsigned (0x allowed) i:int f:float d:double.
Items items_of(const std::string& text) {
    Items items;
    std::istringstream words(text);
    for (std::string w; words >> w;) {
        const char* v = w.c_str() + 2;
        switch (w[0]) {
        case 's':
            items.push_back(S::String(v));
            break;
        case 'u':
            items.push_back(S::Uint(unsigned(std::strtoul(v, nullptr, 0))));
            break;
        case 'i':
            items.push_back(S::Int(std::atoi(v)));
            break;
        case 'f':
            items.push_back(S::Float(std::strtof(v, nullptr)));
            break;
        default:
            items.push_back(S::Double(std::strtod(v, nullptr)));
        }
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

std::string first_difference(const Items& a, const Items& b) {
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (!(a[i] == b[i]))
            return "item " + std::to_string(i) + ": " + describe(a[i]) + " vs " + describe(b[i]);
    return a.size() == b.size()
               ? ""
               : "lengths " + std::to_string(a.size()) + " vs " + std::to_string(b.size());
}

TEST(KDTreeStream, HandMadeTreeReadsAndWritesBackValueForValue) {
    const std::vector<triAccel> tris = two_triangles();
    InspectableKDTree tree(2);
    tree.set_first_triangle(tris.data());
    ReplayReader reader(small_tree());
    ASSERT_TRUE(tree.unstream(reader));
    EXPECT_TRUE(reader.faults().empty()) << reader.faults()[0];
    EXPECT_EQ(reader.position(), small_tree().size());

    // Inner node: pair offset and axis in word 0, the plane as a float; the
    // empty leaf keeps its first entry; -1 reads back as null.
    const std::uint32_t words[6] = {8, 0x3F000000u, LEAF, 1, LEAF | 1, 0};
    for (unsigned k = 0; k < 3; ++k) {
        EXPECT_EQ(tree.word0(8 + 8 * k), words[2 * k]) << k;
        EXPECT_EQ(tree.word1(8 + 8 * k), words[2 * k + 1]) << k;
    }
    const triAccel* entries[3] = {&tris[0], nullptr, &tris[1]};
    EXPECT_EQ(std::memcmp(tree.get_triAccel_array(), entries, sizeof entries), 0);
    EXPECT_EQ(tree.node_array_size(), 32u);
    EXPECT_EQ(tree.object_array_size(), 3u);
    EXPECT_EQ(tree.next_free_object(), 0u);
    EXPECT_EQ(tree.get_max_tree_depth(), 9u);
    EXPECT_EQ(tree.get_statistic()->compile_time_sec, 0.0);
    EXPECT_TRUE(tree.get_statistic()->valid);

    // Written back, with next_free_object_ 0: the whole object array.
    EXPECT_EQ(first_difference(stream_of(tree), small_tree()), "");

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
// nodes are read; allocations that fail fail the read. Either way the tree is
// left without nodes, and can be destroyed. The allocations are what the
// aligned allocator asks operator new for (16 bytes of header and room to
// align): the node array of 32 bytes at 32, the object array of 24 bytes at
// 16, one stack's 11 t_near entries of 16 bytes at 16.
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
// the triangles elsewhere in memory: the same stream again, and every ray the
// original's hits. The stream holds the nodes, then M ints, then the closing
// token, where M is next_free_object_, or the whole object array where a
// merged tree leaves that 0; every node's word 1 has the kind its word 0
// calls for.
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
        const unsigned nodes = original.get_number_of_nodes(),
                       m = original.next_free_object() ? original.next_free_object()
                                                       : original.object_array_size();
        ASSERT_EQ(items[3], S::Uint(nodes));
        ASSERT_EQ(items[5], S::Uint(m));
        ASSERT_EQ(items.size(), FIRST_NODE_ITEM + 2 * nodes + m + 1);
        EXPECT_EQ(items.back(), S::String("END:gfxRTKDTree"));
        for (unsigned k = 0; k < nodes; ++k) {
            const StreamItem& w0 = items[FIRST_NODE_ITEM + 2 * k];
            ASSERT_EQ(w0, S::Uint(original.word0(8 + 8 * k)));
            ASSERT_EQ(items[FIRST_NODE_ITEM + 2 * k + 1].kind, (w0.u & LEAF) ? S::UINT : S::FLOAT);
        }
        for (unsigned i = 0; i < m; ++i)
            ASSERT_EQ(items[FIRST_NODE_ITEM + 2 * nodes + i].kind, S::INT) << i;

        const std::unique_ptr<zrv::streams::FileReader> file =
            write_and_reopen([&](gfxStreamWriter& w) { original.stream(w); });
        ASSERT_TRUE(file != nullptr && file->ok());
        PlxUnicodeString reason;
        std::unique_ptr<gfxRTKDTree> loaded(
            gfxRTAccelerationStructureServices::UnstreamNewKDTreeChecked(
                *file, copy.data(), count, 1, file->remaining(), &reason));
        ASSERT_NE(loaded, nullptr) << reason.ConvertToChar();
        EXPECT_TRUE(file->at_end());
        EXPECT_EQ(first_difference(stream_of(*loaded), items), "");
        EXPECT_TRUE(gfxRTAccelerationStructureServices::CheckKDTree(*loaded, count, &reason))
            << reason.ConvertToChar();
        const RenderState state{0, 0};
        for (const RayPacket& rays :
             incoherent_packets(zrv::scenes::scene_bounds(tris), 400, unsigned(threads))) {
            HitPacket before = empty_hits(), after = empty_hits();
            host_trace(original, rays, state, before);
            host_trace(*loaded, rays, state, after);
            ASSERT_EQ(std::memcmp(&before, &after, sizeof before), 0);
        }
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
        unsigned triangle_count;
        unsigned long long max_values;
        const char* reason;
    } cases[] = {
        {"pair outside", [](Items& it) { it[FIRST_NODE_ITEM].u = 24; }, 2, 1000, "outside"},
        {"pair wraps 32 bits", [](Items& it) { it[FIRST_NODE_ITEM].u = 0x7FFFFFF8; }, 2, 1000,
         "outside"},
        {"axis 3", [](Items& it) { it[FIRST_NODE_ITEM].u = 8 | 3; }, 2, 1000, "axis 3"},
        {"pair not on a node", [](Items& it) { it[FIRST_NODE_ITEM].u = 4; }, 2, 1000, "ahead"},
        {"leaf past the objects", [](Items& it) { it[FIRST_NODE_ITEM + 3].u = 4; }, 2, 1000,
         "object array of 3"},
        {"leaf first far out", [](Items& it) { it[FIRST_NODE_ITEM + 2].u = LEAF | 0x7FFFFFFF; }, 2,
         1000, "object array"},
        {"index past the host's array", [](Items& it) { it[FIRST_OBJECT_ITEM].i = 2; }, 2, 1000,
         "triangle 2 of an array of 2"},
        {"negative index", [](Items& it) { it[FIRST_OBJECT_ITEM].i = -2; }, 2, 1000, "triangle -2"},
        {"null entry inside a leaf", [](Items& it) { it[FIRST_OBJECT_ITEM].i = -1; }, 2, 1000,
         "null object entry"},
        {"saved for more triangles", [](Items&) {}, 1, 1000, "triangle 1 of an array of 1"},
        {"deeper than the stacks", [](Items& it) { it[16].u = 0; }, 2, 1000, "levels deep"},
        {"depth limit above the checked maximum", [](Items& it) { it[16].u = 129; }, 2, 1000,
         "too large"},
        {"more nodes than the stream holds", [](Items& it) { it[3].u = 4; }, 2, 3, "too large"},
        {"more objects than the stream holds",
         [](Items& it) {
             it[5].u = 4;
             it.insert(it.end() - 1, S::Int(1));
         },
         2, 3, "too large"},
        {"no nodes",
         [](Items& it) {
             it[3].u = 0;
             it.erase(it.begin() + FIRST_NODE_ITEM, it.begin() + FIRST_OBJECT_ITEM);
         },
         2, 1000, "no nodes"},
        {"bad token", [](Items& it) { it[0].s = "BEGIN:gfxRTBVH"; }, 2, 1000, "token"},
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
         2, 1000, "reached twice"},
        {"a node reached by nobody",
         [](Items& it) {
             it[3].u = 4;
             it.insert(it.begin() + FIRST_OBJECT_ITEM, {S::Uint(LEAF), S::Uint(0)});
         },
         2, 1000, "3 of the 4 nodes"},
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

// Every truncation and a flipped bit in every byte of a saved file: the
// checked loader refuses each with a reason (the reader's checks find them
// before any value is read).
TEST(KDTreeCheckedLoad, TruncatedAndDamagedFilesAreRefused) {
    const std::vector<triAccel> tris = two_triangles();
    InspectableKDTree hand(1);
    hand.set_first_triangle(tris.data());
    ReplayReader items(small_tree());
    ASSERT_TRUE(hand.unstream(items));
    zrv::streams::MemoryWriter writer;
    ASSERT_TRUE(hand.stream(writer));
    const Bytes good = writer.image();
    std::vector<Bytes> bad;
    for (std::size_t size = 0; size < good.size(); ++size)
        bad.emplace_back(good.begin(), good.begin() + size);
    for (std::size_t i = 0; i < good.size(); ++i) {
        bad.push_back(good);
        bad.back()[i] ^= (unsigned char)(1u << (i % 8));
    }
    int loaded = 0, without_reason = 0;
    for (const Bytes& image : bad) {
        zrv::streams::MemoryReader reader(image.data(), image.size());
        PlxUnicodeString reason;
        std::unique_ptr<gfxRTKDTree> tree(
            gfxRTAccelerationStructureServices::UnstreamNewKDTreeChecked(
                reader, tris.data(), 2, 1, reader.remaining(), &reason));
        loaded += tree != nullptr;
        without_reason += reason == "";
    }
    EXPECT_EQ(loaded, 0);
    EXPECT_EQ(without_reason, 0);
    // The undamaged image loads.
    zrv::streams::MemoryReader reader(good.data(), good.size());
    PlxUnicodeString reason;
    std::unique_ptr<gfxRTKDTree> reloaded(
        gfxRTAccelerationStructureServices::UnstreamNewKDTreeChecked(reader, tris.data(), 2, 1,
                                                                     reader.remaining(), &reason));
    EXPECT_NE(reloaded, nullptr) << reason.ConvertToChar();
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
