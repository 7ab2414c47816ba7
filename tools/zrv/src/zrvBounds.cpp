#include "zrvBounds.h"

#include <algorithm>

namespace zrv {

void extend(Bounds& box, const float v[3]) {
    if (box.empty) {
        box.min = box.max = Vec3(v);
        box.empty = false;
        return;
    }
    box.min = {std::min(box.min.x, v[0]), std::min(box.min.y, v[1]), std::min(box.min.z, v[2])};
    box.max = {std::max(box.max.x, v[0]), std::max(box.max.y, v[1]), std::max(box.max.z, v[2])};
}

Bounds bounds_of(const triAccel* triangles, std::size_t count) {
    Bounds box;
    for (std::size_t i = 0; i < count; ++i) {
        extend(box, triangles[i].vertex0);
        extend(box, triangles[i].vertex1);
        extend(box, triangles[i].vertex2);
    }
    return box;
}

} // namespace zrv
