// Files for the zrv tests: a scratch directory, small meshes written in
// several formats, PNG reading and running the zrv executable.
#ifndef ZRV_TEST_FILES_H
#define ZRV_TEST_FILES_H

#include "zrvImage.h"
#include "zrvVec3.h"

#include <array>
#include <string>
#include <vector>

namespace zrv::test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Names of the entries in the directory, sorted.
    std::vector<std::string> entries() const;

private:
    std::string path_;
};

struct TestMesh {
    std::vector<Vec3> vertices;
    std::vector<std::array<int, 3>> faces; // 0-based vertex indices
};

// A square of side 2 * half centred at centre, in the plane z = centre.z,
// its front (counter-clockwise) side facing +z.
TestMesh square_facing_z(const Vec3& centre, float half);
// Appends b's vertices and faces to a.
void append(TestMesh& a, const TestMesh& b);

void write_obj(const std::string& path, const TestMesh& mesh);
void write_ascii_ply(const std::string& path, const TestMesh& mesh);
void write_off(const std::string& path, const TestMesh& mesh);
void write_text(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);
std::string read_text(const std::string& path);

// Reads an 8-bit RGB PNG; false if the file is missing or not a PNG.
bool read_png(const std::string& path, Image& image);

struct ProcessResult {
    int exit_code = -1; // -1: did not exit normally
    std::string out;
    std::string err;
};

// Runs the zrv executable with args (each passed as one argument) in the
// directory dir, capturing its output.
ProcessResult run_zrv(const std::vector<std::string>& args, const TempDir& dir);

// The sRGB transfer function in double precision, rounded to 8 bits: an
// oracle for the colours the renderer must produce.
int reference_srgb(double c);

} // namespace zrv::test

#endif // ZRV_TEST_FILES_H
