// Loading triangle BVHs: the unstream entry point, round trips through the
// file streams that must give every ray the original's hits, and the checked
// loader's refusals of crafted and damaged streams.
#include "BVHTestUtil.h"
#include "StreamFiles.h"
#include "KDTreeTestUtil.h"
#include "OracleScenes.h"
#include "RecordingStream.h"
#include "gfxRTAccelerationStructureServices.h"
#include "zrvStreams.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

namespace {

using Items = std::vector<StreamItem>;
using Services = gfxRTAccelerationStructureServices;

// The triangle BVH's framing around a hierarchy record.
Items triangle_bvh(const Items& record, unsigned int count) {
    Items items = {StreamItem::String("BEGIN:gfxRTBVH_triAccel"), StreamItem::String("version=1")};
    items.insert(items.end(), record.begin(), record.end());
    items.push_back(StreamItem::Uint(count));
    items.push_back(StreamItem::String("END:gfxRTBVH_triAccel"));
    return items;
}

Items stream_of(const gfxRTBVH& bvh) {
    RecordingWriter writer;
    EXPECT_TRUE(bvh.stream(writer));
    return writer.items;
}

// A chain: inner nodes 0, 2, 4, ... each with a leaf and the next inner
// node as children; the last inner node has two leaves. inner_levels inner
// nodes make inner_levels + 1 levels over inner_levels + 1 objects.
Items chain(int inner_levels) {
    const float lo[3] = {0, 0, 0}, hi[3] = {1, 1, 1};
    std::vector<BVHNode> nodes;
    std::vector<int> order;
    int object = 0;
    for (int level = 0; level < inner_levels; ++level) {
        const int id = int(nodes.size());
        nodes.push_back(inner_node(lo, hi, id + 1, 0, 0));
        nodes.push_back(leaf_node(lo, hi, object, 1));
        order.push_back(object++);
        if (level == inner_levels - 1) {
            nodes.push_back(leaf_node(lo, hi, object, 1));
            order.push_back(object++);
        }
    }
    // Leaves sit at odd ids; inner node 2k's pair is (2k + 1, 2k + 2).
    return triangle_bvh(bvh_record(nodes, order), unsigned(object));
}

std::vector<triAccel> strip(unsigned int count) {
    std::vector<triAccel> t;
    for (unsigned int i = 0; i < count; ++i) {
        const float x = float(i);
        const float a[3] = {x, 0, 0.5f}, b[3] = {x + 0.9f, 0, 0.5f}, c[3] = {x, 1, 0.5f};
        t.push_back(make_triangle(a, b, c, int(i)));
    }
    return t;
}

class BVHRoundTrip : public ::testing::TestWithParam<OracleScene> {};

TEST_P(BVHRoundTrip, ReloadsOverACopyWithTheOriginalsHits) {
    const std::vector<triAccel> tris = GetParam().make();
    const unsigned count = unsigned(tris.size());
    gfxRTBVH_triAccel original(tris.data(), count);
    ASSERT_TRUE(original.build_tree(1));
    const Items saved = stream_of(original);
    const std::vector<triAccel> copy = tris;

    ReplayReader replay(saved);
    std::unique_ptr<gfxRTBVH> plain(Services::UnstreamNewBVH(replay, copy.data()));
    ASSERT_NE(plain, nullptr);
    EXPECT_TRUE(replay.faults().empty());
    EXPECT_EQ(stream_of(*plain), saved);

    const std::unique_ptr<zrv::streams::FileReader> file =
        write_and_reopen([&](gfxStreamWriter& w) { original.stream(w); });
    ASSERT_NE(file, nullptr);
    zrv::streams::FileReader& reader = *file;
    PlxUnicodeString reason;
    std::unique_ptr<gfxRTBVH> checked(
        Services::UnstreamNewBVHChecked(reader, copy.data(), count, reader.remaining(), &reason));
    ASSERT_NE(checked, nullptr) << reason.ConvertToChar() << " " << reader.error();
    EXPECT_TRUE(reader.at_end());
    EXPECT_EQ(stream_of(*checked), saved);

    float lo[3], hi[3];
    __m128 bmin, bmax;
    original.get_tree_bbox(bmin, bmax);
    std::memcpy(lo, &bmin, 12);
    std::memcpy(hi, &bmax, 12);
    std::mt19937 rng(5);
    const RenderState state{0, 0};
    for (int p = 0; p < 400; ++p) {
        // One lane per packet: the traversal orders nodes by lane 0 only.
        RayPacket rays = packet_of(random_ray(lo, hi, 0.2f, rng));
        HitPacket hits[3] = {empty_hits(), empty_hits(), empty_hits()};
        __m128i objects[3];
        original.traverse_tree(rays, hits[0], objects[0], state, 1e30f);
        plain->traverse_tree(rays, hits[1], objects[1], state, 1e30f);
        checked->traverse_tree(rays, hits[2], objects[2], state, 1e30f);
        for (int k = 1; k < 3; ++k) {
            ASSERT_EQ(std::memcmp(&hits[0], &hits[k], sizeof(HitPacket)), 0) << p;
            ASSERT_EQ(lane_of(objects[0], 0), lane_of(objects[k], 0)) << p;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, BVHRoundTrip, ::testing::ValuesIn(ORACLE_SCENES),
                         [](const ::testing::TestParamInfo<OracleScene>& info) {
                             return std::string(info.param.name);
                         });

TEST(BVHUnstream, WrongTokensAndMissingTrianglesGiveNull) {
    const std::vector<triAccel> tris = strip(3);
    Items wrong = chain(2);
    wrong[0].s = "BEGIN:gfxRTBVH";
    ReplayReader first(wrong);
    EXPECT_EQ(Services::UnstreamNewBVH(first, tris.data()), nullptr);
    EXPECT_EQ(first.position(), 1u);
    ReplayReader no_triangles(chain(2));
    EXPECT_EQ(Services::UnstreamNewBVH(no_triangles, nullptr), nullptr);
    EXPECT_EQ(no_triangles.position(), 0u);
}

TEST(BVHCheckedLoad, CraftedFaultsAreRefusedWithAReason) {
    const std::vector<triAccel> tris = strip(66);
    // Items of chain(2): 4 framing/record items, then 8 per node (5 nodes),
    // then the order count, 3 entries, the record end, the count and the end.
    const std::size_t node0 = 5, order_at = node0 + 5 * 8 + 1;
    const auto child_of = [](Items& it, std::size_t node, int child) {
        it[node0 + 8 * node + 3].i = child;
    };
    const struct {
        const char* name;
        Items items;
        unsigned triangle_count;
        unsigned long long max_values;
        const char* reason;
    } cases[] = {
        {"64 levels load", chain(63), 64, 10000, nullptr},
        {"65 levels", chain(64), 65, 10000, "levels deep"},
        {"children outside",
         [&] {
             Items it = chain(2);
             child_of(it, 2, 4);
             return it;
         }(),
         3, 1000, "children 4 and 5 of 5"},
        {"children before the parent",
         [&] {
             Items it = chain(2);
             child_of(it, 2, 1);
             return it;
         }(),
         3, 1000, "node 2 names children 1 and 2"},
        {"negative children",
         [&] {
             Items it = chain(2);
             child_of(it, 0, -1);
             return it;
         }(),
         3, 1000, "children -1"},
        {"children shared",
         [&] {
             Items it = chain(2);
             child_of(it, 0, 2); // node 0's pair (2, 3) shares node 3 with node 2's
             return it;
         }(),
         3, 1000, "node 3 is reached twice"},
        {"leaf past the order",
         [&] {
             Items it = chain(2);
             child_of(it, 1, 3);
             return it;
         }(),
         3, 1000, "leaf 1 covers order entries 3 to 3 of 3"},
        {"object twice",
         [&] {
             Items it = chain(2);
             it[order_at + 1].i = 0;
             return it;
         }(),
         3, 1000, "object 0 appears twice"},
        {"object outside",
         [&] {
             Items it = chain(2);
             it[order_at + 2].i = 7;
             return it;
         }(),
         3, 1000, "names object 7 of 3"},
        {"saved for more triangles", chain(2), 2, 1000, "saved for 3 triangles, the host has 2"},
        {"more nodes than the stream holds", chain(2), 3, 4, "exceeds the 4 values"},
        {"wrong framing",
         [] {
             Items it = chain(2);
             it[1].s = "version=2";
             return it;
         }(),
         3, 1000, "token"},
    };
    for (const auto& c : cases) {
        ReplayReader reader(c.items);
        PlxUnicodeString reason;
        std::unique_ptr<gfxRTBVH> bvh(Services::UnstreamNewBVHChecked(
            reader, tris.data(), c.triangle_count, c.max_values, &reason));
        if (c.reason == nullptr) {
            ASSERT_NE(bvh, nullptr) << c.name << ": " << reason.ConvertToChar();
            // The deepest tree the stacks allow traces without a stack fault.
            RayPacket rays = packet_of(Ray3{{0.2f, 0.2f, -1}, {0, 0, 1}});
            HitPacket hits = empty_hits();
            __m128i objects;
            bvh->traverse_tree(rays, hits, objects, RenderState{0, 0}, 1e30f);
            EXPECT_EQ(lane_of(hits.id, 0), 0) << c.name;
            continue;
        }
        EXPECT_EQ(bvh, nullptr) << c.name;
        EXPECT_NE(std::string(reason.ConvertToChar()).find(c.reason), std::string::npos)
            << c.name << ": " << reason.ConvertToChar();
    }
}

TEST(BVHCheckedLoad, TruncatedAndDamagedFilesAreRefused) {
    const std::vector<triAccel> tris = strip(12);
    gfxRTBVH_triAccel original(tris.data(), 12);
    ASSERT_TRUE(original.build_tree(1));
    zrv::streams::MemoryWriter writer;
    original.stream(writer);
    const std::vector<unsigned char> good = writer.image();
    int loaded = 0, without_reason = 0, images = 0;
    for (std::size_t i = 0; i < 2 * good.size(); ++i, ++images) {
        std::vector<unsigned char> image = good;
        if (i < good.size())
            image.resize(i);
        else
            image[i - good.size()] ^= (unsigned char)(1u << (i % 8));
        zrv::streams::MemoryReader reader(image.data(), image.size());
        PlxUnicodeString reason;
        std::unique_ptr<gfxRTBVH> bvh(
            Services::UnstreamNewBVHChecked(reader, tris.data(), 12, reader.remaining(), &reason));
        loaded += bvh != nullptr;
        without_reason += reason == "";
    }
    EXPECT_EQ(loaded, 0) << images;
    EXPECT_EQ(without_reason, 0);
}

} // namespace
