// zrv's pieces called in process: the command line, the camera, the run's
// report, the progress bar and the colours of pixels.
#include "AllocationFaults.h"
#include "zrvCamera.h"
#include "zrvMeshLoader.h"
#include "zrvOptions.h"
#include "zrvPlacements.h"
#include "zrvProgressBar.h"
#include "zrvPacketTracer.h"
#include "zrvReport.h"
#include "zrvSceneStructure.h"
#include "zrvShading.h"
#include "zrvTestFiles.h"
#include "zrvTriangleRecord.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <tuple>
#include <vector>

namespace zrv {
namespace {

ParseResult parse(std::vector<const char*> args) {
    args.insert(args.begin(), "zrv");
    return parse_command_line(static_cast<int>(args.size()), args.data());
}

// The zrv executable's tests give the other options, in both spellings.
TEST(ZrvOptions, ReadsDefaultsMeshNamesAfterDoubleDashAndHelp) {
    const ParseResult defaults = parse({"render"});
    ASSERT_EQ(defaults.status, ParseStatus::run);
    EXPECT_TRUE(defaults.options.mesh_path.empty());
    EXPECT_EQ(defaults.options.output_path, "zrv.png");
    EXPECT_EQ(std::pair(defaults.options.width, defaults.options.height), std::pair(1280, 720));
    const ParseResult dashed = parse({"render", "--", "-m.obj"});
    ASSERT_EQ(dashed.status, ParseStatus::run) << dashed.error;
    EXPECT_EQ(dashed.options.mesh_path, "-m.obj");
    const ParseResult general = parse({"--help"}), build = parse({"build", "x.obj", "-h"});
    EXPECT_EQ(std::pair(general.status, general.command_given),
              std::pair(ParseStatus::help, false));
    EXPECT_EQ(std::pair(build.status, build.command_given), std::pair(ParseStatus::help, true));
    EXPECT_EQ(build.options.command, Command::build);
    EXPECT_TRUE(test::holds(usage_text(), "usage: zrv render [MESH] [options]\n"
                                          "       zrv build [MESH] -o FILE [options]\n"));
}

// One command line per message.
TEST(ZrvOptions, RejectsBadCommandsAndValues) {
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{}, "no command given (try 'zrv render --help')"},
        {{"draw"}, "unknown command 'draw' (the commands are render, build and inspect)"},
        {{"render", "a.obj", "b.obj"}, "more than one mesh given ('a.obj' and 'b.obj')"},
        {{"render", "--colour", "red"}, "unknown option '--colour' for zrv render"},
        {{"render", "--width"}, "option --width needs a value"},
        {{"render", "-o", ""}, "the path given with -o is empty"},
        {{"render", "--accel", "octree"},
         "invalid value 'octree' for --accel: expected auto, kd, bvh, two-level or wide"},
        {{"render", "--ao", "12"},
         "invalid value '12' for --ao: expected 8, 16, 36, 64 or 128 samples"},
        {{"render", "--ao-distance", "0"},
         "invalid value '0' for --ao-distance: expected a distance greater than 0"},
        {{"render", "--tree", "t.zrv", "--accel", "bvh"},
         "--tree loads a built structure: --accel and --build-threads do not apply"},
        {{"build"}, "zrv build needs the tree file to write (-o FILE)"},
        {{"render", "--width", "12px"},
         "invalid value '12px' for --width: expected an integer from 1 to 16384"},
        {{"render", "--build-threads=0"},
         "invalid value '0' for --build-threads: expected a thread count from 1 to 64"},
        {{"render", "--fov", "nan"},
         "invalid value 'nan' for --fov: expected degrees greater than 0 and less than 180"},
        {{"render", "--look-at", "1,inf,3"},
         "invalid value '1,inf,3' for --look-at: expected three finite numbers x,y,z"},
        {{"render", "--light", "0,0,0"},
         "invalid value '0,0,0' for --light: expected a non-zero direction x,y,z"},
        {{"render", "--eye", "1,1,1", "--look-at", "1,1,1"},
         "--eye and --look-at are the same point"},
    };
    for (const auto& [args, message] : cases) {
        const ParseResult result = parse(args);
        EXPECT_EQ(result.status, ParseStatus::error) << message;
        EXPECT_EQ(result.error, message);
    }
}

constexpr float pi = 3.14159265358979f;

TEST(ZrvCamera, ImageEdgesLieAtHalfTheFieldOfView) {
    // Looking down -z from z = 5: right is +x, up is +y.
    Camera camera;
    std::string error;
    ASSERT_TRUE(Camera::create({0, 0, 5}, {0, 0, 0}, {0, 1, 0}, 60.0f, 200, 100, camera, error));
    const auto angle = [&](float x, float y) {
        return std::acos(-normalize(camera.direction(x, y)).z);
    };
    EXPECT_NEAR(length(camera.direction(100.0f, 50.0f) - Vec3(0, 0, -1)), 0.0f, 1e-6f);
    EXPECT_NEAR(angle(100.0f, 0.0f), pi / 6.0f, 1e-5f);
    EXPECT_NEAR(angle(200.0f, 50.0f), std::atan(std::tan(pi / 6.0f) * 2.0f), 1e-5f); // aspect 2
    // Pixel (0, 0) lies top left, its centre mirrors the last pixel's.
    const Vec3 first = camera.pixel_direction(0, 0), last = camera.pixel_direction(199, 99);
    EXPECT_TRUE(first.x < 0.0f && first.y > 0.0f);
    EXPECT_NEAR(length(first), 1.0f, 1e-6f);
    EXPECT_NEAR(length(first + last - Vec3(0, 0, 2 * first.z)), 0.0f, 1e-6f);
}

// A primary packet's directions are the pixels' own, bit for bit, so that
// images do not depend on how the renderer groups its rays.
TEST(ZrvCamera, BlockDirectionsAreThePixelDirections) {
    Camera camera;
    std::string error;
    ASSERT_TRUE(Camera::create({1.5f, -2, 7}, {0.3f, 0.1f, -1}, {0, 1, 0.2f}, 38.0f, 37, 23, camera,
                               error));
    const float scale = 12.375f;
    for (int y = 0; y < 23; y += 2)
        for (int x = 0; x < 37; x += 2) {
            __m128 d[3];
            camera.block_directions(x, y, scale, d[0], d[1], d[2]);
            alignas(16) float lanes[3][4];
            for (int a = 0; a < 3; ++a)
                _mm_store_ps(lanes[a], d[a]);
            for (int k = 0; k < 4; ++k) {
                const Vec3 e = camera.pixel_direction(x + (k & 1), y + (k >> 1)) * scale;
                const float expected[3] = {e.x, e.y, e.z};
                for (int a = 0; a < 3; ++a)
                    ASSERT_EQ(std::memcmp(&lanes[a][k], &expected[a], sizeof(float)), 0)
                        << "pixel " << x + (k & 1) << ", " << y + (k >> 1) << " axis " << a;
            }
        }
}

TEST(ZrvCamera, DefaultFramingShowsTheWholeSceneFromTheFrontRightAndAbove) {
    const Bounds box{{-10, 0, -4}, {30, 2, 4}, false};
    // Landscape, portrait (the horizontal angle limits) and z up.
    const struct {
        Vec3 up;
        float fov;
        int w, h;
    } views[] = {
        {{0, 1, 0}, 45.0f, 1280, 720}, {{0, 1, 0}, 45.0f, 300, 900}, {{0, 0, 1}, 20.0f, 64, 48}};
    for (const auto& [up, fov, w, h] : views) {
        const Vec3 eye = Camera::framing_eye(box, up, fov, w, h);
        const Vec3 forward = normalize(box.centre() - eye);
        const Vec3 right = normalize(cross(forward, up));
        const Vec3 cam_up = cross(right, forward);
        const float tan_v = std::tan(0.5f * fov * pi / 180.0f);
        for (int corner = 0; corner < 8; ++corner) {
            const Vec3 d =
                Vec3(corner & 1 ? box.max.x : box.min.x, corner & 2 ? box.max.y : box.min.y,
                     corner & 4 ? box.max.z : box.min.z) -
                eye;
            const float depth = dot(d, forward);
            ASSERT_GT(depth, 0.0f);
            EXPECT_LE(std::fabs(dot(d, right)) / depth, tan_v * w / h) << "corner " << corner;
            EXPECT_LE(std::fabs(dot(d, cam_up)) / depth, tan_v) << "corner " << corner;
        }
        EXPECT_GT(dot(eye - box.centre(), up), 0.0f) << "seen from above";
    }
    const Vec3 eye = Camera::framing_eye(box, {0, 1, 0}, 45.0f, 1280, 720) - box.centre();
    EXPECT_TRUE(eye.x > 0 && eye.z > 0) << "from the right and the front (+z)";
}

using Json = nlohmann::json;

RunReport sample_report() {
    RunReport r;
    r.mesh = "models/\"odd\"\\name.obj";
    r.output = "out.png";
    r.structure_reason = "the KD-tree's largest leaf holds 9 triangles (at most 1024)";
    std::tie(r.width, r.height, r.triangles, r.dropped_non_finite, r.dropped_degenerate) =
        std::tuple(64, 48, 1000000, 2, 1);
    r.placed = PlacedFigures{3, 12, 48000};
    std::tie(r.load_seconds, r.build_threads, r.build_seconds, r.library_build_seconds) =
        std::tuple(0.25, 2, 1.5, 2.75);
    std::tie(r.tree.nodes, r.tree.leaves, r.tree.empty_leaves, r.tree.depth) =
        std::tuple(4001, 2001, 300, 37);
    r.tree.max_objects_per_leaf = 9;
    r.tree.average_objects_per_leaf = 3.125;
    // The render's wall-clock share: 0.25 s a thread-second. No shadow work:
    // the rate is 0, not infinite.
    std::tie(r.render_threads, r.render.seconds, r.render.worker_thread_seconds) =
        std::tuple(2, 0.5, 2.0);
    r.render.primary = {3072, 0.004};
    r.render.shadow = {1000, 0.0};
    r.render.ambient_occlusion = {50000, 0.5};
    std::tie(r.ao_samples, r.ao_distance) = std::tuple(16, 0.5);
    return r;
}

template <typename Write> std::string written(Write write, const RunReport& report) {
    std::ostringstream out;
    write(out, report);
    return out.str();
}

TEST(ZrvReport, JsonHoldsEveryFigureOnOneLine) {
    const std::string line = written(write_json_report, sample_report());
    EXPECT_EQ(
        line,
        R"({"command":"render","scene":"models/\"odd\"\\name.obj",)"
        R"("mesh":"models/\"odd\"\\name.obj","output":"out.png","triangles":1000000,)"
        R"("meshes":3,"instances":12,"triangles_placed":48000,"dropped_non_finite":2,)"
        R"("dropped_degenerate":1,"load_seconds":0.25,"accel":"auto",)"
        R"("structure":"kd","structure_reason":"the KD-tree's largest leaf holds 9 triangles )"
        R"j((at most 1024)","build_threads":2,"compile_code":0,"build_seconds":1.5,)j"
        R"("library_build_seconds":2.75,"tree_file":null,"tree_load_seconds":0,)"
        R"("tree":{"nodes":4001,"leaves":2001,"empty_leaves":300,"depth":37,)"
        R"("average_objects_per_leaf":3.125,"max_objects_per_leaf":9,"kd_trees":0,)"
        R"("mesh_trees":0,"blocks":null,"bytes":null,"triangles_left_out":0},)"
        R"("width":64,"height":48,"render_threads":2,"render_seconds":0.5,)"
        R"("worker_thread_seconds":2,"ao_samples":16,"ao_distance":0.5,)"
        R"("primary_rays":3072,"primary_seconds":0.001,"primary_thread_seconds":0.004,)"
        R"("primary_mrays_per_second":3.072,"primary_mrays_per_thread_second":0.768,)"
        R"("shadow_rays":1000,"shadow_seconds":0,"shadow_thread_seconds":0,)"
        R"("shadow_mrays_per_second":0,"shadow_mrays_per_thread_second":0,)"
        R"("ao_rays":50000,"ao_seconds":0.125,"ao_thread_seconds":0.5,)"
        R"("ao_mrays_per_second":0.4,"ao_mrays_per_thread_second":0.1})"
        "\n");
    EXPECT_EQ(Json::parse(line)["mesh"], "models/\"odd\"\\name.obj");

    // The default scene has a null mesh and no placements; NaN is not JSON.
    RunReport r = sample_report();
    r.mesh.clear();
    r.placed.reset();
    r.render.seconds = std::nan("");
    const Json json = Json::parse(written(write_json_report, r));
    EXPECT_TRUE(json["mesh"].is_null());
    for (const char* key : {"meshes", "instances", "triangles_placed"})
        EXPECT_TRUE(json[key].is_null()) << key;
    EXPECT_EQ(json["scene"], "default scene");
    EXPECT_EQ(json["render_seconds"], 0);
    EXPECT_EQ(json_quote("a\tb\n\x01\"\\"), "\"a\\tb\\n\\u0001\\\"\\\\\"");
}

TEST(ZrvReport, TextNamesTheFiguresAUserLooksFor) {
    EXPECT_EQ(written(write_text_report, sample_report()),
              "scene        models/\"odd\"\\name.obj\n"
              "triangles    1000000 (3 dropped), loaded in 0.250 s\n"
              "instances    3 meshes, 12 instances, 48,000 triangles placed\n"
              "structure    kd (auto: the KD-tree's largest leaf holds 9 "
              "triangles (at most 1024))\n"
              "build        1.500 s on 2 threads\n"
              "tree         4001 nodes, 2001 leaves (300 empty), depth 37, 3.12 "
              "triangles per leaf (max 9)\n"
              "render       64x48 in 0.500 s on 2 threads\n"
              "primary rays 3072, 3.07 Mrays/s (0.77 per thread-second)\n"
              "shadow rays  1000, 0.00 Mrays/s (0.00 per thread-second)\n"
              "ao rays      50000, 0.40 Mrays/s (0.10 per thread-second)\n"
              "wrote        out.png\n");

    RunReport r = sample_report();
    r.structure = "wide";
    r.tree.max_objects_per_leaf.reset();
    r.tree.blocks = 512;
    r.tree.bytes = 123456;
    r.tree.triangles_left_out = 2;
    EXPECT_TRUE(test::holds(written(write_text_report, r),
                            "tree         4001 nodes, 2001 leaves in 512 blocks, depth 37, 3.12 "
                            "triangles per leaf, 123456 bytes, 2 triangles left out\n"));
    const Json json = Json::parse(written(write_json_report, r))["tree"];
    EXPECT_TRUE(json["max_objects_per_leaf"].is_null());
    EXPECT_EQ(std::tuple(json["blocks"], json["bytes"], json["triangles_left_out"]),
              std::tuple(512, 123456, 2));

    r = sample_report();
    r.accel = "wide";
    r.structure = "wide-scene";
    r.placed = PlacedFigures{1, 1, 1234567};
    r.tree.mesh_trees = 1;
    const std::string scene = written(write_text_report, r);
    EXPECT_TRUE(test::holds(scene, "instances    1 mesh, 1 instance, 1,234,567 triangles placed\n"
                                   "structure    wide-scene\n"));
    EXPECT_TRUE(
        test::holds(scene, "tree         1 mesh tree of 4001 nodes, 2001 leaves, depth 37"));
    r.placed.reset();
    r.tree.mesh_trees = 2;
    EXPECT_FALSE(test::holds(written(write_text_report, r), "instances"));
    EXPECT_TRUE(test::holds(written(write_text_report, r), "tree         2 mesh trees of "));
    for (const auto& [n, text] : {std::pair<std::size_t, std::string>{0, "0"},
                                  {999, "999"},
                                  {1000, "1,000"},
                                  {100000, "100,000"},
                                  {18446744073709551615u, "18,446,744,073,709,551,615"}})
        EXPECT_EQ(with_thousands(n), text);

    r = sample_report();
    r.compile_code = 3;
    r.build_threads = 1;
    EXPECT_TRUE(test::holds(written(write_text_report, r),
                            "build        1.500 s on 1 thread (parallel build fell back to serial: "
                            "a subtree failed)\n"));
}

// A receiver of side 4 at z = -5 (triangles 0 and 1) and an occluder of side
// 1 at z = -4 centred on x = -1 (triangles 2 and 3), seen from the origin.
// Lane 0 meets the receiver at t = 5, lane 1 the occluder at t = 1, lane 2
// nothing; lane 3 would meet the occluder but is not active.
TEST(ZrvSceneStructure, EveryKindFindsTheSameHitsAndOccludersOfAPacket) {
    std::vector<triAccel> triangles(4);
    const Vec3 corners[2][4] = {
        {{-2, -2, -5}, {2, -2, -5}, {2, 2, -5}, {-2, 2, -5}},
        {{-1.5f, -0.5f, -4}, {-0.5f, -0.5f, -4}, {-0.5f, 0.5f, -4}, {-1.5f, 0.5f, -4}}};
    for (int i = 0; i < 4; ++i) {
        const Vec3* c = corners[i / 2];
        ASSERT_EQ(make_triangle_record(c[0], c[1 + i % 2], c[2 + i % 2], i, 0, triangles[i]),
                  TriangleCheck::ok);
    }
    alignas(16) const float dx[4] = {0.3f, -1.0f, 3.0f, -1.0f}, dy[4] = {0.1f, 0.2f, 0.0f, 0.2f},
                            dz[4] = {-1.0f, -4.0f, -1.0f, -4.0f};
    RayPacket rays;
    rays.origin = sse_vec{_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
    rays.direction = sse_vec{_mm_load_ps(dx), _mm_load_ps(dy), _mm_load_ps(dz)};
    rays.host_value = _mm_setzero_ps();
    rays.host_word = 0;
    rays.active_mask = 0b0111;
    RenderState state{}, shadow{};
    shadow.shadow_rays = 1;
    // Any structure: lane 0 at t = 5, lane 1 at t = 1, the others untouched.
    const auto expect_answers = [&](const SceneStructure& structure, const HitPacket& hits,
                                    const std::vector<int>& ids) {
        alignas(16) float t[4];
        alignas(16) int id[4];
        _mm_store_ps(t, hits.t);
        _mm_store_si128(reinterpret_cast<__m128i*>(id), hits.id);
        EXPECT_EQ(std::vector<int>(id, id + 4), ids);
        EXPECT_NEAR(t[0], 5.0f, 1e-5f);
        EXPECT_NEAR(t[1], 1.0f, 1e-5f);
        EXPECT_EQ(t[3], no_distance_limit);
        EXPECT_EQ(structure.occluded(rays, shadow, no_distance_limit), 0b0011);
        EXPECT_EQ(structure.occluded(rays, shadow, 3.0f), 0b0010);
        EXPECT_EQ(structure.occluded(rays, shadow, 0.5f), 0);
        EXPECT_EQ(rays.active_mask, 0b0111);
        const Bounds box = structure.bounds();
        EXPECT_FALSE(box.empty);
        EXPECT_NEAR(box.diagonal(), length(Vec3(4, 4, 1)), 1e-3f);
    };

    for (const AccelChoice choice :
         {AccelChoice::kd, AccelChoice::bvh, AccelChoice::two_level, AccelChoice::wide}) {
        SCOPED_TRACE(choice_name(choice));
        SceneStructure structure;
        BuildOutcome outcome;
        std::string error;
        ASSERT_TRUE(build_scene_structure(triangles, choice, 2, structure, outcome, error));
        EXPECT_EQ(kind_name(structure.kind), std::string(choice_name(choice)));
        HitPacket hits;
        clear_hits(hits);
        structure.trace(rays, hits, state, no_distance_limit);
        expect_answers(structure, hits, {0, 3, -1, -1});
    }

    // Each allocation of every kind of build failed in turn, up to the last
    // (the two-level build makes about 850): the build fails with zrv's one
    // line, or builds the same answers.
    for (const AccelChoice choice :
         {AccelChoice::kd, AccelChoice::bvh, AccelChoice::two_level, AccelChoice::wide}) {
        SCOPED_TRACE(choice_name(choice));
        int failed_builds = 0;
        bool past_the_last_allocation = false;
        for (int skip = 0; skip < 2048 && !past_the_last_allocation; ++skip) {
            SceneStructure structure;
            BuildOutcome outcome;
            std::string error;
            bool built = false;
            int injected = 0;
            {
                AllocationFaultRule rule;
                rule.skip = skip;
                AllocationFaults faults(rule);
                built = build_scene_structure(triangles, choice, 2, structure, outcome, error);
                injected = faults.injected();
            }
            past_the_last_allocation = injected == 0;
            if (past_the_last_allocation)
                break;
            if (!built) {
                ++failed_builds;
                EXPECT_EQ(error, std::string("building the ") + choice_name(choice) +
                                     " structure failed (out of memory?)");
                continue;
            }
            HitPacket hits;
            clear_hits(hits);
            structure.trace(rays, hits, state, no_distance_limit);
            expect_answers(structure, hits, {0, 3, -1, -1});
        }
        EXPECT_TRUE(past_the_last_allocation);
        EXPECT_GE(failed_builds, 2);
    }

    // The same squares as a wide scene: the receiver placed as it is, the
    // occluder made about the origin and moved into place; ids are positions
    // in each mesh, beside the instance.
    LoadedMesh mesh;
    mesh.meshes = {{triangles[0], triangles[1]}, {triangles[2], triangles[3]}};
    for (int i = 0; i < 2; ++i) {
        triAccel& t = mesh.meshes[1][i];
        t.triangle_id = i;
        for (float* v : {t.vertex0, t.vertex1, t.vertex2}) {
            v[0] += 1.0f;
            v[2] += 4.0f;
        }
    }
    mesh.placements.resize(2);
    mesh.placements[1].mesh = 1;
    mesh.placements[1].transform[3] = -1.0f;
    mesh.placements[1].transform[11] = -4.0f;
    SceneStructure structure;
    BuildOutcome outcome;
    std::string error;
    ASSERT_TRUE(build_wide_scene(mesh, true, 2, structure, outcome, error)) << error;
    EXPECT_EQ(kind_name(structure.kind), std::string("wide-scene"));
    EXPECT_EQ(outcome.reason,
              "a mesh is placed more than once: each mesh's wide BVH is built once and instanced");
    HitPacket hits;
    clear_hits(hits);
    __m128i hit_instance;
    structure.trace(rays, hits, hit_instance, state, no_distance_limit);
    expect_answers(structure, hits, {0, 1, -1, -1});
    alignas(16) int instance[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(instance), hit_instance);
    EXPECT_EQ(std::vector<int>(instance, instance + 4), (std::vector<int>{0, 1, -1, -1}));
    const StructureFigures figures = structure.figures();
    EXPECT_EQ(std::pair(figures.mesh_trees, figures.leaves), std::pair(2u, 2u));
    EXPECT_EQ(figures.bytes, structure.scene->memory_bytes());

    // A placement the scene cannot invert is refused in one line.
    mesh.placements[1].transform[0] = 0.0f;
    EXPECT_FALSE(build_wide_scene(mesh, false, 2, structure, outcome, error));
    EXPECT_EQ(error, std::string("cannot place instance 1 in the wide scene: ") +
                         gfxRTWideInstanceResultText(GFX_WIDE_INSTANCE_SINGULAR_TRANSFORM) +
                         " (--flatten renders it flattened)");
}

// A 4x4 matrix in glTF's column-major order from its rows, the last row
// being 0 0 0 1.
std::array<float, 16> gltf_matrix(const std::array<double, 12>& rows) {
    std::array<float, 16> m{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            m[4 * c + r] = float(rows[4 * r + c]);
    m[15] = 1.0f;
    return m;
}

// a * b for 3x4 row-major affine maps, in double.
std::array<double, 12> compose(const std::array<double, 12>& a, const std::array<double, 12>& b) {
    std::array<double, 12> m{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            m[4 * r + c] = a[4 * r] * b[c] + a[4 * r + 1] * b[4 + c] + a[4 * r + 2] * b[8 + c] +
                           (c == 3 ? a[4 * r + 3] : 0.0);
    return m;
}

// Node 1 places mesh A moved, its child 3 places A again turned and
// scaled, node 2 places mesh B (one usable and one degenerate triangle),
// and node 5 under the mesh-less node 4 places A mirrored. Every entry and
// product is exact in float, so the placements must match to the bit.
TEST(ZrvMeshLoader, PlacesEachMeshOncePerNodeWithTheTransformsAccumulatedDownTheTree) {
    const test::TestMesh a = test::TestMesh().square({0, 0, 0}, 1.0f);
    test::TestMesh b;
    b.vertices = {{0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {2, 2, 2}};
    b.faces = {{0, 1, 2}, {0, 3, 3}};
    const std::array<double, 12> moved = {1, 0, 0, 10, 0, 1, 0, -2, 0, 0, 1, 0.5},
                                 turned = {0, -2, 0, 1, 2, 0, 0, 0, 0, 0, 0.5, 3},
                                 up = {1, 0, 0, 0, 0, 1, 0, 5, 0, 0, 1, 0},
                                 mirrored = {-1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, -4};
    std::vector<test::GltfNode> nodes(6);
    nodes[0].children = {1, 2, 4};
    nodes[1] = {gltf_matrix(moved), 0, {3}};
    nodes[2] = {gltf_matrix(up), 1, {}};
    nodes[3] = {gltf_matrix(turned), 0, {}};
    nodes[4].children = {5};
    nodes[5] = {gltf_matrix(mirrored), 0, {}};
    test::TempDir dir;
    test::write_gltf(dir.file("placed.gltf"), {a, b}, nodes);

    LoadedMesh mesh;
    std::string error;
    ASSERT_TRUE(load_mesh(dir.file("placed.gltf"), mesh, error)) << error;
    ASSERT_EQ(mesh.meshes.size(), 2u);
    ASSERT_EQ(mesh.meshes[0].size(), 2u);
    ASSERT_EQ(mesh.meshes[1].size(), 1u);
    EXPECT_EQ(std::pair(mesh.dropped_non_finite, mesh.dropped_degenerate),
              std::pair(std::size_t(0), std::size_t(1)));
    for (unsigned int m = 0; m < 2; ++m)
        for (std::size_t i = 0; i < mesh.meshes[m].size(); ++i)
            EXPECT_EQ(std::pair(mesh.meshes[m][i].triangle_id, mesh.meshes[m][i].host_word),
                      std::pair(int(i), m));
    EXPECT_TRUE(mesh.triangles.empty()) << "flattened only on request";
    EXPECT_TRUE(mesh.has_repeated_mesh());
    EXPECT_EQ(mesh.placed_triangle_count(), 7u);

    const std::pair<unsigned int, std::array<double, 12>> want[] = {
        {0, moved}, {0, compose(moved, turned)}, {1, up}, {0, mirrored}};
    ASSERT_EQ(mesh.placements.size(), 4u);
    for (std::size_t p = 0; p < 4; ++p) {
        SCOPED_TRACE(p);
        EXPECT_EQ(mesh.placements[p].mesh, want[p].first);
        for (int k = 0; k < 12; ++k)
            EXPECT_EQ(mesh.placements[p].transform[k], float(want[p].second[k])) << k;
    }

    // Flattened: each placement's triangles in world space, in order; the
    // box without flattening is the flattened triangles' box.
    ASSERT_TRUE(flatten_mesh(mesh, error)) << error;
    ASSERT_EQ(mesh.triangles.size(), 7u);
    EXPECT_EQ(mesh.dropped_degenerate, 1u);
    std::size_t next = 0;
    for (std::size_t p = 0; p < 4; ++p) {
        const std::array<double, 12>& m = want[p].second;
        for (const triAccel& object : mesh.meshes[want[p].first]) {
            const triAccel& world = mesh.triangles[next];
            EXPECT_EQ(world.triangle_id, int(next));
            EXPECT_EQ(world.host_word, object.host_word);
            for (int corner = 0; corner < 3; ++corner) {
                const float* v = (&object.vertex0)[corner];
                const float* w = (&world.vertex0)[corner];
                for (int r = 0; r < 3; ++r)
                    EXPECT_EQ(w[r], float(m[4 * r] * v[0] + m[4 * r + 1] * v[1] +
                                          m[4 * r + 2] * v[2] + m[4 * r + 3]));
            }
            ++next;
        }
    }
    const Bounds placed = placed_bounds(mesh),
                 flat = bounds_of(mesh.triangles.data(), mesh.triangles.size());
    EXPECT_EQ(std::tuple(placed.min.x, placed.min.y, placed.min.z, placed.max.x, placed.max.y,
                         placed.max.z),
              std::tuple(flat.min.x, flat.min.y, flat.min.z, flat.max.x, flat.max.y, flat.max.z));
    EXPECT_EQ(std::pair(placed.min.x, placed.max.z), std::pair(-1.0f, 3.5f));
}

// Random affine maps, mirrors and shears among them: the normal carried by
// the inverse's transpose is the carried triangle's normal, up to the sign
// of the map's determinant (a mirror turns the corners' winding).
TEST(ZrvPlacements, CarriedNormalsAreTheCarriedTrianglesNormals) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> entry(-2.0f, 2.0f);
    int mirrors = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        float m[12], inverse[12];
        for (float& e : m)
            e = entry(random);
        double lin[3][3];
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                lin[r][c] = m[4 * r + c];
        const double det = lin[0][0] * (lin[1][1] * lin[2][2] - lin[1][2] * lin[2][1]) -
                           lin[0][1] * (lin[1][0] * lin[2][2] - lin[1][2] * lin[2][0]) +
                           lin[0][2] * (lin[1][0] * lin[2][1] - lin[1][1] * lin[2][0]);
        if (std::fabs(det) < 0.05 || !gfxRTWideScene::invert_transform(m, inverse))
            continue;
        mirrors += det < 0.0;
        triAccel object, world;
        const Vec3 corners[3] = {{entry(random), entry(random), entry(random)},
                                 {entry(random), entry(random), entry(random)},
                                 {entry(random), entry(random), entry(random)}};
        if (make_triangle_record(corners[0], corners[1], corners[2], 0, 0, object) !=
                TriangleCheck::ok ||
            length(cross(corners[1] - corners[0], corners[2] - corners[0])) < 0.05f ||
            place_triangle(object, m, 0, world) != TriangleCheck::ok)
            continue;
        const Vec3 carried = carry_normal(inverse, geometric_normal(object));
        EXPECT_NEAR(length(carried), 1.0f, 1e-6f);
        EXPECT_NEAR(dot(carried, geometric_normal(world)), det > 0.0 ? 1.0f : -1.0f, 1e-3f)
            << trial;
    }
    EXPECT_GT(mirrors, 100);
}

TEST(ZrvProgressBar, DrawsInPlaceOncePerPercentAfterTheDelayAndErasesItself) {
    std::ostringstream out;
    ProgressBar disabled(out, false);
    disabled.update(5, 10, 10.0);
    disabled.finish();
    ProgressBar bar(out, true, 1.0);
    bar.update(1, 4, 0.99);
    EXPECT_EQ(out.str(), "") << "disabled, or before the delay";
    EXPECT_FALSE(bar.drawn());

    bar.update(1, 4, 1.5);
    const std::string quarter = "\rrendering [##########..............................]  25%";
    EXPECT_EQ(out.str(), quarter);
    bar.update(1, 4, 2.0); // same percentage: no redraw
    EXPECT_EQ(out.str(), quarter);
    bar.update(4, 4, 2.5);
    EXPECT_EQ(out.str(), quarter + "\rrendering [########################################] 100%");
    out.str("");
    bar.finish();
    EXPECT_EQ(out.str(), "\r" + std::string(quarter.size() - 1, ' ') + "\r");
    EXPECT_FALSE(bar.drawn());
}

TEST(ZrvStatusLine, ReplacesItsLineInPlaceAndErasesIt) {
    std::ostringstream out;
    {
        StatusLine disabled(out, false);
        disabled.show("loading");
    }
    EXPECT_EQ(out.str(), "");
    {
        StatusLine line(out, true);
        line.show("loading a.obj...");
        line.show("building...");
        EXPECT_EQ(out.str(), "\rloading a.obj...\r" + std::string(16, ' ') + "\r\rbuilding...");
        out.str("");
    } // erased when it goes
    EXPECT_EQ(out.str(), "\r" + std::string(11, ' ') + "\r");
}

// Equal to the reference on every float of [0, 1]: both never decrease, so
// checking every 4096th float, and every float between two checked ones
// whose reference codes differ, covers each change of code exactly.
TEST(ZrvShading, EncodesSrgbLikeTheReferenceCurveAndALightBehindAddsNothing) {
    const auto float_of = [](std::uint32_t bits) {
        float x;
        std::memcpy(&x, &bits, sizeof x);
        return x;
    };
    const std::uint32_t one = 0x3F800000u, stride = 4096;
    int mismatches = 0, changes = 0;
    for (std::uint32_t bits = 0; bits < one; bits += stride) {
        const std::uint32_t next = std::min(bits + stride, one);
        if (test::reference_srgb(float_of(bits)) == test::reference_srgb(float_of(next))) {
            mismatches += encode_srgb(float_of(bits)) != test::reference_srgb(float_of(bits));
            continue;
        }
        ++changes;
        for (std::uint32_t b = bits; b < next; ++b)
            mismatches += encode_srgb(float_of(b)) != test::reference_srgb(float_of(b));
    }
    EXPECT_EQ(changes, 255);
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(encode_srgb(1.0f), 255);
    EXPECT_EQ(encode_srgb(7.0f), 255);
    EXPECT_EQ(encode_srgb(-0.5f), 0);
    EXPECT_EQ(encode_srgb(std::nanf("")), 0);
    // The lit and shadowed colours are checked on rendered images.
    const ShadingParameters p;
    const Vec3 albedo{0.5f, 0.25f, 1.0f};
    const Vec3 away = shade_surface(albedo, {0, 0, 1}, normalize(Vec3(0, 1, -1)), false, p);
    EXPECT_FLOAT_EQ(away.x, 0.5f * p.ambient);
    EXPECT_FLOAT_EQ(away.y, 0.25f * p.ambient);
}

} // namespace
} // namespace zrv
