// A host program built against the installed package: compiles a tree over
// one triangle and traces a packet through it.
#include <zorvadideruvovozov.h>
#include <zrvStreams.h>

#include <cstring>

int main() {
    triAccel tri;
    std::memset(&tri, 0, sizeof(tri));
    tri.vertex1[0] = tri.vertex2[1] = tri.normal[2] = 1;
    gfxRTKDTree tree(1);
    gfxRTAccelerationStructureServices::CompileKDTree(&tree, 1, &tri, 1);
    RayPacket rays;
    std::memset(&rays, 0, sizeof(rays));
    rays.origin.x = rays.origin.y = _mm_setr_ps(0.25f, 0.25f, 0.25f, 2.0f);
    rays.origin.z = _mm_set1_ps(5.0f);
    rays.direction.z = _mm_set1_ps(-1.0f);
    rays.active_mask = 15;
    HitPacket hits = {_mm_set1_ps(1e30f), _mm_setzero_ps(), _mm_setzero_ps(), _mm_set1_epi32(-1)};
    RenderState state = {0, 0};
    tree.traverse_tree(&rays, &hits, 0, &state, 1e30f);
    zrv::streams::MemoryWriter writer; // the companion streams link too
    tree.stream(writer);
    return _mm_movemask_ps(_mm_castsi128_ps(hits.id)) == 8 && writer.ok() ? 0 : 1;
}
