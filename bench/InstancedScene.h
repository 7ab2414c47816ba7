// The instanced scene of the wide scene's benchmarks: the 100k benchmark
// mesh placed 64 times at seeded random transforms, as a gfxRTWideScene and
// as Embree 3 instances (one triangle geometry in a scene of its own, 64
// RTC_GEOMETRY_TYPE_INSTANCE geometries in the top scene), with the ray sets
// traced through both.
#ifndef ZRV_BENCH_INSTANCED_SCENE_H
#define ZRV_BENCH_INSTANCED_SCENE_H

#include "FrameTrace.h"
#include "RayArrays.h"
#include "RayQuery.h"

#include "gfxRTWideScene.h"

#include <memory>
#include <string>
#include <vector>

namespace zrv {
namespace bench {

const unsigned int SCENE_INSTANCES = 64;

// Seeded random placements: a rotation, a scale of 0.5 to 1.5 and a place
// on a 4 x 4 x 4 grid a little wider than the mesh, jittered.
std::vector<std::vector<float>> instance_transforms(unsigned int count, std::uint64_t seed);

enum class SceneRays { SINGLE, PRIMARY, AO, RANDOM };
const char* scene_rays_name(SceneRays rays);
// How the benchmarks trace each set: camera rays one at a time
// (RayQuery::ONE_RAY), their blocks four at a time (PACKETS_IN_FOURS), the
// others as packets.
RayQuery scene_query(SceneRays rays);

struct InstancedScene {
    std::unique_ptr<gfxRTWideScene> scene; // committed on one thread
    std::vector<RayPacket> single;         // one camera ray per packet
    std::vector<RayPacket> primary;        // the same camera's 2x2 blocks, row-major
    std::vector<RayPacket> ao;             // four rays from a point of an instance's surface
    std::vector<RayPacket> random;         // random origins and directions over the scene
    RayArrays ao_arrays, random_arrays;
    // Empty when the scene was built and its hits agree with Embree's on
    // every ray set (or Embree is not available).
    std::string error;

    const std::vector<RayPacket>& packets(SceneRays rays) const;
    const RayArrays& arrays(SceneRays rays) const;
};

// Made on first use (untimed; prints the agreements with Embree).
const InstancedScene& instanced_scene();

// The wide scene's calls on packets[0, count): intersect1 per lane
// (RayQuery::ONE_RAY), intersect_packets on runs of four
// (RayQuery::PACKETS_IN_FOURS), or intersect4; intersect_batch on arrays.
FrameTrace trace_wide_scene(const gfxRTWideScene& scene, RayQuery query, const RayPacket* packets,
                            std::size_t count, HitPacket* hits_out);
FrameTrace trace_wide_scene_batch(const gfxRTWideScene& scene, const RayArrays& arrays,
                                  unsigned int threads, BatchHits& hits);

} // namespace bench
} // namespace zrv

#ifdef ZRV_BENCH_HAVE_EMBREE
#include <embree3/rtcore.h>
namespace zrv {
namespace bench {
// The same scene in Embree: built once, at high quality.
RTCScene embree_instanced_scene();
// The scene's instances of mesh (a committed scene), each committed and
// attached to top (not committed); the caller releases them.
std::vector<RTCGeometry> attach_embree_instances(RTCDevice device, RTCScene top, RTCScene mesh);
} // namespace bench
} // namespace zrv
#endif

#endif // ZRV_BENCH_INSTANCED_SCENE_H
