#include "zrvMeshLoader.h"

#include "zrvTriangleRecord.h"

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sys/stat.h>

namespace zrv {

namespace {

bool check_readable_file(const std::string& path, std::string& error) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        error = "cannot open mesh '" + path + "': " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "cannot open mesh '" + path + "': not a regular file";
        return false;
    }
    std::ifstream probe(path, std::ios::binary);
    if (!probe) {
        error = "cannot open mesh '" + path + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

// The file's meshes in their own space, each made into records once, and
// the placements a walk of the node tree finds.
class PlacementReader {
public:
    PlacementReader(const aiScene& scene, LoadedMesh& mesh)
        : scene_(scene), mesh_(mesh), converted_(scene.mNumMeshes, Converted{not_converted}) {}

    // Walks the node tree, accumulating transforms, and places every mesh a
    // node references. False when the scene is inconsistent or too large.
    bool add_node(const aiNode& node, const aiMatrix4x4& parent, std::string& error) {
        const aiMatrix4x4 transform = parent * node.mTransformation;
        for (unsigned int i = 0; i < node.mNumMeshes; ++i) {
            const unsigned int index = node.mMeshes[i];
            if (index >= scene_.mNumMeshes || scene_.mMeshes[index] == nullptr) {
                error = "refers to a mesh that does not exist";
                return false;
            }
            if (converted_[index].mesh == not_converted &&
                !convert_mesh(*scene_.mMeshes[index], index, error))
                return false;
            const Converted& c = converted_[index];
            mesh_.dropped_non_finite += c.dropped_non_finite;
            mesh_.dropped_degenerate += c.dropped_degenerate;
            if (c.mesh == no_triangles)
                continue;
            if (mesh_.placements.size() >= max_triangle_count) {
                error = "places meshes more often than the renderer supports";
                return false;
            }
            Placement placement;
            placement.mesh = c.mesh;
            const ai_real* rows[3] = {transform[0], transform[1], transform[2]};
            for (int r = 0; r < 3; ++r)
                for (int k = 0; k < 4; ++k)
                    placement.transform[4 * r + k] = rows[r][k];
            mesh_.placements.push_back(placement);
        }
        for (unsigned int i = 0; i < node.mNumChildren; ++i) {
            if (node.mChildren[i] != nullptr && !add_node(*node.mChildren[i], transform, error))
                return false;
        }
        return true;
    }

private:
    // What became of one of the file's meshes: its index in mesh_.meshes
    // (or one of the markers below) and the triangles it dropped.
    struct Converted {
        unsigned int mesh;
        std::size_t dropped_non_finite = 0;
        std::size_t dropped_degenerate = 0;
    };
    static constexpr unsigned int not_converted = ~0u;
    static constexpr unsigned int no_triangles = ~0u - 1;

    bool convert_mesh(const aiMesh& source, unsigned int file_index, std::string& error) {
        Converted& c = converted_[file_index];
        std::vector<triAccel> triangles;
        if (source.mVertices != nullptr && source.mFaces != nullptr) {
            for (unsigned int f = 0; f < source.mNumFaces; ++f) {
                const aiFace& face = source.mFaces[f];
                if (face.mNumIndices != 3 || face.mIndices == nullptr)
                    continue; // points and lines; polygons were triangulated on import
                Vec3 corners[3];
                for (int k = 0; k < 3; ++k) {
                    const unsigned int vertex = face.mIndices[k];
                    if (vertex >= source.mNumVertices) {
                        error = "has a face with a vertex index out of range";
                        return false;
                    }
                    const aiVector3D& p = source.mVertices[vertex];
                    corners[k] = Vec3(p.x, p.y, p.z);
                }
                triAccel record;
                const int id = static_cast<int>(triangles.size());
                switch (make_triangle_record(corners[0], corners[1], corners[2], id, file_index,
                                             record)) {
                case TriangleCheck::ok:
                    triangles.push_back(record);
                    break;
                case TriangleCheck::non_finite:
                    ++c.dropped_non_finite;
                    break;
                case TriangleCheck::degenerate:
                    ++c.dropped_degenerate;
                    break;
                }
            }
        }
        if (triangles.size() > max_triangle_count) {
            error = "has more triangles than the renderer supports";
            return false;
        }
        c.mesh = triangles.empty() ? no_triangles : unsigned(mesh_.meshes.size());
        if (!triangles.empty())
            mesh_.meshes.push_back(std::move(triangles));
        return true;
    }

    const aiScene& scene_;
    LoadedMesh& mesh_;
    std::vector<Converted> converted_; // by the file's mesh index
};

} // namespace

bool load_mesh(const std::string& path, LoadedMesh& mesh, std::string& error) {
    mesh = LoadedMesh();
    if (!check_readable_file(path, error))
        return false;

    // Only triangulation: node transforms and primitive filtering are done
    // while reading the node tree, so that a file without triangles is told
    // apart from a file assimp cannot read.
    Assimp::Importer importer;
    const aiScene* scene = importer.ReadFile(path, aiProcess_Triangulate);
    if (scene == nullptr) {
        error = "cannot read mesh '" + path + "': " + importer.GetErrorString();
        return false;
    }
    if (scene->mRootNode != nullptr) {
        PlacementReader reader(*scene, mesh);
        std::string problem;
        if (!reader.add_node(*scene->mRootNode, aiMatrix4x4(), problem)) {
            error = "cannot read mesh '" + path + "': the file " + problem;
            mesh = LoadedMesh();
            return false;
        }
    }
    if (mesh.placements.empty()) {
        const std::size_t dropped = mesh.dropped_non_finite + mesh.dropped_degenerate;
        error = "mesh '" + path + "' contains no triangles";
        if (dropped > 0)
            error += " that can be rendered (" + std::to_string(dropped) + " invalid ones dropped)";
        return false;
    }
    return true;
}

bool LoadedMesh::has_repeated_mesh() const {
    std::vector<bool> placed(meshes.size(), false);
    for (const Placement& p : placements) {
        if (placed[p.mesh])
            return true;
        placed[p.mesh] = true;
    }
    return false;
}

std::size_t LoadedMesh::placed_triangle_count() const {
    std::size_t count = 0;
    for (const Placement& p : placements)
        count += meshes[p.mesh].size();
    return count;
}

} // namespace zrv
