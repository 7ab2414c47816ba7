// Reading a mesh file (any format assimp imports) into the library's
// triangle records.
#ifndef ZRV_MESH_LOADER_H
#define ZRV_MESH_LOADER_H

#include <gfxRayTracing.h>

#include <cstddef>
#include <string>
#include <vector>

namespace zrv {

struct LoadedMesh {
    std::vector<triAccel> triangles;    // triangle_id = index in this array
    std::size_t dropped_non_finite = 0; // triangles with a NaN or infinite vertex
    std::size_t dropped_degenerate = 0; // triangles of zero area
};

// Largest triangle count the renderer accepts: the tree's split candidates
// index triangles with 30 bits.
constexpr std::size_t max_triangle_count = (std::size_t(1) << 30) - 1;

// Loads every mesh of the file's scene graph, with node transforms applied
// and polygons triangulated; points and lines are ignored. host_word holds
// the index of the source mesh (the renderer picks a colour with it). On
// failure returns false and sets error to a one-line message; a file that
// loads but yields no usable triangle is a failure too.
bool load_mesh(const std::string& path, LoadedMesh& mesh, std::string& error);

} // namespace zrv

#endif // ZRV_MESH_LOADER_H
