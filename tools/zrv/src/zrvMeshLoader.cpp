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

class SceneFlattener {
public:
    SceneFlattener(const aiScene& scene, LoadedMesh& mesh) : scene_(scene), mesh_(mesh) {}

    // Walks the node tree, accumulating transforms, and appends the triangles
    // of every mesh a node references. False when the scene is inconsistent
    // or too large.
    bool add_node(const aiNode& node, const aiMatrix4x4& parent, std::string& error) {
        const aiMatrix4x4 transform = parent * node.mTransformation;
        for (unsigned int i = 0; i < node.mNumMeshes; ++i) {
            const unsigned int index = node.mMeshes[i];
            if (index >= scene_.mNumMeshes || scene_.mMeshes[index] == nullptr) {
                error = "refers to a mesh that does not exist";
                return false;
            }
            if (!add_mesh(*scene_.mMeshes[index], index, transform, error))
                return false;
        }
        for (unsigned int i = 0; i < node.mNumChildren; ++i) {
            if (node.mChildren[i] != nullptr && !add_node(*node.mChildren[i], transform, error))
                return false;
        }
        return true;
    }

private:
    bool add_mesh(const aiMesh& source, unsigned int mesh_index, const aiMatrix4x4& transform,
                  std::string& error) {
        if (source.mVertices == nullptr || source.mFaces == nullptr)
            return true;
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
                const aiVector3D p = transform * source.mVertices[vertex];
                corners[k] = Vec3(p.x, p.y, p.z);
            }
            if (mesh_.triangles.size() >= max_triangle_count) {
                error = "has more triangles than the renderer supports";
                return false;
            }
            triAccel record;
            const int id = static_cast<int>(mesh_.triangles.size());
            switch (
                make_triangle_record(corners[0], corners[1], corners[2], id, mesh_index, record)) {
            case TriangleCheck::ok:
                mesh_.triangles.push_back(record);
                break;
            case TriangleCheck::non_finite:
                ++mesh_.dropped_non_finite;
                break;
            case TriangleCheck::degenerate:
                ++mesh_.dropped_degenerate;
                break;
            }
        }
        return true;
    }

    const aiScene& scene_;
    LoadedMesh& mesh_;
};

} // namespace

bool load_mesh(const std::string& path, LoadedMesh& mesh, std::string& error) {
    mesh = LoadedMesh();
    if (!check_readable_file(path, error))
        return false;

    // Only triangulation: node transforms and primitive filtering are done
    // while flattening, so that a file without triangles is told apart from a
    // file assimp cannot read.
    Assimp::Importer importer;
    const aiScene* scene = importer.ReadFile(path, aiProcess_Triangulate);
    if (scene == nullptr) {
        error = "cannot read mesh '" + path + "': " + importer.GetErrorString();
        return false;
    }
    if (scene->mRootNode != nullptr) {
        SceneFlattener flattener(*scene, mesh);
        std::string problem;
        if (!flattener.add_node(*scene->mRootNode, aiMatrix4x4(), problem)) {
            error = "cannot read mesh '" + path + "': the file " + problem;
            mesh = LoadedMesh();
            return false;
        }
    }
    if (mesh.triangles.empty()) {
        const std::size_t dropped = mesh.dropped_non_finite + mesh.dropped_degenerate;
        error = "mesh '" + path + "' contains no triangles";
        if (dropped > 0)
            error += " that can be rendered (" + std::to_string(dropped) + " invalid ones dropped)";
        return false;
    }
    return true;
}

} // namespace zrv
