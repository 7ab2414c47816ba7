#include "zrvTestFiles.h"

#include <algorithm>
#include <cmath>

#include <png.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zrv::test {

namespace {

void remove_tree(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0)
        return;
    if (S_ISDIR(info.st_mode)) {
        if (DIR* dir = opendir(path.c_str())) {
            while (dirent* entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..")
                    remove_tree(path + "/" + name);
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

std::string shell_quote(const std::string& s) {
    std::string out = "'";
    for (const char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/zrv-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = name.data();
}

TempDir::~TempDir() {
    remove_tree(path_);
}

std::vector<std::string> TempDir::entries() const {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path_.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TestMesh square_facing_z(const Vec3& c, float half) {
    TestMesh mesh;
    mesh.vertices = {{c.x - half, c.y - half, c.z},
                     {c.x + half, c.y - half, c.z},
                     {c.x + half, c.y + half, c.z},
                     {c.x - half, c.y + half, c.z}};
    mesh.faces = {{0, 1, 2}, {0, 2, 3}};
    return mesh;
}

void append(TestMesh& a, const TestMesh& b) {
    const int base = static_cast<int>(a.vertices.size());
    a.vertices.insert(a.vertices.end(), b.vertices.begin(), b.vertices.end());
    for (const auto& f : b.faces)
        a.faces.push_back({f[0] + base, f[1] + base, f[2] + base});
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

bool file_exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_obj(const std::string& path, const TestMesh& mesh) {
    std::ostringstream text;
    text << "# zrv test mesh\n";
    for (const Vec3& v : mesh.vertices)
        text << "v " << v.x << ' ' << v.y << ' ' << v.z << '\n';
    for (const auto& f : mesh.faces)
        text << "f " << f[0] + 1 << ' ' << f[1] + 1 << ' ' << f[2] + 1 << '\n';
    write_text(path, text.str());
}

void write_ascii_ply(const std::string& path, const TestMesh& mesh) {
    std::ostringstream text;
    text << "ply\nformat ascii 1.0\nelement vertex " << mesh.vertices.size()
         << "\nproperty float x\nproperty float y\nproperty float z\nelement face "
         << mesh.faces.size() << "\nproperty list uchar int vertex_indices\nend_header\n";
    for (const Vec3& v : mesh.vertices)
        text << v.x << ' ' << v.y << ' ' << v.z << '\n';
    for (const auto& f : mesh.faces)
        text << "3 " << f[0] << ' ' << f[1] << ' ' << f[2] << '\n';
    write_text(path, text.str());
}

void write_off(const std::string& path, const TestMesh& mesh) {
    std::ostringstream text;
    text << "OFF\n" << mesh.vertices.size() << ' ' << mesh.faces.size() << " 0\n";
    for (const Vec3& v : mesh.vertices)
        text << v.x << ' ' << v.y << ' ' << v.z << '\n';
    for (const auto& f : mesh.faces)
        text << "3 " << f[0] << ' ' << f[1] << ' ' << f[2] << '\n';
    write_text(path, text.str());
}

bool read_png(const std::string& path, Image& image) {
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

ProcessResult run_zrv(const std::vector<std::string>& args, const TempDir& dir) {
    const std::string out_file = dir.path() + "/.zrv-stdout";
    const std::string err_file = dir.path() + "/.zrv-stderr";
    std::string command = "cd " + shell_quote(dir.path()) + " && " + shell_quote(ZRV_EXECUTABLE);
    for (const std::string& arg : args)
        command += " " + shell_quote(arg);
    command += " >" + shell_quote(out_file) + " 2>" + shell_quote(err_file) + " </dev/null";
    const int status = std::system(command.c_str());
    ProcessResult result;
    if (status != -1 && WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    result.out = read_text(out_file);
    result.err = read_text(err_file);
    unlink(out_file.c_str());
    unlink(err_file.c_str());
    return result;
}

int reference_srgb(double c) {
    c = std::min(1.0, std::max(0.0, c));
    const double e = c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1.0 / 2.4) - 0.055;
    return static_cast<int>(std::floor(e * 255.0 + 0.5));
}

} // namespace zrv::test
