// Saving and loading the wide BVH: reloaded trees trace bit for bit as the
// saved ones (and as the brute force), and every damaged stream is refused
// with its reason, leaving an empty tree with nothing allocated. A saved
// tree also shows the builder's layout: flat triangles set apart.
#include "AllocationFaults.h"
#include "OracleRays.h"
#include "OracleScenes.h"
#include "RecordingStream.h"
#include "StreamFiles.h"
#include "WideOracle.h"
#include "WideOracleCheck.h"

#include "gfxRTWideBVH.h"
#include "zrvSceneMesh.h"
#include "zrvSceneShapes.h"
#include "zrvStreams.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <utility>

namespace {

typedef std::vector<StreamItem> Items;

// Where the head's values and the nodes' used counts sit in a saved tree.
const std::size_t kNodeCountAt = 4, kLeafCountAt = 6, kDepthAt = 7, kNodeUsedAt = 14;

// Where each column of a saved tree begins.
struct Columns {
    std::size_t slot_floats, references, block_used, indices, lane_floats, ids;
    std::size_t slots, lanes;
};

// Loads items with their own length as the budget unless one is given; the
// reason, or "" when the tree was accepted.
std::string load(gfxRTWideBVH& tree, const Items& items, std::size_t budget = 0) {
    ReplayReader reader(items);
    PlxUnicodeString reason;
    if (tree.unstream(reader, budget ? budget : items.size(), &reason))
        return "";
    EXPECT_TRUE(tree.empty());
    EXPECT_EQ(tree.memory_bytes(), 0u);
    EXPECT_EQ(tree.statistics().input_triangles, 0u);
    return reason.ConvertToChar();
}

Columns columns(const Items& items) {
    Columns c{};
    const unsigned int nodes = items[kNodeCountAt].u, blocks = items[kNodeCountAt + 1].u;
    for (unsigned int i = 0; i < nodes; ++i)
        c.slots += items[kNodeUsedAt + i].u;
    c.slot_floats = kNodeUsedAt + nodes;
    c.references = c.slot_floats + 7 * c.slots;
    c.block_used = c.references + c.slots;
    for (unsigned int i = 0; i < blocks; ++i)
        c.lanes += items[c.block_used + i].u;
    c.indices = c.block_used + blocks;
    c.lane_floats = c.indices + c.lanes;
    c.ids = c.lane_floats + 12 * c.lanes;
    return c;
}

// A child slot of a saved node: where its reference is, and what it names.
struct SavedSlot {
    unsigned int node, slot;
    std::size_t at; // item of the reference
    std::uint32_t child;
};

std::vector<SavedSlot> saved_slots(const Items& items) {
    std::vector<SavedSlot> slots;
    std::size_t at = columns(items).references;
    for (unsigned int node = 0; node < items[kNodeCountAt].u; ++node)
        for (unsigned int k = 0; k < items[kNodeUsedAt + node].u; ++k, ++at)
            slots.push_back(SavedSlot{node, k, at, items[at].u});
    return slots;
}

bool is_inner(const SavedSlot& s) {
    return (s.child & 0x80000000u) == 0;
}

std::vector<triAccel> scene_slice(std::size_t scene, std::size_t count) {
    std::vector<triAccel> tris = ORACLE_SCENES[scene].make();
    if (tris.size() > count)
        tris.resize(count);
    return tris;
}

// The builder's layout: each node's inner children in its first slots, at
// consecutive nodes.
void expect_inner_children_adjacent(const Items& items) {
    const std::vector<SavedSlot> slots = saved_slots(items);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const SavedSlot& s = slots[i];
        if (s.slot == 0 || !is_inner(s))
            continue;
        const SavedSlot& before = slots[i - 1];
        ASSERT_TRUE(is_inner(before)) << "node " << s.node << " slot " << s.slot;
        ASSERT_EQ(s.child, before.child + 1) << "node " << s.node << " slot " << s.slot;
    }
}

class WideBVHStreamRoundTrip : public ::testing::TestWithParam<OracleScene> {};

// The reloaded tree writes the same values and traces bit for bit as the
// brute force, as the saved one does.
TEST_P(WideBVHStreamRoundTrip, ReloadedTreeTracesAsTheSavedOne) {
    std::vector<triAccel> tris = GetParam().make();
    mix_triangle_flags(tris);
    const WideRays rays = scattered_rays(tris, 1500, 3);
    std::vector<RayPacket> packets = incoherent_packets(zrv::scenes::scene_bounds(tris), 300, 4);
    append(packets, facing_pairs(scattered_rays(tris, 400, 5)));
    for (unsigned int threads : {1u, 2u}) {
        gfxRTWideBVH built;
        ASSERT_TRUE(built.build(tris.data(), unsigned(tris.size()), threads));
        const Items items = streamed_items(built);
        expect_inner_children_adjacent(items);
        gfxRTWideBVH loaded, through_runs;
        ASSERT_EQ(load(loaded, items), "");
        EXPECT_TRUE(streamed_items(loaded) == items);
        // The companion streams move the columns as runs, the recording
        // ones value by value: the same values either way.
        zrv::streams::MemoryWriter writer;
        ASSERT_TRUE(built.stream(writer));
        const std::vector<unsigned char> image = writer.image();
        zrv::streams::MemoryReader reader(image.data(), image.size());
        PlxUnicodeString reason;
        ASSERT_TRUE(through_runs.unstream(reader, reader.remaining(), &reason))
            << reason.ConvertToChar();
        EXPECT_TRUE(reader.at_end());
        EXPECT_TRUE(streamed_items(through_runs) == items);
        EXPECT_EQ(loaded.memory_bytes(), built.memory_bytes());
        expect_wide_oracle(loaded, tris, rays, packets,
                           std::string(GetParam().name) + " reloaded, built on " +
                               std::to_string(threads));
    }
}

// A file may hold a node's children in any order: with the first two slots
// of every node of two or more inner children swapped, a node's inner
// children no longer follow its first one, and the tree still traces as
// the brute force (by the references the walks otherwise work out).
TEST(WideBVHStream, SiblingsInAnyOrderTraceAsTheBruteForce) {
    std::vector<triAccel> tris = scene_slice(3, 3000);
    gfxRTWideBVH built, swapped;
    ASSERT_TRUE(built.build(tris.data(), unsigned(tris.size()), 1));
    Items items = streamed_items(built);
    const Columns at = columns(items);
    const std::vector<SavedSlot> slots = saved_slots(items);
    unsigned int swaps = 0;
    for (std::size_t i = 0; i + 1 < slots.size(); ++i) {
        if (slots[i].slot != 0 || slots[i + 1].node != slots[i].node || !is_inner(slots[i + 1]))
            continue;
        for (std::size_t f = 0; f < 7; ++f)
            std::swap(items[at.slot_floats + 7 * i + f], items[at.slot_floats + 7 * (i + 1) + f]);
        std::swap(items[slots[i].at], items[slots[i + 1].at]);
        ++swaps;
    }
    ASSERT_GT(swaps, 10u);
    ASSERT_EQ(load(swapped, items), "");
    const WideRays rays = scattered_rays(tris, 3000, 17);
    expect_wide_oracle(swapped, tris, rays, packets_of(rays), "siblings swapped");
}

INSTANTIATE_TEST_SUITE_P(Scenes, WideBVHStreamRoundTrip, ::testing::ValuesIn(ORACLE_SCENES),
                         SceneName());

// The host positions of the triangles below each child of a saved tree's
// root, with the child's slop.
struct SavedSubtree {
    float slop;
    std::set<unsigned int> triangles;
};

std::vector<SavedSubtree> root_subtrees(const Items& items) {
    const Columns at = columns(items);
    const std::vector<SavedSlot> slots = saved_slots(items);
    std::vector<std::size_t> first_slot(items[kNodeCountAt].u + 1, 0);
    for (const SavedSlot& s : slots)
        first_slot[s.node + 1] = (&s - slots.data()) + 1;
    std::vector<std::size_t> first_lane(items[kNodeCountAt + 1].u + 1, 0);
    for (std::size_t b = 0; b + 1 < first_lane.size(); ++b)
        first_lane[b + 1] = first_lane[b] + items[at.block_used + b].u;
    std::vector<SavedSubtree> subtrees;
    for (std::size_t k = 0; k < first_slot[1]; ++k) {
        SavedSubtree subtree{items[at.slot_floats + 7 * k + 6].f, {}};
        std::vector<std::uint32_t> pending{slots[k].child};
        while (!pending.empty()) {
            const std::uint32_t ref = pending.back();
            pending.pop_back();
            if ((ref & 0x80000000u) == 0) {
                for (std::size_t s = first_slot[ref]; s < first_slot[ref + 1]; ++s)
                    pending.push_back(slots[s].child);
                continue;
            }
            const std::uint32_t block = ref & ((1u << 27) - 1), count = ((ref >> 27) & 0xFu) + 1;
            for (std::size_t lane = first_lane[block]; lane < first_lane[block + count]; ++lane)
                subtree.triangles.insert(items[at.indices + lane].u & 0x3FFFFFFFu);
        }
        subtrees.push_back(subtree);
    }
    return subtrees;
}

// A few triangles far flatter than the rest, whose slop would widen boxes
// all over the tree, are set apart under the root: each child of the root
// holds only them or none of them, with a slop far below theirs. Rays aimed
// just past their tips trace as the brute force. (From farther than a few
// times the scene's size, some would skim the sphere's other triangles at
// the shallow angles gfxRTWideBVH.h leaves to the kernel.)
TEST(WideBVHStream, FlatTrianglesStandApartUnderTheRoot) {
    std::vector<triAccel> tris = zrv::scenes::uv_sphere({0, 0, 0}, 1.0f, 100, 50);
    const std::size_t n = tris.size();
    std::set<unsigned int> flat;
    std::mt19937 rng(41);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    WideRays rays;
    for (unsigned int i = 0; i < 40; ++i) {
        triAccel t = tris[(i * 7919u) % n];
        for (int a = 0; a < 3; ++a) {
            const float middle = 0.5f * (t.vertex0[a] + t.vertex1[a]);
            t.vertex2[a] = middle + (i % 2 ? 1e-4f : 1e-5f) * (t.vertex2[a] - middle);
        }
        flat.insert(unsigned(tris.size()));
        tris.push_back(t);
        for (int k = 0; k < 40; ++k) {
            // Towards the line of the long edge, within a thousandth of it
            // past either end.
            const float s = (k % 2 ? 1.0f : -1e-3f) + 1e-3f * unit(rng);
            const float spread = k % 4 < 2 ? 1.5f : 5.0f;
            float o[3], d[3];
            for (int a = 0; a < 3; ++a) {
                o[a] = spread * (2.0f * unit(rng) - 1.0f);
                d[a] = t.vertex0[a] + s * (t.vertex1[a] - t.vertex0[a]) - o[a];
            }
            rays.add(o, d, std::numeric_limits<float>::infinity());
        }
    }
    append(rays, scattered_rays(tris, 400, 43));
    for (unsigned int threads : {1u, 4u}) {
        gfxRTWideBVH tree;
        ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), threads));
        float least_flat_slop = std::numeric_limits<float>::infinity(), most_other_slop = 0.0f;
        std::size_t flat_below = 0;
        for (const SavedSubtree& subtree : root_subtrees(streamed_items(tree))) {
            std::size_t flat_here = 0;
            for (unsigned int i : subtree.triangles)
                flat_here += flat.count(i);
            EXPECT_TRUE(flat_here == 0 || flat_here == subtree.triangles.size())
                << flat_here << " of " << subtree.triangles.size();
            flat_below += flat_here;
            float& bound = flat_here != 0 ? least_flat_slop : most_other_slop;
            bound =
                flat_here != 0 ? std::fmin(bound, subtree.slop) : std::fmax(bound, subtree.slop);
        }
        EXPECT_EQ(flat_below, flat.size());
        EXPECT_GT(least_flat_slop, 100.0f * most_other_slop);
        EXPECT_GT(most_other_slop, 0.0f);
        expect_wide_oracle(tree, tris, rays, packets_of(rays),
                           "flat triangles, built on " + std::to_string(threads));
    }
}

TEST(WideBVHStream, EmptyTreesRoundTrip) {
    std::vector<triAccel> degenerate = scene_slice(0, 3);
    for (triAccel& t : degenerate)
        for (int a = 0; a < 3; ++a)
            t.vertex1[a] = t.vertex2[a] = t.vertex0[a];
    gfxRTWideBVH never_built, all_degenerate;
    ASSERT_TRUE(all_degenerate.build(degenerate.data(), 3, 1));
    for (const gfxRTWideBVH* tree : {&never_built, &all_degenerate}) {
        const Items items = streamed_items(*tree);
        ASSERT_EQ(items.size(), 15u); // tokens, six counts, the box
        gfxRTWideBVH loaded;
        ASSERT_EQ(load(loaded, items), "");
        EXPECT_TRUE(loaded.empty());
        EXPECT_EQ(loaded.statistics().input_triangles, tree->statistics().input_triangles);
        const float o[3] = {0, 0, -5}, d[3] = {0, 0, 1};
        gfxRTWideHit hit;
        EXPECT_FALSE(loaded.intersect1(o, d, 1e30f, hit));
        EXPECT_TRUE(streamed_items(loaded) == items);
    }
    // An empty tree that claims anything else, one field at a time: kept
    // triangles (3 of them are input), blocks, leaves, a depth or a box.
    const Items items = streamed_items(all_degenerate);
    for (std::size_t at : {std::size_t(3), kNodeCountAt + 1, kLeafCountAt, kDepthAt}) {
        SCOPED_TRACE(at);
        Items damaged = items;
        damaged[at] = StreamItem::Uint(1);
        const auto count = [&](std::size_t i) { return std::to_string(damaged[i].u); };
        gfxRTWideBVH loaded;
        EXPECT_EQ(load(loaded, damaged), "an empty tree with " + count(kNodeCountAt + 1) +
                                             " blocks, " + count(kLeafCountAt) + " leaves, depth " +
                                             count(kDepthAt) + ", " + count(3) +
                                             " kept triangles or a box");
    }
    Items boxed = items;
    boxed[13] = StreamItem::Float(1.0f);
    gfxRTWideBVH loaded;
    EXPECT_EQ(load(loaded, boxed), "an empty tree with 0 blocks, 0 leaves, depth 0, 0 kept "
                                   "triangles or a box");
}

// Forwards single values only: the loader then reads value by value.
class SingleValues : public gfxStreamReader {
public:
    explicit SingleValues(gfxStreamReader& reader) : reader_(reader) {}
    int read_int() override { return reader_.read_int(); }
    unsigned int read_uint() override { return reader_.read_uint(); }
    float read_float() override { return reader_.read_float(); }
    double read_double() override { return reader_.read_double(); }
    PlxUnicodeString read_string() override { return reader_.read_string(); }

private:
    gfxStreamReader& reader_;
};

// A file written through the companion file stream, and one read in chunks
// with runs or value by value, load the same tree with the file's remaining
// bytes as the budget; a flipped bit that no check of the tree's could see,
// in the first chunk or in the last (an id), is refused by the CRC before
// the end token is read.
TEST(WideBVHStream, FilesLoadTheSameTreeAndRefuseDamage) {
    const std::vector<triAccel> tris = scene_slice(1, 500);
    gfxRTWideBVH built;
    ASSERT_TRUE(built.build(tris.data(), unsigned(tris.size()), 1));
    zrv::streams::MemoryWriter writer;
    ASSERT_TRUE(built.stream(writer));
    const std::vector<unsigned char> image = writer.image();
    const std::size_t chunk = 4096;
    ASSERT_GT(image.size(), 4 * chunk);
    for (int way = 0; way < 3; ++way) {
        const auto file =
            way == 0 ? write_and_reopen([&](gfxStreamWriter& w) { EXPECT_TRUE(built.stream(w)); })
                     : open_image(image, chunk);
        ASSERT_NE(file, nullptr);
        SingleValues single(*file);
        gfxRTWideBVH loaded;
        PlxUnicodeString reason;
        ASSERT_TRUE(loaded.unstream(way < 2 ? static_cast<gfxStreamReader&>(*file) : single,
                                    file->remaining(), &reason))
            << reason.ConvertToChar();
        EXPECT_TRUE(file->at_end());
        EXPECT_TRUE(streamed_items(loaded) == streamed_items(built));
    }
    // The lowest bit of the first slot's first bound (after the two tokens,
    // six counts, the box and the nodes' used counts) and of the last id
    // (before the end token: its tag, length and sixteen letters).
    for (std::size_t at : {std::size_t(zrv::streams::HEADER_SIZE + 23 + 14 + 6 * 5 + 6 * 5 +
                                       5 * built.statistics().nodes + 1),
                           image.size() - (1 + 4 + 16) - 4}) {
        std::vector<unsigned char> damaged = image;
        damaged[at] ^= 0x01;
        const auto file = open_image(damaged, chunk);
        gfxRTWideBVH loaded;
        PlxUnicodeString reason;
        EXPECT_FALSE(loaded.unstream(*file, file->remaining(), &reason));
        EXPECT_EQ(std::string(reason.ConvertToChar()),
                  "the wide BVH does not end where its counts say");
        EXPECT_EQ(file->error(), "byte 24: the values are damaged (CRC-32 mismatch)");
        EXPECT_TRUE(loaded.empty());
        EXPECT_EQ(loaded.memory_bytes(), 0u);
    }
}

// Trees over copies of one triangle, written as version 1 (values node by
// node), which files saved before the columns hold: every slot's box is the
// triangle's, grown by 0.01, and every block holds one copy.
class CopiesWriter {
public:
    // counts: input, kept, nodes, blocks, leaves and depth.
    CopiesWriter(const triAccel& tri, std::initializer_list<unsigned int> counts)
        : tri_(tri), box_(zrv::scenes::scene_bounds(&tri, 1)) {
        items_ = {StreamItem::String("BEGIN:gfxRTWideBVH"), StreamItem::String("version=1")};
        for (unsigned int v : counts)
            items_.push_back(StreamItem::Uint(v));
        for (const float* corner : {box_.min, box_.max})
            for (int a = 0; a < 3; ++a)
                items_.push_back(StreamItem::Float(corner[a]));
    }
    // Starts a node of used slots; slot() then writes each.
    void node(unsigned int used) { items_.push_back(StreamItem::Uint(used)); }
    void slot(std::uint32_t reference) {
        for (int a = 0; a < 3; ++a) {
            items_.push_back(StreamItem::Float(box_.min[a] - 0.01f));
            items_.push_back(StreamItem::Float(box_.max[a] + 0.01f));
        }
        items_.push_back(StreamItem::Float(0.001f));
        items_.push_back(StreamItem::Uint(reference));
    }
    // A block of one copy, at host position position, casting shadows.
    void block(unsigned int position) {
        items_.push_back(StreamItem::Uint(1));
        for (const float* f : {tri_.vertex0, tri_.vertex1, tri_.vertex2, tri_.normal})
            for (int a = 0; a < 3; ++a)
                items_.push_back(StreamItem::Float(f[a]));
        items_.push_back(StreamItem::Uint(0x40000000u | position));
    }
    // The ids of count copies and the end token.
    Items finish(unsigned int count) {
        for (unsigned int i = 0; i < count; ++i)
            items_.push_back(StreamItem::Int(tri_.triangle_id));
        items_.push_back(StreamItem::String("END:gfxRTWideBVH"));
        return items_;
    }

private:
    triAccel tri_;
    zrv::scenes::Bounds box_;
    Items items_;
};

// A chain of levels nodes, each with one inner child, the last with one
// leaf of one triangle: the deepest shape a stream can describe.
Items chain(unsigned int levels, unsigned int depth_statistic) {
    CopiesWriter w(scene_slice(0, 1)[0], {1u, 1u, levels, 1u, 1u, depth_statistic});
    for (unsigned int i = 0; i < levels; ++i) {
        w.node(1);
        w.slot(i + 1 < levels ? i + 1 : 0x80000000u);
    }
    w.block(0);
    return w.finish(1);
}

// A comb of spine nodes, each with seven inner siblings (of one leaf each)
// in its first slots and the next spine node in its last, the last spine
// node with a leaf there. Every box is the triangle's, so a ray that hits
// it enters every child and goes down the spine first (the lowest
// reference of equal entries), leaving seven siblings waiting at each
// spine level: with 71 of them, the 497 entries that the deepest tree can
// make its walks, and its check, hold at once. Every leaf holds a copy of
// the triangle (host positions 0, 1, ...).
Items comb(unsigned int spine, const triAccel& tri) {
    const unsigned int blocks = 7 * spine + 1;
    CopiesWriter w(tri, {blocks, blocks, 8 * spine, blocks, blocks, spine + 1});
    // Spine node i is node i; its sibling j is node spine + 7 i + j, whose
    // leaf is block 7 i + j.
    for (unsigned int i = 0; i < spine; ++i) {
        w.node(8);
        for (unsigned int j = 0; j < 7; ++j)
            w.slot(spine + 7 * i + j);
        w.slot(i + 1 < spine ? i + 1 : 0x80000000u | (blocks - 1));
    }
    for (unsigned int n = 0; n < 7 * spine; ++n) {
        w.node(1);
        w.slot(0x80000000u | n);
    }
    for (unsigned int block = 0; block < blocks; ++block)
        w.block(block);
    return w.finish(blocks);
}

TEST(WideBVHStream, TheWidestDeepestTreeIsCheckedAndTraced) {
    const triAccel tri = scene_slice(0, 1)[0];
    gfxRTWideBVH tree;
    ASSERT_EQ(load(tree, comb(71, tri)), "");
    EXPECT_EQ(tree.statistics().depth, 72u);
    const std::vector<triAccel> copies(7 * 71 + 1, tri);
    const WideRays rays = scattered_rays(copies, 60, 11);
    expect_wide_oracle(tree, copies, rays, packets_of(rays), "comb of 72 levels");
}

TEST(WideBVHStream, ChainsAsDeepAsTheStacksAreTraced) {
    const std::vector<triAccel> tri = scene_slice(0, 1);
    gfxRTWideBVH tree;
    ASSERT_EQ(load(tree, chain(72, 72)), "");
    EXPECT_EQ(tree.statistics().depth, 72u);
    expect_wide_oracle(tree, tri, scattered_rays(tri, 50, 9), {}, "chain of 72");
    EXPECT_EQ(load(tree, chain(73, 73)), "the tree is 73 levels deep; traversal stacks hold 72");
    EXPECT_EQ(load(tree, chain(73, 72)),
              "node 72 is on a path of more than 72 nodes; traversal stacks hold 72");
    EXPECT_EQ(load(tree, chain(5, 4)), "the tree has 1 leaves and 5 levels, its statistics say 1 "
                                       "and 4");
    // Counts that a budget without bound lets through, but that references
    // cannot name: nodes past the leaf bit, or blocks past the first-block
    // bits, each alone.
    const std::size_t no_bound = std::numeric_limits<std::size_t>::max();
    Items items = chain(1, 1);
    items[kNodeCountAt].u = 0x80000001u;
    EXPECT_EQ(load(tree, items, no_bound),
              "2147483649 nodes and 1 blocks are more than references can name");
    items = chain(1, 1);
    items[kNodeCountAt + 1].u = 0x08000000u;
    EXPECT_EQ(load(tree, items, no_bound),
              "1 nodes and 134217728 blocks are more than references can name");
}

class WideBVHStreamDamage : public ::testing::Test {
protected:
    void SetUp() override {
        tris = scene_slice(3, 1500);
        ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
        ASSERT_GE(tree.statistics().depth, 3u);
        items = streamed_items(tree);
        slots = saved_slots(items);
        at = columns(items);
    }
    // The first inner slot of node whose child is not skip; null if none.
    const SavedSlot* inner_slot(unsigned int node, std::uint32_t skip = 0) const {
        for (const SavedSlot& s : slots)
            if (s.node == node && is_inner(s) && s.child != skip)
                return &s;
        return nullptr;
    }

    std::vector<triAccel> tris;
    gfxRTWideBVH tree;
    Items items;
    std::vector<SavedSlot> slots;
    Columns at;
};

TEST_F(WideBVHStreamDamage, EveryKindOfDamageIsRefusedWithItsReason) {
    const unsigned int nodes = items[kNodeCountAt].u, blocks = items[kNodeCountAt + 1].u;
    const SavedSlot* first = inner_slot(0);
    ASSERT_NE(first, nullptr);
    const SavedSlot* second = inner_slot(0, first->child);
    ASSERT_NE(second, nullptr);
    const SavedSlot* grandchild = inner_slot(first->child);
    ASSERT_NE(grandchild, nullptr);
    const SavedSlot* leaf = nullptr;
    for (const SavedSlot& s : slots)
        if (!is_inner(s) && leaf == nullptr)
            leaf = &s;
    ASSERT_NE(leaf, nullptr);
    const std::string n = std::to_string(nodes), b = std::to_string(blocks);
    const unsigned int input = items[2].u, kept = items[3].u;
    const std::uint32_t past_blocks = 0x80000000u | (1u << 27) | (blocks - 1);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // A full block past the first, whose lanes are checked together.
    unsigned int full = 1, lanes_before = items[at.block_used].u;
    while (items[at.block_used + full].u != 4)
        lanes_before += items[at.block_used + full++].u;
    const std::string block = " of block " + std::to_string(full);

    const struct {
        const char* name;
        std::size_t at;
        StreamItem value;
        std::string reason;
    } cases[] = {
        {"begin token", 0, StreamItem::String("BEGIN:gfxRTBVH"),
         "the stream does not hold a wide BVH (its first token does not match)"},
        {"version", 1, StreamItem::String("version=3"),
         "the wide BVH is of a version this library does not read"},
        {"end token", items.size() - 1, StreamItem::String("END:gfxRTBVH"),
         "the wide BVH does not end where its counts say"},
        {"back to an ancestor", grandchild->at, StreamItem::Uint(first->child),
         "node " + std::to_string(first->child) + " is reached twice (child " +
             std::to_string(grandchild->slot) + " of node " + std::to_string(grandchild->node) +
             ")"},
        {"shared node", second->at, StreamItem::Uint(first->child),
         "node " + std::to_string(first->child) + " is reached twice (child " +
             std::to_string(second->slot) + " of node 0)"},
        {"back to the root", first->at, StreamItem::Uint(0),
         "child " + std::to_string(first->slot) + " of node 0 names node 0 of " + n},
        {"node past the end", first->at, StreamItem::Uint(nodes),
         "child " + std::to_string(first->slot) + " of node 0 names node " + n + " of " + n},
        {"blocks past the end", leaf->at, StreamItem::Uint(past_blocks),
         "child " + std::to_string(leaf->slot) + " of node " + std::to_string(leaf->node) +
             " names blocks " + std::to_string(blocks - 1) + " to " + b + " of " + b},
        {"NaN box", at.slot_floats + 2, StreamItem::Float(nan),
         "child 0 of node 0 has a box that is not finite"},
        {"negative slop", at.slot_floats + 6, StreamItem::Float(-1.0f),
         "child 0 of node 0 has slop -1"},
        {"nine children", kNodeUsedAt, StreamItem::Uint(9), "node 0 has 9 children"},
        {"leaf count", kLeafCountAt, StreamItem::Uint(items[kLeafCountAt].u + 1),
         "the tree has " + std::to_string(items[kLeafCountAt].u) + " leaves and " +
             std::to_string(items[kDepthAt].u) + " levels, its statistics say " +
             std::to_string(items[kLeafCountAt].u + 1) + " and " +
             std::to_string(items[kDepthAt].u)},
        {"node count beyond the budget", kNodeCountAt, StreamItem::Uint(0x7FFFFFFFu),
         "2147483647 nodes, " + b + " blocks and " + std::to_string(input) + " ids need " +
             std::to_string(0x7FFFFFFFull * 9 + blocks * 14ull + input) +
             " values, the stream holds at most " + std::to_string(items.size())},
        {"kept count", 3, StreamItem::Uint(input + 1),
         "the tree keeps " + std::to_string(input + 1) + " of " + std::to_string(input) +
             " triangles; it indexes at most 134217728"},
        {"box", 8, StreamItem::Float(std::numeric_limits<float>::infinity()),
         "the scene box is not finite or inside out along axis 0"},
        {"lane past the input", at.indices, StreamItem::Uint(input),
         "triangle 0 of block 0 names triangle " + std::to_string(input) + " of " +
             std::to_string(input)},
        {"unused lane marked used", at.indices, StreamItem::Uint(0x3FFFFFFFu),
         "triangle 0 of block 0 names triangle 1073741823 of " + std::to_string(input)},
        {"NaN corner", at.lane_floats + 4, StreamItem::Float(nan),
         "triangle 0 of block 0 is not finite"},
        {"empty block", at.block_used, StreamItem::Uint(0), "block 0 has 0 triangles"},
        {"infinite corner in a full block", at.lane_floats + 12 * (lanes_before + 2) + 7,
         StreamItem::Float(-std::numeric_limits<float>::infinity()),
         "triangle 2" + block + " is not finite"},
        {"lane of a full block past the input", at.indices + lanes_before + 3,
         StreamItem::Uint(input),
         "triangle 3" + block + " names triangle " + std::to_string(input) + " of " +
             std::to_string(input)},
        {"empty tree with blocks", kNodeCountAt, StreamItem::Uint(0),
         "an empty tree with " + b + " blocks, " + std::to_string(items[kLeafCountAt].u) +
             " leaves, depth " + std::to_string(items[kDepthAt].u) + ", " + std::to_string(kept) +
             " kept triangles or a box"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Items damaged = items;
        damaged[c.at] = c.value;
        gfxRTWideBVH loaded;
        EXPECT_EQ(load(loaded, damaged), c.reason);
    }
}

// A node no reference names and a block in no leaf, appended with their
// counts raised.
TEST_F(WideBVHStreamDamage, NodesAndBlocksOutsideTheTreeAreRefused) {
    const unsigned int nodes = items[kNodeCountAt].u, blocks = items[kNodeCountAt + 1].u;
    // Copies of the root and of the first block at the ends of their
    // columns, inserted from the last column back.
    const auto copy = [](Items& to, std::size_t where, const Items& from, std::size_t first,
                         std::size_t count) {
        to.insert(to.begin() + std::ptrdiff_t(where), from.begin() + std::ptrdiff_t(first),
                  from.begin() + std::ptrdiff_t(first + count));
    };
    Items extra_node = items, extra_block = items;
    const unsigned int used = items[kNodeUsedAt].u;
    extra_node[kNodeCountAt] = StreamItem::Uint(nodes + 1);
    copy(extra_node, at.block_used, items, at.references, used);
    copy(extra_node, at.references, items, at.slot_floats, 7 * used);
    copy(extra_node, at.slot_floats, items, kNodeUsedAt, 1);
    // The block's triangles are counted as kept, with ids of their own.
    const unsigned int lanes = items[at.block_used].u;
    extra_block[2] = StreamItem::Uint(items[2].u + lanes);
    extra_block[3] = StreamItem::Uint(items[3].u + lanes);
    extra_block[kNodeCountAt + 1] = StreamItem::Uint(blocks + 1);
    extra_block.insert(extra_block.end() - 1, lanes, StreamItem::Int(7));
    copy(extra_block, at.ids, items, at.lane_floats, 12 * lanes);
    copy(extra_block, at.lane_floats, items, at.indices, lanes);
    copy(extra_block, at.indices, items, at.block_used, 1);
    gfxRTWideBVH loaded;
    EXPECT_EQ(load(loaded, extra_node), std::to_string(nodes) + " of the " +
                                            std::to_string(nodes + 1) +
                                            " nodes are reachable from the root");
    EXPECT_EQ(load(loaded, extra_block), std::to_string(blocks) + " of the " +
                                             std::to_string(blocks + 1) + " blocks are in a leaf");
}

// Cut short anywhere, the stream is refused with a reason; the reasons of
// the boundaries are exact.
TEST(WideBVHStream, TruncationsAnywhereAreRefused) {
    const std::vector<triAccel> tris = scene_slice(2, 12);
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 1));
    const Items items = streamed_items(tree);
    for (std::size_t length = 0; length < items.size(); ++length) {
        SCOPED_TRACE("cut at " + std::to_string(length));
        const Items cut(items.begin(), items.begin() + std::ptrdiff_t(length));
        gfxRTWideBVH loaded;
        const std::string why = load(loaded, cut, items.size()); // empty if accepted
        EXPECT_NE(why, "");
        if (length == 0) {
            EXPECT_EQ(why, "the stream does not hold a wide BVH (its first token does not match)");
        } else if (length == kNodeUsedAt) {
            EXPECT_EQ(why, "node 0 has 0 children");
        } else if (length == items.size() - 1) {
            EXPECT_EQ(why, "the wide BVH does not end where its counts say");
        }
    }
}

// Each allocation of the load fails in turn: refused with its reason and
// nothing kept (the ASan build checks for leaks); then the load succeeds.
TEST_F(WideBVHStreamDamage, EveryFailedAllocationIsARefusal) {
    for (int skip = 0; skip < 6; ++skip) {
        SCOPED_TRACE("allocation " + std::to_string(skip));
        gfxRTWideBVH loaded;
        AllocationFaultRule rule;
        rule.thread = AllocationFaultRule::ARMING_THREAD;
        rule.min_bytes = 64; // the tree's arrays and marks, not the tokens
        rule.skip = skip;
        std::string reason;
        {
            AllocationFaults faults(rule);
            reason = load(loaded, items);
            EXPECT_EQ(faults.injected(), skip < 5 ? 1 : 0);
        }
        EXPECT_EQ(reason, skip == 5   ? ""
                          : skip == 4 ? "out of memory while checking the tree"
                                      : "out of memory while reading the tree");
        if (skip == 5) {
            EXPECT_TRUE(streamed_items(loaded) == items);
        }
    }
}

// A load replaces the tree that was there; a refused one leaves it empty.
TEST_F(WideBVHStreamDamage, LoadReplacesTheTreeItIsGiven) {
    const std::vector<triAccel> other = scene_slice(0, 300);
    gfxRTWideBVH target;
    ASSERT_TRUE(target.build(other.data(), unsigned(other.size()), 1));
    ASSERT_EQ(load(target, items), "");
    EXPECT_TRUE(streamed_items(target) == items);
    expect_wide_oracle(target, tris, scattered_rays(tris, 300, 7), {}, "over an older tree");
    Items damaged = items;
    damaged.pop_back();
    EXPECT_EQ(load(target, damaged), "the wide BVH does not end where its counts say");
    EXPECT_EQ(streamed_items(target).size(), 15u);
}

} // namespace
