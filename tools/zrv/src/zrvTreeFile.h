// zrv's tree files: a built acceleration structure saved with the library's
// stream formats, in the companion library's binary file stream, preceded by
// what it was built for (the triangle count and a hash of the triangle
// records), so that a tree is never loaded over another mesh.
#ifndef ZRV_TREE_FILE_H
#define ZRV_TREE_FILE_H

#include "zrvMeshLoader.h"
#include "zrvSceneStructure.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zrv {

// 64-bit FNV-1a of the triangle records' bytes.
std::uint64_t hash_triangles(const std::vector<triAccel>& triangles);

// What a file says about the build it holds.
struct TreeFileInfo {
    double build_seconds = 0.0;
    int build_threads = 0;
};

// Writes structure to path, through a temporary file renamed when complete.
// It is tied to the mesh's triangles, or for a wide scene to the mesh's
// meshes and placements. False with a one-line error.
bool save_structure(const std::string& path, const SceneStructure& structure,
                    const LoadedMesh& mesh, const TreeFileInfo& info, std::string& error);

// The kind of structure a tree file holds, from its header; false when the
// file is not a readable tree file (load_structure then says why).
bool tree_file_kind(const std::string& path, StructureKind& kind);

// Reads a structure saved for the mesh, through the library's checked
// loaders: a file that is missing, truncated, damaged, made for other
// triangles or whose trees would make a traversal leave its arrays is
// refused with a one-line error naming what is wrong. A wide scene refers
// to the mesh's meshes, which must outlive it.
bool load_structure(const std::string& path, const LoadedMesh& mesh, SceneStructure& structure,
                    TreeFileInfo& info, std::string& error);

} // namespace zrv

#endif // ZRV_TREE_FILE_H
