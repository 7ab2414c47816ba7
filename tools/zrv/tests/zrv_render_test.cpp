#include "zrvPacketTracer.h"
#include "zrvRenderer.h"
#include "zrvTestFiles.h"
#include "zrvTriangleRecord.h"

#include <gfxRTAccelerationStructureServices.h>
#include <zrvScenes.h>

#include <gtest/gtest.h>

namespace zrv {
namespace {

struct Scene {
    std::vector<triAccel> triangles;
    SceneStructure structure;

    void add(const test::TestMesh& mesh) {
        for (const auto& f : mesh.faces) {
            triAccel record;
            ASSERT_EQ(make_triangle_record(mesh.vertices[f[0]], mesh.vertices[f[1]],
                                           mesh.vertices[f[2]], static_cast<int>(triangles.size()),
                                           0, record),
                      TriangleCheck::ok);
            triangles.push_back(record);
        }
    }

    void build(AccelChoice choice = AccelChoice::kd) {
        BuildOutcome outcome;
        std::string error;
        ASSERT_TRUE(build_scene_structure(triangles, choice, 1, structure, outcome, error))
            << error;
    }
};

Image render(const Scene& scene, const Camera& camera, int threads, RenderStatistics& statistics) {
    RenderSettings settings;
    settings.threads = threads;
    Image image;
    std::string error;
    EXPECT_TRUE(render_image(scene.structure, scene.triangles.data(), scene.triangles.size(),
                             camera, settings, image, statistics, nullptr, error))
        << error;
    return image;
}

TEST(ZrvRender, SameImageForAnyThreadCount) {
    Scene scene;
    scene.triangles = scenes::benchmark_mesh(20000);
    scene.add(test::TestMesh().square({0, 0, -1.5f}, 3.0f).flip()); // seen from behind
    scene.build();
    Camera camera;
    std::string error;
    // Odd sizes leave partial packets and tiles at the right and bottom edges.
    ASSERT_TRUE(
        Camera::create({0.4f, 0.3f, 3.5f}, {0, 0, 0}, {0, 1, 0}, 50.0f, 71, 45, camera, error));
    RenderStatistics one;
    const Image single = render(scene, camera, 1, one);
    EXPECT_EQ(one.primary.rays, 71u * 45u);
    EXPECT_GT(one.shadow.rays, 0u);
    for (const int threads : {2, 3}) {
        RenderStatistics statistics;
        EXPECT_EQ(render(scene, camera, threads, statistics).rgb, single.rgb) << threads;
        EXPECT_EQ(statistics.shadow.rays, one.shadow.rays) << threads;
    }

    // Every structure sees the same image, but where a ray meets two
    // triangles at one distance and the structures report different ones.
    for (AccelChoice choice : {AccelChoice::bvh, AccelChoice::two_level}) {
        Scene other;
        other.triangles = scene.triangles;
        other.build(choice);
        RenderStatistics statistics;
        const Image image = render(other, camera, 3, statistics);
        int differing = 0;
        for (std::size_t i = 0; i < image.rgb.size(); i += 3)
            differing += image.rgb[i] != single.rgb[i] || image.rgb[i + 1] != single.rgb[i + 1] ||
                         image.rgb[i + 2] != single.rgb[i + 2];
        EXPECT_LE(differing, 2) << choice_name(choice);
    }
}

TEST(ZrvPacketTracer, SignAgreementIsCheckedOnActiveLanesOnly) {
    RayPacket rays;
    rays.direction.x = _mm_setr_ps(1.0f, 2.0f, -1.0f, 3.0f);
    rays.direction.y = _mm_setr_ps(-1.0f, -1.0f, -1.0f, -0.0f);
    rays.direction.z = _mm_setr_ps(0.0f, 0.5f, 0.5f, 0.5f);
    EXPECT_TRUE(same_direction_signs(rays, 0b0011));
    EXPECT_FALSE(same_direction_signs(rays, 0b0101)) << "x signs differ";
    EXPECT_TRUE(same_direction_signs(rays, 0b1010)) << "-0 has the sign bit set";
    EXPECT_TRUE(same_direction_signs(rays, 0b0100));
}

TEST(ZrvPacketTracer, IncoherentPacketsFindTheSameHitsAsSingleRays) {
    // Squares at z = -5, -4 (centred on x = -1) and +5 (facing the origin).
    Scene scene;
    scene.add(test::TestMesh().square({0, 0, -5}, 2.0f).square({-1, 0, -4}, 0.5f));
    scene.add(test::TestMesh().square({0, 0, 5}, 2.0f).flip());
    scene.build();
    RayPacket rays;
    rays.direction.x = _mm_setr_ps(0.1f, -0.2f, -0.2f, 0.3f);
    rays.direction.y = _mm_setr_ps(0.1f, 0.1f, -0.2f, 0.0f);
    rays.direction.z = _mm_setr_ps(-1.0f, -1.0f, 1.0f, -1.0f);
    rays.origin.x = rays.origin.y = rays.origin.z = _mm_setzero_ps();
    rays.active_mask = 0b1111;
    RenderState state{};
    HitPacket packet_hits;
    clear_hits(packet_hits);
    trace_packet(*scene.structure.kd, rays, packet_hits, state);
    EXPECT_EQ(rays.active_mask, 0b1111) << "restored";

    alignas(16) float t[4];
    alignas(16) int id[4];
    _mm_store_ps(t, packet_hits.t);
    _mm_store_si128(reinterpret_cast<__m128i*>(id), packet_hits.id);
    // Lane 1 meets the occluder at z = -4, lanes 0 and 3 the receiver at
    // z = -5 and lane 2 the square at z = +5.
    const float expected_t[4] = {5.0f, 4.0f, 5.0f, 5.0f};
    for (unsigned int lane = 0; lane < 4; ++lane) {
        RayPacket single = rays;
        single.active_mask = 1 << lane;
        HitPacket hits;
        clear_hits(hits);
        scene.structure.kd->traverse_tree(&single, &hits, lane, &state, no_distance_limit);
        alignas(16) int single_id[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(single_id), hits.id);
        EXPECT_EQ(id[lane], single_id[lane]) << "lane " << lane;
        EXPECT_GE(id[lane], 0) << "lane " << lane;
        EXPECT_NEAR(t[lane], expected_t[lane], 1e-4f) << "lane " << lane;
    }
    EXPECT_GE(id[2], 4) << "lane 2 looks towards +z and meets the third square";
}

} // namespace
} // namespace zrv
