#include "zrvPacketTracer.h"
#include "zrvRenderer.h"
#include "zrvTestFiles.h"
#include "zrvTriangleRecord.h"

#include <gfxRTAccelerationStructureServices.h>
#include <zrvScenes.h>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace zrv {
namespace {

void add_mesh(std::vector<triAccel>& triangles, const test::TestMesh& mesh) {
    for (const auto& f : mesh.faces) {
        triAccel record;
        ASSERT_EQ(make_triangle_record(mesh.vertices[f[0]], mesh.vertices[f[1]],
                                       mesh.vertices[f[2]], static_cast<int>(triangles.size()), 0,
                                       record),
                  TriangleCheck::ok);
        triangles.push_back(record);
    }
}

// Reverses the winding of every face, turning the mesh's front side around.
test::TestMesh flipped(test::TestMesh mesh) {
    for (auto& f : mesh.faces)
        std::swap(f[1], f[2]);
    return mesh;
}

struct Scene {
    std::vector<triAccel> triangles;
    SceneStructure structure;

    void build(AccelChoice choice = AccelChoice::kd) {
        BuildOutcome outcome;
        std::string error;
        ASSERT_TRUE(build_scene_structure(triangles, choice, 1, structure, outcome, error))
            << error;
    }
};

// A square receiver of side 4 at z = -5 facing the camera at the origin, and
// a square occluder of side 1 at z = -4 centred on x = -1. The light comes
// from direction (-1, 0, 1): the occluder's shadow covers x and y in
// [-0.5, 0.5] on the receiver, clear of the occluder's own image.
Scene shadow_scene(bool receiver_faces_camera) {
    Scene scene;
    const test::TestMesh receiver = test::square_facing_z({0, 0, -5}, 2.0f);
    add_mesh(scene.triangles, receiver_faces_camera ? receiver : flipped(receiver));
    add_mesh(scene.triangles, test::square_facing_z({-1, 0, -4}, 0.5f));
    return scene;
}

constexpr int width = 64, height = 48;

Camera shadow_scene_camera() {
    Camera camera;
    std::string error;
    EXPECT_TRUE(
        Camera::create({0, 0, 0}, {0, 0, -1}, {0, 1, 0}, 60.0f, width, height, camera, error));
    return camera;
}

RenderSettings shadow_scene_settings(int threads) {
    RenderSettings settings;
    settings.threads = threads;
    settings.toward_light = Vec3(-1.0f, 0.0f, 1.0f);
    return settings;
}

Image render(const Scene& scene, const Camera& camera, const RenderSettings& settings,
             RenderStatistics& statistics) {
    Image image;
    std::string error;
    EXPECT_TRUE(render_image(scene.structure, scene.triangles.data(), scene.triangles.size(),
                             camera, settings, image, statistics, nullptr, error))
        << error;
    return image;
}

void expect_pixel(const Image& image, int x, int y, const Vec3& linear, const char* what) {
    const std::uint8_t* p = image.pixel(x, y);
    EXPECT_EQ(p[0], test::reference_srgb(linear.x)) << what;
    EXPECT_EQ(p[1], test::reference_srgb(linear.y)) << what;
    EXPECT_EQ(p[2], test::reference_srgb(linear.z)) << what;
}

void expect_shadow_scene_pixels(const Image& image) {
    const ShadingParameters shading;
    const Vec3 albedo = albedo_of(0);
    const double cosine = std::sqrt(0.5); // light at 45 degrees to the squares' normal
    const Vec3 lit =
        albedo * static_cast<float>(shading.ambient + shading.light_intensity * cosine);
    const Vec3 in_shadow = albedo * shading.ambient;
    // Pixel (32, 24) sees the receiver at x = 0.06, inside the shadow.
    expect_pixel(image, 32, 24, in_shadow, "shadow on the receiver");
    expect_pixel(image, 31, 23, in_shadow, "shadow on the receiver");
    // Pixel (42, 24) sees the receiver at x = 1.14, in the light.
    expect_pixel(image, 42, 24, lit, "lit receiver");
    // Pixel (21, 24) sees the occluder at x = -1.01.
    expect_pixel(image, 21, 24, lit, "lit occluder");
    // The corners look past the receiver.
    expect_pixel(image, 0, 0, shade_background(0, height, shading), "background, top");
    expect_pixel(image, 63, 47, shade_background(47, height, shading), "background, bottom");
}

TEST(ZrvRender, LitQuadWithTheShadowOfASecondQuad) {
    Scene scene = shadow_scene(true);
    scene.build();
    RenderStatistics statistics;
    const Image image = render(scene, shadow_scene_camera(), shadow_scene_settings(2), statistics);
    ASSERT_EQ(image.width, width);
    ASSERT_EQ(image.height, height);
    expect_shadow_scene_pixels(image);

    // Every surface pixel faces the light, so each sent one shadow ray.
    std::uint64_t surface_pixels = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* p = image.pixel(x, y);
            const std::uint8_t* bg = image.pixel(0, y);
            surface_pixels += !(p[0] == bg[0] && p[1] == bg[1] && p[2] == bg[2]);
        }
    EXPECT_EQ(statistics.primary.rays, static_cast<std::uint64_t>(width * height));
    EXPECT_EQ(statistics.shadow.rays, surface_pixels);
    EXPECT_GT(surface_pixels, 0u);
}

TEST(ZrvRender, SurfacesSeenFromBehindAreShadedLikeTheirFront) {
    Scene scene = shadow_scene(false);
    scene.build();
    RenderStatistics statistics;
    expect_shadow_scene_pixels(
        render(scene, shadow_scene_camera(), shadow_scene_settings(1), statistics));
}

TEST(ZrvRender, SameImageForAnyThreadCount) {
    Scene scene;
    scene.triangles = scenes::benchmark_mesh(20000);
    add_mesh(scene.triangles, flipped(test::square_facing_z({0, 0, -1.5f}, 3.0f)));
    for (std::size_t i = 0; i < scene.triangles.size(); ++i)
        scene.triangles[i].triangle_id = static_cast<int>(i);
    scene.build();
    Camera camera;
    std::string error;
    // Odd sizes leave partial packets and tiles at the right and bottom edges.
    ASSERT_TRUE(
        Camera::create({0.4f, 0.3f, 3.5f}, {0, 0, 0}, {0, 1, 0}, 50.0f, 71, 45, camera, error));
    RenderSettings settings;
    settings.threads = 1;
    RenderStatistics one, two, three;
    const Image single = render(scene, camera, settings, one);
    settings.threads = 2;
    const Image pair = render(scene, camera, settings, two);
    settings.threads = 3;
    const Image triple = render(scene, camera, settings, three);
    EXPECT_EQ(single.rgb, pair.rgb);
    EXPECT_EQ(single.rgb, triple.rgb);
    EXPECT_EQ(one.primary.rays, 71u * 45u);
    EXPECT_EQ(two.shadow.rays, one.shadow.rays);
    EXPECT_GT(one.shadow.rays, 0u);

    // Every structure sees the same image, but where a ray meets two
    // triangles at one distance and the structures report different ones.
    for (AccelChoice choice : {AccelChoice::bvh, AccelChoice::two_level}) {
        Scene other;
        other.triangles = scene.triangles;
        other.build(choice);
        const Image image = render(other, camera, settings, three);
        int differing = 0;
        for (std::size_t i = 0; i < image.rgb.size(); i += 3)
            differing += image.rgb[i] != single.rgb[i] || image.rgb[i + 1] != single.rgb[i + 1] ||
                         image.rgb[i + 2] != single.rgb[i + 2];
        EXPECT_LE(differing, 2) << choice_name(choice);
    }
}

TEST(ZrvRender, AmbientOcclusionDarkensACornerNotAnOpenPlane) {
    // A floor (y = 0, facing up) with a wall (x = 0, facing +x) standing on
    // it, seen from above and to the right.
    Scene scene;
    test::TestMesh floor = test::square_facing_z({0, 0, 0}, 4.0f);
    for (Vec3& v : floor.vertices)
        v = Vec3(v.x, -v.z, -v.y); // z-facing square turned to face +y
    test::TestMesh wall = test::square_facing_z({0, 0, 0}, 4.0f);
    for (Vec3& v : wall.vertices)
        v = Vec3(-v.z, v.y + 4.0f, v.x); // turned to face +x, standing on the floor
    add_mesh(scene.triangles, floor);
    add_mesh(scene.triangles, wall);
    scene.build();
    Camera camera;
    std::string error;
    ASSERT_TRUE(
        Camera::create({6, 5, 0}, {1, 0, 0}, {0, 1, 0}, 60.0f, width, height, camera, error));
    RenderSettings settings = shadow_scene_settings(2);
    settings.toward_light = Vec3(1.0f, 1.0f, 0.2f);
    RenderStatistics plain_statistics, ao_statistics;
    const Image plain = render(scene, camera, settings, plain_statistics);
    settings.ao_samples = 16;
    settings.ao_distance = 1.0f;
    const Image occluded = render(scene, camera, settings, ao_statistics);
    EXPECT_GT(ao_statistics.ambient_occlusion.rays, 12u * ao_statistics.shadow.rays / 2);

    // The image's rows run along the wall's foot, which lies four rows above
    // the centre: there the hemisphere is half blocked. The bottom rows see
    // the floor three units from the wall, farther than the occlusion distance.
    const int corner = 3 * (20 * width + width / 2), open = 3 * ((height - 2) * width + width / 2);
    for (int c = 0; c < 3; ++c) {
        EXPECT_LT(occluded.rgb[corner + c], plain.rgb[corner + c]) << "channel " << c;
        EXPECT_EQ(occluded.rgb[open + c], plain.rgb[open + c]) << "channel " << c;
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
    Scene scene = shadow_scene(true);
    add_mesh(scene.triangles, flipped(test::square_facing_z({0, 0, 5}, 2.0f)));
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
