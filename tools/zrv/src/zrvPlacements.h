// Meshes placed by a file's node tree: carrying their triangles to world
// space, as a flattened scene or only to bound it.
#ifndef ZRV_PLACEMENTS_H
#define ZRV_PLACEMENTS_H

#include "zrvBounds.h"
#include "zrvTriangleRecord.h"

#include <gfxRayTracing.h>

#include <string>

namespace zrv {

// One node's use of a mesh: transform carries the mesh's space to the
// world's, 3x4 row-major (world[r] = t[4r] x + t[4r + 1] y + t[4r + 2] z +
// t[4r + 3]), accumulated down the node tree in float as assimp does.
struct Placement {
    unsigned int mesh = 0; // index into LoadedMesh::meshes
    float transform[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
};

// Carries a point by a placement's transform, rounding as assimp's product
// of a matrix and a vector does (each row summed from left to right).
Vec3 place_point(const float transform[12], const float point[3]);

// Carries one triangle to world space. Returns what make_triangle_record
// says of the result; world is written only when it is usable.
TriangleCheck place_triangle(const triAccel& triangle, const float transform[12], int triangle_id,
                             triAccel& world);

// A unit normal in world space from an instance's normal in its mesh's
// space: carried by the transpose of the inverse transform (which keeps it
// square to the carried surface under any scaling), then normalised.
Vec3 carry_normal(const float inverse[12], const Vec3& normal);

struct LoadedMesh;

// Fills mesh.triangles with every placement's triangles in world space, in
// the order of the placements (triangle_id = index, host_word kept), adding
// to the dropped counts those that a transform leaves unusable. False with a
// one-line error when they are more than max_triangle_count.
bool flatten_mesh(LoadedMesh& mesh, std::string& error);

// The box flatten_mesh's triangles would have, without making them.
Bounds placed_bounds(const LoadedMesh& mesh);

} // namespace zrv

#endif // ZRV_PLACEMENTS_H
