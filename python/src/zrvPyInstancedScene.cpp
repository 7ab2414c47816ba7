#include "zrvPyInstancedScene.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zrv {
namespace python {

std::unique_ptr<InstancedScene> InstancedScene::build(std::vector<TriangleRecords> meshes,
                                                      const std::uint32_t* instance_mesh,
                                                      const float* transforms,
                                                      std::size_t instance_count,
                                                      unsigned int threads, std::string& error) {
    std::unique_ptr<InstancedScene> scene(new InstancedScene());
    std::size_t first;
    if (!scene->add_meshes(std::move(meshes), threads, first, error))
        return nullptr;
    scene->revision_ = 0; // the scene as built
    for (std::size_t i = 0; i < instance_count; ++i) {
        const gfxRTWideInstanceResult result =
            scene->scene_.add_instance(instance_mesh[i], transforms + 12 * i);
        if (result != GFX_WIDE_INSTANCE_DONE) {
            error = "transforms[" + std::to_string(i) + "] (instance " + std::to_string(i) +
                    " of mesh " + std::to_string(instance_mesh[i]) +
                    ") is refused: " + gfxRTWideInstanceResultText(result);
            return nullptr;
        }
    }
    if (!scene->scene_.commit(threads)) {
        error = "the instanced scene's top level ran out of memory";
        return nullptr;
    }
    return scene;
}

bool InstancedScene::write(streams::Writer& writer, std::string& error,
                           std::vector<MeshRecords>* written) const {
    const auto still = hold_still();
    write_scene_header(writer, INSTANCES_STRUCTURE);
    writer.write_uint(unsigned(meshes_.size()));
    for (const auto& mesh : meshes_) {
        const std::uint64_t hash = records_hash(mesh->records);
        writer.write_uint(unsigned(mesh->records.size()));
        writer.write_uint(unsigned(hash & 0xFFFFFFFFu));
        writer.write_uint(unsigned(hash >> 32));
    }
    if (!scene_.stream(writer)) {
        error = "the instanced scene cannot describe itself to a stream";
        return false;
    }
    if (written != nullptr)
        *written = meshes_;
    return true;
}

std::unique_ptr<InstancedScene> InstancedScene::read(streams::Reader& reader,
                                                     const std::string& what,
                                                     std::vector<TriangleRecords> meshes,
                                                     std::string& error) {
    std::string structure;
    if (!read_scene_header(reader, what, structure, error))
        return nullptr;
    if (structure != INSTANCES_STRUCTURE) {
        error = what + " holds one mesh's tree, not instances (Scene.load reads it)";
        return nullptr;
    }
    const unsigned int mesh_count = reader.read_uint();
    // Damage is named first: a file reader may not have settled its CRC yet.
    if (mesh_count != meshes.size() && reader.verify()) {
        error = what + " was saved for " + std::to_string(mesh_count) + " meshes, not " +
                std::to_string(meshes.size());
        return nullptr;
    }
    for (std::size_t m = 0; m < meshes.size() && reader.ok(); ++m) {
        const unsigned int count = reader.read_uint();
        std::uint64_t hash = reader.read_uint();
        hash |= std::uint64_t(reader.read_uint()) << 32;
        const std::vector<triAccel>& records = meshes[m].records;
        const std::uint64_t expected = records_hash(records);
        if ((count != records.size() || hash != expected) && reader.verify()) {
            error = what + " was saved for other triangles: meshes[" + std::to_string(m) +
                    "] had " + std::to_string(count) + " triangles, hash " + hex64(hash) +
                    ", these are " + std::to_string(records.size()) + ", hash " + hex64(expected);
            return nullptr;
        }
    }
    if (!reader.ok()) {
        error = what + " is not a saved scene: " + reader.error();
        return nullptr;
    }

    std::unique_ptr<InstancedScene> scene(new InstancedScene());
    for (TriangleRecords& mesh : meshes)
        scene->meshes_.push_back(std::make_shared<const TriangleRecords>(std::move(mesh)));
    PlxUnicodeString reason;
    if (!scene->scene_.unstream(reader, reader.remaining(), &reason)) {
        error = what + " does not hold a sound tree: " +
                (reader.verify() ? std::string(reason.ConvertToChar()) : reader.error());
        return nullptr;
    }
    // The meshes' trees keep their own triangles: hits are positions in the
    // records only if each was built over as many.
    if (scene->scene_.mesh_count() != scene->meshes_.size()) {
        error = what + " holds " + std::to_string(scene->scene_.mesh_count()) +
                " mesh trees, not the " + std::to_string(scene->meshes_.size()) + " of its header";
        return nullptr;
    }
    for (std::size_t m = 0; m < scene->meshes_.size(); ++m) {
        const std::vector<triAccel>& records = scene->meshes_[m]->records;
        const unsigned int built = scene->scene_.mesh(unsigned(m)).statistics().input_triangles;
        if (built != records.size()) {
            error = what + " holds a tree over " + std::to_string(built) +
                    " triangles for meshes[" + std::to_string(m) + "], not the " +
                    std::to_string(records.size()) + " of its header";
            return nullptr;
        }
        scene->face_rows_.push_back(face_rows_of(records));
    }
    if (!reader.at_end()) {
        error = what + " has data after its tree";
        return nullptr;
    }
    return scene;
}

bool InstancedScene::move(const std::uint32_t* instances, const float* transforms,
                          std::size_t count, unsigned int threads, bool refit, std::string& error) {
    const auto alone = hold_alone();
    if (count > 0xFFFFFFFFu) {
        error = "transforms hold more entries than one move takes";
        return false;
    }
    // Every entry is checked before any instance moves.
    unsigned int refused = 0;
    const gfxRTWideInstanceResult result =
        scene_.set_transforms(instances, transforms, unsigned(count), threads, &refused);
    if (result == GFX_WIDE_INSTANCE_OUT_OF_MEMORY) {
        error = "out of memory moving " + std::to_string(count) + " instances";
        return false;
    }
    if (result != GFX_WIDE_INSTANCE_DONE) {
        error = "transforms[" + std::to_string(refused) + "] (instance " +
                std::to_string(instances[refused]) +
                ") is refused: " + gfxRTWideInstanceResultText(result);
        return false;
    }
    return commit_change(threads, error, refit);
}

bool InstancedScene::enable(const std::uint32_t* instances, const std::uint8_t* enabled,
                            std::size_t count, unsigned int threads, std::string& error) {
    const auto alone = hold_alone();
    for (std::size_t j = 0; j < count; ++j)
        scene_.set_enabled(instances[j], enabled[j] != 0);
    return commit_change(threads, error);
}

bool InstancedScene::commit_change(unsigned int threads, std::string& error, bool refit) {
    ++revision_;
    if (!(refit ? scene_.refit(threads) : scene_.commit(threads))) {
        error = "the instanced scene's top level ran out of memory";
        return false;
    }
    return true;
}

bool InstancedScene::add(const std::uint32_t* mesh, const float* transforms, std::size_t count,
                         unsigned int threads, std::size_t& first, std::string& error) {
    const auto alone = hold_alone();
    first = scene_.instance_count();
    for (std::size_t j = 0; j < count; ++j) {
        float inverse[12];
        const gfxRTWideInstanceResult result =
            gfxRTWideScene::check_transform(transforms + 12 * j, inverse);
        if (result == GFX_WIDE_INSTANCE_DONE)
            continue;
        error = "transforms[" + std::to_string(j) + "] (new instance " + std::to_string(first + j) +
                " of mesh " + std::to_string(mesh[j]) +
                ") is refused: " + gfxRTWideInstanceResultText(result);
        return false;
    }
    if (first + count > gfxRTWideScene::MAX_INSTANCES) {
        error = "transforms would place " + std::to_string(first + count) +
                " instances, more than a scene holds (" +
                std::to_string(gfxRTWideScene::MAX_INSTANCES) + ")";
        return false;
    }
    if (!scene_.reserve_instances(unsigned(first + count))) {
        error = "out of memory for " + std::to_string(first + count) + " instances";
        return false;
    }
    // Checked and reserved: none of these fails.
    for (std::size_t j = 0; j < count; ++j)
        scene_.add_instance(mesh[j], transforms + 12 * j);
    return commit_change(threads, error);
}

bool InstancedScene::add_meshes(std::vector<TriangleRecords> meshes, unsigned int threads,
                                std::size_t& first, std::string& error) {
    const std::size_t count = meshes.size();
    std::vector<const triAccel*> triangles(count);
    std::vector<unsigned int> counts(count);
    for (std::size_t j = 0; j < count; ++j) {
        triangles[j] = meshes[j].records.data();
        counts[j] = unsigned(meshes[j].records.size());
    }
    std::vector<gfxRTWideBVH> trees(count);
    if (!gfxRTWideBVH::build_each(trees.data(), triangles.data(), counts.data(), unsigned(count),
                                  threads)) {
        error = "the meshes' wide BVH builds ran out of memory";
        return false;
    }
    std::vector<std::vector<std::int32_t>> rows(count);
    std::vector<MeshRecords> added(count);
    for (std::size_t j = 0; j < count; ++j) {
        rows[j] = face_rows_of(meshes[j].records);
        added[j] = std::make_shared<const TriangleRecords>(std::move(meshes[j]));
    }
    const auto alone = hold_alone();
    first = meshes_.size();
    if (count > gfxRTWideScene::MAX_MESHES - first) {
        error = "meshes would make " + std::to_string(first + count) +
                " meshes, more than a scene holds (" + std::to_string(gfxRTWideScene::MAX_MESHES) +
                ")";
        return false;
    }
    // Room first, so that nothing fails once the scene has the trees.
    meshes_.reserve(first + count);
    face_rows_.reserve(first + count);
    if (scene_.add_meshes(trees.data(), unsigned(count)) < 0) {
        error = "out of memory adding " + std::to_string(count) + " meshes";
        return false;
    }
    for (std::size_t j = 0; j < count; ++j) {
        meshes_.push_back(std::move(added[j]));
        face_rows_.push_back(std::move(rows[j]));
    }
    ++revision_;
    return true;
}

bool InstancedScene::refit_mesh(std::size_t mesh, TriangleRecords moved, unsigned int threads,
                                bool refit, std::string& error) {
    const std::vector<std::int32_t> rows = face_rows_of(moved.records);
    const MeshRecords records = std::make_shared<const TriangleRecords>(std::move(moved));
    const auto alone = hold_alone();
    const std::string name = "mesh " + std::to_string(mesh);
    if (records->records.size() != meshes_[mesh]->records.size() || rows != face_rows_[mesh]) {
        error = "vertices leave out other faces than " + name + " does (" +
                std::to_string(records->records.size()) + " faces kept, not " +
                std::to_string(meshes_[mesh]->records.size()) +
                "): a face became non-finite or degenerate, or one left out no longer is; add the "
                "moved mesh anew";
        return false;
    }
    if (!scene_.refit_mesh(unsigned(mesh), records->records.data(),
                           unsigned(records->records.size()), threads)) {
        error = "out of memory refitting " + name + "'s tree";
        return false;
    }
    meshes_[mesh] = records;
    return commit_change(threads, error, refit);
}

std::vector<MeshRecords> InstancedScene::meshes() const {
    const auto still = hold_still();
    return meshes_;
}

std::size_t InstancedScene::mesh_count() const {
    const auto still = hold_still();
    return meshes_.size();
}

InstancedScene::Placements InstancedScene::placements() const {
    const auto still = hold_still();
    const unsigned int count = scene_.instance_count();
    Placements out;
    out.mesh.resize(count);
    out.transforms.resize(12 * std::size_t(count));
    out.enabled.resize(count);
    for (unsigned int i = 0; i < count; ++i) {
        out.mesh[i] = scene_.instance_mesh(i);
        std::copy(scene_.transform(i), scene_.transform(i) + 12, out.transforms.begin() + 12 * i);
        out.enabled[i] = scene_.enabled(i);
    }
    return out;
}

std::vector<float> InstancedScene::instance_boxes() const {
    const auto still = hold_still();
    const unsigned int count = scene_.instance_count();
    std::vector<float> boxes(6 * std::size_t(count), std::numeric_limits<float>::quiet_NaN());
    for (unsigned int i = 0; i < count; ++i)
        scene_.instance_bounds(i, &boxes[6 * i], &boxes[6 * i + 3]);
    return boxes;
}

bool InstancedScene::scene_box(float box[6]) const {
    const auto still = hold_still();
    return scene_.bounds(box, box + 3);
}

double InstancedScene::top_level_growth() const {
    const auto still = hold_still();
    return scene_.top_level_growth();
}

unsigned int InstancedScene::instance_count() const {
    const auto still = hold_still();
    return scene_.instance_count();
}

std::uint64_t InstancedScene::revision() const {
    const auto still = hold_still();
    return revision_;
}

std::size_t InstancedScene::placed_triangles() const {
    const auto still = hold_still();
    std::size_t placed = 0;
    for (unsigned int i = 0; i < scene_.instance_count(); ++i)
        placed += meshes_[scene_.instance_mesh(i)]->records.size();
    return placed;
}

void InstancedScene::trace(const RayBatch& rays, unsigned int threads, bool shadow) const {
    const auto still = hold_still();
    for_each_wide_part(rays, [&](const RayPart& p) {
        const std::size_t i = p.first;
        if (shadow)
            scene_.occluded_batch(p.origins, p.directions, p.limits, p.count, rays.occluded + i,
                                  threads);
        else
            scene_.intersect_batch(p.origins, p.directions, p.limits, p.count, rays.t + i,
                                   rays.triangle + i, rays.instance + i, rays.u + i, rays.v + i,
                                   threads);
    });
    if (shadow)
        return;
    // Positions become face rows of the instance's mesh, the limit of a miss
    // +inf, and u drops the sign the kernel gives back-side hits.
    const float miss_t = std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < rays.count; ++i) {
        const std::int32_t position = rays.triangle[i];
        if (position < 0) {
            rays.t[i] = miss_t;
            rays.u[i] = 0.0f;
            rays.v[i] = 0.0f;
            rays.instance[i] = -1;
            continue;
        }
        rays.u[i] = std::fabs(rays.u[i]);
        rays.triangle[i] = face_row(rays.instance[i], position);
    }
}

} // namespace python
} // namespace zrv
