// The acceleration structure a render traces: the library's KD-tree, its BVH
// over the triangles, a two-level structure of one KD-tree per object under a
// BVH, the wide (eight-child) BVH, or a wide scene of instanced meshes, behind
// one interface.
#ifndef ZRV_SCENE_STRUCTURE_H
#define ZRV_SCENE_STRUCTURE_H

#include "zrvBounds.h"
#include "zrvMeshLoader.h"

#include <gfxRTBVH.h>
#include <gfxRTKDTree.h>
#include <gfxRTWideBVH.h>
#include <gfxRTWideScene.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zrv {

// The order is that of the kind codes in tree files (zrvTreeFile.cpp).
enum class StructureKind { kd, bvh, two_level, wide, wide_scene };

// What --accel asks for; automatic builds the wide BVH, except for a tree
// file (see build_scene_structure).
enum class AccelChoice { automatic, kd, bvh, two_level, wide };

// "kd", "bvh", "two-level", "wide", "wide-scene" (and "auto" for the choice).
const char* kind_name(StructureKind kind);
const char* choice_name(AccelChoice choice);
bool parse_accel_choice(const std::string& text, AccelChoice& choice);

// Structure figures for the report, whatever the kind.
struct StructureFigures {
    unsigned int nodes = 0;
    unsigned int leaves = 0;
    unsigned int empty_leaves = 0;
    unsigned int depth = 0;
    std::optional<unsigned int> max_objects_per_leaf = 0; // none for wide
    double average_objects_per_leaf = 0.0;
    unsigned int kd_trees = 0;   // two-level: KD-trees under the BVH
    unsigned int mesh_trees = 0; // wide scene: the meshes' trees, whose figures are summed
                                 // (their depth the largest), the top level left out
    // Wide only: four-triangle blocks, the bytes the tree (or the whole
    // scene) holds, and the triangles it was given but left out (non-finite
    // or of zero area).
    std::optional<unsigned int> blocks;
    std::optional<std::size_t> bytes;
    unsigned int triangles_left_out = 0;
};

class SceneStructure {
public:
    StructureKind kind = StructureKind::kd;
    // The KD-trees are made for this many tracing threads, whatever a render
    // uses: the KD build sorts on as many threads as the tree has stacks and
    // orders equal positions by thread, so the tree's shape (and, where a ray
    // meets two triangles at one distance, the image) would otherwise depend
    // on the number of render threads.
    static constexpr unsigned int tracing_threads = 64;

    std::unique_ptr<gfxRTKDTree> kd;
    std::unique_ptr<gfxRTBVH_triAccel> bvh;
    // Two-level: the parts' triangles (copies whose triangle_id stays the
    // index in the whole scene), the scene index of each, and the BVH that
    // owns one KD-tree per part.
    std::vector<std::vector<triAccel>> part_triangles;
    std::vector<std::vector<std::uint32_t>> part_indices;
    std::unique_ptr<gfxRTBVH_KDTree> two_level;
    // Wide: the tree (which keeps its own copy of the triangles). Wide scene:
    // the scene (with its own copies) and the meshes it was built from, in
    // their own spaces, which must outlive it; its instances are the
    // placements, in order. Both: the box of the triangles in world space,
    // which neither reports.
    std::unique_ptr<gfxRTWideBVH> wide;
    std::unique_ptr<gfxRTWideScene> scene;
    const std::vector<std::vector<triAccel>>* scene_meshes = nullptr;
    Bounds wide_bounds;

    // Nearest hits of the active lanes of rays within max_distance, hit ids
    // being indices into the scene's triangle array (of a wide scene: into
    // the mesh of the instance put in hit_instance, -1 for a miss and for
    // the other kinds). active_mask is restored.
    void trace(RayPacket& rays, HitPacket& hits, __m128i& hit_instance, const RenderState& state,
               float max_distance) const;
    void trace(RayPacket& rays, HitPacket& hits, const RenderState& state,
               float max_distance) const {
        __m128i ignored;
        trace(rays, hits, ignored, state, max_distance);
    }
    // trace on count packets, the wide BVH and the wide scene walking
    // neighbouring camera packets together: hits are trace's, packet by
    // packet, but for the far hits of rays almost along a triangle's plane
    // that gfxRTWideBVH.h describes, which a group's walk may also find.
    void trace_packets(RayPacket* rays, HitPacket* hits, __m128i* hit_instance, unsigned int count,
                       const RenderState& state, float max_distance) const;
    // The active lanes of rays that hit a triangle casting shadows within
    // max_distance, as a lane mask: the question of shadow and occlusion
    // rays, which need no nearest hit. state is a shadow-ray state
    // (shadow_rays = 1). active_mask is restored.
    int occluded(RayPacket& rays, const RenderState& state, float max_distance) const;
    Bounds bounds() const;
    StructureFigures figures() const;
};

// How a structure came to be.
struct BuildOutcome {
    StructureKind kind = StructureKind::kd;
    std::string reason;           // why --accel auto chose it (empty otherwise)
    int compile_code = 0;         // of CompileKDTree (for kd) or CompileBVHTree
    double seconds = 0.0;         // wall clock of every build made
    double library_seconds = 0.0; // the structure's own compile time
};

// Builds the chosen structure over triangles (triangle_id = index, host_word
// = the object a triangle belongs to), which must outlive it; automatic
// builds the wide BVH. False with a one-line error on failure (out of memory).
bool build_scene_structure(const std::vector<triAccel>& triangles, AccelChoice choice,
                           int build_threads, SceneStructure& structure, BuildOutcome& outcome,
                           std::string& error);

// Builds a wide scene over the mesh's meshes, one instance per placement,
// with the reason auto gives when automatic. mesh must outlive it. False with
// a one-line error on failure (out of memory, or a placement the scene
// refuses).
bool build_wide_scene(const LoadedMesh& mesh, bool automatic, int build_threads,
                      SceneStructure& structure, BuildOutcome& outcome, std::string& error);

// The objects of a two-level structure: runs of equal host_word (the meshes
// of a file's scene graph, the parts of the default scene); a single object
// is split in space into a handful of parts instead. Each part lists scene
// indices.
std::vector<std::vector<std::uint32_t>> split_into_objects(const std::vector<triAccel>& triangles);

// Makes the two-level structure's part arrays from the parts' indices.
void set_parts(const std::vector<triAccel>& triangles,
               std::vector<std::vector<std::uint32_t>> parts, SceneStructure& structure);

} // namespace zrv

#endif // ZRV_SCENE_STRUCTURE_H
