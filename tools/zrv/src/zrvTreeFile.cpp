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
    if (code > kind_code(StructureKind::wide))
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

// Reads what follows the header for the file's kind of structure.
bool read_structure(streams::FileReader& reader, const std::vector<triAccel>& triangles,
                    SceneStructure& s, std::string& problem) {
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
    case StructureKind::wide_scene: // kind_of refuses its code
        break;
    }
    if (s.kd || s.bvh)
        return true;
    problem = reason.IsEmpty() ? "its tree does not read back" : reason.ConvertToChar();
    return false;
}

} // namespace

std::uint64_t hash_triangles(const std::vector<triAccel>& triangles) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(triangles.data());
    for (std::size_t i = 0; i < triangles.size() * sizeof(triAccel); ++i)
        hash = (hash ^ bytes[i]) * 0x100000001b3ull;
    return hash;
}

bool save_structure(const std::string& path, const SceneStructure& s,
                    const std::vector<triAccel>& triangles, const TreeFileInfo& info,
                    std::string& error) {
    if (s.kind == StructureKind::wide_scene) {
        error = "cannot save an instanced scene";
        return false;
    }
    streams::FileWriter writer(path);
    const std::uint64_t hash = hash_triangles(triangles);
    writer.write_string(PlxUnicodeString(begin_token));
    writer.write_string(PlxUnicodeString(version_token));
    writer.write_uint(kind_code(s.kind));
    writer.write_uint(unsigned(triangles.size()));
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
    case StructureKind::wide_scene: // refused above
        break;
    }
    writer.write_string(PlxUnicodeString(end_token));
    if (!written) {
        error = s.kind == StructureKind::wide
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

bool load_structure(const std::string& path, const std::vector<triAccel>& triangles,
                    SceneStructure& s, TreeFileInfo& info, std::string& error) {
    streams::FileReader reader(path);
    const std::string where = "tree file '" + path + "'";
    if (!reader.ok()) {
        error = "cannot load " + where + ": " + reader.error();
        return false;
    }
    if (reader.read_string() != begin_token || reader.read_string() != version_token) {
        error = where + " is not a zrv tree file";
        return false;
    }
    const unsigned int code = reader.read_uint();
    const unsigned int count = reader.read_uint();
    const std::uint64_t low = reader.read_uint();
    const std::uint64_t hash = low | std::uint64_t(reader.read_uint()) << 32;
    info.build_seconds = reader.read_double();
    info.build_threads = reader.read_int();
    if (!kind_of(code, s.kind)) {
        error = where + " holds an unknown kind of structure (" + std::to_string(code) + ")";
        return false;
    }
    if (count != triangles.size() || hash != hash_triangles(triangles)) {
        error = where + " was built for other triangles (" + std::to_string(count) +
                " triangles, not this scene's " + std::to_string(triangles.size()) + ")";
        if (count == triangles.size())
            error = where + " was built for other triangles (their records differ)";
        return false;
    }
    std::string problem;
    const bool read = read_structure(reader, triangles, s, problem);
    if (!reader.ok()) {
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
