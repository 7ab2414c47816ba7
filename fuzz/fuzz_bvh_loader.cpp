// Fuzzes the checked triangle-BVH loader, as fuzz_kdtree_loader does the
// KD-tree one: framed values in, and every accepted tree traced and saved.
#include "FuzzScenes.h"
#include "gfxRTAccelerationStructureServices.h"
#include "zrvStreams.h"

#include <cstdint>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<triAccel>& host = zrv::fuzz::host_triangles();
    const std::vector<unsigned char> image = zrv::fuzz::framed(data, size);
    zrv::streams::MemoryReader reader(image.data(), image.size());
    PlxUnicodeString reason;
    std::unique_ptr<gfxRTBVH> bvh(gfxRTAccelerationStructureServices::UnstreamNewBVHChecked(
        reader, host.data(), zrv::fuzz::TRIANGLES_PER_SCENE, reader.remaining(), &reason));
    if (bvh == nullptr) {
        if (reason == "")
            __builtin_trap(); // every refusal gives a reason
        return 0;
    }
    __m128 lo, hi;
    bvh->get_tree_bbox(lo, hi);
    const float directions[][3] = {
        {1, 0.3f, 0.2f}, {-0.2f, -1, 0.3f}, {0.3f, 0.1f, -1}, {-0.6f, 0.5f, 0.6f}};
    for (const float* d : directions) {
        RayPacket rays;
        rays.origin.x = _mm_setr_ps(-2, 0, 0.5f, 2);
        rays.origin.y = _mm_setr_ps(0, -2, 0.5f, 1);
        rays.origin.z = _mm_setr_ps(0.1f, 0, -2, 0);
        rays.direction.x = _mm_set1_ps(d[0]);
        rays.direction.y = _mm_set1_ps(d[1]);
        rays.direction.z = _mm_set1_ps(d[2]);
        rays.active_mask = 15;
        HitPacket hits;
        hits.t = _mm_set1_ps(1e30f);
        hits.u = hits.v = _mm_setzero_ps();
        hits.id = _mm_set1_epi32(-1);
        __m128i objects;
        bvh->traverse_tree(rays, hits, objects, RenderState{0, 0}, 1e30f);
    }
    zrv::streams::MemoryWriter writer;
    bvh->stream(writer);
    return 0;
}
