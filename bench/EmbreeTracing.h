// Embree 3 over the same triangles and rays as the library's structures.
#ifndef ZRV_BENCH_EMBREE_TRACING_H
#define ZRV_BENCH_EMBREE_TRACING_H

#include "BenchRays.h"
#include "FrameTrace.h"

#include <embree3/rtcore.h>

#include <cstddef>
#include <vector>

namespace zrv {
namespace bench {

// Which kernels a device runs: the best the processor offers (AVX-512 on
// recent machines), or SSE2 only, the instruction set the KD-tree is built for.
enum class EmbreeIsa { NATIVE, SSE2 };

// A device with one worker thread, so that its builds are single-threaded
// like the serial KD build. Made on first use, kept until the process ends.
RTCDevice single_thread_device(EmbreeIsa isa = EmbreeIsa::NATIVE);

// Vertex and index arrays in Embree's layout (three vertices per triangle,
// unshared), which scenes reference without copying.
struct EmbreeTriangleBuffers {
    std::vector<float> vertices; // x, y, z per vertex, plus padding for Embree's 16-byte loads
    std::vector<unsigned int> indices;
    std::size_t triangle_count = 0;
};
EmbreeTriangleBuffers embree_triangle_buffers(const std::vector<triAccel>& triangles);
// The buffers of benchmark_mesh(nominal), made once per size.
const EmbreeTriangleBuffers& embree_buffers(std::size_t nominal);

// One triangle geometry (primitive i is triangles[i]) in a committed scene
// of the given build quality, with intersect_filter as the geometry's
// intersection filter when not null; null when Embree reports an error.
RTCScene build_embree_scene(RTCDevice device, const EmbreeTriangleBuffers& buffers,
                            RTCBuildQuality quality, RTCFilterFunctionN intersect_filter = nullptr);

// A scene for the trace benchmarks over benchmark_mesh(nominal), built once
// per size, quality and instruction set on a single-thread device. Null on error.
RTCScene embree_trace_scene(std::size_t nominal, RTCBuildQuality quality,
                            EmbreeIsa isa = EmbreeIsa::NATIVE);

// How packets are handed to Embree: rtcIntersect4 with the coherent or the
// incoherent context flag.
enum class EmbreeQuery { COHERENT_PACKETS, INCOHERENT_PACKETS };

// The query the benchmarks use for a ray set: coherent packets for the
// primary rays, incoherent packets for the random rays. (One rtcIntersect1
// per lane traced the random rays no faster: 5.0 against 5.2 Mrays/s on the
// 100k mesh.)
EmbreeQuery embree_query(RaySet rays);

// Traces every packet (tnear 0.0001 as the library's triangle test). hits_out,
// when not null, receives per packet t, u, v and the primitive id (-1 for a
// miss) in the library's HitPacket form.
FrameTrace trace_frame_embree(RTCScene scene, const std::vector<RayPacket>& packets,
                              EmbreeQuery query, std::vector<HitPacket>* hits_out);
// Traces packets[0, count) on the calling thread, the hits left out.
FrameTrace trace_run_embree(RTCScene scene, const RayPacket* packets, std::size_t count,
                            EmbreeQuery query);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_EMBREE_TRACING_H
