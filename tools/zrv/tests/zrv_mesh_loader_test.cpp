#include "zrvMeshLoader.h"
#include "zrvTestFiles.h"
#include "zrvTriangleRecord.h"

#include <gtest/gtest.h>

#include <functional>

namespace zrv {
namespace {

using test::TempDir;
using test::TestMesh;

TEST(ZrvTriangleRecord, FillsEveryFieldTheTreeAndRendererRead) {
    triAccel record;
    ASSERT_EQ(make_triangle_record({1, 1, 1}, {3, 1, 1}, {1, 1, 5}, 7, 4, record),
              TriangleCheck::ok);
    EXPECT_EQ(record.vertex1[0], 3.0f);
    EXPECT_EQ(record.vertex2[2], 5.0f);
    // (2,0,0) x (0,0,4) = (0,-8,0): unit length, same orientation.
    EXPECT_FLOAT_EQ(record.normal[0], 0.0f);
    EXPECT_FLOAT_EQ(record.normal[1], -1.0f);
    EXPECT_FLOAT_EQ(record.normal[2], 0.0f);
    EXPECT_EQ(record.triangle_id, 7);
    EXPECT_EQ(record.host_word, 4u);
    EXPECT_EQ(record.casts_shadow, 1);
    EXPECT_EQ(record.backface_early_out, 0);
    const Vec3 n = geometric_normal(record);
    EXPECT_FLOAT_EQ(n.y, -1.0f);
}

TEST(ZrvTriangleRecord, RejectsNonFiniteAndDegenerateTriangles) {
    triAccel record;
    const float nan = std::nanf("");
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(make_triangle_record({nan, 0, 0}, {1, 0, 0}, {0, 1, 0}, 0, 0, record),
              TriangleCheck::non_finite);
    EXPECT_EQ(make_triangle_record({0, 0, 0}, {1, 0, 0}, {0, -inf, 0}, 0, 0, record),
              TriangleCheck::non_finite);
    EXPECT_EQ(make_triangle_record({0, 0, 0}, {1, 1, 1}, {2, 2, 2}, 0, 0, record),
              TriangleCheck::degenerate);
    // Finite corners whose cross product overflows have no usable normal.
    EXPECT_EQ(make_triangle_record({-3e38f, 0, 0}, {3e38f, 0, 0}, {0, 3e38f, 0}, 0, 0, record),
              TriangleCheck::degenerate);
}

// Two unit squares, at z = 0 and z = 1.
TestMesh two_squares() {
    TestMesh mesh = test::square_facing_z({0, 0, 0}, 0.5f);
    test::append(mesh, test::square_facing_z({0, 0, 1}, 0.5f));
    return mesh;
}

void expect_two_squares(const LoadedMesh& mesh) {
    ASSERT_EQ(mesh.triangles.size(), 4u);
    EXPECT_EQ(mesh.dropped_non_finite, 0u);
    EXPECT_EQ(mesh.dropped_degenerate, 0u);
    float z_sum = 0.0f;
    for (std::size_t i = 0; i < mesh.triangles.size(); ++i) {
        const triAccel& t = mesh.triangles[i];
        EXPECT_EQ(t.triangle_id, static_cast<int>(i));
        EXPECT_EQ(t.casts_shadow, 1);
        EXPECT_FLOAT_EQ(t.normal[2], 1.0f) << "counter-clockwise faces keep facing +z";
        for (const float* v : {t.vertex0, t.vertex1, t.vertex2}) {
            EXPECT_FLOAT_EQ(std::fabs(v[0]), 0.5f);
            EXPECT_FLOAT_EQ(std::fabs(v[1]), 0.5f);
            z_sum += v[2];
        }
    }
    EXPECT_FLOAT_EQ(z_sum, 6.0f); // two triangles of three corners at z = 1
}

TEST(ZrvMeshLoader, ReadsObjPlyAndOff) {
    TempDir dir;
    const std::pair<const char*, std::function<void(const std::string&, const TestMesh&)>>
        formats[] = {{"m.obj", test::write_obj},
                     {"m.ply", test::write_ascii_ply},
                     {"m.off", test::write_off}};
    for (const auto& [name, writer] : formats) {
        SCOPED_TRACE(name);
        writer(dir.file(name), two_squares());
        LoadedMesh mesh;
        std::string error;
        ASSERT_TRUE(load_mesh(dir.file(name), mesh, error)) << error;
        expect_two_squares(mesh);
    }
}

TEST(ZrvMeshLoader, TriangulatesPolygonsAndIgnoresLines) {
    TempDir dir;
    test::write_text(dir.file("quad.obj"), "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
                                           "f 1 2 3 4\nl 1 3\n");
    LoadedMesh mesh;
    std::string error;
    ASSERT_TRUE(load_mesh(dir.file("quad.obj"), mesh, error)) << error;
    EXPECT_EQ(mesh.triangles.size(), 2u);
}

TEST(ZrvMeshLoader, DropsTrianglesWithNonFiniteOrCollinearCornersAndCountsThem) {
    TempDir dir;
    test::write_text(dir.file("bad.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nv nan 0 0\nv 0 inf 0\n"
                                          "v 2 0 0\n"
                                          "f 1 2 3\nf 1 2 4\nf 1 5 3\nf 1 2 6\n");
    LoadedMesh mesh;
    std::string error;
    ASSERT_TRUE(load_mesh(dir.file("bad.obj"), mesh, error)) << error;
    ASSERT_EQ(mesh.triangles.size(), 1u);
    EXPECT_EQ(mesh.triangles[0].triangle_id, 0);
    EXPECT_EQ(mesh.dropped_non_finite, 2u);
    EXPECT_EQ(mesh.dropped_degenerate, 1u);
}

TEST(ZrvMeshLoader, ExplainsFilesThatCannotBeUsed) {
    TempDir dir;
    LoadedMesh mesh;
    std::string error;

    const std::string missing = dir.file("missing.obj");
    EXPECT_FALSE(load_mesh(missing, mesh, error));
    EXPECT_EQ(error, "cannot open mesh '" + missing + "': No such file or directory");

    EXPECT_FALSE(load_mesh(dir.path(), mesh, error));
    EXPECT_EQ(error, "cannot open mesh '" + dir.path() + "': not a regular file");

    const std::string garbage = dir.file("garbage.ply");
    test::write_text(garbage, std::string("\x7f\x01\x02 not a mesh \xff\xfe", 17));
    EXPECT_FALSE(load_mesh(garbage, mesh, error));
    EXPECT_EQ(error.rfind("cannot read mesh '" + garbage + "': ", 0), 0u) << error;

    const std::string points = dir.file("points.obj");
    test::write_text(points, "v 0 0 0\nv 1 0 0\nv 0 1 0\n");
    EXPECT_FALSE(load_mesh(points, mesh, error));
    EXPECT_EQ(error, "mesh '" + points + "' contains no triangles");

    const std::string all_bad = dir.file("all_bad.off");
    test::write_text(all_bad, "OFF\n4 2 0\n0 0 0\n1 0 0\nnan 1 0\n2 0 0\n3 0 1 2\n3 0 1 3\n");
    EXPECT_FALSE(load_mesh(all_bad, mesh, error));
    EXPECT_EQ(error, "mesh '" + all_bad +
                         "' contains no triangles that can be rendered (2 invalid ones "
                         "dropped)");
    EXPECT_EQ(mesh.dropped_non_finite, 1u);
    EXPECT_EQ(mesh.dropped_degenerate, 1u);
}

} // namespace
} // namespace zrv
