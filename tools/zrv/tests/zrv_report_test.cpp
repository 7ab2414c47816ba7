#include "zrvReport.h"
#include "zrvTestJson.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace zrv {
namespace {

using test::JsonValue;

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

TEST(ZrvReport, JsonHoldsEveryFigure) {
    std::ostringstream out;
    write_json_report(out, sample_report());
    const std::string text = out.str();
    ASSERT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line";

    JsonValue json;
    std::string error;
    ASSERT_TRUE(test::parse_json(text, json, error)) << error << "\n" << text;
    EXPECT_EQ(json["scene"].get<std::string>(), "models/\"odd\"\\name.obj");
    EXPECT_EQ(json["mesh"].get<std::string>(), "models/\"odd\"\\name.obj");
    EXPECT_EQ(json["output"].get<std::string>(), "out.png");
    EXPECT_EQ(json["width"].get<double>(), 64);
    EXPECT_EQ(json["height"].get<double>(), 48);
    EXPECT_EQ(json["triangles"].get<double>(), 1000000);
    EXPECT_EQ(json["dropped_non_finite"].get<double>(), 2);
    EXPECT_EQ(json["dropped_degenerate"].get<double>(), 1);
    EXPECT_EQ(json["load_seconds"].get<double>(), 0.25);
    EXPECT_EQ(json["build_threads"].get<double>(), 2);
    EXPECT_EQ(json["compile_code"].get<double>(), 0);
    EXPECT_EQ(json["build_seconds"].get<double>(), 1.5);
    EXPECT_EQ(json["library_build_seconds"].get<double>(), 2.75);
    const JsonValue& tree = json["tree"];
    EXPECT_EQ(tree["nodes"].get<double>(), 4001);
    EXPECT_EQ(tree["leaves"].get<double>(), 2001);
    EXPECT_EQ(tree["empty_leaves"].get<double>(), 300);
    EXPECT_EQ(tree["depth"].get<double>(), 37);
    EXPECT_EQ(tree["max_objects_per_leaf"].get<double>(), 9);
    EXPECT_EQ(tree["average_objects_per_leaf"].get<double>(), 3.125);
    EXPECT_EQ(json["render_threads"].get<double>(), 2);
    EXPECT_EQ(json["render_seconds"].get<double>(), 0.5);
    EXPECT_EQ(json["structure"].get<std::string>(), "kd");
    EXPECT_EQ(json["accel"].get<std::string>(), "auto");
    EXPECT_EQ(json["primary_rays"].get<double>(), 3072);
    EXPECT_EQ(json["shadow_rays"].get<double>(), 1000);
    EXPECT_EQ(json["ao_rays"].get<double>(), 50000);
    EXPECT_EQ(json["ao_samples"].get<double>(), 16);
    EXPECT_NEAR(json["primary_seconds"].get<double>(), 0.001, 1e-12);
    EXPECT_NEAR(json["primary_mrays_per_second"].get<double>(), 3.072, 1e-9);
    EXPECT_NEAR(json["primary_mrays_per_thread_second"].get<double>(), 0.768, 1e-9);
    EXPECT_NEAR(json["ao_mrays_per_second"].get<double>(), 0.4, 1e-9);
    EXPECT_EQ(json["shadow_mrays_per_second"].get<double>(), 0);
}

TEST(ZrvReport, DefaultSceneHasANullMesh) {
    RunReport r = sample_report();
    r.mesh.clear();
    r.render.seconds = std::nan("");
    std::ostringstream out;
    write_json_report(out, r);
    JsonValue json;
    std::string error;
    ASSERT_TRUE(test::parse_json(out.str(), json, error)) << error;
    EXPECT_TRUE(json["mesh"].is_null());
    EXPECT_EQ(json["scene"].get<std::string>(), "default scene");
    EXPECT_EQ(json["render_seconds"].get<double>(), 0) << "NaN is not JSON";
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
}

TEST(ZrvReport, TextMentionsAParallelBuildThatFellBack) {
    RunReport r = sample_report();
    r.compile_code = 3;
    r.build_threads = 1;
    std::ostringstream out;
    write_text_report(out, r);
    EXPECT_NE(
        out.str().find("build        1.500 s on 1 thread (parallel build fell back to serial: "
                       "a subtree failed)\n"),
        std::string::npos)
        << out.str();
}

} // namespace
} // namespace zrv
