#include "zrvPlacements.h"

#include "zrvMeshLoader.h"

namespace zrv {

namespace {

// Calls visit(world) for each usable placed triangle, in flattened order,
// and counts the others into non_finite and degenerate.
template <typename Visit>
void for_each_placed_triangle(const LoadedMesh& mesh, std::size_t& non_finite,
                              std::size_t& degenerate, Visit visit) {
    int id = 0;
    for (const Placement& placement : mesh.placements)
        for (const triAccel& triangle : mesh.meshes[placement.mesh]) {
            triAccel world;
            switch (place_triangle(triangle, placement.transform, id, world)) {
            case TriangleCheck::ok:
                visit(world);
                ++id;
                break;
            case TriangleCheck::non_finite:
                ++non_finite;
                break;
            case TriangleCheck::degenerate:
                ++degenerate;
                break;
            }
        }
}

} // namespace

Vec3 place_point(const float t[12], const float p[3]) {
    return Vec3(t[0] * p[0] + t[1] * p[1] + t[2] * p[2] + t[3],
                t[4] * p[0] + t[5] * p[1] + t[6] * p[2] + t[7],
                t[8] * p[0] + t[9] * p[1] + t[10] * p[2] + t[11]);
}

TriangleCheck place_triangle(const triAccel& triangle, const float transform[12], int triangle_id,
                             triAccel& world) {
    return make_triangle_record(
        place_point(transform, triangle.vertex0), place_point(transform, triangle.vertex1),
        place_point(transform, triangle.vertex2), triangle_id, triangle.host_word, world);
}

Vec3 carry_normal(const float m[12], const Vec3& n) {
    return normalize(Vec3(m[0] * n.x + m[4] * n.y + m[8] * n.z,
                          m[1] * n.x + m[5] * n.y + m[9] * n.z,
                          m[2] * n.x + m[6] * n.y + m[10] * n.z));
}

bool flatten_mesh(LoadedMesh& mesh, std::string& error) {
    if (mesh.placed_triangle_count() > max_triangle_count) {
        error = "the placed meshes hold more triangles than the renderer supports";
        return false;
    }
    mesh.triangles.clear();
    mesh.triangles.reserve(mesh.placed_triangle_count());
    for_each_placed_triangle(mesh, mesh.dropped_non_finite, mesh.dropped_degenerate,
                             [&](const triAccel& world) { mesh.triangles.push_back(world); });
    return true;
}

Bounds placed_bounds(const LoadedMesh& mesh) {
    std::size_t ignored = 0;
    Bounds box;
    for_each_placed_triangle(mesh, ignored, ignored, [&](const triAccel& world) {
        for (const float* v : {world.vertex0, world.vertex1, world.vertex2})
            extend(box, v);
    });
    return box;
}

} // namespace zrv
