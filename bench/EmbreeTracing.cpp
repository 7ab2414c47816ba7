#include "EmbreeTracing.h"

#include "BenchMeshes.h"

#include <cstdio>
#include <map>
#include <tuple>

namespace zrv {
namespace bench {

namespace {

void report_embree_error(void*, RTCError code, const char* message) {
    std::fprintf(stderr, "Embree error %d: %s\n", int(code), message ? message : "");
}

RTCDevice new_device(const char* config) {
    RTCDevice device = rtcNewDevice(config);
    if (device)
        rtcSetDeviceErrorFunction(device, report_embree_error, nullptr);
    else
        std::fprintf(stderr, "Embree: rtcNewDevice(\"%s\") failed\n", config);
    return device;
}

// Hits nearer than this are rejected, as by the KD-tree's triangle test.
const float EMBREE_TNEAR = 0.0001f;

} // namespace

RTCDevice single_thread_device(EmbreeIsa isa) {
    if (isa == EmbreeIsa::SSE2) {
        static RTCDevice sse2_device = new_device("threads=1,isa=sse2");
        return sse2_device;
    }
    static RTCDevice device = new_device("threads=1");
    return device;
}

EmbreeTriangleBuffers embree_triangle_buffers(const std::vector<triAccel>& triangles) {
    EmbreeTriangleBuffers buffers;
    buffers.triangle_count = triangles.size();
    buffers.vertices.reserve(triangles.size() * 9 + 1);
    buffers.indices.reserve(triangles.size() * 3);
    for (const triAccel& tri : triangles) {
        for (const float* vertex : {tri.vertex0, tri.vertex1, tri.vertex2}) {
            buffers.indices.push_back(unsigned(buffers.vertices.size() / 3));
            buffers.vertices.insert(buffers.vertices.end(), vertex, vertex + 3);
        }
    }
    // Embree reads the last vertex with a 16-byte load.
    buffers.vertices.push_back(0.0f);
    return buffers;
}

RTCScene build_embree_scene(RTCDevice device, const EmbreeTriangleBuffers& buffers,
                            RTCBuildQuality quality, RTCFilterFunctionN intersect_filter) {
    if (!device)
        return nullptr;
    RTCScene scene = rtcNewScene(device);
    rtcSetSceneBuildQuality(scene, quality);
    RTCGeometry geometry = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
    rtcSetGeometryBuildQuality(geometry, quality);
    rtcSetSharedGeometryBuffer(geometry, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                               buffers.vertices.data(), 0, 3 * sizeof(float),
                               buffers.triangle_count * 3);
    rtcSetSharedGeometryBuffer(geometry, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                               buffers.indices.data(), 0, 3 * sizeof(unsigned int),
                               buffers.triangle_count);
    if (intersect_filter)
        rtcSetGeometryIntersectFilterFunction(geometry, intersect_filter);
    rtcCommitGeometry(geometry);
    rtcAttachGeometry(scene, geometry);
    rtcReleaseGeometry(geometry);
    rtcCommitScene(scene);
    if (rtcGetDeviceError(device) != RTC_ERROR_NONE) {
        rtcReleaseScene(scene);
        return nullptr;
    }
    return scene;
}

const EmbreeTriangleBuffers& embree_buffers(std::size_t nominal) {
    // Never freed: scenes share them until the process ends.
    static std::map<std::size_t, EmbreeTriangleBuffers> buffers;
    auto found = buffers.find(nominal);
    if (found == buffers.end())
        found = buffers.emplace(nominal, embree_triangle_buffers(benchmark_mesh(nominal))).first;
    return found->second;
}

RTCScene embree_trace_scene(std::size_t nominal, RTCBuildQuality quality, EmbreeIsa isa) {
    static std::map<std::tuple<std::size_t, int, int>, RTCScene> scenes;
    const std::tuple<std::size_t, int, int> key(nominal, int(quality), int(isa));
    auto found = scenes.find(key);
    if (found != scenes.end())
        return found->second;
    RTCScene scene =
        build_embree_scene(single_thread_device(isa), embree_buffers(nominal), quality);
    scenes[key] = scene;
    return scene;
}

namespace {

// One packet through rtcIntersect4 with the given context.
void intersect_packet(RTCScene scene, RTCIntersectContext& context, const RayPacket& rays,
                      HitPacket& hits) {
    const __m128i invalid_id = _mm_set1_epi32(int(RTC_INVALID_GEOMETRY_ID));
    alignas(16) RTCRayHit4 query;
    _mm_store_ps(query.ray.org_x, rays.origin.x);
    _mm_store_ps(query.ray.org_y, rays.origin.y);
    _mm_store_ps(query.ray.org_z, rays.origin.z);
    _mm_store_ps(query.ray.dir_x, rays.direction.x);
    _mm_store_ps(query.ray.dir_y, rays.direction.y);
    _mm_store_ps(query.ray.dir_z, rays.direction.z);
    _mm_store_ps(query.ray.tnear, _mm_set1_ps(EMBREE_TNEAR));
    _mm_store_ps(query.ray.tfar, _mm_set1_ps(NO_HIT_DISTANCE));
    _mm_store_ps(query.ray.time, _mm_setzero_ps());
    _mm_store_si128(reinterpret_cast<__m128i*>(query.ray.mask), _mm_set1_epi32(-1));
    _mm_store_si128(reinterpret_cast<__m128i*>(query.ray.id), _mm_setzero_si128());
    _mm_store_si128(reinterpret_cast<__m128i*>(query.ray.flags), _mm_setzero_si128());
    _mm_store_si128(reinterpret_cast<__m128i*>(query.hit.geomID), invalid_id);
    _mm_store_si128(reinterpret_cast<__m128i*>(query.hit.instID[0]), invalid_id);
    // Lane k of the valid mask is -1 when bit k of active_mask is set.
    const __m128i lane_bits = _mm_set_epi32(8, 4, 2, 1);
    alignas(16) int valid[4];
    _mm_store_si128(
        reinterpret_cast<__m128i*>(valid),
        _mm_cmpeq_epi32(_mm_and_si128(_mm_set1_epi32(rays.active_mask), lane_bits), lane_bits));
    rtcIntersect4(valid, scene, &context, &query);

    const __m128i geometry = _mm_load_si128(reinterpret_cast<const __m128i*>(query.hit.geomID));
    const __m128i missed = _mm_cmpeq_epi32(geometry, invalid_id);
    const __m128i primitive = _mm_load_si128(reinterpret_cast<const __m128i*>(query.hit.primID));
    hits.id = _mm_or_si128(_mm_andnot_si128(missed, primitive), missed);
    hits.t = _mm_load_ps(query.ray.tfar);
    hits.u = _mm_load_ps(query.hit.u);
    hits.v = _mm_load_ps(query.hit.v);
}

} // namespace

EmbreeQuery embree_query(RaySet rays) {
    return ray_set_is_coherent(rays) ? EmbreeQuery::COHERENT_PACKETS
                                     : EmbreeQuery::INCOHERENT_PACKETS;
}

namespace {

RTCIntersectContext query_context(EmbreeQuery query) {
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    context.flags = query == EmbreeQuery::COHERENT_PACKETS ? RTC_INTERSECT_CONTEXT_FLAG_COHERENT
                                                           : RTC_INTERSECT_CONTEXT_FLAG_INCOHERENT;
    return context;
}

} // namespace

FrameTrace trace_frame_embree(RTCScene scene, const std::vector<RayPacket>& packets,
                              EmbreeQuery query, std::vector<HitPacket>* hits_out) {
    RTCIntersectContext context = query_context(query);
    return trace_packets(packets, hits_out, [&](const RayPacket& rays, HitPacket& hits) {
        intersect_packet(scene, context, rays, hits);
        return 1u;
    });
}

FrameTrace trace_run_embree(RTCScene scene, const RayPacket* packets, std::size_t count,
                            EmbreeQuery query) {
    RTCIntersectContext context = query_context(query);
    return trace_packets(packets, count, nullptr, [&](const RayPacket& rays, HitPacket& hits) {
        intersect_packet(scene, context, rays, hits);
        return 1u;
    });
}

} // namespace bench
} // namespace zrv
