#include "gfxRTWideScene.h"

#include "gfxRTWideSceneData.h"

#include <cstdio>
#include <new>

// A scene's stream: its own tokens around the meshes' trees (as
// gfxRTWideBVH::stream writes them) and the instances (mesh and twelve
// transform entries each). Loading adds the instances with add_instance's
// checks and commits.

namespace {

const char* const SCENE_BEGIN = "gfxRTWideScene";
const char* const SCENE_VERSION = "gfxRTWideScene version 1";
const char* const SCENE_END = "gfxRTWideScene end";

// Values an instance takes in the stream.
const unsigned long long kInstanceValues = 13;

bool refuse(PlxUnicodeString* reason, const char* text) {
    if (reason != nullptr)
        *reason = PlxUnicodeString(text);
    return false;
}

} // namespace

bool gfxRTWideScene::stream(gfxStreamWriter& writer) const {
    if (data_ == nullptr)
        return false;
    writer.write_string(PlxUnicodeString(SCENE_BEGIN));
    writer.write_string(PlxUnicodeString(SCENE_VERSION));
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
    if (reader.read_string() != SCENE_VERSION)
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
