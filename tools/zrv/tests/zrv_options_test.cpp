#include "zrvOptions.h"

#include <gtest/gtest.h>

#include <vector>

namespace zrv {
namespace {

ParseResult parse(std::vector<const char*> args) {
    args.insert(args.begin(), "zrv");
    return parse_command_line(static_cast<int>(args.size()), args.data());
}

TEST(ZrvOptions, DefaultsRenderTheDefaultSceneAt1280x720) {
    const ParseResult result = parse({"render"});
    ASSERT_EQ(result.status, ParseStatus::run);
    EXPECT_TRUE(result.options.mesh_path.empty());
    EXPECT_EQ(result.options.output_path, "zrv.png");
    EXPECT_EQ(result.options.width, 1280);
    EXPECT_EQ(result.options.height, 720);
}

// The zrv executable's tests give the other options.
TEST(ZrvOptions, ReadsOptionsInBothSpellingsAndMeshNamesAfterDoubleDash) {
    const ParseResult result = parse({"render", "--up", "0,0,1e1", "--look-at=-1,0.5,2", "--quiet",
                                      "--width=64", "--", "-m.obj"});
    ASSERT_EQ(result.status, ParseStatus::run) << result.error;
    const RenderOptions& o = result.options;
    EXPECT_EQ(o.mesh_path, "-m.obj");
    ASSERT_TRUE(o.up && o.look_at);
    EXPECT_FLOAT_EQ(o.up->z, 10.0f);
    EXPECT_FLOAT_EQ(o.look_at->x, -1.0f);
    EXPECT_FLOAT_EQ(o.look_at->y, 0.5f);
    EXPECT_EQ(o.width, 64);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(parse({"--help"}).status, ParseStatus::help);
    EXPECT_EQ(parse({"render", "x.obj", "-h"}).status, ParseStatus::help);
    EXPECT_NE(usage_text().find("usage: zrv render [MESH] [-o out.png]"), std::string::npos);
}

TEST(ZrvOptions, RejectsBadCommandsAndValues) {
    const std::string width = "for --width: expected an integer from 1 to 16384";
    const std::string fov = "for --fov: expected degrees greater than 0 and less than 180";
    const std::string point = "expected three finite numbers x,y,z";
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{}, "no command given (try 'zrv render --help')"},
        {{"draw"}, "unknown command 'draw' (the commands are render, build and inspect)"},
        {{"render", "a.obj", "b.obj"}, "more than one mesh given ('a.obj' and 'b.obj')"},
        {{"render", "--colour", "red"}, "unknown option '--colour' for zrv render"},
        {{"render", "--width"}, "option --width needs a value"},
        {{"render", "-o", ""}, "the path given with -o is empty"},
        {{"render", "--accel", "octree"},
         "invalid value 'octree' for --accel: expected auto, kd, bvh or two-level"},
        {{"render", "--ao", "12"},
         "invalid value '12' for --ao: expected 8, 16, 36, 64 or 128 samples"},
        {{"render", "--ao-distance", "0"},
         "invalid value '0' for --ao-distance: expected a distance greater than 0"},
        {{"render", "--tree", "t.zrv", "--accel", "bvh"},
         "--tree loads a built structure: --accel and --build-threads do not apply"},
        {{"build", "-o", "t.zrv", "--width", "64"}, "unknown option '--width' for zrv build"},
        {{"inspect", "--ao", "8"}, "unknown option '--ao' for zrv inspect"},
        {{"build"}, "zrv build needs the tree file to write (-o FILE)"},
        {{"render", "--width", "0"}, "invalid value '0' " + width},
        {{"render", "--width", "12px"}, "invalid value '12px' " + width},
        {{"render", "--width", " 12"}, "invalid value ' 12' " + width},
        {{"render", "--height", "16385"},
         "invalid value '16385' for --height: expected an integer from 1 to 16384"},
        {{"render", "--threads", "65"},
         "invalid value '65' for --threads: expected a thread count from 1 to 64"},
        {{"render", "--build-threads=0"},
         "invalid value '0' for --build-threads: expected a thread count from 1 to 64"},
        {{"render", "--fov", "180"}, "invalid value '180' " + fov},
        {{"render", "--fov", "nan"}, "invalid value 'nan' " + fov},
        {{"render", "--eye", "1,2"}, "invalid value '1,2' for --eye: " + point},
        {{"render", "--eye", "1,2,3,4"}, "invalid value '1,2,3,4' for --eye: " + point},
        {{"render", "--look-at", "1,inf,3"}, "invalid value '1,inf,3' for --look-at: " + point},
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

} // namespace
} // namespace zrv
