// zrv's pieces called in process: the command line, the camera, the run's
// report, the progress bar and the colours of pixels.
#include "zrvCamera.h"
#include "zrvOptions.h"
#include "zrvProgressBar.h"
#include "zrvPacketTracer.h"
#include "zrvReport.h"
#include "zrvSceneStructure.h"
#include "zrvShading.h"
#include "zrvTestFiles.h"
#include "zrvTriangleRecord.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
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
    EXPECT_NE(usage_text().find("usage: zrv render [MESH] [options]\n"
                                "       zrv build [MESH] -o FILE [options]\n"),
              std::string::npos);
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
    r.width = 64;
    r.height = 48;
    r.triangles = 1000000;
    r.dropped_non_finite = 2;
    r.dropped_degenerate = 1;
    r.load_seconds = 0.25;
    r.build_threads = 2;
    r.build_seconds = 1.5;
    r.library_build_seconds = 2.75;
    r.tree.nodes = 4001;
    r.tree.leaves = 2001;
    r.tree.empty_leaves = 300;
    r.tree.depth = 37;
    r.tree.max_objects_per_leaf = 9;
    r.tree.average_objects_per_leaf = 3.125;
    r.render_threads = 2;
    r.render.seconds = 0.5;
    r.render.worker_thread_seconds = 2.0; // the render's wall-clock share: 0.25 s a thread-second
    r.render.primary = {3072, 0.004};
    r.render.shadow = {1000, 0.0}; // no shadow work: the rate is 0, not infinite
    r.render.ambient_occlusion = {50000, 0.5};
    r.ao_samples = 16;
    r.ao_distance = 0.5;
    r.structure_reason = "the KD-tree's largest leaf holds 9 triangles (at most 1024)";
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
        R"("dropped_non_finite":2,"dropped_degenerate":1,"load_seconds":0.25,"accel":"auto",)"
        R"("structure":"kd","structure_reason":"the KD-tree's largest leaf holds 9 triangles )"
        R"j((at most 1024)","build_threads":2,"compile_code":0,"build_seconds":1.5,)j"
        R"("library_build_seconds":2.75,"tree_file":null,"tree_load_seconds":0,)"
        R"("tree":{"nodes":4001,"leaves":2001,"empty_leaves":300,"depth":37,)"
        R"("average_objects_per_leaf":3.125,"max_objects_per_leaf":9,"kd_trees":0,)"
        R"("blocks":null,"bytes":null,"triangles_left_out":0},)"
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

    // The default scene has a null mesh; NaN is not JSON.
    RunReport r = sample_report();
    r.mesh.clear();
    r.render.seconds = std::nan("");
    const Json json = Json::parse(written(write_json_report, r));
    EXPECT_TRUE(json["mesh"].is_null());
    EXPECT_EQ(json["scene"], "default scene");
    EXPECT_EQ(json["render_seconds"], 0);
    EXPECT_EQ(json_quote("a\tb\n\x01\"\\"), "\"a\\tb\\n\\u0001\\\"\\\\\"");
}

TEST(ZrvReport, TextNamesTheFiguresAUserLooksFor) {
    EXPECT_EQ(written(write_text_report, sample_report()),
              "scene        models/\"odd\"\\name.obj\n"
              "triangles    1000000 (3 dropped), loaded in 0.250 s\n"
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
    EXPECT_NE(written(write_text_report, r)
                  .find("tree         4001 nodes, 2001 leaves in 512 blocks, depth 37, 3.12 "
                        "triangles per leaf, 123456 bytes, 2 triangles left out\n"),
              std::string::npos)
        << written(write_text_report, r);
    const Json json = Json::parse(written(write_json_report, r))["tree"];
    EXPECT_TRUE(json["max_objects_per_leaf"].is_null());
    EXPECT_EQ(std::tuple(json["blocks"], json["bytes"], json["triangles_left_out"]),
              std::tuple(512, 123456, 2));

    r = sample_report();
    r.compile_code = 3;
    r.build_threads = 1;
    const std::string text = written(write_text_report, r);
    EXPECT_NE(text.find("build        1.500 s on 1 thread (parallel build fell back to serial: a "
                        "subtree failed)\n"),
              std::string::npos)
        << text;
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
        alignas(16) float t[4];
        alignas(16) int id[4];
        _mm_store_ps(t, hits.t);
        _mm_store_si128(reinterpret_cast<__m128i*>(id), hits.id);
        EXPECT_EQ(std::vector<int>(id, id + 4), (std::vector<int>{0, 3, -1, -1}));
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
    }
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

TEST(ZrvShading, EncodesSrgbLikeTheReferenceCurveAndALightBehindAddsNothing) {
    for (int i = -10; i <= 1010; ++i) {
        const float c = i / 1000.0f;
        EXPECT_EQ(encode_srgb(c), test::reference_srgb(c)) << c;
    }
    EXPECT_EQ(encode_srgb(7.0f), 255);
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
