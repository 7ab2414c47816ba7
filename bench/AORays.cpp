#include "AORays.h"

#include "PacketLanes.h"
#include "RandomRays.h"

#include "zrvSceneRandom.h"

#include <cmath>

namespace zrv {
namespace bench {

namespace {

using zrv::scenes::SplitMix64;
using zrv::scenes::Vec3;

Vec3 scaled(const Vec3& v, float s) {
    return Vec3{v.x * s, v.y * s, v.z * s};
}

Vec3 sum(const Vec3& a, const Vec3& b) {
    return Vec3{a.x + b.x, a.y + b.y, a.z + b.z};
}

Vec3 cross(const Vec3& a, const Vec3& b) {
    return Vec3{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

Vec3 normalized(const Vec3& v) {
    return scaled(v, 1.0f / std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z));
}

Vec3 vertex(const float* v) {
    return Vec3{v[0], v[1], v[2]};
}

} // namespace

std::vector<RayPacket> ao_ray_packets(const std::vector<triAccel>& triangles,
                                      unsigned int packet_count, std::uint64_t seed) {
    const Box box = triangles_box(triangles);
    const Vec3 extent{box.high.x - box.low.x, box.high.y - box.low.y, box.high.z - box.low.z};
    const float lift =
        1e-4f * std::sqrt(extent.x * extent.x + extent.y * extent.y + extent.z * extent.z);
    SplitMix64 random(seed);
    std::vector<RayPacket> packets;
    packets.reserve(packet_count);
    while (packets.size() < packet_count) {
        const triAccel& tri = triangles[random.next() % triangles.size()];
        const Vec3 n{tri.normal[0], tri.normal[1], tri.normal[2]};
        if (!(n.x * n.x + n.y * n.y + n.z * n.z > 0.0f))
            continue; // a degenerate triangle has no hemisphere
        const Vec3 normal = normalized(n);
        // A uniform point of the triangle.
        float a = float(random.next_double()), b = float(random.next_double());
        if (a + b > 1.0f) {
            a = 1.0f - a;
            b = 1.0f - b;
        }
        const Vec3 v0 = vertex(tri.vertex0);
        const Vec3 e1 = sum(vertex(tri.vertex1), scaled(v0, -1.0f));
        const Vec3 e2 = sum(vertex(tri.vertex2), scaled(v0, -1.0f));
        const Vec3 point = sum(sum(v0, scaled(e1, a)), sum(scaled(e2, b), scaled(normal, lift)));
        // An orthonormal frame around the normal.
        const Vec3 helper = std::fabs(normal.x) < 0.9f ? Vec3{1, 0, 0} : Vec3{0, 1, 0};
        const Vec3 tangent = normalized(cross(helper, normal));
        const Vec3 bitangent = cross(normal, tangent);
        Vec3 origin[4], direction[4];
        for (unsigned int lane = 0; lane < 4; ++lane) {
            const double u1 = random.next_double(), u2 = random.next_double();
            const float r = float(std::sqrt(u1));
            const float phi = float(6.283185307179586 * u2);
            const float up = float(std::sqrt(1.0 - u1));
            origin[lane] = point;
            direction[lane] = normalized(
                sum(sum(scaled(tangent, r * std::cos(phi)), scaled(bitangent, r * std::sin(phi))),
                    scaled(normal, up)));
        }
        packets.push_back(packet_from_lanes(origin, direction));
    }
    return packets;
}

} // namespace bench
} // namespace zrv
