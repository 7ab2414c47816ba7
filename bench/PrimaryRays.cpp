#include "PrimaryRays.h"

#include "PacketLanes.h"

#include <cmath>

namespace zrv {
namespace bench {

namespace {

using zrv::scenes::Vec3;

Vec3 sub(const Vec3& a, const Vec3& b) {
    return Vec3{a.x - b.x, a.y - b.y, a.z - b.z};
}
Vec3 add_scaled(const Vec3& a, const Vec3& b, float s) {
    return Vec3{a.x + b.x * s, a.y + b.y * s, a.z + b.z * s};
}
Vec3 cross(const Vec3& a, const Vec3& b) {
    return Vec3{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
Vec3 normalized(const Vec3& a) {
    const float length = std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z);
    return Vec3{a.x / length, a.y / length, a.z / length};
}

} // namespace

PinholeCamera benchmark_camera() {
    return PinholeCamera{Vec3{4.0f, 0.8f, 0.6f}, Vec3{0.0f, 0.0f, 0.0f}, Vec3{0.0f, 1.0f, 0.0f},
                         18.0f};
}

std::vector<RayPacket> primary_ray_packets(const PinholeCamera& camera, unsigned int width,
                                           unsigned int height) {
    const Vec3 forward = normalized(sub(camera.look_at, camera.eye));
    const Vec3 right = normalized(cross(forward, camera.up));
    const Vec3 up = cross(right, forward);
    const float half_height = std::tan(camera.vertical_fov_degrees * 0.5f * 3.14159265f / 180.0f);
    const float half_width = half_height * float(width) / float(height);

    std::vector<RayPacket> packets;
    packets.reserve(std::size_t(width / 2) * (height / 2));
    for (unsigned int y = 0; y < height; y += 2) {
        for (unsigned int x = 0; x < width; x += 2) {
            Vec3 origin[4], direction[4];
            for (unsigned int lane = 0; lane < 4; ++lane) {
                const float px = float(x + (lane & 1)) + 0.5f;
                const float py = float(y + (lane >> 1)) + 0.5f;
                const float sx = (2.0f * px / float(width) - 1.0f) * half_width;
                const float sy = (1.0f - 2.0f * py / float(height)) * half_height;
                direction[lane] = normalized(add_scaled(add_scaled(forward, right, sx), up, sy));
                origin[lane] = camera.eye;
            }
            packets.push_back(packet_from_lanes(origin, direction));
        }
    }
    return packets;
}

} // namespace bench
} // namespace zrv
