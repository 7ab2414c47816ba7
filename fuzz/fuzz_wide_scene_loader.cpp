// Fuzzes the instanced scene's checked loader: framed values in, and every
// accepted scene traced with each of its queries, saved again, and traced
// again with its meshes refitted. A scene that passes the check must not
// crash or read out of bounds when traced or refitted.
#include "FuzzScenes.h"
#include "gfxRTWideScene.h"
#include "zrvStreams.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<unsigned char> image = zrv::fuzz::framed(data, size);
    zrv::streams::MemoryReader reader(image.data(), image.size());
    PlxUnicodeString reason;
    gfxRTWideScene scene;
    if (!scene.unstream(reader, reader.remaining(), &reason)) {
        if (reason == "" || scene.mesh_count() != 0 || scene.instance_count() != 0)
            __builtin_trap(); // every refusal gives a reason and leaves nothing
        return 0;
    }
    // Rays from four sides at the world position of a triangle of each of the
    // first instances, so that accepted scenes are traced down to leaves.
    float origins[4][3], directions[4][3];
    const float sides[4][3] = {
        {1, 0.3f, 0.2f}, {-0.2f, 1, 0.3f}, {0.3f, 0.1f, -1}, {-0.6f, 0.5f, 0.6f}};
    const std::vector<triAccel>& host = zrv::fuzz::host_triangles();
    for (int r = 0; r < 4; ++r) {
        const triAccel& target = host[(std::size_t(r) * 211 + 5) % host.size()];
        float centre[3], point[3];
        for (int a = 0; a < 3; ++a)
            point[a] = centre[a] = (target.vertex0[a] + target.vertex1[a] + target.vertex2[a]) / 3;
        if (scene.instance_count() > 0) {
            const float* m = scene.transform(unsigned(r) % scene.instance_count());
            for (int a = 0; a < 3; ++a)
                point[a] = m[4 * a] * centre[0] + m[4 * a + 1] * centre[1] +
                           m[4 * a + 2] * centre[2] + m[4 * a + 3];
        }
        for (int a = 0; a < 3; ++a) {
            directions[r][a] = sides[r][a];
            origins[r][a] = point[a] - 4 * sides[r][a];
        }
        gfxRTWideSceneHit hit;
        scene.intersect1(origins[r], directions[r], 1e30f, hit);
        scene.occluded1(origins[r], directions[r], 1e30f);
    }
    float t[4], u[4], v[4];
    int index[4], instance[4];
    unsigned int counts[4];
    unsigned char occluded[4];
    scene.intersect_batch(&origins[0][0], &directions[0][0], nullptr, 4, t, index, instance, u, v,
                          1);
    scene.occluded_batch(&origins[0][0], &directions[0][0], nullptr, 4, occluded, 1);
    scene.count_batch(&origins[0][0], &directions[0][0], nullptr, 4, counts, 1);
    gfxRTWideHitList list;
    if (scene.list_batch(&origins[0][0], &directions[0][0], nullptr, 4, list, 1))
        gfxRTWideHitListRelease(list);
    RayPacket rays = zrv::fuzz::packet_of(&origins[0][0], &directions[0][0]);
    for (unsigned int shadow = 0; shadow < 2; ++shadow) {
        HitPacket hits = zrv::fuzz::no_hits();
        __m128i hit_index, hit_instance;
        RenderState state{0, 0};
        state.shadow_rays = shadow;
        scene.intersect4(rays, hits, hit_index, hit_instance, state, 1e30f);
    }
    scene.occluded4(rays, _mm_set1_ps(1e30f));
    zrv::streams::MemoryWriter writer;
    if (!scene.stream(writer))
        __builtin_trap(); // a scene the loader accepted can be saved again

    // The first meshes refitted to the host's triangles, moved a little, and
    // the top level refitted to their instances' new boxes: the meshes'
    // leaves name records by position and the instances name meshes, as the
    // file has them.
    bool refitted = false;
    for (unsigned int m = 0; m < scene.mesh_count() && m < 4; ++m) {
        const unsigned int count = scene.mesh(m).statistics().input_triangles;
        if (count > (1u << 16))
            continue;
        const std::vector<triAccel> moved = zrv::fuzz::moved_host_triangles(count);
        refitted = scene.refit_mesh(m, moved.data(), count, 1 + (size & 1)) || refitted;
    }
    if (refitted && scene.refit(1)) {
        for (int r = 0; r < 4; ++r) {
            gfxRTWideSceneHit hit;
            scene.intersect1(origins[r], directions[r], 1e30f, hit);
        }
        scene.occluded_batch(&origins[0][0], &directions[0][0], nullptr, 4, occluded, 1);
    }
    return 0;
}
