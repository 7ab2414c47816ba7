#include "zrvReport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <sstream>

namespace zrv {
namespace {

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

TEST(ZrvReport, JsonHoldsEveryFigureOnOneLine) {
    std::ostringstream out;
    write_json_report(out, sample_report());
    // Wall-clock seconds of a kind of ray are its thread-seconds times the
    // render's share, 0.5 s / 2 thread-seconds.
    EXPECT_EQ(
        out.str(),
        R"({"command":"render","scene":"models/\"odd\"\\name.obj",)"
        R"("mesh":"models/\"odd\"\\name.obj","output":"out.png","triangles":1000000,)"
        R"("dropped_non_finite":2,"dropped_degenerate":1,"load_seconds":0.25,"accel":"auto",)"
        R"("structure":"kd","structure_reason":"the KD-tree's largest leaf holds 9 triangles )"
        R"j((at most 1024)","build_threads":2,"compile_code":0,"build_seconds":1.5,)j"
        R"("library_build_seconds":2.75,"tree_file":null,"tree_load_seconds":0,)"
        R"("tree":{"nodes":4001,"leaves":2001,"empty_leaves":300,"depth":37,)"
        R"("average_objects_per_leaf":3.125,"max_objects_per_leaf":9,"kd_trees":0},)"
        R"("width":64,"height":48,"render_threads":2,"render_seconds":0.5,)"
        R"("worker_thread_seconds":2,"ao_samples":16,"ao_distance":0.5,)"
        R"("primary_rays":3072,"primary_seconds":0.001,"primary_thread_seconds":0.004,)"
        R"("primary_mrays_per_second":3.072,"primary_mrays_per_thread_second":0.768,)"
        R"("shadow_rays":1000,"shadow_seconds":0,"shadow_thread_seconds":0,)"
        R"("shadow_mrays_per_second":0,"shadow_mrays_per_thread_second":0,)"
        R"("ao_rays":50000,"ao_seconds":0.125,"ao_thread_seconds":0.5,)"
        R"("ao_mrays_per_second":0.4,"ao_mrays_per_thread_second":0.1})"
        "\n");
    EXPECT_EQ(Json::parse(out.str())["mesh"], "models/\"odd\"\\name.obj");

    // The default scene has a null mesh; NaN is not JSON.
    RunReport r = sample_report();
    r.mesh.clear();
    r.render.seconds = std::nan("");
    out.str("");
    write_json_report(out, r);
    const Json json = Json::parse(out.str());
    EXPECT_TRUE(json["mesh"].is_null());
    EXPECT_EQ(json["scene"], "default scene");
    EXPECT_EQ(json["render_seconds"], 0);
}

TEST(ZrvReport, QuotesControlCharacters) {
    EXPECT_EQ(json_quote("a\tb\n\x01\"\\"), "\"a\\tb\\n\\u0001\\\"\\\\\"");
}

TEST(ZrvReport, TextNamesTheFiguresAUserLooksFor) {
    std::ostringstream out;
    write_text_report(out, sample_report());
    EXPECT_EQ(out.str(), "scene        models/\"odd\"\\name.obj\n"
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
    r.compile_code = 3;
    r.build_threads = 1;
    out.str("");
    write_text_report(out, r);
    EXPECT_NE(out.str().find("build        1.500 s on 1 thread (parallel build fell back to "
                             "serial: a subtree failed)\n"),
              std::string::npos)
        << out.str();
}

} // namespace
} // namespace zrv
