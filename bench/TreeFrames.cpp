// trace_frame and trace_run of the library's trees (declared in
// KDTreeTracing.h and BVHTracing.h): the same loop over their own trace_packet.
#include "BVHTracing.h"
#include "KDTreeTracing.h"

namespace zrv {
namespace bench {

namespace {

template <class Tree>
FrameTrace trace_tree_frame(const Tree& tree, const std::vector<RayPacket>& packets,
                            std::vector<HitPacket>* hits_out) {
    const RenderState state{0, 0};
    return trace_packets(packets, hits_out, [&](const RayPacket& rays, HitPacket& hits) {
        return trace_packet(tree, rays, state, hits);
    });
}

template <class Tree>
FrameTrace trace_tree_run(const Tree& tree, unsigned int thread_index, const RayPacket* packets,
                          std::size_t count) {
    const RenderState state{thread_index, 0};
    return trace_packets(packets, count, nullptr, [&](const RayPacket& rays, HitPacket& hits) {
        return trace_packet(tree, rays, state, hits);
    });
}

} // namespace

FrameTrace trace_frame(const gfxRTKDTree& tree, const std::vector<RayPacket>& packets,
                       std::vector<HitPacket>* hits_out) {
    return trace_tree_frame(tree, packets, hits_out);
}

FrameTrace trace_frame(const gfxRTBVH& tree, const std::vector<RayPacket>& packets,
                       std::vector<HitPacket>* hits_out) {
    return trace_tree_frame(tree, packets, hits_out);
}

FrameTrace trace_run(const gfxRTKDTree& tree, unsigned int thread_index, const RayPacket* packets,
                     std::size_t count) {
    return trace_tree_run(tree, thread_index, packets, count);
}

FrameTrace trace_run(const gfxRTBVH& tree, unsigned int thread_index, const RayPacket* packets,
                     std::size_t count) {
    return trace_tree_run(tree, thread_index, packets, count);
}

} // namespace bench
} // namespace zrv
