// Fuzzes the checked KD-tree loader. The input is the stream's values; they
// are framed with a valid header and CRC so that mutations reach the loader.
// A tree the loader accepts is traced by two threads' stacks and saved
// again: the checks must make both safe.
#include "FuzzScenes.h"
#include "gfxRTAccelerationStructureServices.h"
#include "zrvStreams.h"

#include <cstdint>
#include <memory>

namespace {

void trace_around(const gfxRTKDTree& tree) {
    const KDTreeBBox& box = *tree.get_scene_bbox();
    const float directions[][3] = {{1, 0.3f, 0.2f},     {-1, 0.2f, -0.3f},   {0.1f, 1, 0.4f},
                                   {0.3f, -1, 0.1f},    {0.2f, 0.1f, 1},     {-0.2f, -0.3f, -1},
                                   {0.6f, -0.5f, 0.6f}, {-0.5f, 0.6f, -0.6f}};
    for (unsigned int thread = 0; thread < 2; ++thread) {
        for (const float* d : directions) {
            RayPacket rays;
            for (int axis = 0; axis < 3; ++axis) {
                const float lo = box.bbmin[axis], hi = box.bbmax[axis];
                const float mid = 0.5f * lo + 0.5f * hi;
                const __m128 origin = _mm_setr_ps(mid - d[axis] * (hi - lo), lo, hi, mid);
                const __m128 direction = _mm_set1_ps(d[axis]);
                if (axis == 0) {
                    rays.origin.x = origin;
                    rays.direction.x = direction;
                } else if (axis == 1) {
                    rays.origin.y = origin;
                    rays.direction.y = direction;
                } else {
                    rays.origin.z = origin;
                    rays.direction.z = direction;
                }
            }
            rays.active_mask = 15;
            HitPacket hits;
            hits.t = _mm_set1_ps(1e30f);
            hits.u = hits.v = _mm_setzero_ps();
            hits.id = _mm_set1_epi32(-1);
            const RenderState state{thread, thread};
            tree.traverse_tree(&rays, &hits, 0, &state, 1e30f);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<triAccel>& host = zrv::fuzz::host_triangles();
    const std::vector<unsigned char> image = zrv::fuzz::framed(data, size);
    zrv::streams::MemoryReader reader(image.data(), image.size());
    PlxUnicodeString reason;
    std::unique_ptr<gfxRTKDTree> tree(gfxRTAccelerationStructureServices::UnstreamNewKDTreeChecked(
        reader, host.data(), unsigned(host.size()), 2, reader.remaining(), &reason));
    if (tree == nullptr) {
        if (reason == "")
            __builtin_trap(); // every refusal gives a reason
        return 0;
    }
    trace_around(*tree);
    zrv::streams::MemoryWriter writer;
    tree->stream(writer);
    return 0;
}
