#include "RandomRays.h"

#include "PacketLanes.h"

#include "zrvSceneRandom.h"

#include <algorithm>
#include <cmath>

namespace zrv {
namespace bench {

namespace {

using zrv::scenes::SplitMix64;
using zrv::scenes::Vec3;

Vec3 uniform_point(SplitMix64& random, const Box& box) {
    return Vec3{float(random.uniform(box.low.x, box.high.x)),
                float(random.uniform(box.low.y, box.high.y)),
                float(random.uniform(box.low.z, box.high.z))};
}

} // namespace

Box triangles_box(const std::vector<triAccel>& triangles) {
    Box box{Vec3{1e30f, 1e30f, 1e30f}, Vec3{-1e30f, -1e30f, -1e30f}};
    for (const triAccel& tri : triangles) {
        for (const float* vertex : {tri.vertex0, tri.vertex1, tri.vertex2}) {
            box.low = Vec3{std::min(box.low.x, vertex[0]), std::min(box.low.y, vertex[1]),
                           std::min(box.low.z, vertex[2])};
            box.high = Vec3{std::max(box.high.x, vertex[0]), std::max(box.high.y, vertex[1]),
                            std::max(box.high.z, vertex[2])};
        }
    }
    return box;
}

std::vector<RayPacket> random_ray_packets(const Box& box, unsigned int packet_count,
                                          std::uint64_t seed) {
    const Vec3 margin{0.1f * (box.high.x - box.low.x), 0.1f * (box.high.y - box.low.y),
                      0.1f * (box.high.z - box.low.z)};
    const Box grown{Vec3{box.low.x - margin.x, box.low.y - margin.y, box.low.z - margin.z},
                    Vec3{box.high.x + margin.x, box.high.y + margin.y, box.high.z + margin.z}};
    SplitMix64 random(seed);
    std::vector<RayPacket> packets;
    packets.reserve(packet_count);
    for (unsigned int i = 0; i < packet_count; ++i) {
        Vec3 origin[4], direction[4];
        for (unsigned int lane = 0; lane < 4; ++lane) {
            float length;
            do { // a target at the origin itself has no direction: draw again
                origin[lane] = uniform_point(random, grown);
                const Vec3 target = uniform_point(random, box);
                direction[lane] = Vec3{target.x - origin[lane].x, target.y - origin[lane].y,
                                       target.z - origin[lane].z};
                const Vec3& d = direction[lane];
                length = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
            } while (!(length > 1e-6f));
            direction[lane] = Vec3{direction[lane].x / length, direction[lane].y / length,
                                   direction[lane].z / length};
        }
        packets.push_back(packet_from_lanes(origin, direction));
    }
    return packets;
}

} // namespace bench
} // namespace zrv
