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

// What a version produces on one scene, as bytes: the trees, then the hits.
struct VersionOutput {
    std::vector<unsigned char> trees, hits;
};

template <typename T> void append(std::vector<unsigned char>& out, const T* begin, const T* end) {
    out.insert(out.end(), reinterpret_cast<const unsigned char*>(begin),
               reinterpret_cast<const unsigned char*>(end));
}

VersionOutput run(gfxKernelLevel level, const std::vector<triAccel>& triangles,
                  const std::vector<RayPacket>& packets) {
    EXPECT_TRUE(gfxSetKernelLevel(level));
    VersionOutput r;
    const unsigned int n = unsigned(triangles.size());
    InspectableKDTree kd, compiled(2);
    EXPECT_TRUE(kd.create_tree_from_triAccel_list(triangles.data(), n));
    EXPECT_EQ(gfxRTAccelerationStructureServices::CompileKDTree(&compiled, 2, triangles.data(), n),
              0);
    // Nodes from the root (offset 8) on; the first 8 bytes are not used.
    append(r.trees, kd.node_array() + 8, kd.node_array() + kd.next_free_node());
    append(r.trees, kd.get_triAccel_array(), kd.get_triAccel_array() + kd.next_free_object());
    append(r.trees, compiled.node_array() + 8, compiled.node_array() + compiled.next_free_node());
    gfxRTBVH_triAccel bvh(triangles.data(), n);
    EXPECT_TRUE(bvh.build_tree(1));
    append(r.trees, bvh.get_node_array(), bvh.get_node_array() + bvh.get_number_of_nodes());
    append(r.trees, bvh.get_object_order(), bvh.get_object_order() + bvh.get_object_order_size());
    const TwoLevelScene two_level = make_two_level(triangles, 8, false, 1);

    for (unsigned int shadow = 0; shadow < 2; ++shadow) {
        const RenderState state{0, shadow};
        for (const RayPacket& p : packets) {
            HitPacket hits[3] = {empty_hits(), empty_hits(), empty_hits()};
            __m128i hit_object[2];
            host_trace(kd, p, state, hits[0]);
            for (int k = 0; k < 2; ++k) {
                RayPacket traced = p;
                const gfxRTBVH& tree = k == 0 ? static_cast<const gfxRTBVH&>(bvh) : *two_level.bvh;
                tree.traverse_tree(traced, hits[k + 1], hit_object[k], state, 1e30f);
            }
            append(r.hits, hits, hits + 3);
            append(r.hits, hit_object, hit_object + 2);
        }
    }
    return r;
}

// The version the processor calls for: x86-64-v4 on Intel's processors that
// have it, else x86-64-v3 where there is, else the baseline; asked of the
// compiler's own processor checks, not the library's.
gfxKernelLevel level_for_this_processor() {
    const char* forced = std::getenv("ZRV_FORCE_BASELINE");
    if (forced != nullptr && std::strcmp(forced, "") != 0 && std::strcmp(forced, "0") != 0)
        return GFX_KERNELS_SSE2;
    __builtin_cpu_init();
    const bool v3 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                    __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("movbe");
    const bool v4 = v3 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                    __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
                    __builtin_cpu_supports("avx512cd");
    if (v4 && __builtin_cpu_is("intel"))
        return GFX_KERNELS_X86_64_V4;
    return v3 ? GFX_KERNELS_X86_64_V3 : GFX_KERNELS_SSE2;
}

TEST(KernelDispatch, LoadTimeChoice) {
    EXPECT_EQ(level_at_load, level_for_this_processor());
    EXPECT_TRUE(gfxIsKernelLevelSupported(GFX_KERNELS_SSE2));
    // Each level needs the one below it; an unknown level is never run.
    if (gfxIsKernelLevelSupported(GFX_KERNELS_X86_64_V4))
        EXPECT_TRUE(gfxIsKernelLevelSupported(GFX_KERNELS_X86_64_V3));
    EXPECT_FALSE(gfxIsKernelLevelSupported(gfxKernelLevel(3)));
    EXPECT_FALSE(gfxSetKernelLevel(gfxKernelLevel(3)));
    EXPECT_EQ(gfxGetKernelLevel(), level_at_load);
    for (gfxKernelLevel level : {GFX_KERNELS_SSE2, GFX_KERNELS_X86_64_V3, GFX_KERNELS_X86_64_V4})
        if (gfxSetKernelLevel(level))
            EXPECT_EQ(gfxGetKernelLevel(), level);
    gfxSetKernelLevel(level_at_load);
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
    EXPECT_TRUE(base.trees == wide.trees);
    EXPECT_TRUE(base.hits == wide.hits);
}

INSTANTIATE_TEST_SUITE_P(Scenes, KernelDispatchScenes, ::testing::ValuesIn(ORACLE_SCENES),
                         SceneName());

} // namespace
