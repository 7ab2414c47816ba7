// The C++ side of a Python Scene made of instances: meshes' triangle
// records, a gfxRTWideScene over them, and batches of rays traced through
// it. Nothing here knows about Python; failures come back as messages.
#ifndef ZRV_PY_INSTANCED_SCENE_H
#define ZRV_PY_INSTANCED_SCENE_H

#include "gfxRTWideScene.h"
#include "zrvPyScene.h"
#include "zrvStreams.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zrv {
namespace python {

class InstancedScene {
public:
    // Builds every mesh's wide BVH once, places instance i of
    // instance_mesh[i] by transforms[12 i .. 12 i + 11] (3x4 row-major,
    // object to world) and commits, with threads workers. Null, with a
    // message naming the refused instance ("transforms[i] ...") or the
    // mesh, on failure.
    static std::unique_ptr<InstancedScene> build(std::vector<TriangleRecords> meshes,
                                                 const std::uint32_t* instance_mesh,
                                                 const float* transforms,
                                                 std::size_t instance_count, unsigned int threads,
                                                 std::string& error);
    // Reads a stream that write made for meshes made the same way, through
    // gfxRTWideScene::unstream. Null, with a message starting with what,
    // when it was written for other triangles or is damaged.
    static std::unique_ptr<InstancedScene> read(streams::Reader& reader, const std::string& what,
                                                std::vector<TriangleRecords> meshes,
                                                std::string& error);

    // The header (mesh count; each mesh's triangle count and records hash)
    // and the scene through gfxRTWideScene::stream.
    bool write(streams::Writer& writer, std::string& error) const;

    // Nearest hits (t, triangle as the face row of the instance's mesh, u,
    // v, instance) or occlusion, as Scene::trace. Calls run side by side.
    void trace(const RayBatch& rays, unsigned int threads, bool shadow) const;

    const std::vector<TriangleRecords>& meshes() const { return meshes_; }
    const gfxRTWideScene& scene() const { return scene_; }
    // The face row, in its mesh, of the tree position a hit on instance
    // reports.
    std::int32_t face_row(int instance, std::int32_t position) const {
        const std::vector<std::int32_t>& rows =
            face_rows_[scene_.instance_mesh(unsigned(instance))];
        return rows.empty() ? position : rows[position];
    }
    // Triangles placed: each instance counts its mesh's triangles.
    std::size_t placed_triangles() const;

private:
    InstancedScene() = default;

    std::vector<TriangleRecords> meshes_;
    // Face row of each tree position, per mesh; empty when they agree.
    std::vector<std::vector<std::int32_t>> face_rows_;
    gfxRTWideScene scene_;
};

} // namespace python
} // namespace zrv

#endif // ZRV_PY_INSTANCED_SCENE_H
