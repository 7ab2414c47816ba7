#include "ThroughRays.h"

#include "RandomRays.h"

#include "zrvSceneRandom.h"

#include <cmath>

namespace zrv {
namespace bench {

RayArrays through_rays(const std::vector<triAccel>& triangles, unsigned int count,
                       std::uint64_t seed) {
    const Box box = triangles_box(triangles);
    const double low[3] = {box.low.x, box.low.y, box.low.z};
    const double high[3] = {box.high.x, box.high.y, box.high.z};
    // The axis of the smallest extent; the circle lies across the others.
    int thin = 0;
    for (int axis = 1; axis < 3; ++axis)
        if (high[axis] - low[axis] < high[thin] - low[thin])
            thin = axis;
    const int across[2] = {(thin + 1) % 3, (thin + 2) % 3};
    double radius = 0.0;
    for (int axis = 0; axis < 3; ++axis)
        radius += (high[axis] - low[axis]) * (high[axis] - low[axis]);
    radius = std::sqrt(radius);
    const auto middle_half = [&](zrv::scenes::SplitMix64& random, int axis) {
        const double quarter = 0.25 * (high[axis] - low[axis]);
        return random.uniform(low[axis] + quarter, high[axis] - quarter);
    };
    zrv::scenes::SplitMix64 random(seed);
    RayArrays rays;
    rays.origins.reserve(3 * std::size_t(count));
    rays.directions.reserve(3 * std::size_t(count));
    for (unsigned int i = 0; i < count; ++i) {
        const double angle = random.uniform(0.0, 6.283185307179586);
        float origin[3];
        origin[across[0]] =
            float(0.5 * (low[across[0]] + high[across[0]]) + radius * std::cos(angle));
        origin[across[1]] =
            float(0.5 * (low[across[1]] + high[across[1]]) + radius * std::sin(angle));
        origin[thin] = float(middle_half(random, thin));
        double to_target[3], length = 0.0;
        for (int axis = 0; axis < 3; ++axis) {
            to_target[axis] = middle_half(random, axis) - double(origin[axis]);
            length += to_target[axis] * to_target[axis];
        }
        length = std::sqrt(length);
        const float direction[3] = {float(to_target[0] / length), float(to_target[1] / length),
                                    float(to_target[2] / length)};
        rays.origins.insert(rays.origins.end(), origin, origin + 3);
        rays.directions.insert(rays.directions.end(), direction, direction + 3);
        ++rays.count;
    }
    return rays;
}

} // namespace bench
} // namespace zrv
