#include "gfxRTWideScene.h"

#include "gfxRTWideSceneData.h"

#include <cstdio>
#include <new>

// A scene's stream: its own tokens around the meshes' trees (as
// gfxRTWideBVH::stream writes them) and the instances (mesh and twelve
// transform entries each). A scene with disabled instances is written as
// version 2, which adds their count and their indices in ascending order
// before the end token; others stay version 1, which older readers read.
// Loading adds the instances with add_instance's checks and commits.

namespace {

const char* const SCENE_BEGIN = "gfxRTWideScene";
const char* const SCENE_VERSION = "gfxRTWideScene version 1";
const char* const SCENE_VERSION_DISABLED = "gfxRTWideScene version 2";
const char* const SCENE_END = "gfxRTWideScene end";

// Values an instance takes in the stream.
const unsigned long long kInstanceValues = 13;

bool refuse(PlxUnicodeString* reason, const char* text) {
    if (reason != nullptr)
        *reason = PlxUnicodeString(text);
    return false;
}

// The disabled instances' count and indices, each below the instance count
// and above the one before, so that no instance is named twice.
bool read_disabled(gfxStreamReader& reader, gfxRTWideScene& scene, PlxUnicodeString* reason) {
    const unsigned int instances = scene.instance_count();
    const unsigned int count = reader.read_uint();
    char message[200];
    if (count == 0 || count > instances) {
        std::snprintf(message, sizeof message,
                      "the wide scene's disabled instance count %u is out of range", count);
        return refuse(reason, message);
    }
    unsigned int next = 0; // the least index the next entry may name
    for (unsigned int k = 0; k < count; ++k) {
        const unsigned int instance = reader.read_uint();
        if (instance < next || instance >= instances) {
            std::snprintf(message, sizeof message,
                          "the wide scene's disabled instance %u (entry %u) is out of order "
                          "or out of range",
                          instance, k);
            return refuse(reason, message);
        }
        scene.set_enabled(instance, false);
        next = instance + 1;
    }
    return true;
}

} // namespace

bool gfxRTWideScene::stream(gfxStreamWriter& writer) const {
    if (data_ == nullptr)
        return false;
    unsigned int disabled = 0;
    for (unsigned int i = 0; i < data_->instance_count; ++i)
        disabled += data_->instance(i).enabled ? 0u : 1u;
    writer.write_string(PlxUnicodeString(SCENE_BEGIN));
    writer.write_string(PlxUnicodeString(disabled > 0 ? SCENE_VERSION_DISABLED : SCENE_VERSION));
    writer.write_uint(data_->mesh_count);
    for (unsigned int m = 0; m < data_->mesh_count; ++m)
        if (!data_->mesh(m)->tree.stream(writer))
            return false;
    writer.write_uint(data_->instance_count);
    for (unsigned int i = 0; i < data_->instance_count; ++i) {
        const gfx_detail::SceneInstance& instance = data_->instance(i);
        writer.write_uint(instance.mesh);
        for (float entry : instance.transform)
            writer.write_float(entry);
    }
    if (disabled > 0) {
        writer.write_uint(disabled);
        for (unsigned int i = 0; i < data_->instance_count; ++i)
            if (!data_->instance(i).enabled)
                writer.write_uint(i);
    }
    writer.write_string(PlxUnicodeString(SCENE_END));
    return true;
}

bool gfxRTWideScene::unstream(gfxStreamReader& reader, unsigned long long max_values,
                              PlxUnicodeString* reason) {
    clear();
    if (data_ == nullptr)
        return refuse(reason, "out of memory");
    char message[200];
    if (reader.read_string() != SCENE_BEGIN)
        return refuse(reason,
                      "the stream does not hold a wide scene (its first token does not match)");
    const PlxUnicodeString version = reader.read_string();
    const bool lists_disabled = version == SCENE_VERSION_DISABLED;
    if (version != SCENE_VERSION && !lists_disabled)
        return refuse(reason, "the wide scene is of a version this library does not read");
    const unsigned int meshes = reader.read_uint();
    if (meshes > MAX_MESHES || meshes > max_values) {
        std::snprintf(message, sizeof message, "the wide scene's mesh count %u is out of range",
                      meshes);
        return refuse(reason, message);
    }
    for (unsigned int m = 0; m < meshes; ++m) {
        gfx_detail::SceneMesh* const mesh = new (std::nothrow) gfx_detail::SceneMesh;
        if (mesh == nullptr) {
            clear();
            return refuse(reason, "out of memory while reading the wide scene");
        }
        PlxUnicodeString why;
        if (!mesh->tree.unstream(reader, max_values, &why)) {
            delete mesh;
            clear();
            std::snprintf(message, sizeof message, "mesh %u: %s", m, why.ConvertToChar());
            return refuse(reason, message);
        }
        if (!data_->adopt_mesh(mesh)) {
            clear();
            return refuse(reason, "out of memory while reading the wide scene");
        }
    }
    const unsigned int instances = reader.read_uint();
    if (instances > MAX_INSTANCES || instances * kInstanceValues > max_values) {
        clear();
        std::snprintf(message, sizeof message, "the wide scene's instance count %u is out of range",
                      instances);
        return refuse(reason, message);
    }
    for (unsigned int i = 0; i < instances; ++i) {
        const unsigned int mesh = reader.read_uint();
        float transform[12];
        for (float& entry : transform)
            entry = reader.read_float();
        const gfxRTWideInstanceResult result = add_instance(mesh, transform);
        if (result != GFX_WIDE_INSTANCE_DONE) {
            clear();
            std::snprintf(message, sizeof message, "instance %u: %s", i,
                          gfxRTWideInstanceResultText(result));
            return refuse(reason, message);
        }
    }
    if (lists_disabled && !read_disabled(reader, *this, reason)) {
        clear();
        return false;
    }
    if (reader.read_string() != SCENE_END) {
        clear();
        return refuse(reason, "the wide scene does not end where its counts say");
    }
    if (!commit(1)) {
        clear();
        return refuse(reason, "out of memory while committing the wide scene");
    }
    return true;
}
