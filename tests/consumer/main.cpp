// A host program built against the installed package: compiles a tree over
// a quad and traces one packet through it.
#include <zorvadideruvovozov.h>
#include <zrvStreams.h>

#include <cstdio>
#include <cstring>

int main() {
    triAccel quad[2];
    std::memset(quad, 0, sizeof(quad));
    const float corners[4][3] = {{-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0}};
    const int order[2][3] = {{0, 1, 2}, {0, 2, 3}};
    for (int t = 0; t < 2; ++t) {
        std::memcpy(quad[t].vertex0, corners[order[t][0]], sizeof(quad[t].vertex0));
        std::memcpy(quad[t].vertex1, corners[order[t][1]], sizeof(quad[t].vertex1));
        std::memcpy(quad[t].vertex2, corners[order[t][2]], sizeof(quad[t].vertex2));
        quad[t].normal[2] = 1;
        quad[t].triangle_id = t;
        quad[t].casts_shadow = 1;
    }
    gfxRTKDTree tree(1);
    if (gfxRTAccelerationStructureServices::CompileKDTree(&tree, 1, quad, 2) != 0 ||
        !tree.get_statistic()->valid) {
        std::fprintf(stderr, "build failed\n");
        return 1;
    }
    RayPacket rays;
    std::memset(&rays, 0, sizeof(rays));
    rays.origin.x = _mm_setr_ps(-0.5f, 0.5f, 0.5f, 2.0f);
    rays.origin.y = _mm_setr_ps(-0.5f, -0.5f, 0.5f, 2.0f);
    rays.origin.z = _mm_set1_ps(5.0f);
    rays.direction.z = _mm_set1_ps(-1.0f);
    rays.active_mask = 15;
    HitPacket hits;
    hits.t = _mm_set1_ps(1e30f);
    hits.id = _mm_set1_epi32(-1);
    RenderState state = {0, 0};
    tree.traverse_tree(&rays, &hits, 0, &state, 1e30f);
    alignas(16) int ids[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(ids), hits.id);
    std::printf("hits: %d %d %d %d\n", ids[0], ids[1], ids[2], ids[3]);
    const bool expected = ids[0] >= 0 && ids[1] >= 0 && ids[2] >= 0 && ids[3] == -1;

    // Saved and loaded back checked through the companion streams.
    zrv::streams::MemoryWriter writer;
    tree.stream(writer);
    const std::vector<unsigned char> image = writer.image();
    zrv::streams::MemoryReader reader(image.data(), image.size());
    PlxUnicodeString reason;
    gfxRTKDTree* loaded = gfxRTAccelerationStructureServices::UnstreamNewKDTreeChecked(
        reader, quad, 2, 1, reader.remaining(), &reason);
    if (loaded == nullptr)
        std::fprintf(stderr, "load failed: %s\n", reason.ConvertToChar());
    delete loaded;
    return expected && loaded != nullptr ? 0 : 1;
}
