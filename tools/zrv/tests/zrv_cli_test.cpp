// Runs the zrv executable as a user would: rendering, saved trees, inspect
// and every kind of bad input.
#include "VRMLReader.h"
#include "zrvShading.h"
#include "zrvTestFiles.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>
#include <filesystem>

namespace zrv {
namespace {

using Json = nlohmann::json;
using test::ProcessResult;
using test::TempDir;
using test::TestMesh;

constexpr int width = 64, height = 48;

// zrv render with args on a small image and two threads.
std::vector<std::string> render(std::vector<std::string> args) {
    args.insert(args.begin(), "render");
    for (const char* option : {"--width", "64", "--height", "48", "--threads", "2"})
        args.push_back(option);
    return args;
}

// A receiver of side 4 at z = -5 and an occluder of side 1 at z = -4
// centred on x = -1. Seen from the origin with the light from direction
// (-1, 0, 1), the occluder's shadow covers x and y in [-0.5, 0.5] on the
// receiver, clear of the occluder's own image.
TestMesh shadow_scene() {
    return TestMesh().square({0, 0, -5}, 2.0f).square({-1, 0, -4}, 0.5f);
}

void expect_pixel(const Image& image, int x, int y, const Vec3& linear, const char* what) {
    const float channels[3] = {linear.x, linear.y, linear.z};
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(image.pixel(x, y)[c], test::reference_srgb(channels[c])) << what << " " << c;
}

TEST(ZrvCli, RendersTheShadowFromEitherSideOfTheReceiver) {
    for (const bool receiver_faces_camera : {true, false}) {
        SCOPED_TRACE(receiver_faces_camera ? "front" : "back");
        TempDir dir;
        TestMesh mesh = TestMesh().square({0, 0, -5}, 2.0f);
        if (!receiver_faces_camera)
            mesh.flip();
        test::write_mesh(dir.file("scene.obj"), mesh.square({-1, 0, -4}, 0.5f));
        const ProcessResult run = test::run_zrv(
            render({"scene.obj", "-o", "out.png", "--eye", "0,0,0", "--look-at", "0,0,-1", "--fov",
                    "60", "--light=-1,0,1", "--json", "--build-threads=2"}),
            dir);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        EXPECT_EQ(run.err, "");
        Image image;
        ASSERT_TRUE(test::read_png(dir.file("out.png"), image));
        ASSERT_EQ(image.width, width);
        ASSERT_EQ(image.height, height);

        const ShadingParameters shading;
        const Vec3 albedo = albedo_of(0);
        const double cosine = std::sqrt(0.5); // light at 45 degrees to the squares' normal
        const Vec3 lit =
            albedo * static_cast<float>(shading.ambient + shading.light_intensity * cosine);
        const Vec3 in_shadow = albedo * shading.ambient;
        // Pixels (32, 24) and (31, 23) see the receiver at x = 0.06 and
        // -0.03, (42, 24) at x = 1.14, (21, 24) sees the occluder at x = -1.01.
        expect_pixel(image, 32, 24, in_shadow, "shadow on the receiver");
        expect_pixel(image, 31, 23, in_shadow, "shadow on the receiver");
        expect_pixel(image, 42, 24, lit, "lit receiver");
        expect_pixel(image, 21, 24, lit, "lit occluder");
        expect_pixel(image, 0, 0, shade_background(0, height, shading), "background, top");
        expect_pixel(image, 63, 47, shade_background(47, height, shading), "background, bottom");

        // Every surface pixel faces the light, so each sent one shadow ray.
        int surface_pixels = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                surface_pixels += std::memcmp(image.pixel(x, y), image.pixel(0, y), 3) != 0;
        const Json json = Json::parse(run.out);
        EXPECT_EQ(json["mesh"], "scene.obj");
        EXPECT_EQ(json["triangles"], 4);
        EXPECT_EQ(json["render_threads"], 2);
        EXPECT_EQ(json["build_threads"], 2);
        EXPECT_EQ(json["primary_rays"], width * height);
        EXPECT_EQ(json["shadow_rays"], surface_pixels);
        EXPECT_GT(surface_pixels, 0);
    }
}

TEST(ZrvCli, AmbientOcclusionDarkensACornerNotAnOpenPlane) {
    // A floor (y = 0, facing up) with a wall (x = 0, facing +x) standing on
    // it, seen from above and to the right.
    TestMesh mesh = TestMesh().square({0, 0, 0}, 4.0f).square({0, 0, 0}, 4.0f);
    for (int i = 0; i < 4; ++i) {
        Vec3& floor = mesh.vertices[i];
        floor = Vec3(floor.x, -floor.z, -floor.y);
        Vec3& wall = mesh.vertices[i + 4];
        wall = Vec3(-wall.z, wall.y + 4.0f, wall.x);
    }
    TempDir dir;
    test::write_mesh(dir.file("corner.obj"), mesh);
    const std::vector<std::string> view = {"corner.obj", "--eye",   "6,5,0",   "--look-at",
                                           "1,0,0",      "--light", "1,1,0.2", "--json"};
    std::vector<std::string> plain_args = view, ao_args = view;
    plain_args.insert(plain_args.end(), {"-o", "plain.png"});
    ao_args.insert(ao_args.end(), {"-o", "ao.png", "--ao", "16", "--ao-distance", "1"});
    ASSERT_EQ(test::run_zrv(render(plain_args), dir).exit_code, 0);
    const ProcessResult ao = test::run_zrv(render(ao_args), dir);
    ASSERT_EQ(ao.exit_code, 0) << ao.err;
    const Json json = Json::parse(ao.out);
    EXPECT_GT(json["ao_rays"], 6 * json["shadow_rays"].get<int>());
    Image plain, occluded;
    ASSERT_TRUE(test::read_png(dir.file("plain.png"), plain));
    ASSERT_TRUE(test::read_png(dir.file("ao.png"), occluded));

    // The image's rows run along the wall's foot, which lies four rows above
    // the centre: there the hemisphere is half blocked. The bottom rows see
    // the floor three units from the wall, farther than the occlusion distance.
    for (int c = 0; c < 3; ++c) {
        EXPECT_LT(occluded.pixel(width / 2, 20)[c], plain.pixel(width / 2, 20)[c]) << c;
        EXPECT_EQ(occluded.pixel(width / 2, height - 2)[c], plain.pixel(width / 2, height - 2)[c])
            << c;
    }
}

TEST(ZrvCli, DropsNonFiniteTrianglesWithACountingWarning) {
    TempDir dir;
    test::write_text(dir.file("nan.obj"), "v -1 -1 0\nv 1 -1 0\nv 0 1 0\nv nan 0 0\nv 0 inf 0\n"
                                          "f 1 2 3\nf 1 2 4\nf 1 5 3\nf 4 5 2\n");
    const ProcessResult run = test::run_zrv(render({"nan.obj", "-o", "out.png"}), dir);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err, "zrv: warning: dropped 3 triangles with NaN or infinite vertex "
                       "coordinates\n");
    EXPECT_NE(run.out.find("triangles    1 (3 dropped)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("wrote        out.png\n"), std::string::npos) << run.out;
    EXPECT_TRUE(std::filesystem::exists(dir.file("out.png")));
}

TEST(ZrvCli, SavedTreesRenderTheImageOfTheBuiltOnes) {
    TempDir dir;
    test::write_mesh(dir.file("scene.obj"), shadow_scene().square({0.5f, -0.5f, -4.5f}, 0.7f));
    for (const std::string accel : {"kd", "bvh", "two-level"}) {
        SCOPED_TRACE(accel);
        const ProcessResult built =
            test::run_zrv({"build", "scene.obj", "-o", accel + ".zrv", "--accel", accel}, dir);
        ASSERT_EQ(built.exit_code, 0) << built.err;
        const ProcessResult loaded =
            test::run_zrv(render({"scene.obj", "--tree", accel + ".zrv", "-o", "loaded.png"}), dir);
        ASSERT_EQ(loaded.exit_code, 0) << loaded.err;
        EXPECT_NE(loaded.out.find("structure    " + accel + "\n"), std::string::npos) << loaded.out;
        EXPECT_NE(loaded.out.find("load         "), std::string::npos) << loaded.out;
        ASSERT_EQ(test::run_zrv(render({"scene.obj", "--accel", accel, "-o", "built.png"}), dir)
                      .exit_code,
                  0);
        EXPECT_EQ(test::read_text(dir.file("loaded.png")), test::read_text(dir.file("built.png")));
    }
}

TEST(ZrvCli, InspectWritesPlanesAParserAcceptsAndTheBVHDump) {
    TempDir dir;
    test::write_mesh(dir.file("scene.obj"), shadow_scene());
    const ProcessResult kd =
        test::run_zrv({"inspect", "scene.obj", "--accel", "kd", "--vrml", "planes.wrl"}, dir);
    ASSERT_EQ(kd.exit_code, 0) << kd.err;
    EXPECT_NE(kd.out.find("Tree statistics:"), std::string::npos) << kd.out;
    const std::string vrml = test::read_text(dir.file("planes.wrl"));
    EXPECT_EQ(vrml.compare(0, 16, "#VRML V2.0 utf8\n"), 0);
    if (vrml_parser_available()) {
        const ParsedVRML parsed = parse_vrml(vrml);
        EXPECT_TRUE(parsed.accepted);
        EXPECT_EQ(parsed.read_errors, 0);
        EXPECT_GT(parsed.points, 0);
        EXPECT_EQ(parsed.points % 4, 0);
        finish_vrml_parser();
    }

    const ProcessResult bvh = test::run_zrv(
        {"inspect", "scene.obj", "--accel", "bvh", "--dump", "dump.txt", "--json"}, dir);
    ASSERT_EQ(bvh.exit_code, 0) << bvh.err;
    EXPECT_EQ(Json::parse(bvh.out)["structure"], "bvh");
    EXPECT_EQ(test::read_text(dir.file("dump.txt")).compare(0, 11, "Tree Dump:\n"), 0);
    const ProcessResult wrong =
        test::run_zrv({"inspect", "scene.obj", "--accel", "bvh", "--vrml", "x"}, dir);
    EXPECT_EQ(wrong.exit_code, 1);
    EXPECT_EQ(wrong.err, "zrv: error: --vrml lists KD-tree split planes; this scene uses bvh\n");
}

TEST(ZrvCli, BadInputFailsWithOneLineAndWritesNothing) {
    TempDir dir;
    test::write_text(dir.file("all_nan.obj"), "v nan 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    test::write_text(dir.file("points.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\n");
    test::write_text(dir.file("garbage.ply"), std::string("\x7f\x01\x02 not a mesh \xff\xfe", 17));
    test::write_mesh(dir.file("good.obj"), shadow_scene());
    test::write_mesh(dir.file("shifted.obj"),
                     TestMesh().square({0.25f, 0, -5}, 2.0f).square({-1, 0, -4}, 0.5f));
    test::write_mesh(dir.file("smaller.obj"), TestMesh().square({0, 0, -5}, 2.0f));
    ASSERT_EQ(test::run_zrv({"build", "good.obj", "-o", "good.zrv", "--accel", "two-level"}, dir)
                  .exit_code,
              0);
    const std::string tree = test::read_text(dir.file("good.zrv"));
    test::write_text(dir.file("truncated.zrv"), tree.substr(0, tree.size() - 9));
    std::string flipped = tree;
    flipped[tree.size() / 2] ^= 0x10;
    test::write_text(dir.file("flipped.zrv"), flipped);
    test::write_text(dir.file("text.zrv"), "not a tree\n");
    const std::vector<std::string> inputs = dir.entries();

    struct Case {
        std::vector<std::string> args;
        std::string message; // the whole of stderr, or its start when ending in "..."
        int exit_code = 1;
    };
    std::vector<Case> cases = {
        {{"missing.obj"},
         "zrv: error: cannot open mesh 'missing.obj': No such file or directory\n"},
        {{"."}, "zrv: error: cannot open mesh '.': not a regular file\n"},
        {{"garbage.ply"}, "zrv: error: cannot read mesh 'garbage.ply': ..."},
        {{"points.obj"}, "zrv: error: mesh 'points.obj' contains no triangles\n"},
        {{"all_nan.obj"},
         "zrv: warning: dropped 1 triangle with NaN or infinite vertex coordinates\n"
         "zrv: error: mesh 'all_nan.obj' contains no triangles that can be rendered (1 invalid "
         "ones dropped)\n"},
        {{"good.obj", "-o", "no-such-dir/out.png"},
         "zrv: error: cannot write 'no-such-dir/out.png': directory 'no-such-dir': No such file "
         "or directory\n"},
        {{"good.obj", "-o", "."}, "zrv: error: cannot write '.': it is a directory\n"},
        {{"good.obj", "-o", "good.obj/out.png"},
         "zrv: error: cannot write 'good.obj/out.png': 'good.obj' is not a directory\n"},
        {{"good.obj", "-o", "sub/"}, "zrv: error: cannot write 'sub/': not a file name\n"},
        {{"good.obj", "--width", "-3"},
         "zrv: error: invalid value '-3' for --width: expected an integer from 1 to 16384\n",
         2},
        {{"good.obj", "--eye", "0,5,0", "--look-at", "0,0,0"},
         "zrv: error: the up direction is parallel to the viewing direction\n"},
        {{"smaller.obj", "--tree", "good.zrv"},
         "zrv: error: tree file 'good.zrv' was built for other triangles (4 triangles, not this "
         "scene's 2)\n"},
        {{"shifted.obj", "--tree", "good.zrv"},
         "zrv: error: tree file 'good.zrv' was built for other triangles (their records "
         "differ)\n"},
    };
    for (const std::string file : {"missing.zrv", "text.zrv", "truncated.zrv", "flipped.zrv"})
        cases.push_back({{"good.obj", "--tree", file},
                         "zrv: error: cannot load tree file '" + file + "': ..."});
    for (Case& c : cases) {
        SCOPED_TRACE(c.message);
        c.args.insert(c.args.begin(), "render"); // the image would be zrv.png
        const ProcessResult run = test::run_zrv(c.args, dir);
        EXPECT_EQ(run.exit_code, c.exit_code);
        const std::size_t n = c.message.size();
        if (c.message.compare(n - 3, 3, "...") == 0) {
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
