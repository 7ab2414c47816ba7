// Fuzzes the wide BVH's checked loader: framed values in, and every
// accepted tree traced with each of its queries, saved again and refitted.
// A tree that passes the check must not crash or read out of bounds when
// traced or refitted.
#include "FuzzScenes.h"
#include "gfxRTWideBVH.h"
#include "zrvStreams.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<unsigned char> image = zrv::fuzz::framed(data, size);
    zrv::streams::MemoryReader reader(image.data(), image.size());
    PlxUnicodeString reason;
    gfxRTWideBVH tree;
    if (!tree.unstream(reader, reader.remaining(), &reason)) {
        if (reason == "" || !tree.empty() || tree.memory_bytes() != 0)
            __builtin_trap(); // every refusal gives a reason and leaves nothing
        return 0;
    }
    // Rays at triangles of the host scenes that the seeds were built over,
    // from four sides, so that accepted trees are traced down to leaves.
    const std::vector<triAccel>& host = zrv::fuzz::host_triangles();
    const float sides[4][3] = {
        {1, 0.3f, 0.2f}, {-0.2f, 1, 0.3f}, {0.3f, 0.1f, -1}, {-0.6f, 0.5f, 0.6f}};
    float origins[4][3], directions[4][3];
    for (int r = 0; r < 4; ++r) {
        const triAccel& target = host[(std::size_t(r) * 211 + 5) % host.size()];
        for (int a = 0; a < 3; ++a) {
            const float centre = (target.vertex0[a] + target.vertex1[a] + target.vertex2[a]) / 3;
            directions[r][a] = sides[r][a];
            origins[r][a] = centre - 4 * sides[r][a];
        }
        gfxRTWideHit hit;
        tree.intersect1(origins[r], directions[r], 1e30f, hit);
        tree.occluded1(origins[r], directions[r], 1e30f);
    }
    float t[4], u[4], v[4];
    int index[4];
    unsigned char occluded[4];
    tree.intersect_batch(&origins[0][0], &directions[0][0], nullptr, 4, t, index, u, v, 1);
    tree.occluded_batch(&origins[0][0], &directions[0][0], nullptr, 4, occluded, 1);
    for (int coherent = 0; coherent < 2; ++coherent) {
        // All four lanes from the first ray's origin along its direction, or
        // the four rays as they are; lanes 1 to 3 a little turned.
        float o[4][3], d[4][3];
        for (int l = 0; l < 4; ++l)
            for (int a = 0; a < 3; ++a) {
                const int r = coherent != 0 ? 0 : l;
                o[l][a] = origins[r][a];
                d[l][a] = directions[r][a] * (a == l - 1 ? 1.01f : 1.0f);
            }
        RayPacket rays = zrv::fuzz::packet_of(&o[0][0], &d[0][0]);
        for (unsigned int shadow = 0; shadow < 2; ++shadow) {
            HitPacket hits = zrv::fuzz::no_hits();
            __m128i hit_index;
            RenderState state{0, 0};
            state.shadow_rays = shadow;
            tree.intersect4(rays, hits, hit_index, state, 1e30f);
        }
        tree.occluded4(rays, _mm_set1_ps(1e30f));
    }
    zrv::streams::MemoryWriter writer;
    if (!tree.stream(writer))
        __builtin_trap(); // a tree the loader accepted can be saved again

    // An accepted tree refitted to the host's triangles, moved a little: its
    // leaves name records by position, and the walk follows the file's
    // references, so a refit must stay in bounds as the queries do.
    const unsigned int count = tree.statistics().input_triangles;
    if (count <= (1u << 16)) {
        const std::vector<triAccel> moved = zrv::fuzz::moved_host_triangles(count);
        if (tree.refit(moved.data(), count, 1 + (size & 1))) {
            gfxRTWideHit hit;
            for (int r = 0; r < 4; ++r)
                tree.intersect1(origins[r], directions[r], 1e30f, hit);
            zrv::streams::MemoryWriter refitted;
            if (!tree.stream(refitted))
                __builtin_trap();
        }
    }
    return 0;
}
