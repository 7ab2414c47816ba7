// zrv's tree files: a built acceleration structure saved with the library's
// stream formats, in the companion library's binary file stream, preceded by
// what it was built for (the triangle count and a hash of the triangle
// records), so that a tree is never loaded over another mesh.
#ifndef ZRV_TREE_FILE_H
#define ZRV_TREE_FILE_H

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

// Writes structure (built over triangles) to path, through a temporary file
// renamed when complete. False with a one-line error.
bool save_structure(const std::string& path, const SceneStructure& structure,
                    const std::vector<triAccel>& triangles, const TreeFileInfo& info,
                    std::string& error);

// Reads a structure saved for triangles, through the library's checked
// loaders: a file that is missing, truncated, damaged, made for other
// triangles or whose trees would make a traversal leave its arrays is
// refused with a one-line error naming what is wrong.
bool load_structure(const std::string& path, const std::vector<triAccel>& triangles,
                    SceneStructure& structure, TreeFileInfo& info, std::string& error);

} // namespace zrv

#endif // ZRV_TREE_FILE_H
