// Saving and restoring KD-trees: the exact values of the stream, limits on
// counts read, checked loading, and round trips of built trees.
#include "AllocationFaults.h"
#include "KDTreeTestUtil.h"
#include "OracleScenes.h"
#include "RecordingStream.h"
#include "StreamFiles.h"
#include "gfxAlignedMemory.h"
#include "gfxRTAccelerationStructureServices.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <regex>

namespace {

using Items = std::vector<StreamItem>;
using S = StreamItem;
using Services = gfxRTAccelerationStructureServices;

const unsigned LEAF = 0x80000000u;

// A hand-made tree over 2 triangles: root split at x = 0.5 with its pair at
// 16, a leaf at 16 with entry 0 and an empty leaf at 24 whose first is 1.
// Entries: triangle 0, null, triangle 1 (in range, in no leaf).
const std::string SMALL_TREE =
    "s:BEGIN:gfxRTKDTree s:version=1 u:32 u:3 u:0 u:3 "
    "s:BEGIN:KDTreeBBox f:0 f:0 f:0 f:1 f:1 f:0.25 s:END:KDTreeBBox "
    "s:BEGIN:KDTreeProperties u:2 u:9 f:0.2 f:0.5 d:1e9 d:2.5e-10 s:END:KDTreeProperties "
    "s:BEGIN:KDTreeStatistic u:1 d:1.0 u:2 u:2 u:2 u:2 u:1 s:END:KDTreeStatistic "
    "u:8 f:0.5 u:0x80000000 u:1 u:0x80000001 u:0 i:0 i:-1 i:1 s:END:gfxRTKDTree";
Items small_tree() {
    return stream_items_from_text(SMALL_TREE);
}
const std::size_t FIRST_NODE_ITEM = 31;

std::vector<triAccel> two_triangles() {
    const float a0[3] = {0, 0, 0}, a1[3] = {0.4f, 0, 0}, a2[3] = {0, 1, 0};
    const float b0[3] = {0.6f, 0, 0}, b1[3] = {1, 0, 0}, b2[3] = {1, 1, 0.25f};
    return {make_triangle(a0, a1, a2, 0), make_triangle(b0, b1, b2, 1)};
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
    EXPECT_EQ(tree.next_free_object(), 0u);
    EXPECT_EQ(tree.get_statistic()->compile_time_sec, 0.0);

    EXPECT_TRUE(streamed_items(tree) == small_tree());

    // The second thread slot's stack exists and traces.
    HitPacket hits = empty_hits();
    host_trace(tree, packet_of(Ray3{{0.1f, 0.2f, -1}, {0, 0, 1}}), RenderState{1, 0}, hits);
    EXPECT_EQ(lane_of(hits.id, 0), 0);
}

// SMALL_TREE grown to 41 nodes (38 unreachable empty leaves appended), 40
// entries (37 null ones appended) and a depth limit of 60: no array or stack
// of a tree read from SMALL_TREE fits it.
Items grown_tree() {
    Items items = small_tree();
    items[3] = S::Uint(41);
    items[5] = S::Uint(40);
    items[16] = S::Uint(60);
    Items leaves;
    for (int k = 0; k < 38; ++k)
        leaves.insert(leaves.end(), {S::Uint(LEAF), S::Uint(0)});
    items.insert(items.begin() + FIRST_NODE_ITEM + 6, leaves.begin(), leaves.end());
    items.insert(items.end() - 1, 37, S::Int(-1));
    return items;
}

// Every way the read can fail, into a new tree and one read before: it traces
// as before when nothing was read past the version, else not at all; streams
// without reading past an array (ASan); keeps the node count read, or none
// when counts too large for 32-bit offsets or the arrays failed.
TEST(KDTreeStream, FailedReadLeavesATreeSafeToUse) {
    const std::vector<triAccel> tris = two_triangles();
    const std::size_t last = grown_tree().size() - 1, none = ~std::size_t(0);
    const int KEEP = -1;
    const struct {
        const char* name;
        std::size_t item; // replaced by value
        StreamItem value;
        std::size_t failing_bytes; // with the allocator's header and padding
        int nodes_after;
    } cases[] = {
        {"no triangle array", none, {}, 0, KEEP},
        {"begin", 0, S::String("X"), 0, KEEP},
        {"version", 1, S::String("X"), 0, KEEP},
        {"box begin", 6, S::String("X"), 0, 41},
        {"box end", 13, S::String("X"), 0, 41},
        {"properties begin", 14, S::String("X"), 0, 41},
        {"properties end", 21, S::String("X"), 0, 41},
        {"statistic begin", 22, S::String("X"), 0, 41},
        {"statistic end", 30, S::String("X"), 0, 41},
        {"too many nodes", 3, S::Uint(0x20000000u), 0, 0}, // 8N + 8 bytes of nodes
        {"nodes wrapping 32 bits", 3, S::Uint(0xFFFFFFFFu), 0, 0},
        {"too many entries", 5, S::Uint(0x20000000u), 0, 0}, // M entries of 8 bytes
        {"stacks too deep", 16, S::Uint(0xFFFFFFFFu), 0, 0}, // max_tree_depth_ + 2 entries
        {"stacks too large", 16, S::Uint(0x10000000u), 0, 0},
        {"node array", none, {}, 8 * 41 + 8 + 16 + 31, 0},
        {"object array", none, {}, 8 * 40 + 16 + 15, 0},
        {"stack", none, {}, 62 * 16 + 16 + 15, 0},
        {"end", last, S::String("X"), 0, 41},
    };
    const Ray3 ray{{0.1f, 0.2f, -1}, {0, 0, 1}}; // hits triangle 0
    for (const auto& c : cases) {
        for (const bool read_before : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (read_before ? ", over a tree" : ", new tree"));
            InspectableKDTree tree(1);
            tree.set_first_triangle(tris.data());
            ReplayReader first(small_tree());
            ASSERT_TRUE(!read_before || tree.unstream(first));
            const unsigned nodes_before = tree.get_number_of_nodes();
            Items items = grown_tree();
            if (c.item != none)
                items[c.item] = c.value;
            ReplayReader reader(items);
            if (c.item == none && c.failing_bytes == 0)
                tree.set_first_triangle(nullptr);
            {
                const std::size_t bytes = c.failing_bytes ? c.failing_bytes : ~std::size_t(0);
                AllocationFaults faults({AllocationFaultRule::ANY_THREAD, bytes, bytes});
                EXPECT_FALSE(tree.unstream(reader));
                EXPECT_EQ(faults.injected(), c.failing_bytes ? 1 : 0);
            }
            EXPECT_TRUE(c.nodes_after != 0 || c.failing_bytes ||
                        reader.position() == FIRST_NODE_ITEM);
            HitPacket hits = empty_hits();
            host_trace(tree, packet_of(ray), RenderState{0, 0}, hits);
            EXPECT_EQ(lane_of(hits.id, 0), c.nodes_after == KEEP && read_before ? 0 : -1);
            EXPECT_EQ(tree.get_number_of_nodes(),
                      c.nodes_after == KEEP ? nodes_before : unsigned(c.nodes_after));
            EXPECT_EQ(streamed_items(tree)[3], S::Uint(tree.get_number_of_nodes()));
        }
    }
}

// Built trees saved to a file and loaded checked over a copy of the triangles
// stream the same again: next_free_object_ entries, or the whole object array
// where a merged tree leaves that 0.
class KDTreeRoundTrip : public ::testing::TestWithParam<OracleScene> {};

TEST_P(KDTreeRoundTrip, SerialAndParallelTreesReloadOverACopy) {
    const std::vector<triAccel> tris = GetParam().make(), copy = tris;
    const unsigned count = unsigned(tris.size());
    for (int threads : {0, 1, 4}) {
        InspectableKDTree original(1);
        const int code = Services::CompileKDTree(&original, threads, tris.data(), count);
        ASSERT_TRUE(original.get_statistic()->valid);
        ASSERT_EQ(original.next_free_object() == 0, threads > 1 && code == 0);
        ASSERT_LT(original.next_free_object(), original.object_array_size());
        const Items items = streamed_items(original);
        ASSERT_EQ(items[5], S::Uint(original.next_free_object() ? original.next_free_object()
                                                                : original.object_array_size()));
        const std::unique_ptr<zrv::streams::FileReader> file =
            write_and_reopen([&](gfxStreamWriter& w) { original.stream(w); });
        ASSERT_TRUE(file != nullptr && file->ok());
        PlxUnicodeString reason;
        std::unique_ptr<gfxRTKDTree> loaded(Services::UnstreamNewKDTreeChecked(
            *file, copy.data(), count, 1, file->remaining(), &reason));
        ASSERT_NE(loaded, nullptr) << reason.ConvertToChar();
        EXPECT_TRUE(file->at_end());
        EXPECT_TRUE(streamed_items(*loaded) == items);
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, KDTreeRoundTrip, ::testing::ValuesIn(ORACLE_SCENES), SceneName());

// Freed small blocks of the library's allocator full of a non-null pattern,
// so that array entries a build leaves unwritten are not null by chance.
void scribble_small_free_blocks() {
    std::vector<void*> blocks;
    for (unsigned int size = 8; size <= 256; size += 8)
        for (int k = 0; k < 8; ++k)
            if (void* block = gfx_aligned_malloc(size, 16)) {
                std::memset(block, 0xA5, size);
                blocks.push_back(block);
            }
    for (void* block : blocks)
        gfx_aligned_free(block);
}

// Trees over fewer triangles than the seeding's object array has entries,
// merged or built serially: the entries no leaf uses are null, so the tree
// passes the check and its stream loads checked and writes back the same.
TEST(KDTreeRoundTrip, TreesOverOneToThreeTrianglesOnSeveralThreadsReloadChecked) {
    std::vector<triAccel> tris;
    for (int i = 0; i < 3; ++i) {
        const float x = float(i);
        const float v0[3] = {x, 0, 0}, v1[3] = {x + 0.5f, 0, 0}, v2[3] = {x, 1, 0.5f};
        tris.push_back(make_triangle(v0, v1, v2, i));
    }
    for (unsigned count = 1; count <= 3; ++count) {
        for (int threads : {2, 3, 4}) {
            const std::string what = std::to_string(count) + " on " + std::to_string(threads);
            InspectableKDTree tree(1);
            scribble_small_free_blocks();
            const int code = Services::CompileKDTree(&tree, threads, tris.data(), count);
            ASSERT_TRUE(tree.get_statistic()->valid) << what;
            // Merged (next_free_object_ left 0) exactly where two seeds split.
            const bool merged = count == 3 && threads < 4;
            EXPECT_EQ(code, merged ? 0 : 2) << what;
            EXPECT_EQ(tree.next_free_object() == 0, merged) << what;
            PlxUnicodeString reason;
            EXPECT_TRUE(Services::CheckKDTree(tree, count, &reason))
                << what << ": " << reason.ConvertToChar();
            const Items items = streamed_items(tree);
            ReplayReader reader(items);
            const std::unique_ptr<gfxRTKDTree> loaded(Services::UnstreamNewKDTreeChecked(
                reader, tris.data(), count, 1, items.size(), &reason));
            ASSERT_NE(loaded, nullptr) << what << ": " << reason.ConvertToChar();
            EXPECT_TRUE(streamed_items(*loaded) == items) << what;
        }
    }
}

// Each fault crafted into the stream's text (the first match of a pattern
// replaced) is refused with a reason; the untouched stream loads.
TEST(KDTreeCheckedLoad, CraftedFaultsAreRefusedWithAReason) {
    const std::vector<triAccel> tris = two_triangles();
    const struct {
        const char *pattern, *replacement, *reason;
        unsigned triangle_count = 2;
        unsigned long long max_values = 1000;
    } cases[] = {
        {"u:8 f", "u:24 f", "outside"},
        {"u:8 f", "u:0x7FFFFFF8 f", "outside"}, // wraps 32 bits
        {"u:8 f", "u:11 f", "axis 3"},
        {"u:8 f", "u:4 f", "ahead"},                               // not on a node
        {"0x80000000 u:1", "0x80000000 u:4", "object array of 3"}, // leaf past the objects
        {"0x80000000 u:1", "0xFFFFFFFF u:1", "object array"},
        {"i:0", "i:2", "triangle 2 of an array of 2"},
        {"i:0", "i:-2", "triangle -2"},
        {"i:0", "i:-1", "null object entry"}, // inside a leaf
        {"^", "", "triangle 1 of an array of 1", 1},
        {"u:9", "u:0", "levels deep"}, // deeper than the stacks
        {"u:9", "u:129", "too large"}, // above the checked maximum
        {"u:32 u:3", "u:32 u:4", "too large", 2, 3},
        {"u:0 u:3", "u:0 u:4", "too large", 2, 3},
        {"u:3 (u:0 u:3 .*Statistic) .* u:0 i:", "u:0 $1 i:", "no nodes"},
        {"BEGIN:gfxRTKDTree", "BEGIN:gfxRTBVH", "token"},
        // Both children inner nodes sharing the pair 32/40.
        {"u:3 (u:0 u:3 .*) u:8 f:0.5", "u:5 $1 u:8 f:0.5 u:16 f:0.2 u:8 f:0.7", "reached twice"},
        {"u:3 (u:0 u:3 .* u:0) i:", "u:4 $1 u:0x80000000 u:0 i:", "3 of the 4 nodes"},
    };
    for (const auto& c : cases) {
        ReplayReader reader(stream_items_from_text(
            std::regex_replace(SMALL_TREE, std::regex(c.pattern), c.replacement,
                               std::regex_constants::format_first_only)));
        PlxUnicodeString reason;
        std::unique_ptr<gfxRTKDTree> tree(Services::UnstreamNewKDTreeChecked(
            reader, tris.data(), c.triangle_count, 1, c.max_values, &reason));
        EXPECT_EQ(tree, nullptr) << c.replacement;
        EXPECT_TRUE(reader.faults().empty()) << c.replacement;
        EXPECT_NE(std::string(reason.ConvertToChar()).find(c.reason), std::string::npos)
            << c.replacement << ": " << reason.ConvertToChar();
    }
    ReplayReader reader(small_tree());
    PlxUnicodeString reason;
    std::unique_ptr<gfxRTKDTree> tree(
        Services::UnstreamNewKDTreeChecked(reader, tris.data(), 2, 1, 1000, &reason));
    EXPECT_NE(tree, nullptr) << reason.ConvertToChar();
    EXPECT_STREQ(reason.ConvertToChar(), "");
}

} // namespace
