#include "QueryPoints.h"

#include "RandomRays.h"

#include "zrvSceneRandom.h"

#include <cmath>

namespace zrv {
namespace bench {

namespace {

double diagonal(const Box& box) {
    const double x = box.high.x - box.low.x, y = box.high.y - box.low.y, z = box.high.z - box.low.z;
    return std::sqrt(x * x + y * y + z * z);
}

} // namespace

PointArray near_surface_points(const std::vector<triAccel>& triangles, unsigned int count,
                               std::uint64_t seed) {
    const double reach = 0.01 * diagonal(triangles_box(triangles));
    zrv::scenes::SplitMix64 random(seed);
    PointArray points;
    points.reserve(3 * std::size_t(count));
    while (points.size() < 3 * std::size_t(count)) {
        const triAccel& tri = triangles[random.below(unsigned(triangles.size()))];
        const double n[3] = {tri.normal[0], tri.normal[1], tri.normal[2]};
        const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        if (!(length > 0.0))
            continue; // a degenerate triangle has no normal
        double a = random.next_double(), b = random.next_double();
        if (a + b > 1.0) {
            a = 1.0 - a;
            b = 1.0 - b;
        }
        const double offset = random.uniform(-reach, reach) / length;
        for (int axis = 0; axis < 3; ++axis)
            points.push_back(
                float(tri.vertex0[axis] + a * (double(tri.vertex1[axis]) - tri.vertex0[axis]) +
                      b * (double(tri.vertex2[axis]) - tri.vertex0[axis]) + offset * n[axis]));
    }
    return points;
}

PointArray box_points(const std::vector<triAccel>& triangles, unsigned int count,
                      std::uint64_t seed) {
    const Box box = triangles_box(triangles);
    zrv::scenes::SplitMix64 random(seed);
    PointArray points;
    points.reserve(3 * std::size_t(count));
    for (unsigned int i = 0; i < count; ++i) {
        points.push_back(float(random.uniform(box.low.x, box.high.x)));
        points.push_back(float(random.uniform(box.low.y, box.high.y)));
        points.push_back(float(random.uniform(box.low.z, box.high.z)));
    }
    return points;
}

} // namespace bench
} // namespace zrv
