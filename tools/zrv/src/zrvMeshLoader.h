// Reading a mesh file (any format assimp imports) into the library's
// triangle records: each mesh once in its own space, and the places where
// the file's node tree puts it.
#ifndef ZRV_MESH_LOADER_H
#define ZRV_MESH_LOADER_H

#include "zrvPlacements.h"

#include <gfxRayTracing.h>

#include <cstddef>
#include <string>
#include <vector>

namespace zrv {

struct LoadedMesh {
    // The meshes that nodes place and that hold a usable triangle, in the
    // order of their first placement; triangle_id = index in the mesh's
    // array, host_word = the file's index of the mesh (the renderer picks a
    // colour with it).
    std::vector<std::vector<triAccel>> meshes;
    std::vector<Placement> placements; // in the order of a depth-first walk of the nodes
    // The placed triangles in world space when flattened (flatten_mesh in
    // zrvPlacements.h), or the default scene's; triangle_id = index in this
    // array.
    std::vector<triAccel> triangles;
    // Triangles dropped, counted once per placement: those with a NaN or
    // infinite vertex, and those of zero area.
    std::size_t dropped_non_finite = 0;
    std::size_t dropped_degenerate = 0;

    // True when some mesh is placed more than once.
    bool has_repeated_mesh() const;
    // Every placement's triangle count, summed.
    std::size_t placed_triangle_count() const;
};

// Largest triangle count the renderer accepts: the tree's split candidates
// index triangles with 30 bits.
constexpr std::size_t max_triangle_count = (std::size_t(1) << 30) - 1;

// Loads every mesh of the file's scene graph with its placements, polygons
// triangulated; points and lines are ignored. triangles is left empty. On
// failure returns false and sets error to a one-line message; a file that
// loads but yields no usable triangle is a failure too.
bool load_mesh(const std::string& path, LoadedMesh& mesh, std::string& error);

} // namespace zrv

#endif // ZRV_MESH_LOADER_H
