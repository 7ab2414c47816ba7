// What a wide scene holds: its meshes, its instances as last set and the
// top level of the last commit; shared by the scene's members and by its
// saving and loading.
#ifndef GFX_RT_WIDE_SCENE_DATA_H
#define GFX_RT_WIDE_SCENE_DATA_H

#include "gfxRTWideScene.h"

#include "gfxLargeBlocks.h"
#include "gfxRTWideSceneTopLevel.h"
#include "gfxRTWideSceneTransform.h"

namespace gfx_detail {

// A mesh of the scene: its tree and the view the traversals read, which
// stays where it is while the scene grows.
struct SceneMesh {
    gfxRTWideBVH tree;
    WideTree view;
    float slop; // the largest slop of the tree's nodes
    MeshHull hull;
};

// An instance as last set; its bounds are worked out when its transform is
// set, so that a commit only builds the tree.
struct SceneInstance {
    float transform[12];
    float inverse[12];
    unsigned int mesh;
    bool enabled;          // left out of the top level when false
    InstanceBounds bounds; // unused for an empty mesh
};

} // namespace gfx_detail

struct gfxRTWideScene::Data {
    void* meshes = nullptr; // SceneMesh* by index
    unsigned int mesh_count = 0;
    unsigned int mesh_capacity = 0;
    void* instances = nullptr; // SceneInstance by index
    unsigned int instance_count = 0;
    unsigned int instance_capacity = 0;
    gfx_detail::TopLevel top{nullptr, nullptr, 0, 0, {0, 0, 0}, {0, 0, 0}, 0, 0.0};
    // The top level places the instances placed now (none added, enabled or
    // disabled since the last commit, which succeeded), so refit may keep it.
    bool top_places_instances = false;

    gfx_detail::SceneMesh*& mesh(unsigned int i) {
        return static_cast<gfx_detail::SceneMesh**>(meshes)[i];
    }
    gfx_detail::SceneInstance& instance(unsigned int i) {
        return static_cast<gfx_detail::SceneInstance*>(instances)[i];
    }

    gfx_detail::WideSceneView view() const {
        return gfx_detail::WideSceneView{top.nodes,
                                         {top.scene_lo[0], top.scene_lo[1], top.scene_lo[2]},
                                         {top.scene_hi[0], top.scene_hi[1], top.scene_hi[2]},
                                         top.placed};
    }

    // Makes room for count more meshes; false when memory runs out or
    // MAX_MESHES would be passed.
    bool reserve_meshes(unsigned int count);
    // Takes mesh, whose tree is built or loaded and described, as the next
    // mesh, in room reserve_meshes made.
    void place_mesh(gfx_detail::SceneMesh* mesh);
    // All three: false, with mesh deleted, when there is no room for it.
    bool adopt_mesh(gfx_detail::SceneMesh* mesh);
    // Takes over count built trees as the next meshes, described on threads
    // workers, all or none: the first's index, or -1 with every tree left as
    // it was.
    int adopt_trees(gfxRTWideBVH* trees, unsigned int count, unsigned int threads);

    void release() {
        for (unsigned int i = 0; i < mesh_count; ++i)
            delete mesh(i);
        gfx_detail::large_block_free(meshes);
        gfx_detail::large_block_free(instances);
        gfx_detail::free_top_level(top);
        meshes = instances = nullptr;
        mesh_count = mesh_capacity = instance_count = instance_capacity = 0;
        top_places_instances = false;
    }
};

#endif // GFX_RT_WIDE_SCENE_DATA_H
