// Axis-aligned box of a triangle list, used to frame the camera and to scale
// ray epsilons to the size of the scene.
#ifndef ZRV_BOUNDS_H
#define ZRV_BOUNDS_H

#include "zrvVec3.h"

#include <gfxRayTracing.h>

#include <cstddef>

namespace zrv {

struct Bounds {
    Vec3 min, max;
    bool empty = true;

    Vec3 centre() const { return (min + max) * 0.5f; }
    float diagonal() const { return empty ? 0.0f : length(max - min); }
};

// Grows box to hold the point v.
void extend(Bounds& box, const float v[3]);

// Box of all vertices of the count triangles.
Bounds bounds_of(const triAccel* triangles, std::size_t count);

} // namespace zrv

#endif // ZRV_BOUNDS_H
