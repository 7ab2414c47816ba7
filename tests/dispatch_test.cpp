// The two compiled versions of the hot paths, baseline SSE2 and x86-64-v3,
// build the same trees and find the same hits, bit for bit.
#include "BVHTestUtil.h"
#include "KDTreeTestUtil.h"
#include "OracleRays.h"
#include "OracleScenes.h"
#include "gfxKernelDispatch.h"
#include "gfxRTAccelerationStructureServices.h"
#include "zrvScenes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

// Read before any test switches the version.
const gfxKernelLevel level_at_load = gfxGetKernelLevel();

// Everything a version produces on one scene, as bytes.
struct VersionOutput {
    std::vector<unsigned char> kd_nodes;
    std::vector<const triAccel*> kd_objects;
    std::vector<unsigned char> kd_compiled; // nodes of the two-thread build (median seeding)
    std::vector<BVHNode> bvh_nodes;
    std::vector<int> bvh_order;
    std::vector<unsigned char> hits; // t, u, v, id of every packet, then hit objects
};

template <typename T> void append(std::vector<unsigned char>& out, const T& value) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&value);
    out.insert(out.end(), bytes, bytes + sizeof(T));
}

VersionOutput run(gfxKernelLevel level, const std::vector<triAccel>& triangles,
                  const std::vector<RayPacket>& packets) {
    EXPECT_TRUE(gfxSetKernelLevel(level));
    VersionOutput r;
    InspectableKDTree kd;
    EXPECT_TRUE(kd.create_tree_from_triAccel_list(triangles.data(), unsigned(triangles.size())));
    // The nodes from the root (offset 8) on; the first 8 bytes are not used.
    r.kd_nodes.assign(kd.node_array() + 8, kd.node_array() + kd.next_free_node());
    r.kd_objects.assign(kd.get_triAccel_array(), kd.get_triAccel_array() + kd.next_free_object());
    InspectableKDTree compiled(2);
    EXPECT_EQ(gfxRTAccelerationStructureServices::CompileKDTree(&compiled, 2, triangles.data(),
                                                                unsigned(triangles.size())),
              0);
    r.kd_compiled.assign(compiled.node_array() + 8,
                         compiled.node_array() + compiled.next_free_node());
    gfxRTBVH_triAccel bvh(triangles.data(), unsigned(triangles.size()));
    EXPECT_TRUE(bvh.build_tree(1));
    r.bvh_nodes.assign(bvh.get_node_array(), bvh.get_node_array() + bvh.get_number_of_nodes());
    r.bvh_order.assign(bvh.get_object_order(),
                       bvh.get_object_order() + bvh.get_object_order_size());
    const TwoLevelScene two_level = make_two_level(triangles, 8, false, 1);

    for (unsigned int shadow = 0; shadow < 2; ++shadow) {
        const RenderState state{0, shadow};
        for (const RayPacket& p : packets) {
            HitPacket hits = empty_hits();
            host_trace(kd, p, state, hits);
            append(r.hits, hits);
            for (const gfxRTBVH* tree : {static_cast<const gfxRTBVH*>(&bvh),
                                         static_cast<const gfxRTBVH*>(two_level.bvh.get())}) {
                RayPacket traced = p;
                HitPacket bvh_hits = empty_hits();
                __m128i hit_object;
                tree->traverse_tree(traced, bvh_hits, hit_object, state, 1e30f);
                append(r.hits, bvh_hits);
                append(r.hits, hit_object);
            }
        }
    }
    return r;
}

TEST(KernelDispatch, LoadTimeChoice) {
    const char* forced = std::getenv("ZRV_FORCE_BASELINE");
    const bool baseline =
        (forced != nullptr && std::strcmp(forced, "") != 0 && std::strcmp(forced, "0") != 0) ||
        !gfxIsKernelLevelSupported(GFX_KERNELS_X86_64_V3);
    EXPECT_EQ(level_at_load, baseline ? GFX_KERNELS_SSE2 : GFX_KERNELS_X86_64_V3);
    EXPECT_TRUE(gfxIsKernelLevelSupported(GFX_KERNELS_SSE2));
}

class KernelDispatchScenes : public ::testing::TestWithParam<OracleScene> {};

TEST_P(KernelDispatchScenes, VersionsGiveIdenticalTreesAndHits) {
    if (!gfxIsKernelLevelSupported(GFX_KERNELS_X86_64_V3))
        GTEST_SKIP() << "this processor has no x86-64-v3";
    const std::vector<triAccel> triangles = GetParam().make();
    const zrv::scenes::Bounds bounds = zrv::scenes::scene_bounds(triangles);
    std::vector<RayPacket> packets = camera_packets(bounds, 32, 32, 0.7f);
    for (const RayPacket& p : random_single_lane_packets(triangles, bounds, 1500, 5))
        packets.push_back(p);
    for (const RayPacket& p : incoherent_packets(bounds, 1000, 9))
        packets.push_back(p);

    const VersionOutput base = run(GFX_KERNELS_SSE2, triangles, packets);
    const VersionOutput wide = run(GFX_KERNELS_X86_64_V3, triangles, packets);
    gfxSetKernelLevel(level_at_load);
    EXPECT_TRUE(base.kd_nodes == wide.kd_nodes);
    EXPECT_TRUE(base.kd_objects == wide.kd_objects);
    EXPECT_TRUE(base.kd_compiled == wide.kd_compiled);
    ASSERT_EQ(base.bvh_nodes.size(), wide.bvh_nodes.size());
    EXPECT_EQ(std::memcmp(base.bvh_nodes.data(), wide.bvh_nodes.data(),
                          base.bvh_nodes.size() * sizeof(BVHNode)),
              0);
    EXPECT_TRUE(base.bvh_order == wide.bvh_order);
    ASSERT_EQ(base.hits.size(), wide.hits.size());
    EXPECT_TRUE(base.hits == wide.hits);
}

INSTANTIATE_TEST_SUITE_P(Scenes, KernelDispatchScenes, ::testing::ValuesIn(ORACLE_SCENES),
                         [](const ::testing::TestParamInfo<OracleScene>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
