// Runs the zrv executable as a user would.
#include "zrvTestFiles.h"
#include "zrvTestJson.h"

#include <zrvScenes.h>

#include <gtest/gtest.h>

#include <functional>

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

// A ground square of side 8 in the plane y = centre.y, its front facing +y.
TestMesh ground_square(const Vec3& centre) {
    TestMesh mesh;
    mesh.vertices = {{centre.x - 4, centre.y, centre.z - 4},
                     {centre.x + 4, centre.y, centre.z - 4},
                     {centre.x + 4, centre.y, centre.z + 4},
                     {centre.x - 4, centre.y, centre.z + 4}};
    mesh.faces = {{0, 2, 1}, {0, 3, 2}};
    return mesh;
}

TEST(ZrvCli, RendersObjPlyAndOffFilesToAPngOfTheRequestedSize) {
    TempDir dir;
    const std::pair<const char*, std::function<void(const std::string&, const TestMesh&)>>
        formats[] = {{"scene.obj", test::write_obj},
                     {"scene.ply", test::write_ascii_ply},
                     {"scene.off", test::write_off}};
    for (const auto& [name, writer] : formats) {
        SCOPED_TRACE(name);
        writer(dir.file(name), shadow_scene());
        const std::string png = std::string(name) + ".png";
        const ProcessResult run = test::run_zrv(render_args({name, "-o", png}), dir);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_NE(run.out.find("triangles    4, loaded in "), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("wrote        " + png + "\n"), std::string::npos) << run.out;
        Image image;
        ASSERT_TRUE(test::read_png(dir.file(png), image));
        EXPECT_EQ(image.width, 64);
        EXPECT_EQ(image.height, 48);
    }
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

TEST(ZrvCli, OneAndTwoThreadsWriteTheSameImageFromTheSameTree) {
    // Enough triangles (over 1000) for the build to sort its candidates on
    // several threads, which makes the tree depend on its thread count.
    TempDir dir;
    TestMesh mesh;
    for (const triAccel& t : scenes::benchmark_mesh(2400)) {
        const int base = static_cast<int>(mesh.vertices.size());
        mesh.vertices.push_back(Vec3(t.vertex0));
        mesh.vertices.push_back(Vec3(t.vertex1));
        mesh.vertices.push_back(Vec3(t.vertex2));
        mesh.faces.push_back({base, base + 1, base + 2});
    }
    test::append(mesh, ground_square({0.0f, -1.6f, 0.0f}));
    test::write_obj(dir.file("knot.obj"), mesh);

    Image images[2];
    double nodes[2] = {0, 0};
    for (int threads = 1; threads <= 2; ++threads) {
        const std::string png = "knot" + std::to_string(threads) + ".png";
        const ProcessResult run =
            test::run_zrv({"render", "knot.obj", "-o", png, "--width", "70", "--height", "50",
                           "--threads", std::to_string(threads), "--build-threads", "2", "--json"},
                          dir);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        test::JsonValue json;
        std::string error;
        ASSERT_TRUE(test::parse_json(run.out, json, error)) << error;
        nodes[threads - 1] = json["tree"]["nodes"].get<double>();
        ASSERT_TRUE(test::read_png(dir.file(png), images[threads - 1]));
    }
    EXPECT_EQ(nodes[0], nodes[1]);
    EXPECT_EQ(images[0].rgb, images[1].rgb);
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
    EXPECT_EQ(json["output"].get<std::string>(), "out.png");
    EXPECT_EQ(json["width"].get<double>(), 64);
    EXPECT_EQ(json["height"].get<double>(), 48);
    EXPECT_EQ(json["triangles"].get<double>(), 4);
    EXPECT_EQ(json["dropped_non_finite"].get<double>(), 0);
    EXPECT_EQ(json["render_threads"].get<double>(), 2);
    EXPECT_EQ(json["build_threads"].get<double>(), 2);
    EXPECT_EQ(json["primary_rays"].get<double>(), 64 * 48);
    EXPECT_GT(json["shadow_rays"].get<double>(), 0);
    EXPECT_LT(json["shadow_rays"].get<double>(), 64 * 48);
    EXPECT_GE(json["build_seconds"].get<double>(), 0);
    EXPECT_GE(json["render_seconds"].get<double>(), 0);
    EXPECT_GE(json["primary_mrays_per_second"].get<double>(), 0);
    EXPECT_GE(json["shadow_mrays_per_second"].get<double>(), 0);
    const test::JsonValue& tree = json["tree"];
    EXPECT_GE(tree["nodes"].get<double>(), 1);
    EXPECT_GE(tree["leaves"].get<double>(), 1);
    EXPECT_GE(tree["depth"].get<double>(), 0);
    EXPECT_GT(tree["average_objects_per_leaf"].get<double>(), 0);
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
    test::write_text(dir.file("garbage.ply"), std::string("\x01\x02\x03 junk \xff\xfe", 11));
    test::write_text(dir.file("points.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\n");
    test::write_text(dir.file("all_nan.obj"), "v nan 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    test::write_obj(dir.file("good.obj"), shadow_scene());
    const std::vector<std::string> inputs = dir.entries();

    const BadInput cases[] = {
        {"missing file",
         {"render", "missing.obj", "-o", "out.png"},
         "zrv: error: cannot open mesh 'missing.obj': No such file or directory\n",
         1},
        {"garbage file",
         {"render", "garbage.ply", "-o", "out.png"},
         "zrv: error: cannot read mesh 'garbage.ply': ...",
         1},
        {"no triangles",
         {"render", "points.obj", "-o", "out.png"},
         "zrv: error: mesh 'points.obj' contains no triangles\n",
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
        {"bad thread count",
         {"render", "good.obj", "-o", "out.png", "--threads", "100"},
         "zrv: error: invalid value '100' for --threads: expected a thread count from 1 to 64\n",
         2},
        {"bad eye",
         {"render", "good.obj", "-o", "out.png", "--eye", "1,x,2"},
         "zrv: error: invalid value '1,x,2' for --eye: expected three finite numbers x,y,z\n",
         2},
        {"unknown option",
         {"render", "good.obj", "-o", "out.png", "--samples", "4"},
         "zrv: error: unknown option '--samples' for zrv render\n",
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
