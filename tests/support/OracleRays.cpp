#include "OracleRays.h"

#include "KDTreeTestUtil.h"

#include <cmath>
#include <random>

using zrv::scenes::Bounds;

namespace {
// From a random point of the box grown by margin (of its extent) on each side.
Ray3 random_ray(const float box_min[3], const float box_max[3], float margin, std::mt19937& rng) {
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    Ray3 ray;
    for (int a = 0; a < 3; ++a) {
        const float extent = box_max[a] - box_min[a];
        ray.origin[a] = box_min[a] - margin * extent + (1 + 2 * margin) * extent * u(rng);
        ray.direction[a] = 2 * u(rng) - 1;
    }
    return ray;
}
} // namespace

std::vector<RayPacket> camera_packets(const Bounds& b, int width, int height, float azimuth,
                                      float field) {
    const float c[3] = {(b.min[0] + b.max[0]) / 2, (b.min[1] + b.max[1]) / 2,
                        (b.min[2] + b.max[2]) / 2};
    const float radius = std::sqrt((b.max[0] - b.min[0]) * (b.max[0] - b.min[0]) +
                                   (b.max[1] - b.min[1]) * (b.max[1] - b.min[1]) +
                                   (b.max[2] - b.min[2]) * (b.max[2] - b.min[2]));
    const float eye[3] = {c[0] + radius * std::cos(azimuth), c[1] + 0.4f * radius,
                          c[2] + radius * std::sin(azimuth)};
    float forward[3] = {c[0] - eye[0], c[1] - eye[1], c[2] - eye[2]};
    const float fl =
        std::sqrt(forward[0] * forward[0] + forward[1] * forward[1] + forward[2] * forward[2]);
    for (float& f : forward)
        f /= fl;
    float right[3] = {-forward[2], 0, forward[0]};
    const float rl = std::sqrt(right[0] * right[0] + right[2] * right[2]);
    right[0] /= rl;
    right[2] /= rl;
    const float up[3] = {right[1] * forward[2] - right[2] * forward[1],
                         right[2] * forward[0] - right[0] * forward[2],
                         right[0] * forward[1] - right[1] * forward[0]};
    std::vector<RayPacket> packets;
    for (int y = 0; y < height; y += 2) {
        for (int x = 0; x < width; x += 2) {
            RayPacket p = packet_of({{0, 0, 0}, {0, 0, 1}});
            for (int k = 0; k < 4; ++k) {
                const float sx = (x + (k & 1) + 0.5f) / width * 2 - 1;
                const float sy = (y + (k >> 1) + 0.5f) / height * 2 - 1;
                Ray3 ray;
                for (int a = 0; a < 3; ++a) {
                    ray.origin[a] = eye[a];
                    ray.direction[a] = forward[a] + field * (sx * right[a] + sy * up[a]);
                }
                set_ray(p, k, ray);
            }
            packets.push_back(p);
        }
    }
    return packets;
}

std::vector<RayPacket> random_single_lane_packets(const std::vector<triAccel>& triangles,
                                                  const Bounds& b, int count, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::uniform_int_distribution<std::size_t> pick(0, triangles.size() - 1);
    std::vector<RayPacket> packets;
    for (int i = 0; i < count; ++i) {
        RayPacket p = packet_of({{0, 0, 0}, {0, 0, 1}});
        for (int k = 0; k < 4; ++k) {
            Ray3 ray = random_ray(b.min, b.max, 0.25f, rng);
            if (i % 2 == 0) {
                const triAccel& t = triangles[pick(rng)];
                const float s = u(rng), r = u(rng) * (1 - s);
                for (int a = 0; a < 3; ++a)
                    ray.direction[a] = t.vertex0[a] + s * (t.vertex1[a] - t.vertex0[a]) +
                                       r * (t.vertex2[a] - t.vertex0[a]) - ray.origin[a];
            }
            if (i % 4 == 1)
                ray.direction[i % 3] = (i & 8) ? -0.0f : 0.0f;
            if (i % 16 == 3) {
                ray.direction[(i + 1) % 3] = 0.0f;
                ray.direction[(i + 2) % 3] = -0.0f;
            }
            set_ray(p, k, ray);
        }
        const int lane = i % 4;
        p.active_mask = 1 << lane;
        packets.push_back(p);
    }
    return packets;
}

std::vector<RayPacket> incoherent_packets(const Bounds& b, int count, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<RayPacket> packets;
    for (int i = 0; i < count; ++i) {
        RayPacket p = packet_of({{0, 0, 0}, {0, 0, 1}});
        for (int k = 0; k < 4; ++k)
            set_ray(p, k, random_ray(b.min, b.max, 0.25f, rng));
        p.active_mask = 1 + i % 15;
        packets.push_back(p);
    }
    return packets;
}
