#include "zrvSceneStructure.h"

#include "zrvPacketTracer.h"

#include <PlxFatalErrorCapture.h>
#include <gfxRTAccelerationStructureServices.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>
#include <numeric>

namespace zrv {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A single object is cut in space into 2^split_levels parts.
constexpr int split_levels = 3;

StructureFigures figures_of(const KDTreeStatistic& s, unsigned int nodes) {
    StructureFigures f;
    f.nodes = nodes;
    f.leaves = s.number_of_leaves;
    f.empty_leaves = s.number_of_empty_cells;
    f.depth = s.tree_depth;
    f.max_objects_per_leaf = s.max_objects_in_cell;
    f.average_objects_per_leaf = s.average_objects_per_cell;
    return f;
}

// The figures of wide trees, summed (the depth the largest); bytes as given.
StructureFigures wide_figures(const std::vector<const gfxRTWideBVH*>& trees, std::size_t bytes) {
    StructureFigures f;
    f.max_objects_per_leaf.reset();
    f.blocks = 0;
    f.bytes = bytes;
    unsigned int triangles = 0;
    for (const gfxRTWideBVH* tree : trees) {
        const gfxRTWideBVHStatistics s = tree->statistics();
        f.nodes += s.nodes;
        f.leaves += s.leaves;
        f.depth = std::max(f.depth, s.depth);
        *f.blocks += s.blocks;
        triangles += s.triangles;
        f.triangles_left_out += s.input_triangles - s.triangles;
    }
    f.average_objects_per_leaf = f.leaves > 0 ? double(triangles) / f.leaves : 0.0;
    return f;
}

float centre(const triAccel& t, int axis) {
    return (t.vertex0[axis] + t.vertex1[axis] + t.vertex2[axis]) / 3.0f;
}

// Halves indices at the median centre along the widest axis of their
// centres, levels times over.
void split_in_space(const std::vector<triAccel>& triangles, std::vector<std::uint32_t> indices,
                    int levels, std::vector<std::vector<std::uint32_t>>& parts) {
    if (levels == 0 || indices.size() < 2) {
        parts.push_back(std::move(indices));
        return;
    }
    float low[3] = {1e30f, 1e30f, 1e30f}, high[3] = {-1e30f, -1e30f, -1e30f};
    for (std::uint32_t i : indices)
        for (int a = 0; a < 3; ++a) {
            low[a] = std::min(low[a], centre(triangles[i], a));
            high[a] = std::max(high[a], centre(triangles[i], a));
        }
    int axis = 0;
    for (int a = 1; a < 3; ++a)
        if (high[a] - low[a] > high[axis] - low[axis])
            axis = a;
    const auto middle = indices.begin() + std::ptrdiff_t(indices.size() / 2);
    std::nth_element(indices.begin(), middle, indices.end(), [&](std::uint32_t a, std::uint32_t b) {
        return centre(triangles[a], axis) < centre(triangles[b], axis);
    });
    std::vector<std::uint32_t> upper(middle, indices.end());
    indices.erase(middle, indices.end());
    split_in_space(triangles, std::move(indices), levels - 1, parts);
    split_in_space(triangles, std::move(upper), levels - 1, parts);
}

bool build_kd(const std::vector<triAccel>& triangles, int build_threads, SceneStructure& s,
              BuildOutcome& outcome) {
    s.kd.reset(new (std::nothrow) gfxRTKDTree(SceneStructure::tracing_threads));
    if (!s.kd)
        return false;
    outcome.compile_code = gfxRTAccelerationStructureServices::CompileKDTree(
        s.kd.get(), build_threads, triangles.data(), unsigned(triangles.size()));
    const KDTreeStatistic* statistic = s.kd->get_statistic();
    if (statistic == nullptr || !statistic->valid)
        return false;
    outcome.library_seconds = statistic->compile_time_sec;
    return true;
}

bool build_bvh(const std::vector<triAccel>& triangles, int build_threads, SceneStructure& s,
               BuildOutcome& outcome) {
    s.bvh.reset(new (std::nothrow) gfxRTBVH_triAccel(triangles.data(), unsigned(triangles.size())));
    if (!s.bvh)
        return false;
    // A failed allocation reaches the build's consistency check, which would
    // end the process.
    PlxFatalErrorCapture reports;
    outcome.compile_code =
        gfxRTAccelerationStructureServices::CompileBVHTree(s.bvh.get(), build_threads);
    const KDTreeStatistic* statistic = s.bvh->get_statistic();
    if (reports.reported() || outcome.compile_code != 0 || statistic == nullptr ||
        !statistic->valid)
        return false;
    outcome.library_seconds = statistic->compile_time_sec;
    return true;
}

bool build_wide(const std::vector<triAccel>& triangles, int build_threads, SceneStructure& s,
                BuildOutcome& outcome) {
    s.wide.reset(new (std::nothrow) gfxRTWideBVH);
    if (!s.wide)
        return false;
    const Clock::time_point start = Clock::now();
    if (!s.wide->build(triangles.data(), unsigned(triangles.size()), unsigned(build_threads)))
        return false;
    outcome.library_seconds = seconds_since(start);
    s.wide_bounds = bounds_of(triangles.data(), triangles.size());
    return true;
}

bool build_two_level(const std::vector<triAccel>& triangles, int build_threads, SceneStructure& s,
                     BuildOutcome& outcome) {
    set_parts(triangles, split_into_objects(triangles), s);
    s.two_level.reset(new (std::nothrow) gfxRTBVH_KDTree);
    if (!s.two_level)
        return false;
    double library_seconds = 0.0;
    for (const std::vector<triAccel>& part : s.part_triangles) {
        std::unique_ptr<gfxRTKDTree> tree(new (std::nothrow)
                                              gfxRTKDTree(SceneStructure::tracing_threads));
        if (!tree)
            return false;
        gfxRTAccelerationStructureServices::CompileKDTree(tree.get(), build_threads, part.data(),
                                                          unsigned(part.size()));
        if (!tree->get_statistic()->valid)
            return false;
        library_seconds += tree->get_statistic()->compile_time_sec;
        // addTree owns the tree from the call on, and deletes it when its
        // list cannot grow.
        const unsigned int held = s.two_level->get_number_of_objects();
        s.two_level->addTree(tree.release());
        if (s.two_level->get_number_of_objects() != held + 1)
            return false;
    }
    PlxFatalErrorCapture reports; // as in build_bvh
    outcome.compile_code =
        gfxRTAccelerationStructureServices::CompileBVHTree(s.two_level.get(), build_threads);
    const KDTreeStatistic* statistic = s.two_level->get_statistic();
    if (reports.reported() || outcome.compile_code != 0 || statistic == nullptr ||
        !statistic->valid)
        return false;
    outcome.library_seconds = library_seconds + statistic->compile_time_sec;
    return true;
}

} // namespace

const char* kind_name(StructureKind kind) {
    switch (kind) {
    case StructureKind::kd:
        return "kd";
    case StructureKind::bvh:
        return "bvh";
    case StructureKind::two_level:
        return "two-level";
    case StructureKind::wide:
        return "wide";
    case StructureKind::wide_scene:
        return "wide-scene";
    }
    return "?";
}

const char* choice_name(AccelChoice choice) {
    switch (choice) {
    case AccelChoice::automatic:
        return "auto";
    case AccelChoice::kd:
        return kind_name(StructureKind::kd);
    case AccelChoice::bvh:
        return kind_name(StructureKind::bvh);
    case AccelChoice::two_level:
        return kind_name(StructureKind::two_level);
    case AccelChoice::wide:
        return kind_name(StructureKind::wide);
    }
    return "?";
}

bool parse_accel_choice(const std::string& text, AccelChoice& choice) {
    for (AccelChoice c : {AccelChoice::automatic, AccelChoice::kd, AccelChoice::bvh,
                          AccelChoice::two_level, AccelChoice::wide}) {
        if (text == choice_name(c)) {
            choice = c;
            return true;
        }
    }
    return false;
}

void SceneStructure::trace(RayPacket& rays, HitPacket& hits, __m128i& hit_instance,
                           const RenderState& state, float max_distance) const {
    __m128i hit_object;
    hit_instance = _mm_set1_epi32(-1);
    switch (kind) {
    case StructureKind::kd:
        trace_packet(*kd, rays, hits, state, max_distance);
        break;
    case StructureKind::bvh:
        bvh->traverse_tree(rays, hits, hit_object, state, max_distance);
        break;
    case StructureKind::two_level:
        two_level->traverse_tree(rays, hits, hit_object, state, max_distance);
        break;
    case StructureKind::wide:
        wide->intersect4(rays, hits, hit_object, state, max_distance);
        break;
    case StructureKind::wide_scene:
        scene->intersect4(rays, hits, hit_object, hit_instance, state, max_distance);
        break;
    }
}

void SceneStructure::trace_packets(RayPacket* rays, HitPacket* hits, __m128i* hit_instance,
                                   unsigned int count, const RenderState& state,
                                   float max_distance) const {
    if (kind == StructureKind::wide) {
        // The triangles' positions go where the instances will be: ids
        // already say which triangle, and a mesh has no instance.
        wide->intersect_packets(rays, hits, hit_instance, count, state, max_distance);
        for (unsigned int p = 0; p < count; ++p)
            hit_instance[p] = _mm_set1_epi32(-1);
        return;
    }
    if (kind == StructureKind::wide_scene) {
        __m128i hit_index[4];
        for (unsigned int first = 0; first < count; first += 4) {
            const unsigned int n = std::min(count - first, 4u);
            scene->intersect_packets(rays + first, hits + first, hit_index, hit_instance + first, n,
                                     state, max_distance);
        }
        return;
    }
    for (unsigned int p = 0; p < count; ++p)
        trace(rays[p], hits[p], hit_instance[p], state, max_distance);
}

int SceneStructure::occluded(RayPacket& rays, const RenderState& state, float max_distance) const {
    const int active = rays.active_mask & 0xF;
    if (kind == StructureKind::wide)
        return wide->occluded4(rays, _mm_set1_ps(max_distance)) & active;
    if (kind == StructureKind::wide_scene)
        return scene->occluded4(rays, _mm_set1_ps(max_distance)) & active;
    HitPacket hits;
    clear_hits(hits);
    hits.t = _mm_set1_ps(max_distance);
    trace(rays, hits, state, max_distance);
    return _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(hits.id, _mm_set1_epi32(-1)))) & active;
}

Bounds SceneStructure::bounds() const {
    Bounds box;
    if (kind == StructureKind::kd) {
        const KDTreeBBox* b = kd->get_scene_bbox();
        box.min = Vec3(b->bbmin);
        box.max = Vec3(b->bbmax);
        box.empty = kd->get_number_of_nodes() == 0;
        return box;
    }
    if (kind == StructureKind::wide || kind == StructureKind::wide_scene)
        return wide_bounds;
    const gfxRTBVH& tree =
        kind == StructureKind::bvh ? static_cast<const gfxRTBVH&>(*bvh) : *two_level;
    __m128 low, high;
    tree.get_tree_bbox(low, high);
    alignas(16) float lo[4], hi[4];
    _mm_store_ps(lo, low);
    _mm_store_ps(hi, high);
    box.min = Vec3(lo);
    box.max = Vec3(hi);
    box.empty = tree.get_number_of_nodes() == 0;
    return box;
}

StructureFigures SceneStructure::figures() const {
    if (kind == StructureKind::kd)
        return figures_of(*kd->get_statistic(), kd->get_number_of_nodes());
    if (kind == StructureKind::wide)
        return wide_figures({wide.get()}, wide->memory_bytes());
    if (kind == StructureKind::wide_scene) {
        std::vector<const gfxRTWideBVH*> trees;
        for (unsigned int m = 0; m < scene->mesh_count(); ++m)
            trees.push_back(&scene->mesh(m));
        StructureFigures f = wide_figures(trees, scene->memory_bytes());
        f.mesh_trees = scene->mesh_count();
        return f;
    }
    const gfxRTBVH& tree =
        kind == StructureKind::bvh ? static_cast<const gfxRTBVH&>(*bvh) : *two_level;
    StructureFigures f = figures_of(*tree.get_statistic(), tree.get_number_of_nodes());
    if (kind == StructureKind::two_level)
        f.kd_trees = two_level->get_number_of_objects();
    return f;
}

bool build_wide_scene(const LoadedMesh& mesh, bool automatic, int build_threads,
                      SceneStructure& structure, BuildOutcome& outcome, std::string& error) {
    outcome = BuildOutcome();
    const Clock::time_point start = Clock::now();
    structure.kind = outcome.kind = StructureKind::wide_scene;
    if (automatic)
        outcome.reason = "a mesh is placed more than once: each mesh's wide BVH is built once "
                         "and instanced";
    structure.scene.reset(new (std::nothrow) gfxRTWideScene);
    error = "building the wide scene failed (out of memory?)";
    if (!structure.scene)
        return false;
    gfxRTWideScene& scene = *structure.scene;
    // Built side by side: such files hold many small meshes.
    std::vector<const triAccel*> triangles;
    std::vector<unsigned int> counts;
    for (const std::vector<triAccel>& records : mesh.meshes) {
        triangles.push_back(records.data());
        counts.push_back(unsigned(records.size()));
    }
    if (scene.add_meshes(triangles.data(), counts.data(), unsigned(counts.size()),
                         unsigned(build_threads)) < 0)
        return false;
    for (std::size_t i = 0; i < mesh.placements.size(); ++i) {
        const Placement& placement = mesh.placements[i];
        const gfxRTWideInstanceResult result =
            scene.add_instance(placement.mesh, placement.transform);
        if (result != GFX_WIDE_INSTANCE_DONE) {
            error = "cannot place instance " + std::to_string(i) +
                    " in the wide scene: " + gfxRTWideInstanceResultText(result) +
                    " (--flatten renders it flattened)";
            return false;
        }
    }
    if (!scene.commit(unsigned(build_threads)))
        return false;
    outcome.library_seconds = outcome.seconds = seconds_since(start);
    structure.scene_meshes = &mesh.meshes;
    structure.wide_bounds = placed_bounds(mesh);
    error.clear();
    return true;
}

std::vector<std::vector<std::uint32_t>> split_into_objects(const std::vector<triAccel>& triangles) {
    std::vector<std::vector<std::uint32_t>> parts;
    for (std::uint32_t i = 0; i < triangles.size(); ++i) {
        if (i == 0 || triangles[i].host_word != triangles[i - 1].host_word)
            parts.emplace_back();
        parts.back().push_back(i);
    }
    if (parts.size() == 1) {
        std::vector<std::uint32_t> all = std::move(parts.front());
        parts.clear();
        split_in_space(triangles, std::move(all), split_levels, parts);
    }
    return parts;
}

void set_parts(const std::vector<triAccel>& triangles,
               std::vector<std::vector<std::uint32_t>> parts, SceneStructure& structure) {
    structure.part_indices = std::move(parts);
    structure.part_triangles.clear();
    for (const std::vector<std::uint32_t>& part : structure.part_indices) {
        structure.part_triangles.emplace_back();
        structure.part_triangles.back().reserve(part.size());
        for (std::uint32_t i : part)
            structure.part_triangles.back().push_back(triangles[i]);
    }
}

bool build_scene_structure(const std::vector<triAccel>& triangles, AccelChoice choice,
                           int build_threads, SceneStructure& structure, BuildOutcome& outcome,
                           std::string& error) {
    outcome = BuildOutcome();
    const Clock::time_point start = Clock::now();
    bool built = false;
    switch (choice) {
    case AccelChoice::automatic:
        structure.kind = StructureKind::wide;
        outcome.reason = "the wide BVH, auto's choice unless a file places a mesh twice";
        built = build_wide(triangles, build_threads, structure, outcome);
        break;
    case AccelChoice::kd:
        structure.kind = StructureKind::kd;
        built = build_kd(triangles, build_threads, structure, outcome);
        break;
    case AccelChoice::bvh:
        structure.kind = StructureKind::bvh;
        built = build_bvh(triangles, build_threads, structure, outcome);
        break;
    case AccelChoice::two_level:
        structure.kind = StructureKind::two_level;
        built = build_two_level(triangles, build_threads, structure, outcome);
        break;
    case AccelChoice::wide:
        structure.kind = StructureKind::wide;
        built = build_wide(triangles, build_threads, structure, outcome);
        break;
    }
    outcome.kind = structure.kind;
    outcome.seconds = seconds_since(start);
    if (!built)
        error = std::string("building the ") + kind_name(structure.kind) +
                " structure failed (out of memory?)";
    return built;
}

} // namespace zrv
