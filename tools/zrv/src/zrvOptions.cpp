#include "zrvOptions.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <algorithm>
#include <map>
#include <sstream>
#include <vector>

namespace zrv {

namespace {

bool parse_int(const std::string& text, int low, int high, int& value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

bool parse_float(const std::string& text, float& value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    const float parsed = std::strtof(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(parsed))
        return false;
    value = parsed;
    return true;
}

bool parse_vec3(const std::string& text, Vec3& value) {
    float c[3];
    std::size_t start = 0;
    for (int k = 0; k < 3; ++k) {
        const std::size_t comma = text.find(',', start);
        const bool last = k == 2;
        if (last != (comma == std::string::npos))
            return false;
        const std::string part = text.substr(start, last ? std::string::npos : comma - start);
        if (!parse_float(part, c[k]))
            return false;
        start = comma + 1;
    }
    value = Vec3(c[0], c[1], c[2]);
    return true;
}

std::string invalid(const std::string& option, const std::string& value,
                    const std::string& expected) {
    return "invalid value '" + value + "' for " + option + ": expected " + expected;
}

using Setter = std::function<bool(const std::string& value, RenderOptions&, std::string& error)>;

Setter int_option(const char* name, int low, int high, int RenderOptions::*field,
                  const char* what) {
    return [=](const std::string& value, RenderOptions& options, std::string& error) {
        if (parse_int(value, low, high, options.*field))
            return true;
        error = invalid(name, value,
                        std::string(what) + " from " + std::to_string(low) + " to " +
                            std::to_string(high));
        return false;
    };
}

Setter point_option(const char* name, std::optional<Vec3> RenderOptions::*field) {
    return [=](const std::string& value, RenderOptions& options, std::string& error) {
        Vec3 p;
        if (!parse_vec3(value, p)) {
            error = invalid(name, value, "three finite numbers x,y,z");
            return false;
        }
        options.*field = p;
        return true;
    };
}

bool parse_direction(const char* name, const std::string& value, Vec3& direction,
                     std::string& error) {
    if (parse_vec3(value, direction) && length(direction) > 0.0f &&
        std::isfinite(length(direction)))
        return true;
    error = invalid(name, value, "a non-zero direction x,y,z");
    return false;
}

Setter path_option(const char* name, std::string RenderOptions::*field) {
    return [=](const std::string& value, RenderOptions& options, std::string& error) {
        if (value.empty()) {
            error = std::string("the path given with ") + name + " is empty";
            return false;
        }
        options.*field = value;
        return true;
    };
}

const std::map<std::string, Setter>& value_options() {
    static const std::map<std::string, Setter> options = {
        {"-o", path_option("-o", &RenderOptions::output_path)},
        {"--tree", path_option("--tree", &RenderOptions::tree_path)},
        {"--vrml", path_option("--vrml", &RenderOptions::vrml_path)},
        {"--dump", path_option("--dump", &RenderOptions::dump_path)},
        {"--accel",
         [](const std::string& value, RenderOptions& options, std::string& error) {
             if (!parse_accel_choice(value, options.accel)) {
                 error = invalid("--accel", value, "auto, kd, bvh, two-level or wide");
                 return false;
             }
             options.accel_given = true;
             return true;
         }},
        {"--ao",
         [](const std::string& value, RenderOptions& options, std::string& error) {
             for (int count : {8, 16, 36, 64, 128})
                 if (value == std::to_string(count)) {
                     options.ao_samples = count;
                     return true;
                 }
             error = invalid("--ao", value, "8, 16, 36, 64 or 128 samples");
             return false;
         }},
        {"--ao-distance",
         [](const std::string& value, RenderOptions& options, std::string& error) {
             if (!parse_float(value, options.ao_distance) || !(options.ao_distance > 0.0f)) {
                 error = invalid("--ao-distance", value, "a distance greater than 0");
                 return false;
             }
             return true;
         }},
        {"--width", int_option("--width", 1, max_image_side, &RenderOptions::width, "an integer")},
        {"--height",
         int_option("--height", 1, max_image_side, &RenderOptions::height, "an integer")},
        {"--fov",
         [](const std::string& value, RenderOptions& options, std::string& error) {
             float fov = 0.0f;
             if (!parse_float(value, fov) || !(fov > 0.0f) || !(fov < 180.0f)) {
                 error = invalid("--fov", value, "degrees greater than 0 and less than 180");
                 return false;
             }
             options.fov_degrees = fov;
             return true;
         }},
        {"--eye", point_option("--eye", &RenderOptions::eye)},
        {"--look-at", point_option("--look-at", &RenderOptions::look_at)},
        {"--up",
         [](const std::string& value, RenderOptions& options, std::string& error) {
             Vec3 up;
             if (!parse_direction("--up", value, up, error))
                 return false;
             options.up = up;
             return true;
         }},
        {"--light",
         [](const std::string& value, RenderOptions& options, std::string& error) {
             return parse_direction("--light", value, options.toward_light, error);
         }},
        {"--threads", int_option("--threads", 1, max_thread_count, &RenderOptions::render_threads,
                                 "a thread count")},
        {"--build-threads", int_option("--build-threads", 1, max_thread_count,
                                       &RenderOptions::build_threads, "a thread count")},
    };
    return options;
}

constexpr unsigned for_render = 1u << static_cast<int>(Command::render);
constexpr unsigned for_build = 1u << static_cast<int>(Command::build);
constexpr unsigned for_inspect = 1u << static_cast<int>(Command::inspect);
constexpr unsigned for_all = for_render | for_build | for_inspect;

// Every option with the commands that take it and its line in their --help
// (besides -h, --help and --): what a command accepts and what its help
// lists come from this one table.
struct OptionEntry {
    const char* names; // as the help shows them
    const char* name;  // the parser's spelling
    const char* alias; // another spelling, or nullptr
    unsigned commands;
    const char* help; // lines after the first indented in the help
};

const OptionEntry option_table[] = {
    {"-o PATH", "-o", nullptr, for_render, "output PNG (default zrv.png)"},
    {"-o FILE", "-o", nullptr, for_build, "the tree file to write"},
    {"--width N", "--width", nullptr, for_render, "image width in pixels (default 1280)"},
    {"--height N", "--height", nullptr, for_render, "image height in pixels (default 720)"},
    {"--fov DEGREES", "--fov", nullptr, for_render, "vertical field of view (default 45)"},
    {"--eye X,Y,Z", "--eye", nullptr, for_render,
     "camera position (default: far enough to see the whole scene)"},
    {"--look-at X,Y,Z", "--look-at", nullptr, for_render,
     "point the camera looks at (default: the scene's centre)"},
    {"--up X,Y,Z", "--up", nullptr, for_render,
     "up direction of the image (default 0,1,0)\n"
     "(without MESH the camera defaults to the default scene's view)"},
    {"--light X,Y,Z", "--light", nullptr, for_render,
     "direction towards the light (default -0.45,1,0.6)"},
    {"--ao N", "--ao", nullptr, for_render,
     "ambient occlusion with N samples: 8, 16, 36, 64 or 128"},
    {"--ao-distance D", "--ao-distance", nullptr, for_render,
     "occluders farther than D do not count\n(default: a fiftieth of the scene's diagonal)"},
    {"--accel KIND", "--accel", nullptr, for_render | for_inspect,
     "auto (default: wide), kd, bvh, two-level or wide"},
    {"--accel KIND", "--accel", nullptr, for_build,
     "auto (default: wide), kd, bvh, two-level or wide"},
    {"--flatten", "--flatten", nullptr, for_render | for_inspect,
     "trace the file's placed meshes as one mesh in world space\n"
     "(by default, under auto or wide, a file that places a mesh\n"
     "more than once is traced as instances)"},
    {"--tree FILE", "--tree", nullptr, for_render | for_inspect,
     "load the structure saved by zrv build instead of building\n"
     "(then --accel and --build-threads do not apply)"},
    {"--vrml OUT.wrl", "--vrml", nullptr, for_inspect,
     "the KD-tree's split planes with the mesh, VRML97"},
    {"--dump OUT.txt", "--dump", nullptr, for_inspect, "the BVH's tree dump"},
    {"--threads N", "--threads", nullptr, for_render,
     "render threads, 1 to 64 (default: processor count)"},
    {"--build-threads N", "--build-threads", nullptr, for_all,
     "build threads, 1 to 64 (default: 4)"},
    {"--json", "--json", nullptr, for_all, "print the report as one JSON object on stdout"},
    {"-q, --quiet", "-q", "--quiet", for_all, "no progress on a terminal"},
};

bool allowed_for(Command command, const std::string& name) {
    for (const OptionEntry& entry : option_table)
        if (((entry.commands >> static_cast<int>(command)) & 1u) != 0 &&
            (name == entry.name || (entry.alias != nullptr && name == entry.alias)))
            return true;
    return false;
}

} // namespace

ParseResult parse_command_line(int argc, const char* const* argv) {
    ParseResult result;
    if (argc < 2) {
        result.error = "no command given (try 'zrv render --help')";
        return result;
    }
    const std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        result.status = ParseStatus::help;
        result.command_given = false;
        return result;
    }
    RenderOptions& options = result.options;
    if (command == "render") {
        options.command = Command::render;
    } else if (command == "build") {
        options.command = Command::build;
    } else if (command == "inspect") {
        options.command = Command::inspect;
    } else {
        result.error =
            "unknown command '" + command + "' (the commands are render, build and inspect)";
        return result;
    }
    bool have_mesh = false;
    bool options_ended = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_ended || arg.empty() || arg[0] != '-' || arg == "-") {
            if (have_mesh) {
                result.error =
                    "more than one mesh given ('" + options.mesh_path + "' and '" + arg + "')";
                return result;
            }
            if (arg.empty()) {
                result.error = "the mesh path is empty";
                return result;
            }
            options.mesh_path = arg;
            have_mesh = true;
            continue;
        }
        if (arg == "--") {
            options_ended = true;
        } else if (arg == "-h" || arg == "--help") {
            result.status = ParseStatus::help;
            return result;
        } else if (arg == "--json" && allowed_for(options.command, arg)) {
            options.json = true;
        } else if (arg == "--flatten" && allowed_for(options.command, arg)) {
            options.flatten = true;
        } else if ((arg == "--quiet" || arg == "-q") && allowed_for(options.command, arg)) {
            options.quiet = true;
        } else {
            std::string name = arg;
            std::string value;
            bool have_value = false;
            const std::size_t equals = arg.find('=');
            if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
                name = arg.substr(0, equals);
                value = arg.substr(equals + 1);
                have_value = true;
            }
            const auto found = value_options().find(name);
            if (found == value_options().end() || !allowed_for(options.command, name)) {
                result.error = "unknown option '" + name + "' for zrv " + command;
                return result;
            }
            if (!have_value) {
                if (i + 1 >= argc) {
                    result.error = "option " + name + " needs a value";
                    return result;
                }
                value = argv[++i];
            }
            if (!found->second(value, options, result.error))
                return result;
        }
    }
    if (options.eye && options.look_at && length(*options.eye - *options.look_at) == 0.0f) {
        result.error = "--eye and --look-at are the same point";
        return result;
    }
    if (!options.tree_path.empty() && (options.accel_given || options.build_threads > 0)) {
        result.error = "--tree loads a built structure: --accel and --build-threads do not apply";
        return result;
    }
    if (options.command == Command::build && options.output_path.empty()) {
        result.error = "zrv build needs the tree file to write (-o FILE)";
        return result;
    }
    if (options.command == Command::render && options.output_path.empty())
        options.output_path = "zrv.png";
    result.status = ParseStatus::run;
    return result;
}

namespace {

const char* const usage_lines[] = {
    "zrv render [MESH] [options]",
    "zrv build [MESH] -o FILE [options]",
    "zrv inspect [MESH | --tree FILE] [options]",
};

} // namespace

std::string usage_text() {
    std::ostringstream text;
    text << "usage: " << usage_lines[0] << "\n       " << usage_lines[1] << "\n       "
         << usage_lines[2]
         << "\n\n"
            "render draws MESH (OBJ, PLY, OFF, STL, glTF and the other formats assimp reads)\n"
            "or, without MESH, the built-in default scene, and writes a PNG. build saves the\n"
            "built acceleration structure to FILE; render and inspect load one with --tree.\n"
            "inspect prints the structure's statistics and writes its planes or dump.\n"
            "\n"
            "'zrv COMMAND --help' lists the options of COMMAND.\n";
    return text.str();
}

std::string usage_text(Command command) {
    std::ostringstream text;
    text << "usage: " << usage_lines[static_cast<int>(command)] << "\n\n";
    constexpr std::size_t column = 23;
    const auto line = [&](const std::string& names, const std::string& help) {
        std::size_t start = 0;
        std::string left = "  " + names;
        while (true) {
            const std::size_t end = help.find('\n', start);
            left.resize(std::max(column, left.size() + 1), ' ');
            text << left << help.substr(start, end - start) << '\n';
            if (end == std::string::npos)
                break;
            start = end + 1;
            left.clear();
        }
    };
    for (const OptionEntry& entry : option_table)
        if (((entry.commands >> static_cast<int>(command)) & 1u) != 0)
            line(entry.names, entry.help);
    line("-h, --help", "this text");
    return text.str();
}

} // namespace zrv
