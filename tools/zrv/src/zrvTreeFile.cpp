#include "zrvTreeFile.h"

#include "zrvBounds.h"

#include <gfxRTAccelerationStructureServices.h>
#include <zrvStreams.h>

#include <memory>
#include <new>

namespace zrv {

namespace {

const char* const begin_token = "BEGIN:zrvScene";
const char* const version_token = "version=1";
const char* const end_token = "END:zrvScene";

unsigned int kind_code(StructureKind kind) {
    return static_cast<unsigned int>(kind);
}

bool kind_of(unsigned int code, StructureKind& kind) {
    if (code > kind_code(StructureKind::wide_scene))
        return false;
    kind = static_cast<StructureKind>(code);
    return true;
}

// Reads the two-level part lists: every scene triangle in exactly one part.
bool read_parts(streams::FileReader& reader, std::size_t triangle_count,
                std::vector<std::vector<std::uint32_t>>& parts, std::string& problem) {
    const unsigned int part_count = reader.read_uint();
    if (part_count == 0 || part_count > triangle_count) {
        problem = "it holds " + std::to_string(part_count) + " parts";
        return false;
    }
    std::vector<bool> seen(triangle_count, false);
    parts.assign(part_count, {});
    for (std::vector<std::uint32_t>& part : parts) {
        const unsigned int size = reader.read_uint();
        if (size == 0 || size > reader.remaining()) {
            problem = "a part of " + std::to_string(size) + " triangles";
            return false;
        }
        part.resize(size);
        for (std::uint32_t& index : part) {
            index = reader.read_uint();
            if (index >= triangle_count || seen[index]) {
                problem = "a part lists triangle " + std::to_string(index) + " badly";
                return false;
            }
            seen[index] = true;
        }
    }
    for (bool s : seen)
        if (!s) {
            problem = "its parts leave triangles out";
            return false;
        }
    return true;
}

// Reads a wide scene and checks that it places the mesh file's meshes as the
// file does, so that its hits name triangles of those meshes.
bool read_wide_scene(streams::FileReader& reader, const LoadedMesh& mesh, SceneStructure& s,
                     PlxUnicodeString& reason, std::string& problem) {
    s.scene.reset(new (std::nothrow) gfxRTWideScene);
    if (!s.scene) {
        problem = "out of memory";
        return false;
    }
    if (!s.scene->unstream(reader, reader.remaining(), &reason)) {
        s.scene.reset();
        return false;
    }
    bool same = s.scene->mesh_count() == mesh.meshes.size() &&
                s.scene->instance_count() == mesh.placements.size();
    for (unsigned int i = 0; same && i < s.scene->mesh_count(); ++i)
        same = s.scene->mesh(i).statistics().input_triangles == mesh.meshes[i].size();
    for (unsigned int i = 0; same && i < s.scene->instance_count(); ++i)
        same = s.scene->instance_mesh(i) == mesh.placements[i].mesh;
    if (!same) {
        problem = "its wide scene does not place the file's meshes";
        s.scene.reset();
        return false;
    }
    s.scene_meshes = &mesh.meshes;
    s.wide_bounds = placed_bounds(mesh);
    return true;
}

// Reads what follows the header for the file's kind of structure.
bool read_structure(streams::FileReader& reader, const LoadedMesh& mesh, SceneStructure& s,
                    std::string& problem) {
    const std::vector<triAccel>& triangles = mesh.triangles;
    PlxUnicodeString reason;
    const unsigned int count = unsigned(triangles.size());
    switch (s.kind) {
    case StructureKind::kd:
        s.kd.reset(gfxRTAccelerationStructureServices::UnstreamNewKDTreeChecked(
            reader, triangles.data(), count, SceneStructure::tracing_threads, reader.remaining(),
            &reason));
        break;
    case StructureKind::bvh:
        // The service makes a gfxRTBVH_triAccel and hands it over as its base.
        s.bvh.reset(static_cast<gfxRTBVH_triAccel*>(
            gfxRTAccelerationStructureServices::UnstreamNewBVHChecked(
                reader, triangles.data(), count, reader.remaining(), &reason)));
        break;
    case StructureKind::two_level: {
        std::vector<std::vector<std::uint32_t>> parts;
        if (!read_parts(reader, triangles.size(), parts, problem))
            return false;
        set_parts(triangles, std::move(parts), s);
        s.two_level.reset(new (std::nothrow) gfxRTBVH_KDTree);
        if (!s.two_level) {
            problem = "out of memory";
            return false;
        }
        for (const std::vector<triAccel>& part : s.part_triangles) {
            gfxRTKDTree* tree = gfxRTAccelerationStructureServices::UnstreamNewKDTreeChecked(
                reader, part.data(), unsigned(part.size()), SceneStructure::tracing_threads,
                reader.remaining(), &reason);
            if (tree == nullptr)
                break;
            s.two_level->addTree(tree);
        }
        if (s.two_level->get_number_of_objects() != s.part_triangles.size())
            break;
        if (!s.two_level->unstream(reader)) {
            reason = PlxUnicodeString("the hierarchy over the KD-trees does not read back");
            break;
        }
        if (gfxRTAccelerationStructureServices::CheckBVH(
                *s.two_level, unsigned(s.part_triangles.size()), &reason))
            return true;
        break;
    }
    case StructureKind::wide:
        s.wide.reset(new (std::nothrow) gfxRTWideBVH);
        if (!s.wide) {
            problem = "out of memory";
            return false;
        }
        if (!s.wide->unstream(reader, reader.remaining(), &reason)) {
            s.wide.reset();
            break;
        }
        // Its hits name positions in the scene's triangles.
        if (s.wide->statistics().input_triangles != count) {
            problem = "its wide BVH was built over " +
                      std::to_string(s.wide->statistics().input_triangles) + " triangles";
            s.wide.reset();
            return false;
        }
        s.wide_bounds = bounds_of(triangles.data(), triangles.size());
        return true;
    case StructureKind::wide_scene:
        if (read_wide_scene(reader, mesh, s, reason, problem))
            return true;
        if (!problem.empty())
            return false;
        break;
    }
    if (s.kd || s.bvh)
        return true;
    problem = reason.IsEmpty() ? "its tree does not read back" : reason.ConvertToChar();
    return false;
}

} // namespace

namespace {

const std::uint64_t fnv_offset = 0xcbf29ce484222325ull;

std::uint64_t hash_bytes(std::uint64_t hash, const void* data, std::size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i)
        hash = (hash ^ bytes[i]) * 0x100000001b3ull;
    return hash;
}

// What a file of the kind is tied to: the scene's triangles, or for a wide
// scene the meshes in their own spaces followed by the placements.
void tied_to(StructureKind kind, const LoadedMesh& mesh, std::size_t& count, std::uint64_t& hash) {
    if (kind != StructureKind::wide_scene) {
        count = mesh.triangles.size();
        hash = hash_triangles(mesh.triangles);
        return;
    }
    count = 0;
    hash = fnv_offset;
    for (const std::vector<triAccel>& triangles : mesh.meshes) {
        const std::uint64_t size = triangles.size();
        count += triangles.size();
        hash = hash_bytes(hash, &size, sizeof size);
        hash = hash_bytes(hash, triangles.data(), triangles.size() * sizeof(triAccel));
    }
    for (const Placement& placement : mesh.placements) {
        hash = hash_bytes(hash, &placement.mesh, sizeof placement.mesh);
        hash = hash_bytes(hash, placement.transform, sizeof placement.transform);
    }
}

} // namespace

std::uint64_t hash_triangles(const std::vector<triAccel>& triangles) {
    return hash_bytes(fnv_offset, triangles.data(), triangles.size() * sizeof(triAccel));
}

bool save_structure(const std::string& path, const SceneStructure& s, const LoadedMesh& mesh,
                    const TreeFileInfo& info, std::string& error) {
    streams::FileWriter writer(path);
    std::size_t count = 0;
    std::uint64_t hash = 0;
    tied_to(s.kind, mesh, count, hash);
    writer.write_string(PlxUnicodeString(begin_token));
    writer.write_string(PlxUnicodeString(version_token));
    writer.write_uint(kind_code(s.kind));
    writer.write_uint(unsigned(count));
    writer.write_uint(unsigned(hash));
    writer.write_uint(unsigned(hash >> 32));
    writer.write_double(info.build_seconds);
    writer.write_int(info.build_threads);
    bool written = true;
    switch (s.kind) {
    case StructureKind::kd:
        s.kd->stream(writer);
        break;
    case StructureKind::bvh:
        written = s.bvh->stream(writer);
        break;
    case StructureKind::two_level:
        writer.write_uint(unsigned(s.part_indices.size()));
        for (const std::vector<std::uint32_t>& part : s.part_indices) {
            writer.write_uint(unsigned(part.size()));
            for (std::uint32_t index : part)
                writer.write_uint(index);
        }
        for (unsigned int i = 0; i < s.two_level->get_number_of_objects(); ++i)
            s.two_level->get_tree(i)->stream(writer);
        written = s.two_level->gfxRTBVH::stream(writer);
        break;
    case StructureKind::wide:
        written = s.wide->stream(writer);
        break;
    case StructureKind::wide_scene:
        written = s.scene->stream(writer);
        break;
    }
    writer.write_string(PlxUnicodeString(end_token));
    if (!written) {
        error = s.kind == StructureKind::wide || s.kind == StructureKind::wide_scene
                    ? "cannot save the structure: the wide BVH cannot be described"
                    : "cannot save the structure: its object order does not cover its objects";
        return false;
    }
    if (!writer.commit()) {
        error = "cannot write '" + path + "': " + writer.error();
        return false;
    }
    return true;
}

bool tree_file_kind(const std::string& path, StructureKind& kind) {
    streams::FileReader reader(path);
    return reader.ok() && reader.read_string() == begin_token &&
           reader.read_string() == version_token && kind_of(reader.read_uint(), kind);
}

bool load_structure(const std::string& path, const LoadedMesh& mesh, SceneStructure& s,
                    TreeFileInfo& info, std::string& error) {
    streams::FileReader reader(path);
    const std::string where = "tree file '" + path + "'";
    if (!reader.ok()) {
        error = "cannot load " + where + ": " + reader.error();
        return false;
    }
    // Refusals name damage first: the reader settles its CRC when it reads the last chunk.
    const auto refuse = [&](const std::string& message) {
        error = reader.verify() ? message : "cannot load " + where + ": " + reader.error();
        return false;
    };
    if (reader.read_string() != begin_token || reader.read_string() != version_token)
        return refuse(where + " is not a zrv tree file");
    const unsigned int code = reader.read_uint();
    const unsigned int count = reader.read_uint();
    const std::uint64_t low = reader.read_uint();
    const std::uint64_t hash = low | std::uint64_t(reader.read_uint()) << 32;
    info.build_seconds = reader.read_double();
    info.build_threads = reader.read_int();
    if (!kind_of(code, s.kind))
        return refuse(where + " holds an unknown kind of structure (" + std::to_string(code) + ")");
    if (s.kind == StructureKind::wide_scene && mesh.meshes.empty()) {
        error = where + " holds an instanced scene: load it without --flatten";
        return false;
    }
    std::size_t scene_count = 0;
    std::uint64_t scene_hash = 0;
    tied_to(s.kind, mesh, scene_count, scene_hash);
    if (count != scene_count || hash != scene_hash)
        return refuse(where + " was built for other triangles (" +
                      (count == scene_count
                           ? std::string("their records differ")
                           : std::to_string(count) + " triangles, not this scene's " +
                                 std::to_string(scene_count)) +
                      ")");
    std::string problem;
    const bool read = read_structure(reader, mesh, s, problem);
    // The CRC's verdict before the structure's own: damage is named as such.
    if (!reader.verify()) {
        error = "cannot load " + where + ": " + reader.error();
        return false;
    }
    if (!read || reader.read_string() != end_token || !reader.at_end()) {
        error =
            "cannot load " + where + ": " +
            (problem.empty() ? std::string("it does not end where its structure does") : problem);
        return false;
    }
    return true;
}

} // namespace zrv
