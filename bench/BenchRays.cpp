#include "BenchRays.h"

#include "BenchMeshes.h"
#include "PrimaryRays.h"
#include "RandomRays.h"

#include <map>
#include <utility>

namespace zrv {
namespace bench {

namespace {

const std::uint64_t RANDOM_RAY_SEED = 0x5EED0008ull;

} // namespace

const char* ray_set_name(RaySet rays) {
    return rays == RaySet::PRIMARY_2X2 ? "primary_2x2" : "random";
}

bool ray_set_is_coherent(RaySet rays) {
    return rays == RaySet::PRIMARY_2X2;
}

const std::vector<RayPacket>& benchmark_rays(RaySet rays, std::size_t nominal) {
    if (rays == RaySet::PRIMARY_2X2) {
        // The camera's rays do not depend on the mesh.
        static const std::vector<RayPacket> primary =
            primary_ray_packets(benchmark_camera(), IMAGE_SIZE, IMAGE_SIZE);
        return primary;
    }
    // Made on first use; the benchmark thread is the only caller.
    static std::map<std::size_t, std::vector<RayPacket>> random;
    auto found = random.find(nominal);
    if (found == random.end())
        found = random
                    .emplace(nominal, random_ray_packets(triangles_box(benchmark_mesh(nominal)),
                                                         RANDOM_RAY_PACKETS, RANDOM_RAY_SEED))
                    .first;
    return found->second;
}

} // namespace bench
} // namespace zrv
