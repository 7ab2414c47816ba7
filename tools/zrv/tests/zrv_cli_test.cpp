// Runs the zrv executable as a user would: rendering, saved trees, inspect
// and every kind of bad input.
#include "VRMLReader.h"
#include "zrvMeshLoader.h"
#include "zrvShading.h"
#include "zrvTestFiles.h"

#include <gfxRTWideBVH.h>
#include <zrvStreams.h>
#include <zlib.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <map>
#include <set>
#include <tuple>
#include <sys/stat.h>

namespace zrv {
namespace {

using Json = nlohmann::json;
using test::holds;
using test::TempDir;
using test::TestMesh;

constexpr auto npos = std::string::npos;

// Runs zrv, which must succeed.
test::ProcessResult ok(const std::vector<std::string>& args, const TempDir& dir) {
    test::ProcessResult run = test::run_zrv(args, dir);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    return run;
}

// Runs zrv, which must fail with exit code 1 and this one-line error.
void fails(const std::vector<std::string>& args, const TempDir& dir, const std::string& error) {
    const test::ProcessResult run = test::run_zrv(args, dir);
    EXPECT_EQ(run.exit_code, 1) << error;
    EXPECT_EQ(run.err, "zrv: error: " + error + "\n");
    EXPECT_EQ(run.out, "");
}

// zrv render with args on a 64x48 image and two threads.
std::vector<std::string> render(std::vector<std::string> args) {
    args.insert(args.begin(), "render");
    args.insert(args.end(), {"--width", "64", "--height", "48", "--threads", "2"});
    return args;
}

// A receiver of side 4 at z = -5 and an occluder of side 1 at z = -4
// centred on x = -1. Seen from the origin with the light from direction
// (-1, 0, 1), the occluder's shadow covers x and y in [-0.5, 0.5] on the
// receiver, clear of the occluder's own image.
TestMesh shadow_scene(bool receiver_faces_camera = true) {
    return TestMesh().square({0, 0, -5}, 2.0f, !receiver_faces_camera).square({-1, 0, -4}, 0.5f);
}

TEST(ZrvCli, RendersTheShadowFromEitherSideOfTheReceiver) {
    for (const bool front : {true, false}) {
        SCOPED_TRACE(front ? "front" : "back");
        TempDir dir;
        test::write_mesh(dir.file("scene.obj"), shadow_scene(front));
        test::write_text(dir.file("out.png"), "old");
        const auto run =
            ok(render({"scene.obj", "-o", "out.png", "--eye", "0,0,0", "--look-at", "0,0,-1",
                       "--fov", "60", "--light=-1,0,1", "--json", "--build-threads=2"}),
               dir);
        EXPECT_EQ(run.err, "");
        Image image;
        ASSERT_TRUE(test::read_png(dir.file("out.png"), image));
        ASSERT_EQ(std::pair(image.width, image.height), std::pair(64, 48));
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"out.png", "scene.obj"}));
        struct stat info;
        ASSERT_EQ(stat(dir.file("out.png").c_str(), &info), 0);
        EXPECT_NE(info.st_mode & S_IRGRP, 0u) << "not the owner-only mode of the temporary file";

        const ShadingParameters p;
        const Vec3 albedo = albedo_of(0); // the light meets the squares at 45 degrees:
        const Vec3 lit =
            albedo * static_cast<float>(p.ambient + p.light_intensity * std::sqrt(0.5));
        const Vec3 dark = albedo * p.ambient;
        // Pixels (32, 24) and (31, 23) see the receiver at x = 0.06 and
        // -0.03, (42, 24) at x = 1.14, (21, 24) sees the occluder at x = -1.01.
        const int xs[] = {32, 31, 42, 21, 0, 63}, ys[] = {24, 23, 24, 24, 0, 47};
        const Vec3 want[] = {
            dark, dark, lit, lit, shade_background(0, 48, p), shade_background(47, 48, p)};
        for (int i = 0; i < 6; ++i)
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(image.pixel(xs[i], ys[i])[c], test::reference_srgb((&want[i].x)[c])) << i;

        // Every surface pixel faces the light, so each sent one shadow ray.
        int surface = 0;
        for (int i = 0; i < 64 * 48; ++i)
            surface += std::memcmp(image.pixel(i % 64, i / 64), image.pixel(0, i / 64), 3) != 0;
        EXPECT_GT(surface, 0);
        const Json json = Json::parse(run.out);
        EXPECT_EQ(std::tuple(json["shadow_rays"], json["mesh"], json["triangles"],
                             json["render_threads"], json["build_threads"], json["primary_rays"]),
                  std::tuple(surface, "scene.obj", 4, 2, 2, 3072));
    }
}

TEST(ZrvCli, AmbientOcclusionDarkensACornerNotAnOpenPlane) {
    // A floor (y = 0) with a wall (x = 0) standing on it, seen from above and to the right.
    TempDir dir;
    test::write_text(dir.file("corner.obj"), "v -4 0 4\nv 4 0 4\nv 4 0 -4\nv -4 0 -4\nv 0 0 -4\n"
                                             "v 0 0 4\nv 0 8 4\nv 0 8 -4\nf 1 2 3\nf 1 3 4\n"
                                             "f 5 6 7\nf 5 7 8\n");
    std::vector<std::string> args = {"corner.obj", "--eye",   "6,5,0",   "--look-at",
                                     "1,0,0",      "--light", "1,1,0.2", "--json"};
    ok(render(args), dir); // writes zrv.png
    args.insert(args.end(), {"-o", "ao.png", "--ao", "16", "--ao-distance", "1"});
    const auto ao = ok(render(args), dir);
    const Json json = Json::parse(ao.out);
    EXPECT_GT(json["ao_rays"], 6 * json["shadow_rays"].get<int>());
    // The wide BVH answers the shadow and occlusion rays alike, ray for ray.
    args.insert(args.end(), {"--accel", "wide", "-o", "ao-wide.png"});
    const auto wide = ok(render(args), dir);
    for (const std::string key : {"shadow_rays", "ao_rays"})
        EXPECT_EQ(Json::parse(wide.out)[key], json[key]) << key;
    EXPECT_EQ(test::read_text(dir.file("ao-wide.png")), test::read_text(dir.file("ao.png")));
    Image plain, occluded;
    ASSERT_TRUE(test::read_png(dir.file("zrv.png"), plain));
    ASSERT_TRUE(test::read_png(dir.file("ao.png"), occluded));
    // Row 20 runs along the wall's foot, where the hemisphere is half blocked;
    // row 46 sees the floor 3 units from the wall, beyond the occlusion distance.
    for (int c = 0; c < 3; ++c) {
        EXPECT_LT(occluded.pixel(32, 20)[c], plain.pixel(32, 20)[c]) << c;
        EXPECT_EQ(occluded.pixel(32, 46)[c], plain.pixel(32, 46)[c]) << c;
    }
}

TEST(ZrvCli, SplitsPolygonsAndDropsUnusableTrianglesWithACountingWarning) {
    // A quad, a line, three faces with NaN or infinite corners, collinear
    // corners and finite corners whose cross product overflows.
    TempDir dir;
    test::write_text(dir.file("m.obj"),
                     "v -1 -1 0\nv 1 -1 0\nv 1 1 0\nv -1 1 0\nv nan 0 0\nv 0 inf 0\n"
                     "v 2 -1 0\nv -3e38 0 0\nv 3e38 0 0\nv 0 3e38 0\nf 1 2 3 4\n"
                     "l 1 3\nf 1 2 5\nf 1 6 3\nf 5 6 2\nf 1 2 7\nf 8 9 10\n");
    const auto run = ok(render({"m.obj", "-o", "out.png"}), dir);
    EXPECT_EQ(run.err, "zrv: warning: dropped 3 triangles with NaN or infinite vertex coordinates\n"
                       "zrv: warning: dropped 2 degenerate triangles (zero area)\n");
    EXPECT_TRUE(holds(run.out, "triangles    2 (5 dropped)"));
    EXPECT_TRUE(holds(run.out, "wrote        out.png\n"));
    EXPECT_TRUE(std::filesystem::exists(dir.file("out.png")));
}

// Odd image sizes leave partial packets and tiles at the right and bottom
// edges; the centre row and column split packets between ray directions.
TEST(ZrvCli, EveryFormatStructureThreadCountAndSavedTreeGiveTheSameImage) {
    TempDir dir;
    const TestMesh mesh = shadow_scene().square({0.5f, -0.5f, -4.5f}, 0.7f);
    std::string first;
    const auto same_image = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"render", "--width", "71", "--height", "45"});
        std::filesystem::remove(dir.file("zrv.png"));
        const auto run = test::run_zrv(args, dir);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        const std::string png = test::read_text(dir.file("zrv.png"));
        first = first.empty() ? png : first;
        EXPECT_EQ(png, first);
        return run.out;
    };
    for (const std::string name : {"scene.obj", "scene.ply", "scene.off"}) {
        test::write_mesh(dir.file(name), mesh);
        EXPECT_TRUE(holds(same_image({name, "--threads", "1"}), "triangles    6, ")) << name;
    }
    for (const std::string accel : {"kd", "bvh", "two-level", "wide"}) {
        SCOPED_TRACE(accel);
        ok({"build", "scene.obj", "-o", "t.zrv", "--accel", accel}, dir);
        const std::string loaded = same_image({"scene.obj", "--tree", "t.zrv", "--threads", "3"});
        EXPECT_TRUE(holds(loaded, "structure    " + accel + "\n"));
        EXPECT_TRUE(holds(loaded, "load         "));
        // A file that places each mesh once is one mesh for the wide structure.
        EXPECT_TRUE(
            holds(same_image({"scene.obj", "--accel", accel}), "structure    " + accel + "\n"));
    }
    const std::string by_auto =
        "structure    wide (auto: the wide BVH, auto's choice unless a file places a mesh twice)\n";
    EXPECT_TRUE(holds(same_image({"scene.obj"}), by_auto));
    const auto built = ok({"build", "scene.obj", "-o", "t.zrv"}, dir);
    EXPECT_TRUE(holds(built.out, by_auto));
}

// A unit cube's twelve triangles, their fronts facing out.
TestMesh cube() {
    TestMesh m;
    for (int i = 0; i < 8; ++i)
        m.vertices.emplace_back(float(i & 1), float((i >> 1) & 1), float(i >> 2));
    m.faces = {{0, 2, 1}, {1, 2, 3}, {4, 5, 6}, {5, 7, 6}, {0, 1, 4}, {1, 5, 4},
               {2, 6, 3}, {3, 6, 7}, {0, 4, 2}, {2, 4, 6}, {1, 3, 5}, {3, 7, 5}};
    return m;
}

// A glTF matrix (column-major) turning by degrees about the unit axis,
// scaling by scale and then moving by (x, y, z).
std::array<float, 16> placement(Vec3 axis, double degrees, double scale, Vec3 move) {
    const double a = degrees * 3.14159265358979 / 180.0, c = std::cos(a), s = std::sin(a);
    const double u[3] = {axis.x, axis.y, axis.z};
    std::array<float, 16> m{};
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k) {
            const double cross = r == k ? 0.0 : ((k - r + 3) % 3 == 1 ? -1.0 : 1.0) * u[3 - r - k];
            m[4 * k + r] = float(scale * ((r == k ? c : 0.0) + (1 - c) * u[r] * u[k] + s * cross));
        }
    m[12] = move.x;
    m[13] = move.y;
    m[14] = move.z;
    m[15] = 1.0f;
    return m;
}

// A floor (a square turned to lie in y = 0, placed once) and a cube placed
// nine times: turned about slanted axes, scaled, some under a turned parent;
// the last cube moved along x by shift.
void write_instanced_scene(const std::string& path, float shift = 0.0f) {
    std::vector<test::GltfNode> nodes(1);
    nodes.push_back({placement({1, 0, 0}, -90, 4, {0, 0, 0}), 0, {}});
    nodes.push_back({placement(normalize(Vec3(0, 1, 0.3f)), 25, 1, {0.5f, 0, -1}), -1, {}});
    for (int i = 0; i < 9; ++i) {
        const Vec3 axis = normalize(Vec3(0.3f * i, 1.0f, 0.7f - 0.2f * i));
        const test::GltfNode cube_node{
            placement(axis, 13.0 + 37.0 * i, 0.8 + 0.1 * i,
                      {-3.5f + 0.8f * i + (i == 8 ? shift : 0.0f), 0.4f, 1.5f * (i % 3) - 2}),
            1,
            {}};
        nodes[i < 4 ? 2 : 0].children.push_back(int(nodes.size()));
        nodes.push_back(cube_node);
    }
    nodes[0].children.insert(nodes[0].children.begin(), {1, 2});
    test::write_gltf(path, {TestMesh().square({0, 0, 0}, 1.0f), cube()}, nodes);
}

// Traced as instances or flattened (each instance's triangles rounded to
// world space), the images may differ only where rounding decides a grazing
// hit or a shade's last level. "differing": any channel; "apart": by more
// than one level. A saved scene is tied to its meshes and placements.
TEST(ZrvCli, AnInstancedFileRendersAsItsFlattenedTrianglesAndAsSaved) {
    TempDir dir;
    write_instanced_scene(dir.file("scene.gltf"));
    std::vector<std::string> args = {"scene.gltf", "--width", "320",    "--height", "240",
                                     "--ao",       "16",      "--json", "-q"};
    args.insert(args.begin(), "render");
    const auto instanced = ok(args, dir);
    args.insert(args.end(), {"--flatten", "-o", "flat.png"});
    const auto flattened = ok(args, dir);
    args.insert(args.end(), {"--accel", "kd", "-o", "kd.png"});
    ok(args, dir);
    EXPECT_EQ(test::read_text(dir.file("kd.png")), test::read_text(dir.file("flat.png")))
        << "the other structures render the flattened triangles";

    const Json a = Json::parse(instanced.out), b = Json::parse(flattened.out);
    EXPECT_EQ(std::tuple(a["structure"], a["meshes"], a["instances"], a["triangles_placed"],
                         a["triangles"], a["tree"]["mesh_trees"]),
              std::tuple("wide-scene", 2, 10, 110, 14, 2));
    EXPECT_EQ(a["structure_reason"],
              "a mesh is placed more than once: each mesh's wide BVH is built once and instanced");
    EXPECT_EQ(std::tuple(b["structure"], b["meshes"], b["instances"], b["triangles_placed"],
                         b["triangles"]),
              std::tuple("wide", 2, 10, 110, 110));
    EXPECT_EQ(a["primary_rays"], b["primary_rays"]);

    Image image_a, image_b;
    ASSERT_TRUE(test::read_png(dir.file("zrv.png"), image_a));
    ASSERT_TRUE(test::read_png(dir.file("flat.png"), image_b));
    int differing = 0, apart = 0, background = 0;
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 320; ++x) {
            int most = 0;
            for (int c = 0; c < 3; ++c)
                most = std::max(most, std::abs(image_a.pixel(x, y)[c] - image_b.pixel(x, y)[c]));
            differing += most > 0;
            apart += most > 1;
            background += std::memcmp(image_a.pixel(x, y), image_a.pixel(0, y), 3) == 0;
        }
    EXPECT_GT(background, 20000);
    EXPECT_LT(background, 320 * 240 - 10000) << "the scene fills a good part of the image";
    // Measured: no pixel differs (of 76,800, with this scene and camera).
    // The bound leaves room for a few grazing rays should a kernel's
    // rounding move, and no more.
    EXPECT_LE(differing, 8);
    EXPECT_LE(apart, 4);

    // Saved by build, the instanced scene renders as built.
    ok({"build", "scene.gltf", "-o", "s.zrv"}, dir);
    const auto text = ok(render({"scene.gltf", "--ao", "8", "-o", "built.png"}), dir);
    EXPECT_TRUE(holds(text.out, "instances    2 meshes, 10 instances, 110 triangles placed\n"));
    EXPECT_TRUE(holds(text.out, "tree         2 mesh trees of "));
    const auto run = ok(
        render({"scene.gltf", "--ao", "8", "--tree", "s.zrv", "-o", "loaded.png", "--json"}), dir);
    EXPECT_EQ(Json::parse(run.out)["structure"], "wide-scene");
    EXPECT_EQ(test::read_text(dir.file("loaded.png")), test::read_text(dir.file("built.png")));
    fails({"render", "scene.gltf", "--tree", "s.zrv", "--flatten"}, dir,
          "tree file 's.zrv' holds an instanced scene: load it without --flatten");
    // The same meshes placed elsewhere: other placements, refused.
    write_instanced_scene(dir.file("moved.gltf"), 0.25f);
    fails({"render", "moved.gltf", "--tree", "s.zrv"}, dir,
          "tree file 's.zrv' was built for other triangles (their records differ)");
}

TEST(ZrvCli, InspectWritesPlanesTheBVHDumpAndTheWideBVHsFigures) {
    TempDir dir;
    test::write_mesh(dir.file("scene.obj"), shadow_scene());
    const auto kd = ok({"inspect", "scene.obj", "--accel", "kd", "--vrml", "planes.wrl"}, dir);
    EXPECT_TRUE(holds(kd.out, "Tree statistics:"));
    const std::string vrml = test::read_text(dir.file("planes.wrl"));
    EXPECT_EQ(vrml.compare(0, 16, "#VRML V2.0 utf8\n"), 0);
    if (vrml_parser_available()) {
        const ParsedVRML parsed = parse_vrml(vrml);
        EXPECT_TRUE(parsed.accepted && parsed.read_errors == 0);
        EXPECT_GT(parsed.points, 0);
        EXPECT_EQ(parsed.points % 4, 0);
        finish_vrml_parser();
    }

    const auto bvh =
        ok({"inspect", "scene.obj", "--accel", "bvh", "--dump", "dump.txt", "--json"}, dir);
    EXPECT_EQ(Json::parse(bvh.out)["structure"], "bvh");
    EXPECT_EQ(test::read_text(dir.file("dump.txt")).compare(0, 11, "Tree Dump:\n"), 0);
    fails({"inspect", "scene.obj", "--accel", "bvh", "--vrml", "x"}, dir,
          "--vrml lists KD-tree split planes; this scene uses bvh");

    // The wide BVH's own figures, built or saved and loaded.
    TestMesh grid; // 800 triangles: a tree of more than one node
    for (int i = 0; i < 400; ++i)
        grid.square({float(i % 20), float(i / 20), -float(i % 7)}, 0.4f);
    test::write_mesh(dir.file("grid.obj"), grid);
    LoadedMesh mesh;
    std::string error;
    ASSERT_TRUE(load_mesh(dir.file("grid.obj"), mesh, error)) << error;
    ASSERT_TRUE(flatten_mesh(mesh, error)) << error;
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(mesh.triangles.data(), unsigned(mesh.triangles.size()), 2));
    const gfxRTWideBVHStatistics want = tree.statistics();
    ASSERT_GT(want.nodes, 1u);

    const auto json_run = ok(
        {"inspect", "grid.obj", "--accel", "wide", "--flatten", "--build-threads", "2", "--json"},
        dir);
    const Json json = Json::parse(json_run.out);
    EXPECT_EQ(std::tuple(json["accel"], json["structure"], json["triangles"]),
              std::tuple("wide", "wide", 800));
    const Json& figures = json["tree"];
    EXPECT_EQ(std::tuple(figures["nodes"], figures["leaves"], figures["blocks"], figures["depth"],
                         figures["bytes"], figures["triangles_left_out"],
                         figures["max_objects_per_leaf"]),
              std::tuple(want.nodes, want.leaves, want.blocks, want.depth, want.bytes, 0, nullptr));
    EXPECT_NEAR(figures["average_objects_per_leaf"].get<double>(), 800.0 / want.leaves, 1e-5);

    const auto text = ok({"inspect", "grid.obj", "--accel", "wide", "--flatten"}, dir);
    const std::string line = "tree         " + std::to_string(want.nodes) + " nodes, " +
                             std::to_string(want.leaves) + " leaves in " +
                             std::to_string(want.blocks) + " blocks, depth " +
                             std::to_string(want.depth) + ", ";
    EXPECT_TRUE(holds(text.out, line));
    EXPECT_TRUE(holds(text.out, ", " + std::to_string(want.bytes) + " bytes\n"));

    fails({"inspect", "grid.obj", "--accel=wide", "--dump", "d"}, dir,
          "--dump writes the library's BVH dump; this scene uses wide");
    // Saved and loaded, the tree has the same figures.
    ok({"build", "grid.obj", "-o", "t.zrv", "--accel", "wide"}, dir);
    const auto loaded = ok({"inspect", "grid.obj", "--tree", "t.zrv"}, dir);
    EXPECT_TRUE(holds(loaded.out, line));
    EXPECT_TRUE(holds(loaded.out, "structure    wide\n"));
}

// The payload of a stream image with its CRC made right again, so that a
// change reaches the tree's checked loader.
std::string with_crc_fixed(std::string image) {
    const std::size_t header = zrv::streams::HEADER_SIZE;
    const std::uint32_t crc = std::uint32_t(crc32(
        0, reinterpret_cast<const Bytef*>(image.data() + header), uInt(image.size() - header)));
    for (int i = 0; i < 4; ++i)
        image[24 + i] = char(crc >> (8 * i));
    return image;
}

// Tree files include a wide tree damaged behind a good checksum, which the
// checked loader refuses with its reason.
TEST(ZrvCli, BadInputFailsWithOneLineAndWritesNothing) {
    TempDir dir;
    test::write_text(dir.file("all_nan.obj"), "v nan 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    test::write_text(dir.file("points.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\n");
    test::write_text(dir.file("garbage.ply"), std::string("\x7f\x01\x02 not a mesh \xff\xfe", 17));
    test::write_mesh(dir.file("good.obj"), shadow_scene());
    test::write_mesh(dir.file("turned.obj"), shadow_scene(false)); // the corners in another order
    test::write_mesh(dir.file("smaller.obj"), TestMesh().square({0, 0, -5}, 2.0f));
    ok({"build", "good.obj", "-o", "good.zrv", "--accel", "two-level"}, dir);
    std::string flipped = test::read_text(dir.file("good.zrv"));
    flipped[flipped.size() / 2] ^= 0x10; // caught by the checksum
    test::write_text(dir.file("flipped.zrv"), flipped);
    ok({"build", "good.obj", "-o", "wide.zrv", "--accel", "wide"}, dir);
    const std::string wide = test::read_text(dir.file("wide.zrv"));
    const std::string begin = "BEGIN:gfxRTWideBVH", version = "version=1";
    ASSERT_NE(wide.find(begin), npos);
    // After the tokens (tag, length, text): input, kept, nodes, blocks,
    // leaves and depth, each a tag and four bytes.
    std::string deep = wide, no_end = wide;
    deep[wide.find(begin) + begin.size() + 1 + 4 + version.size() + 5 * 5 + 1] = char(100);
    test::write_text(dir.file("deep.zrv"), with_crc_fixed(deep));
    no_end[no_end.find("END:gfxRTWideBVH")] = 'X';
    test::write_text(dir.file("no-end.zrv"), with_crc_fixed(no_end));
    const std::vector<std::string> inputs = dir.entries();

    const std::string tree = "tree file 'good.zrv' was built for other triangles (";
    const struct {
        std::vector<std::string> args;
        std::string message; // stderr after "zrv: error: ", or its start when ending in "..."
        int exit_code = 1;
    } cases[] = {
        {{"missing.obj"}, "cannot open mesh 'missing.obj': No such file or directory\n"},
        {{"."}, "cannot open mesh '.': not a regular file\n"},
        {{"garbage.ply"}, "cannot read mesh 'garbage.ply': ..."},
        {{"points.obj"}, "mesh 'points.obj' contains no triangles\n"},
        {{"all_nan.obj"},
         "zrv: warning: dropped 1 triangle with NaN or infinite vertex coordinates\n"
         "zrv: error: mesh 'all_nan.obj' contains no triangles that can be rendered (1 invalid "
         "ones dropped)\n"},
        {{"good.obj", "-o", "no-such-dir/out.png"},
         "cannot write 'no-such-dir/out.png': directory 'no-such-dir': No such file "
         "or directory\n"},
        {{"good.obj", "-o", "."}, "cannot write '.': it is a directory\n"},
        {{"good.obj", "-o", "good.obj/out.png"},
         "cannot write 'good.obj/out.png': 'good.obj' is not a directory\n"},
        {{"good.obj", "-o", "sub/"}, "cannot write 'sub/': not a file name\n"},
        {{"good.obj", "--width", "-3"},
         "invalid value '-3' for --width: expected an integer from 1 to 16384\n",
         2},
        {{"good.obj", "--eye", "0,5,0", "--look-at", "0,0,0"},
         "the up direction is parallel to the viewing direction\n"},
        {{"smaller.obj", "--tree", "good.zrv"}, tree + "4 triangles, not this scene's 2)\n"},
        {{"turned.obj", "--tree", "good.zrv"}, tree + "their records differ)\n"},
        {{"good.obj", "--tree", "missing.zrv"}, "cannot load tree file 'missing.zrv': ..."},
        {{"good.obj", "--tree", "flipped.zrv"}, "cannot load tree file 'flipped.zrv': ..."},
        {{"good.obj", "--tree", "deep.zrv"},
         "cannot load tree file 'deep.zrv': the tree is 100 levels deep; traversal stacks hold "
         "72\n"},
        {{"good.obj", "--tree", "no-end.zrv"},
         "cannot load tree file 'no-end.zrv': the wide BVH does not end where its counts say\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const auto run = test::run_zrv(render(c.args), dir); // the image would be zrv.png
        EXPECT_EQ(run.exit_code, c.exit_code);
        const std::string want =
            (c.message.rfind("zrv: ", 0) == 0 ? "" : "zrv: error: ") + c.message;
        const std::size_t n = want.size();
        if (want.compare(n - 3, 3, "...") == 0) {
            EXPECT_EQ(run.err.compare(0, n - 3, want, 0, n - 3), 0) << run.err;
            EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
        } else {
            EXPECT_EQ(run.err, want);
        }
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(dir.entries(), inputs) << "no output and no temporary file";
    }
}

// The options a command's --help lists.
std::set<std::string> listed_options(const std::string& help) {
    std::set<std::string> names;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 3, "  -") != 0)
            continue;
        std::istringstream words(line.substr(2, line.find("  ", 2) - 2));
        for (std::string word; words >> word;)
            if (word[0] == '-')
                names.insert(word.back() == ',' ? word.substr(0, word.size() - 1) : word);
    }
    return names;
}

TEST(ZrvCli, EachCommandsHelpListsExactlyTheOptionsItAccepts) {
    TempDir dir;
    // Every option with a valid value, and the commands that take the options
    // several commands share.
    const std::string options[] = {"-o x",         "--width 64",
                                   "--height 48",  "--fov 40",
                                   "--eye 1,2,3",  "--look-at 0,0,0",
                                   "--up 0,1,0",   "--light 1,1,1",
                                   "--ao 8",       "--ao-distance 1",
                                   "--accel kd",   "--tree t.zrv",
                                   "--vrml p.wrl", "--dump d.txt",
                                   "--threads 2",  "--build-threads 2",
                                   "--json",       "-q",
                                   "--quiet",      "--flatten"};
    const std::string all = "render build inspect";
    const std::map<std::string, std::string> shared = {{"--threads", "render"},
                                                       {"--flatten", "render inspect"},
                                                       {"--build-threads", all},
                                                       {"--json", all},
                                                       {"-q", all},
                                                       {"--quiet", all}};
    std::set<std::string> known = {"-h", "--help"};
    for (const std::string& option : options)
        known.insert(option.substr(0, option.find(' ')));
    for (const std::string command : {"render", "build", "inspect"}) {
        const auto help = test::run_zrv({command, "--help"}, dir);
        ASSERT_EQ(help.exit_code, 0) << command;
        const std::string usage = "usage: zrv " + command + " ";
        ASSERT_EQ(help.out.compare(0, usage.size(), usage), 0) << help.out;
        const std::set<std::string> listed = listed_options(help.out);
        EXPECT_TRUE(listed.count("-h") && listed.count("--help")) << help.out;
        for (const std::string& name : listed)
            EXPECT_TRUE(known.count(name)) << command << " lists " << name << ", not in this table";
        for (const std::string& option : options) {
            SCOPED_TRACE(command + " " + option);
            const std::string name = option.substr(0, option.find(' '));
            std::vector<std::string> args = {command, name};
            if (name != option)
                args.push_back(option.substr(name.size() + 1));
            args.push_back("--help"); // after an accepted option: the help
            const auto run = test::run_zrv(args, dir);
            const bool accepted = run.exit_code == 0 && run.out == help.out;
            if (!accepted) {
                EXPECT_EQ(run.exit_code, 2);
                EXPECT_EQ(run.err,
                          "zrv: error: unknown option '" + name + "' for zrv " + command + "\n");
            }
            EXPECT_EQ(listed.count(name) == 1, accepted);
            if (shared.count(name)) {
                const std::string takers = " " + shared.at(name) + " ";
                EXPECT_EQ(accepted, takers.find(" " + command + " ") != npos);
            }
        }
    }
}

// Without -q each command shows its steps on a terminal, erasing them again;
// with -q it shows nothing.
TEST(ZrvCli, QuietCommandsShowNoProgressOnATerminal) {
    TempDir dir;
    test::write_mesh(dir.file("scene.obj"), shadow_scene());
    const std::vector<std::string> commands[] = {
        render({"scene.obj"}), {"build", "scene.obj", "-o", "t.zrv"}, {"inspect", "scene.obj"}};
    for (const auto& command : commands) {
        for (const std::string quiet : {"", "-q", "--quiet"}) {
            SCOPED_TRACE(command[0] + " " + quiet);
            std::vector<std::string> args = command;
            if (!quiet.empty())
                args.push_back(quiet);
            std::filesystem::remove(dir.file("t.zrv"));
            const auto run = test::run_zrv_on_terminal(args, dir);
            ASSERT_EQ(run.exit_code, 0) << run.err;
            EXPECT_TRUE(holds(run.out, "structure    "));
            EXPECT_EQ(std::filesystem::exists(dir.file("t.zrv")), command[0] == "build");
            if (quiet.empty()) {
                EXPECT_TRUE(holds(run.err, "\rbuilding the structure over 4 triangles"));
                EXPECT_EQ(run.err.back(), '\r') << "erased at the end: " << run.err;
            } else {
                EXPECT_EQ(run.err, "");
            }
        }
    }
}

} // namespace
} // namespace zrv
