// Scratch directories, small meshes in zrv's formats, PNGs and zrv runs.
#pragma once

#include "zrvImage.h"
#include "zrvVec3.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <png.h>
#include <pty.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace zrv::test {

// A fresh directory under the temporary directory, removed with its contents.
struct TempDir {
    std::string path = std::filesystem::temp_directory_path() / "zrv-test-XXXXXX";
    TempDir() { EXPECT_NE(mkdtemp(path.data()), nullptr); }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
};

struct TestMesh {
    std::vector<Vec3> vertices;
    std::vector<std::array<int, 3>> faces; // 0-based vertex indices

    // Adds a square of side 2 * half centred at c in the plane z = c.z, its
    // front (counter-clockwise) side facing +z, or -z if back.
    TestMesh& square(const Vec3& c, float half, bool back = false) {
        const int b = static_cast<int>(vertices.size());
        for (const auto& [dx, dy] : {std::pair{-1, -1}, {1, -1}, {1, 1}, {-1, 1}})
            vertices.emplace_back(c.x + dx * half, c.y + dy * half, c.z);
        faces.push_back({b, b + 1 + back, b + 2 - back});
        faces.push_back({b, b + 2 + back, b + 3 - back});
        return *this;
    }
};

// Whether text holds part; when not, the failure shows text.
inline testing::AssertionResult holds(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

inline void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_text(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// Writes mesh as OBJ, ASCII PLY or OFF, after the extension of path.
inline void write_mesh(const std::string& path, const TestMesh& mesh) {
    const std::string format = path.substr(path.rfind('.') + 1);
    const bool obj = format == "obj";
    std::ostringstream text;
    if (format == "ply")
        text << "ply\nformat ascii 1.0\nelement vertex " << mesh.vertices.size()
             << "\nproperty float x\nproperty float y\nproperty float z\nelement face "
             << mesh.faces.size() << "\nproperty list uchar int vertex_indices\nend_header\n";
    else if (format == "off")
        text << "OFF\n" << mesh.vertices.size() << ' ' << mesh.faces.size() << " 0\n";
    for (const Vec3& v : mesh.vertices)
        text << (obj ? "v " : "") << v.x << ' ' << v.y << ' ' << v.z << '\n';
    for (const auto& f : mesh.faces) // OBJ counts vertices from 1
        text << (obj ? "f " : "3 ") << f[0] + obj << ' ' << f[1] + obj << ' ' << f[2] + obj << '\n';
    write_text(path, text.str());
}

// A node of a glTF scene graph: a column-major 4x4 matrix (as glTF writes
// it), the mesh it places (or -1) and its children's indices.
struct GltfNode {
    std::array<float, 16> matrix = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    int mesh = -1;
    std::vector<int> children;
};

inline std::string base64(const std::string& bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        unsigned int word = 0;
        for (std::size_t k = 0; k < 3; ++k)
            word =
                word << 8 | (i + k < bytes.size() ? static_cast<unsigned char>(bytes[i + k]) : 0);
        for (std::size_t k = 0; k < 4; ++k)
            out += k <= bytes.size() - i ? digits[(word >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

// Writes a text glTF 2.0 file whose buffer (float positions, then 32-bit
// indices, per mesh) is embedded as a data URI; nodes[0] is the root.
inline void write_gltf(const std::string& path, const std::vector<TestMesh>& meshes,
                       const std::vector<GltfNode>& nodes) {
    using Json = nlohmann::json;
    std::string buffer;
    Json gltf = {{"asset", {{"version", "2.0"}}}, {"scene", 0}, {"scenes", {{{"nodes", {0}}}}}};
    const auto accessor = [&](const auto& values, int type, const char* shape, std::size_t n) {
        const std::size_t bytes = values.size() * sizeof(values[0]);
        gltf["bufferViews"].push_back(
            {{"buffer", 0}, {"byteOffset", buffer.size()}, {"byteLength", bytes}});
        buffer.append(reinterpret_cast<const char*>(values.data()), bytes);
        gltf["accessors"].push_back({{"bufferView", gltf["bufferViews"].size() - 1},
                                     {"componentType", type},
                                     {"type", shape},
                                     {"count", n}});
        return gltf["accessors"].size() - 1;
    };
    for (const TestMesh& mesh : meshes) {
        std::vector<float> positions;
        for (const Vec3& v : mesh.vertices)
            positions.insert(positions.end(), {v.x, v.y, v.z});
        std::vector<std::uint32_t> indices;
        for (const auto& f : mesh.faces)
            indices.insert(indices.end(), f.begin(), f.end());
        const auto at = accessor(positions, 5126, "VEC3", mesh.vertices.size());
        const auto index = accessor(indices, 5125, "SCALAR", indices.size());
        gltf["meshes"].push_back(
            {{"primitives", {{{"attributes", {{"POSITION", at}}}, {"indices", index}}}}});
    }
    for (const GltfNode& node : nodes) {
        Json entry = {{"matrix", node.matrix}};
        if (node.mesh >= 0)
            entry["mesh"] = node.mesh;
        if (!node.children.empty())
            entry["children"] = node.children;
        gltf["nodes"].push_back(entry);
    }
    gltf["buffers"] = {{{"byteLength", buffer.size()},
                        {"uri", "data:application/octet-stream;base64," + base64(buffer)}}};
    write_text(path, gltf.dump() + "\n");
}

// Reads an 8-bit RGB PNG; false if the file is missing or not a PNG.
inline bool read_png(const std::string& path, Image& image) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str()))
        return false;
    png.format = PNG_FORMAT_RGB;
    image = Image(static_cast<int>(png.width), static_cast<int>(png.height));
    const bool ok =
        png_image_finish_read(&png, nullptr, image.rgb.data(), image.width * 3, nullptr) != 0;
    png_image_free(&png);
    return ok;
}

struct ProcessResult {
    int exit_code; // -1: did not exit normally
    std::string out, err;
};

// The shell command running zrv with args (none holding a single quote) in dir.
inline std::string zrv_command(const std::vector<std::string>& args, const TempDir& dir) {
    std::string command = "cd '" + dir.path + "' && '" ZRV_EXECUTABLE "'";
    for (const std::string& arg : args)
        command += " '" + arg + "'";
    return command;
}

// Runs zrv, its stdout and stderr captured.
inline ProcessResult run_zrv(const std::vector<std::string>& args, const TempDir& dir) {
    const int status = std::system((zrv_command(args, dir) + " >.out 2>.err </dev/null").c_str());
    ProcessResult result{status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                         read_text(dir.file(".out")), read_text(dir.file(".err"))};
    std::filesystem::remove(dir.file(".out"));
    std::filesystem::remove(dir.file(".err"));
    return result;
}

// Runs zrv like run_zrv but with stderr on a terminal, whose output is err.
inline ProcessResult run_zrv_on_terminal(const std::vector<std::string>& args, const TempDir& dir) {
    const std::string command = zrv_command(args, dir) + " >.out </dev/null";
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ProcessResult result{-1, "", ""};
    if (pid < 0)
        return result;
    char buffer[4096];
    ssize_t n;
    while ((n = read(terminal, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        result.err.append(buffer, n > 0 ? n : 0); // ends with EIO once zrv has exited
    close(terminal);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    result.out = read_text(dir.file(".out"));
    std::filesystem::remove(dir.file(".out"));
    return result;
}

// The sRGB transfer function in double precision, rounded to 8 bits: an
// oracle for the colours the renderer must produce.
inline int reference_srgb(double c) {
    c = std::min(1.0, std::max(0.0, c));
    const double e = c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1.0 / 2.4) - 0.055;
    return static_cast<int>(std::floor(e * 255.0 + 0.5));
}

} // namespace zrv::test
