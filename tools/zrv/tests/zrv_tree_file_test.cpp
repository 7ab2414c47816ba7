// Saved trees through the zrv executable: build, render --tree and inspect,
// and every kind of bad tree file refused.
#include "VRMLReader.h"
#include "zrvTestFiles.h"

#include <gtest/gtest.h>

namespace zrv {
namespace {

using test::ProcessResult;
using test::TempDir;
using test::TestMesh;

// A lumpy little scene: two squares and a ground, as three objects (the
// two-level structure gets one KD-tree each).
TestMesh scene_mesh(float shift = 0.0f) {
    TestMesh mesh = test::square_facing_z({shift, 0, -5}, 2.0f);
    test::append(mesh, test::square_facing_z({-1, 0.3f, -4}, 0.5f));
    test::append(mesh, test::square_facing_z({0.5f, -0.5f, -4.5f}, 0.7f));
    return mesh;
}

const std::vector<std::string> image_options = {"--width",   "48", "--height", "32",
                                                "--threads", "2",  "-q"};

ProcessResult zrv(TempDir& dir, std::vector<std::string> args) {
    return test::run_zrv(args, dir);
}

std::vector<std::string> render(std::vector<std::string> args) {
    args.insert(args.begin(), "render");
    args.insert(args.end(), image_options.begin(), image_options.end());
    return args;
}

TEST(ZrvTreeFile, SavedTreesRenderTheImageOfTheBuiltOnes) {
    TempDir dir;
    test::write_obj(dir.file("scene.obj"), scene_mesh());
    for (const char* accel : {"kd", "bvh", "two-level"}) {
        SCOPED_TRACE(accel);
        const std::string tree = std::string(accel) + ".zrv";
        const ProcessResult built = zrv(dir, {"build", "scene.obj", "-o", tree, "--accel", accel});
        ASSERT_EQ(built.exit_code, 0) << built.err;
        const ProcessResult loaded =
            zrv(dir, render({"scene.obj", "--tree", tree, "-o", "loaded.png"}));
        ASSERT_EQ(loaded.exit_code, 0) << loaded.err;
        EXPECT_NE(loaded.out.find("structure    " + std::string(accel) + "\n"), std::string::npos)
            << loaded.out;
        EXPECT_NE(loaded.out.find("load         "), std::string::npos) << loaded.out;
        ASSERT_EQ(zrv(dir, render({"scene.obj", "--accel", accel, "-o", "built.png"})).exit_code,
                  0);
        EXPECT_EQ(test::read_text(dir.file("loaded.png")), test::read_text(dir.file("built.png")));
    }
}

TEST(ZrvTreeFile, BadTreeFilesAreRefusedWithOneLine) {
    TempDir dir;
    test::write_obj(dir.file("scene.obj"), scene_mesh());
    test::write_obj(dir.file("shifted.obj"), scene_mesh(0.25f));
    TestMesh smaller = test::square_facing_z({0, 0, -5}, 2.0f);
    test::write_obj(dir.file("smaller.obj"), smaller);
    ASSERT_EQ(zrv(dir, {"build", "scene.obj", "-o", "good.zrv", "--accel", "two-level"}).exit_code,
              0);
    const std::string good = test::read_text(dir.file("good.zrv"));
    test::write_text(dir.file("truncated.zrv"), good.substr(0, good.size() - 9));
    std::string flipped = good;
    flipped[good.size() / 2] ^= 0x10;
    test::write_text(dir.file("flipped.zrv"), flipped);
    test::write_text(dir.file("text.zrv"), "not a tree\n");
    const std::vector<std::string> inputs = dir.entries();

    const struct {
        const char* what;
        std::string mesh, tree, message_start;
    } cases[] = {
        {"missing", "scene.obj", "missing.zrv",
         "zrv: error: cannot load tree file 'missing.zrv': "},
        {"not a stream", "scene.obj", "text.zrv", "zrv: error: cannot load tree file 'text.zrv': "},
        {"truncated", "scene.obj", "truncated.zrv",
         "zrv: error: cannot load tree file 'truncated.zrv': "},
        {"flipped bit", "scene.obj", "flipped.zrv",
         "zrv: error: cannot load tree file 'flipped.zrv': "},
        {"other triangle count", "smaller.obj", "good.zrv",
         "zrv: error: tree file 'good.zrv' was built for other triangles (6 triangles, not this "
         "scene's 2)\n"},
        {"same count, other triangles", "shifted.obj", "good.zrv",
         "zrv: error: tree file 'good.zrv' was built for other triangles (their records "
         "differ)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ProcessResult run = zrv(dir, render({c.mesh, "--tree", c.tree, "-o", "out.png"}));
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.err.compare(0, c.message_start.size(), c.message_start), 0) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
        EXPECT_EQ(dir.entries(), inputs) << "no image";
    }
}

TEST(ZrvTreeFile, InspectWritesPlanesAParserAcceptsAndTheBVHDump) {
    TempDir dir;
    test::write_obj(dir.file("scene.obj"), scene_mesh());
    const ProcessResult kd =
        zrv(dir, {"inspect", "scene.obj", "--accel", "kd", "--vrml", "planes.wrl"});
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

    const ProcessResult bvh =
        zrv(dir, {"inspect", "scene.obj", "--accel", "bvh", "--dump", "dump.txt", "--json"});
    ASSERT_EQ(bvh.exit_code, 0) << bvh.err;
    EXPECT_NE(bvh.out.find("\"structure\":\"bvh\""), std::string::npos) << bvh.out;
    EXPECT_EQ(test::read_text(dir.file("dump.txt")).compare(0, 11, "Tree Dump:\n"), 0);
    const ProcessResult wrong = zrv(dir, {"inspect", "scene.obj", "--accel", "bvh", "--vrml", "x"});
    EXPECT_EQ(wrong.exit_code, 1);
    EXPECT_EQ(wrong.err, "zrv: error: --vrml lists KD-tree split planes; this scene uses bvh\n");
}

} // namespace
} // namespace zrv
