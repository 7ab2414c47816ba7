#include "BenchRays.h"

#include "AORays.h"
#include "BenchMeshes.h"
#include "PrimaryRays.h"
#include "RandomRays.h"
#include "SingleRays.h"

#include <map>
#include <utility>

namespace zrv {
namespace bench {

namespace {

const std::uint64_t RANDOM_RAY_SEED = 0x5EED0008ull;
const std::uint64_t AO_RAY_SEED = 0x5EED00A0ull;

// The rays of a mesh-dependent set, made once per mesh size by make(mesh).
template <class Make>
const std::vector<RayPacket>& per_mesh(std::map<std::size_t, std::vector<RayPacket>>& made,
                                       std::size_t nominal, Make make) {
    auto found = made.find(nominal);
    if (found == made.end())
        found = made.emplace(nominal, make(benchmark_mesh(nominal))).first;
    return found->second;
}

const std::vector<RayPacket>& primary_rays() {
    // The camera's rays do not depend on the mesh.
    static const std::vector<RayPacket> primary =
        primary_ray_packets(benchmark_camera(), IMAGE_SIZE, IMAGE_SIZE);
    return primary;
}

} // namespace

const char* ray_set_name(RaySet rays) {
    switch (rays) {
    case RaySet::PRIMARY_2X2:
        return "primary_2x2";
    case RaySet::SINGLE:
        return "single";
    case RaySet::AO:
        return "ao";
    case RaySet::RANDOM:
        return "random";
    }
    return "";
}

std::string trace_variant(RaySet rays, unsigned int threads) {
    return std::string(ray_set_name(rays)) +
           (threads == 1 ? "_1thread" : "_" + std::to_string(threads) + "threads");
}

bool ray_set_is_coherent(RaySet rays) {
    return rays == RaySet::PRIMARY_2X2;
}

const std::vector<RayPacket>& benchmark_rays(RaySet rays, std::size_t nominal) {
    // Made on first use; the benchmark thread is the only caller.
    static std::map<std::size_t, std::vector<RayPacket>> ao, random;
    switch (rays) {
    case RaySet::PRIMARY_2X2:
        return primary_rays();
    case RaySet::SINGLE: {
        static const std::vector<RayPacket> singles = single_ray_packets(primary_rays());
        return singles;
    }
    case RaySet::AO:
        return per_mesh(ao, nominal, [](const std::vector<triAccel>& mesh) {
            return ao_ray_packets(mesh, AO_RAY_PACKETS, AO_RAY_SEED);
        });
    case RaySet::RANDOM:
        break;
    }
    return per_mesh(random, nominal, [](const std::vector<triAccel>& mesh) {
        return random_ray_packets(triangles_box(mesh), RANDOM_RAY_PACKETS, RANDOM_RAY_SEED);
    });
}

} // namespace bench
} // namespace zrv
