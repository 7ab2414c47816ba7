// Crafted triangle BVH streams: the checked loader's refusals, and what a
// failed read leaves.
#include "AllocationFaults.h"
#include "BVHTestUtil.h"
#include "gfxRTAccelerationStructureServices.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using Items = std::vector<StreamItem>;
using Services = gfxRTAccelerationStructureServices;

// A triangle BVH of n inner nodes 2k, children (2k + 1, 2k + 2): a leaf and
// the next inner node or, last, a second leaf. n + 1 levels and objects
// (none for n = 0).
Items chain(int n) {
    const float lo[3] = {0, 0, 0}, hi[3] = {1, 1, 1};
    std::vector<BVHNode> nodes;
    std::vector<int> order;
    for (int k = 0; k <= n && n > 0; ++k) {
        if (k < n)
            nodes.push_back(inner_node(lo, hi, 2 * k + 1, 0, 0));
        nodes.push_back(leaf_node(lo, hi, k, 1));
        order.push_back(k);
    }
    Items items = bvh_record(nodes, order);
    items.insert(items.begin(),
                 {StreamItem::String("BEGIN:gfxRTBVH_triAccel"), StreamItem::String("version=1")});
    items.insert(items.end(), {StreamItem::Uint(unsigned(order.size())),
                               StreamItem::String("END:gfxRTBVH_triAccel")});
    return items;
}

const Ray3 UP{{0.2f, 0.2f, -1}, {0, 0, 1}}; // hits triangle 0

std::vector<triAccel> strip() { // triangle i over x in [i, i + 0.9]
    std::vector<triAccel> tris;
    for (int i = 0; i < 66; ++i) {
        const float a[3] = {float(i), 0, 0.5f}, b[3] = {i + 0.9f, 0, 0.5f},
                    c[3] = {float(i), 1, 0.5f};
        tris.push_back(make_triangle(a, b, c, i));
    }
    return tris;
}

TEST(BVHCheckedLoad, CraftedFaultsAreRefusedWithAReason) {
    const std::vector<triAccel> tris = strip();
    // chain(2): 5 items, 8 per node (5 nodes), the order count and entries.
    const auto child = [](std::size_t node) { return 5 + 8 * node + 3; };
    const std::size_t order_at = 5 + 5 * 8 + 1, end = order_at + 5, none = ~std::size_t(0);
    const struct {
        const char* name;
        int levels;
        std::size_t item; // replaced by an int value
        int value;
        unsigned triangle_count;
        unsigned long long max_values;
        const char* reason;
    } cases[] = {
        {"64 levels load", 63, none, 0, 64, 10000, nullptr},
        {"an empty tree loads", 0, none, 0, 0, 1000, nullptr},
        {"65 levels", 64, none, 0, 65, 10000, "levels deep"},
        {"children outside", 2, child(2), 4, 3, 1000, "children 4 and 5 of 5"},
        {"children before the parent", 2, child(2), 1, 3, 1000, "node 2 names children 1 and 2"},
        {"negative children", 2, child(0), -1, 3, 1000, "children -1"},
        // node 0's pair (2, 3) shares node 3 with node 2's.
        {"children shared", 2, child(0), 2, 3, 1000, "node 3 is reached twice"},
        {"leaf past the order", 2, child(1), 3, 3, 1000, "leaf 1 covers order entries 3 to 3 of 3"},
        {"object twice", 2, order_at + 1, 0, 3, 1000, "object 0 appears twice"},
        {"object outside", 2, order_at + 2, 7, 3, 1000, "names object 7 of 3"},
        {"saved for more triangles", 2, none, 0, 2, 1000, "saved for 3 triangles, the host has 2"},
        {"more nodes than the stream holds", 2, none, 0, 3, 4, "exceeds the 4 values"},
        {"wrong begin", 2, 0, 0, 3, 1000, "token"},
        {"wrong version", 2, 1, 2, 3, 1000, "token"},
        {"wrong end", 2, end, 0, 3, 1000, "token"},
    };
    for (const auto& c : cases) {
        Items items = chain(c.levels);
        if (c.item != none)
            items[c.item] = StreamItem::Int(c.value);
        ReplayReader reader(items);
        PlxUnicodeString reason;
        std::unique_ptr<gfxRTBVH> bvh(Services::UnstreamNewBVHChecked(
            reader, tris.data(), c.triangle_count, c.max_values, &reason));
        if (c.reason == nullptr) {
            ASSERT_NE(bvh, nullptr) << c.name << ": " << reason.ConvertToChar();
            // The deepest tree the stacks allow traces without a stack fault.
            EXPECT_EQ(bvh_hit_id(*bvh, UP), c.levels > 0 ? 0 : -1) << c.name;
            gfxRTBVH_triAccel direct(tris.data(), c.triangle_count), bare(nullptr, 0);
            ReplayReader again(items), again_bare(items);
            EXPECT_TRUE(direct.unstream(again) && !bare.unstream(again_bare)) << c.name;
            continue;
        }
        EXPECT_EQ(bvh, nullptr) << c.name;
        EXPECT_NE(std::string(reason.ConvertToChar()).find(c.reason), std::string::npos)
            << c.name << ": " << reason.ConvertToChar();
    }
}

// Every way the read of chain(20) can fail, into a new tree and into one
// that read chain(1): the tree traces and counts its leaves as before when
// the nodes were not replaced, else it keeps the nodes read but traces
// nothing; it streams without reading a missing order (under ASan).
TEST(BVHStream, FailedReadLeavesATreeSafeToUse) {
    const std::vector<triAccel> tris = strip();
    const std::size_t order_at = 5 + 41 * 8, none = ~std::size_t(0);
    const struct {
        const char* name;
        std::size_t item; // replaced by value
        StreamItem value;
        std::size_t failing_bytes; // with the allocator's header and padding
        bool nodes_replaced;
    } cases[] = {
        {"no triangle array", none, {}, 0, false},
        {"wrapper begin", 0, StreamItem::String("X"), 0, false},
        {"wrapper version", 1, StreamItem::String("X"), 0, false},
        {"begin", 2, StreamItem::String("X"), 0, false},
        {"version", 3, StreamItem::String("X"), 0, false},
        {"too many nodes", 4, StreamItem::Uint(0x08000000u), 0, false},
        {"node array", none, {}, 41 * 32 + 16 + 31, false},
        {"too many objects", order_at, StreamItem::Uint(0x40000000u), 0, true},
        {"order array", none, {}, 21 * 4, true},
        {"end", order_at + 22, StreamItem::String("X"), 0, true},
        {"wrapper end", order_at + 24, StreamItem::String("X"), 0, true},
    };
    for (const auto& c : cases) {
        for (const bool read_before : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (read_before ? ", over a tree" : ", new tree"));
            const bool bare = c.item == none && c.failing_bytes == 0;
            gfxRTBVH_triAccel bvh(bare ? nullptr : tris.data(), 0);
            ReplayReader first(chain(1));
            if (read_before && !bvh.unstream(first))
                continue; // nothing is read without triangles
            Items items = chain(20);
            if (c.item != none)
                items[c.item] = c.value;
            ReplayReader reader(items);
            {
                const std::size_t bytes = c.failing_bytes ? c.failing_bytes : ~std::size_t(0);
                AllocationFaults faults({AllocationFaultRule::ANY_THREAD, bytes, bytes});
                EXPECT_FALSE(bvh.unstream(reader));
                EXPECT_EQ(faults.injected(), c.failing_bytes ? 1 : 0);
            }
            const bool old_tree = read_before && !c.nodes_replaced;
            EXPECT_EQ(bvh_hit_id(bvh, UP), old_tree ? 0 : -1);
            EXPECT_EQ(bvh.get_statistic()->number_of_leaves, c.nodes_replaced ? 21u
                                                             : old_tree       ? 2u
                                                                              : 0u);
            RecordingWriter writer;
            const bool streamed = bvh.stream(writer);
            EXPECT_EQ(streamed, !writer.items.empty());
        }
    }
}

} // namespace
