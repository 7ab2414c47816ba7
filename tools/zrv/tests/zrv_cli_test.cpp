// Runs the zrv executable as a user would.
#include "zrvTestFiles.h"
#include "zrvTestJson.h"

#include <gtest/gtest.h>

namespace zrv {
namespace {

using test::ProcessResult;
using test::TempDir;
using test::TestMesh;

const std::vector<std::string> small_image = {"--width",   "64", "--height",        "48",
                                              "--threads", "2",  "--build-threads", "2"};

std::vector<std::string> render_args(std::vector<std::string> args) {
    args.insert(args.begin(), "render");
    args.insert(args.end(), small_image.begin(), small_image.end());
    return args;
}

// Two squares, one shadowing the other (see the in-process render test).
TestMesh shadow_scene() {
    TestMesh mesh = test::square_facing_z({0, 0, -5}, 2.0f);
    test::append(mesh, test::square_facing_z({-1, 0, -4}, 0.5f));
    return mesh;
}

// The formats themselves are read in zrv_mesh_loader_test.
TEST(ZrvCli, RendersAMeshToAPngOfTheRequestedSize) {
    TempDir dir;
    test::write_ascii_ply(dir.file("scene.ply"), shadow_scene());
    const ProcessResult run = test::run_zrv(render_args({"scene.ply", "-o", "scene.png"}), dir);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("triangles    4, loaded in "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("wrote        scene.png\n"), std::string::npos) << run.out;
    Image image;
    ASSERT_TRUE(test::read_png(dir.file("scene.png"), image));
    EXPECT_EQ(image.width, 64);
    EXPECT_EQ(image.height, 48);
}

TEST(ZrvCli, CameraAndLightOptionsGiveTheKnownShadow) {
    TempDir dir;
    test::write_obj(dir.file("scene.obj"), shadow_scene());
    const ProcessResult run =
        test::run_zrv(render_args({"scene.obj", "-o", "out.png", "--eye", "0,0,0", "--look-at",
                                   "0,0,-1", "--fov", "60", "--light=-1,0,1"}),
                      dir);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    Image image;
    ASSERT_TRUE(test::read_png(dir.file("out.png"), image));
    const std::uint8_t* shadow = image.pixel(32, 24);
    const std::uint8_t* lit_receiver = image.pixel(42, 24);
    const std::uint8_t* lit_occluder = image.pixel(21, 24);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(lit_receiver[c], lit_occluder[c]) << "both at 45 degrees to the light";
        EXPECT_LT(shadow[c] + 60, lit_receiver[c]) << "the shadow is much darker";
    }
}

TEST(ZrvCli, JsonReportParsesAndHoldsTheFigures) {
    TempDir dir;
    test::write_off(dir.file("scene.off"), shadow_scene());
    const ProcessResult run =
        test::run_zrv(render_args({"scene.off", "-o", "out.png", "--json"}), dir);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    test::JsonValue json;
    std::string error;
    ASSERT_TRUE(test::parse_json(run.out, json, error)) << error << "\n" << run.out;
    EXPECT_EQ(json["mesh"].get<std::string>(), "scene.off");
    // The writer's every figure is checked in process (zrv_report_test); here
    // the figures of this run reach it.
    EXPECT_EQ(json["triangles"].get<double>(), 4);
    EXPECT_EQ(json["render_threads"].get<double>(), 2);
    EXPECT_EQ(json["primary_rays"].get<double>(), 64 * 48);
    EXPECT_GT(json["shadow_rays"].get<double>(), 0);
    EXPECT_LT(json["shadow_rays"].get<double>(), 64 * 48);
    EXPECT_GE(json["tree"]["leaves"].get<double>(), 1);
}

TEST(ZrvCli, DropsNonFiniteTrianglesWithACountingWarning) {
    TempDir dir;
    test::write_text(dir.file("nan.obj"), "v -1 -1 0\nv 1 -1 0\nv 0 1 0\nv nan 0 0\nv 0 inf 0\n"
                                          "f 1 2 3\nf 1 2 4\nf 1 5 3\nf 4 5 2\n");
    const ProcessResult run = test::run_zrv(render_args({"nan.obj", "-o", "out.png"}), dir);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "zrv: warning: dropped 3 triangles with NaN or infinite vertex "
                       "coordinates\n");
    EXPECT_NE(run.out.find("triangles    1 (3 dropped)"), std::string::npos) << run.out;
    EXPECT_TRUE(test::file_exists(dir.file("out.png")));
}

struct BadInput {
    const char* what;
    std::vector<std::string> args;
    std::string message; // the whole of stderr, or its start when ending in "..."
    int exit_code;
};

TEST(ZrvCli, BadInputFailsWithOneLineAndWritesNothing) {
    TempDir dir;
    test::write_text(dir.file("all_nan.obj"), "v nan 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    test::write_obj(dir.file("good.obj"), shadow_scene());
    const std::vector<std::string> inputs = dir.entries();

    const BadInput cases[] = {
        {"missing file",
         {"render", "missing.obj", "-o", "out.png"},
         "zrv: error: cannot open mesh 'missing.obj': No such file or directory\n",
         1},
        {"only non-finite triangles",
         {"render", "all_nan.obj", "-o", "out.png"},
         "zrv: warning: dropped 1 triangle with NaN or infinite vertex coordinates\n"
         "zrv: error: mesh 'all_nan.obj' contains no triangles that can be rendered (1 invalid "
         "ones dropped)\n",
         1},
        {"unwritable output path",
         {"render", "good.obj", "-o", "no-such-dir/out.png"},
         "zrv: error: cannot write 'no-such-dir/out.png': directory 'no-such-dir': No such file "
         "or directory\n",
         1},
        {"output path is a directory",
         {"render", "good.obj", "-o", "."},
         "zrv: error: cannot write '.': it is a directory\n",
         1},
        {"bad width",
         {"render", "good.obj", "-o", "out.png", "--width", "-3"},
         "zrv: error: invalid value '-3' for --width: expected an integer from 1 to 16384\n",
         2},
        {"camera inside out",
         {"render", "good.obj", "-o", "out.png", "--eye", "0,5,0", "--look-at", "0,0,0"},
         "zrv: error: the up direction is parallel to the viewing direction\n",
         1},
    };
    for (const BadInput& c : cases) {
        SCOPED_TRACE(c.what);
        const ProcessResult run = test::run_zrv(c.args, dir);
        EXPECT_EQ(run.exit_code, c.exit_code);
        const std::size_t n = c.message.size();
        if (n > 3 && c.message.compare(n - 3, 3, "...") == 0) {
            EXPECT_EQ(run.err.compare(0, n - 3, c.message, 0, n - 3), 0) << run.err;
            EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
        } else {
            EXPECT_EQ(run.err, c.message);
        }
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(dir.entries(), inputs) << "no output and no temporary file";
    }
}

} // namespace
} // namespace zrv
