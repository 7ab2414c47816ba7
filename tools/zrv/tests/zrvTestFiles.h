// Files for the zrv tests: a scratch directory, small meshes in the formats
// zrv reads, PNG reading and running the zrv executable.
#ifndef ZRV_TEST_FILES_H
#define ZRV_TEST_FILES_H

#include "zrvImage.h"
#include "zrvVec3.h"

#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <utility>
#include <vector>

namespace zrv::test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        path_ = std::string(base && *base ? base : "/tmp") + "/zrv-test-XXXXXX";
        if (mkdtemp(path_.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Names of the entries in the directory, sorted.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string path_;
};

struct TestMesh {
    std::vector<Vec3> vertices;
    std::vector<std::array<int, 3>> faces; // 0-based vertex indices

    // Adds a square of side 2 * half centred at centre, in the plane
    // z = centre.z, its front (counter-clockwise) side facing +z.
    TestMesh& square(const Vec3& c, float half) {
        const int base = static_cast<int>(vertices.size());
        for (const auto& [dx, dy] : {std::pair{-1, -1}, {1, -1}, {1, 1}, {-1, 1}})
            vertices.emplace_back(c.x + dx * half, c.y + dy * half, c.z);
        faces.push_back({base, base + 1, base + 2});
        faces.push_back({base, base + 2, base + 3});
        return *this;
    }
    // Reverses the winding of the faces so far, turning them around.
    TestMesh& flip() {
        for (auto& f : faces)
            std::swap(f[1], f[2]);
        return *this;
    }
};

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

// Reads an 8-bit RGB PNG; false if the file is missing or not a PNG.
inline bool read_png(const std::string& path, Image& image) {
    png_image png;
    std::memset(&png, 0, sizeof(png));
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
    int exit_code = -1; // -1: did not exit normally
    std::string out;
    std::string err;
};

// Runs the zrv executable with args (each passed as one argument) in the
// directory dir, capturing its output.
inline ProcessResult run_zrv(const std::vector<std::string>& args, const TempDir& dir) {
    const auto quote = [](const std::string& s) {
        std::string out = "'";
        for (const char c : s)
            out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    };
    const std::string out_file = dir.file(".zrv-stdout"), err_file = dir.file(".zrv-stderr");
    std::string command = "cd " + quote(dir.path()) + " && " + quote(ZRV_EXECUTABLE);
    for (const std::string& arg : args)
        command += " " + quote(arg);
    command += " >" + quote(out_file) + " 2>" + quote(err_file) + " </dev/null";
    const int status = std::system(command.c_str());
    ProcessResult result;
    if (status != -1 && WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    result.out = read_text(out_file);
    result.err = read_text(err_file);
    std::filesystem::remove(out_file);
    std::filesystem::remove(err_file);
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

#endif // ZRV_TEST_FILES_H
