#include "zrvMeshLoader.h"
#include "zrvTestFiles.h"

#include <gtest/gtest.h>

#include <cmath>

namespace zrv {
namespace {

using test::TempDir;

TEST(ZrvMeshLoader, ReadsObjPlyAndOff) {
    TempDir dir;
    for (const char* name : {"m.obj", "m.ply", "m.off"}) {
        SCOPED_TRACE(name);
        // Two unit squares, at z = 0 and z = 1.
        test::write_mesh(dir.file(name),
                         test::TestMesh().square({0, 0, 0}, 0.5f).square({0, 0, 1}, 0.5f));
        LoadedMesh mesh;
        std::string error;
        ASSERT_TRUE(load_mesh(dir.file(name), mesh, error)) << error;
        ASSERT_EQ(mesh.triangles.size(), 4u);
        EXPECT_EQ(mesh.dropped_non_finite + mesh.dropped_degenerate, 0u);
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
}

TEST(ZrvMeshLoader, TriangulatesPolygonsIgnoresLinesAndCountsDroppedTriangles) {
    TempDir dir;
    // A quad and a line, then triangles with a NaN corner, an infinite one,
    // collinear corners and finite corners whose cross product overflows.
    test::write_text(dir.file("m.obj"), "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv nan 0 0\nv 0 inf 0\n"
                                        "v 2 0 0\nv -3e38 0 0\nv 3e38 0 0\nv 0 3e38 0\n"
                                        "f 1 2 3 4\nl 1 3\nf 1 2 5\nf 1 6 3\nf 1 2 7\nf 8 9 10\n");
    LoadedMesh mesh;
    std::string error;
    ASSERT_TRUE(load_mesh(dir.file("m.obj"), mesh, error)) << error;
    ASSERT_EQ(mesh.triangles.size(), 2u);
    EXPECT_EQ(mesh.triangles[1].triangle_id, 1);
    EXPECT_EQ(mesh.dropped_non_finite, 2u);
    EXPECT_EQ(mesh.dropped_degenerate, 2u);
}

} // namespace
} // namespace zrv
