// The C++ side of a Python Scene made of instances: meshes' triangle
// records, a gfxRTWideScene over them, and batches of rays traced through
// it. Nothing here knows about Python; failures come back as messages.
#ifndef ZRV_PY_INSTANCED_SCENE_H
#define ZRV_PY_INSTANCED_SCENE_H

#include "gfxRTWideScene.h"
#include "zrvPyScene.h"
#include "zrvPyTurnstileLock.h"
#include "zrvStreams.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

namespace zrv {
namespace python {

// A mesh's records as of one moment.
typedef std::shared_ptr<const TriangleRecords> MeshRecords;

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
    // and the scene through gfxRTWideScene::stream; written, when not null,
    // receives the meshes written (those of the same moment).
    bool write(streams::Writer& writer, std::string& error,
               std::vector<MeshRecords>* written = nullptr) const;

    // Moves instance instances[j] to transforms[12 j .. 12 j + 11] for each
    // j < count (of two entries for one instance, the later wins), working
    // the moves out and committing the top level on threads workers (or
    // refitting it, keeping its tree, when refit is true), after the calls
    // that use the scene end. Every transform is checked before any instance
    // moves: a refused one leaves the scene as it was, with a message naming
    // it ("transforms[j] (instance i) is refused: ..."), as does no memory for
    // the moves. False, with a message, also when the commit runs out of
    // memory; the scene then traces nothing until a move succeeds.
    bool move(const std::uint32_t* instances, const float* transforms, std::size_t count,
              unsigned int threads, bool refit, std::string& error);
    // Enables instance instances[j] when enabled[j] is not 0 and disables it
    // otherwise, for each j < count (every index below instance_count(); of
    // two entries for one instance, the later wins), then commits as move
    // does: false, with a message, when the commit runs out of memory.
    bool enable(const std::uint32_t* instances, const std::uint8_t* enabled, std::size_t count,
                unsigned int threads, std::string& error);
    // Places count more instances, instance first + j of mesh mesh[j]
    // (below mesh_count()) by transforms[12 j .. 12 j + 11], first being
    // the instance count before the call, and commits as move does. Every
    // transform and the room for them are checked first: a refused
    // transform adds none, with a message naming it ("transforms[j] (new
    // instance i of mesh m) is refused: ..."), as do too many instances
    // ("transforms would ...") and no memory for them. False, with a
    // message, also when the commit runs out of memory.
    bool add(const std::uint32_t* mesh, const float* transforms, std::size_t count,
             unsigned int threads, std::size_t& first, std::string& error);
    // Adds meshes, mesh first + j being meshes[j], first the mesh count
    // before the call. Their trees are built on threads workers
    // (gfxRTWideBVH::build_each) before the scene is held, so that queries
    // run on meanwhile, and then added all or none: false, with a message,
    // when memory runs out or the scene would hold too many meshes.
    bool add_meshes(std::vector<TriangleRecords> meshes, unsigned int threads, std::size_t& first,
                    std::string& error);
    // Moves mesh (below mesh_count()) to moved, the records of the same faces
    // at new vertices: its tree is refitted to them on threads workers
    // (gfxRTWideScene::refit_mesh), and the top level committed as move
    // does, after the calls that use the scene end. False, with the scene as
    // it was and a message, when moved leaves out other faces than the mesh
    // does ("vertices ...": a face became degenerate or non-finite, or one
    // left out no longer is) or memory runs out.
    bool refit_mesh(std::size_t mesh, TriangleRecords moved, unsigned int threads, bool refit,
                    std::string& error);
    // The changes (moves, enable, add, add_meshes and refit_mesh calls) made so far (copies, which
    // hold the placements of when they were made, count from 0).
    std::uint64_t revision() const;

    // Nearest hits (t, triangle as the face row of the instance's mesh, u,
    // v, instance) or occlusion, as Scene::trace. Calls run side by side.
    void trace(const RayBatch& rays, unsigned int threads, bool shadow) const;

    // Runs use(scene) with the scene held still, as the members here that
    // read it do: they run side by side, and move waits for them.
    template <typename Use> auto with_scene(const Use& use) const {
        const auto still = hold_still();
        return use(static_cast<const gfxRTWideScene&>(scene_));
    }

    // The meshes as of one moment, which stay as they were while held.
    std::vector<MeshRecords> meshes() const;
    std::size_t mesh_count() const;
    // The face row, in its mesh, of the tree position a hit on instance
    // reports; only with the scene held (in with_scene), as adding instances
    // moves the array that names their meshes.
    std::int32_t face_row(int instance, std::int32_t position) const {
        const std::vector<std::int32_t>& rows =
            face_rows_[scene_.instance_mesh(unsigned(instance))];
        return rows.empty() ? position : rows[position];
    }

    // Every instance as of one moment: its mesh, its transform (twelve
    // floats from transforms[12 i]) and whether it is enabled.
    struct Placements {
        std::vector<std::uint32_t> mesh;
        std::vector<float> transforms;
        std::vector<bool> enabled;
    };
    Placements placements() const;
    // gfxRTWideScene::instance_bounds of every instance: six floats each, lo
    // then hi, NaN for an instance of an empty mesh.
    std::vector<float> instance_boxes() const;
    // gfxRTWideScene::bounds into box (lo then hi): false when nothing can
    // be hit.
    bool scene_box(float box[6]) const;
    unsigned int instance_count() const;
    // gfxRTWideScene::top_level_growth.
    double top_level_growth() const;
    // Triangles placed: each instance counts its mesh's triangles.
    std::size_t placed_triangles() const;

private:
    InstancedScene() = default;
    // The scene held still (shared by queries) or alone (by changes).
    std::shared_lock<std::shared_mutex> hold_still() const { return lock_.hold_still(); }
    std::unique_lock<std::shared_mutex> hold_alone() { return lock_.hold_alone(); }
    // Counts a change of the scene and commits (or refits) it; holds the
    // lock alone.
    bool commit_change(unsigned int threads, std::string& error, bool refit = false);

    // Each mesh's records in a block of its own, which refit_mesh replaces,
    // so that the records a snapshot holds stay as they were.
    std::vector<MeshRecords> meshes_;
    // Face row of each tree position, per mesh; empty when they agree.
    std::vector<std::vector<std::int32_t>> face_rows_;
    gfxRTWideScene scene_;
    TurnstileLock lock_;
    std::uint64_t revision_ = 0;
};

} // namespace python
} // namespace zrv

#endif // ZRV_PY_INSTANCED_SCENE_H
