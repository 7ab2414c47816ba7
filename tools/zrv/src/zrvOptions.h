// Command line of zrv: `render`, `build` and `inspect`.
#ifndef ZRV_OPTIONS_H
#define ZRV_OPTIONS_H

#include "zrvSceneStructure.h"
#include "zrvVec3.h"

#include <optional>
#include <string>

namespace zrv {

constexpr int max_image_side = 16384;
constexpr int max_thread_count = 64; // a tree holds at most 64 traversal stacks

enum class Command { render, build, inspect };

struct RenderOptions {
    Command command = Command::render;
    std::string mesh_path;   // empty: the built-in default scene
    std::string output_path; // render: the PNG (default zrv.png); build: the tree file
    int width = 1280;
    int height = 720;
    // The camera. Unset values come from the default scene's own view, or
    // for a mesh: 45 degrees, up +y, looking at the centre of its box from
    // far enough away to see all of it.
    std::optional<float> fov_degrees; // vertical field of view
    std::optional<Vec3> eye;
    std::optional<Vec3> look_at;
    std::optional<Vec3> up;
    Vec3 toward_light{-0.45f, 1.0f, 0.6f}; // direction towards the light, any length
    int render_threads = 0;                // 0: the processor count
    int build_threads = 0;                 // 0: see default_build_threads
    AccelChoice accel = AccelChoice::automatic;
    bool accel_given = false;
    std::string tree_path;    // render, inspect: load the structure from this file
    int ao_samples = 0;       // render: 0 or a sample set size (8, 16, 36, 64, 128)
    float ao_distance = 0.0f; // 0: a fiftieth of the scene's diagonal
    std::string vrml_path;    // inspect: KD-tree split planes as a VRML97 file
    std::string dump_path;    // inspect: the BVH dump
    bool flatten = false;     // a mesh file's placed meshes as one mesh, never instanced
    bool json = false;
    bool quiet = false;
};

enum class ParseStatus { run, help, error };

struct ParseResult {
    ParseStatus status = ParseStatus::error;
    RenderOptions options;
    std::string error; // one line, without the program prefix
    // help: false for the help of zrv itself, true for options.command's.
    bool command_given = true;
};

// Parses argv (argv[0] is the program name). Options take their value either
// as the next argument or after '=' (--width=640).
ParseResult parse_command_line(int argc, const char* const* argv);

// The commands' usage lines, and a command's usage with the options it takes.
std::string usage_text();
std::string usage_text(Command command);

} // namespace zrv

#endif // ZRV_OPTIONS_H
