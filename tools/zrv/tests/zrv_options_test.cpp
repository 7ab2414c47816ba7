#include "zrvOptions.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace zrv {
namespace {

ParseResult parse(std::initializer_list<const char*> args) {
    std::vector<const char*> argv = {"zrv"};
    argv.insert(argv.end(), args.begin(), args.end());
    return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

void expect_error(std::initializer_list<const char*> args, const std::string& message) {
    const ParseResult result = parse(args);
    EXPECT_EQ(result.status, ParseStatus::error);
    EXPECT_EQ(result.error, message);
}

TEST(ZrvOptions, DefaultsRenderTheDefaultSceneAt1280x720) {
    const ParseResult result = parse({"render"});
    ASSERT_EQ(result.status, ParseStatus::run);
    const RenderOptions& o = result.options;
    EXPECT_TRUE(o.mesh_path.empty());
    EXPECT_EQ(o.output_path, "zrv.png");
    EXPECT_EQ(o.width, 1280);
    EXPECT_EQ(o.height, 720);
    EXPECT_FALSE(o.fov_degrees.has_value());
    EXPECT_FALSE(o.up.has_value());
    EXPECT_FALSE(o.eye.has_value());
    EXPECT_FALSE(o.look_at.has_value());
    EXPECT_EQ(o.render_threads, 0);
    EXPECT_EQ(o.build_threads, 0);
    EXPECT_FALSE(o.json);
    EXPECT_FALSE(o.quiet);
}

TEST(ZrvOptions, ReadsEveryOptionInBothSpellings) {
    const ParseResult result = parse({"render",      "bunny.ply", "-o",
                                      "out.png",     "--width",   "64",
                                      "--height=48", "--fov",     "30.5",
                                      "--eye=1,2,3", "--look-at", "-1,0.5,1e1",
                                      "--up",        "0,0,1",     "--light=1,1,0",
                                      "--threads",   "3",         "--build-threads=2",
                                      "--json",      "--quiet"});
    ASSERT_EQ(result.status, ParseStatus::run) << result.error;
    const RenderOptions& o = result.options;
    EXPECT_EQ(o.mesh_path, "bunny.ply");
    EXPECT_EQ(o.output_path, "out.png");
    EXPECT_EQ(o.width, 64);
    EXPECT_EQ(o.height, 48);
    ASSERT_TRUE(o.fov_degrees && o.eye && o.look_at && o.up);
    EXPECT_FLOAT_EQ(*o.fov_degrees, 30.5f);
    EXPECT_FLOAT_EQ(o.eye->z, 3.0f);
    EXPECT_FLOAT_EQ(o.look_at->x, -1.0f);
    EXPECT_FLOAT_EQ(o.look_at->z, 10.0f);
    EXPECT_FLOAT_EQ(o.up->z, 1.0f);
    EXPECT_FLOAT_EQ(o.toward_light.y, 1.0f);
    EXPECT_EQ(o.render_threads, 3);
    EXPECT_EQ(o.build_threads, 2);
    EXPECT_TRUE(o.json);
    EXPECT_TRUE(o.quiet);
}

TEST(ZrvOptions, DoubleDashEndsOptionsSoMeshNamesMayStartWithADash) {
    const ParseResult result = parse({"render", "--", "-odd.obj"});
    ASSERT_EQ(result.status, ParseStatus::run);
    EXPECT_EQ(result.options.mesh_path, "-odd.obj");
}

TEST(ZrvOptions, HelpIsRecognisedAnywhere) {
    EXPECT_EQ(parse({"--help"}).status, ParseStatus::help);
    EXPECT_EQ(parse({"render", "x.obj", "-h"}).status, ParseStatus::help);
    EXPECT_NE(usage_text().find("usage: zrv render [MESH] [-o out.png]"), std::string::npos);
}

TEST(ZrvOptions, RejectsBadCommandsAndArguments) {
    expect_error({}, "no command given (try 'zrv render --help')");
    expect_error({"draw"}, "unknown command 'draw' (the commands are render, build and inspect)");
    expect_error({"render", "a.obj", "b.obj"}, "more than one mesh given ('a.obj' and 'b.obj')");
    expect_error({"render", "--colour", "red"}, "unknown option '--colour' for zrv render");
    expect_error({"render", "--width"}, "option --width needs a value");
    expect_error({"render", "-o", ""}, "the path given with -o is empty");
    expect_error({"render", "--accel", "octree"},
                 "invalid value 'octree' for --accel: expected auto, kd, bvh or two-level");
    expect_error({"render", "--ao", "12"},
                 "invalid value '12' for --ao: expected 8, 16, 36, 64 or 128 samples");
    expect_error({"render", "--ao-distance", "0"},
                 "invalid value '0' for --ao-distance: expected a distance greater than 0");
    expect_error({"render", "--tree", "t.zrv", "--accel", "bvh"},
                 "--tree loads a built structure: --accel and --build-threads do not apply");
    // Options of another command.
    expect_error({"build", "-o", "t.zrv", "--width", "64"},
                 "unknown option '--width' for zrv build");
    expect_error({"inspect", "--ao", "8"}, "unknown option '--ao' for zrv inspect");
    expect_error({"build"}, "zrv build needs the tree file to write (-o FILE)");
}

TEST(ZrvOptions, CommandsAndTheirOptions) {
    const ParseResult build = parse({"build", "m.obj", "-o", "t.zrv", "--accel=two-level"});
    ASSERT_EQ(build.status, ParseStatus::run) << build.error;
    EXPECT_EQ(build.options.command, Command::build);
    EXPECT_EQ(build.options.output_path, "t.zrv");
    EXPECT_EQ(build.options.accel, AccelChoice::two_level);
    const ParseResult inspect =
        parse({"inspect", "--tree", "t.zrv", "--vrml", "p.wrl", "--dump", "d.txt", "--json"});
    ASSERT_EQ(inspect.status, ParseStatus::run) << inspect.error;
    EXPECT_EQ(inspect.options.command, Command::inspect);
    EXPECT_EQ(inspect.options.tree_path, "t.zrv");
    EXPECT_EQ(inspect.options.vrml_path, "p.wrl");
    EXPECT_EQ(inspect.options.dump_path, "d.txt");
    EXPECT_TRUE(inspect.options.output_path.empty());
    const ParseResult render = parse({"render", "--ao", "36", "--ao-distance=2.5"});
    ASSERT_EQ(render.status, ParseStatus::run) << render.error;
    EXPECT_EQ(render.options.ao_samples, 36);
    EXPECT_FLOAT_EQ(render.options.ao_distance, 2.5f);
    EXPECT_EQ(render.options.accel, AccelChoice::automatic);
}

TEST(ZrvOptions, RejectsOutOfRangeAndMalformedNumbers) {
    expect_error({"render", "--width", "0"},
                 "invalid value '0' for --width: expected an integer from 1 to 16384");
    expect_error({"render", "--height", "16385"},
                 "invalid value '16385' for --height: expected an integer from 1 to 16384");
    expect_error({"render", "--width", "12px"},
                 "invalid value '12px' for --width: expected an integer from 1 to 16384");
    expect_error({"render", "--width", " 12"},
                 "invalid value ' 12' for --width: expected an integer from 1 to 16384");
    expect_error({"render", "--threads", "65"},
                 "invalid value '65' for --threads: expected a thread count from 1 to 64");
    expect_error({"render", "--build-threads=0"},
                 "invalid value '0' for --build-threads: expected a thread count from 1 to 64");
    expect_error(
        {"render", "--fov", "180"},
        "invalid value '180' for --fov: expected degrees greater than 0 and less than 180");
    expect_error(
        {"render", "--fov", "nan"},
        "invalid value 'nan' for --fov: expected degrees greater than 0 and less than 180");
    expect_error({"render", "--eye", "1,2"},
                 "invalid value '1,2' for --eye: expected three finite numbers x,y,z");
    expect_error({"render", "--eye", "1,2,3,4"},
                 "invalid value '1,2,3,4' for --eye: expected three finite numbers x,y,z");
    expect_error({"render", "--look-at", "1,inf,3"},
                 "invalid value '1,inf,3' for --look-at: expected three finite numbers x,y,z");
    expect_error({"render", "--light", "0,0,0"},
                 "invalid value '0,0,0' for --light: expected a non-zero direction x,y,z");
    expect_error({"render", "--eye", "1,1,1", "--look-at", "1,1,1"},
                 "--eye and --look-at are the same point");
}

} // namespace
} // namespace zrv
