// Building triangle lists in the form a host hands them to the library.
//
// Every triangle is filled as a host would: its three vertices, the unit
// normal (v1 - v0) x (v2 - v0) (left zero for a zero-area triangle),
// triangle_id equal to its index in the list, backface_early_out 0,
// casts_shadow 1 and host_word 0.
#ifndef ZRV_SCENE_MESH_H
#define ZRV_SCENE_MESH_H

#include "gfxRayTracing.h"

#include <cstddef>
#include <vector>

namespace zrv {
namespace scenes {

struct Vec3 {
    float x, y, z;
};

// An affine map p -> M p + t, stored as the three rows of [M | t].
struct Transform {
    float m[3][4];

    static Transform identity();
    static Transform translation(const Vec3& offset);
    static Transform scaling(float factor);
    static Transform scaling(const Vec3& factors);
    // Right-handed rotation by angle_radians about the unit axis.
    static Transform rotation(const Vec3& axis, float angle_radians);

    bool is_identity() const;
    double determinant() const; // of M; negative for a mirroring map
    Vec3 apply(const Vec3& point) const;
};

// The map that applies `second` after `first`.
Transform then(const Transform& first, const Transform& second);

// Axis-aligned box over all vertices. For an empty list min is +FLT_MAX and
// max is -FLT_MAX on every axis.
struct Bounds {
    float min[3];
    float max[3];
};

Bounds scene_bounds(const triAccel* triangles, std::size_t count);
Bounds scene_bounds(const std::vector<triAccel>& triangles);

// Accumulates triangles and meshes into one list with sequential ids.
class Mesh {
public:
    // Room for triangle_count triangles. The list stays on the system's small
    // pages: it is filled once, and a huge page touched for the first time
    // costs a process that starts on a virtual machine's cold memory about
    // ten times what its small pages do.
    void reserve(std::size_t triangle_count);
    std::size_t size() const { return triangles_.size(); }
    const std::vector<triAccel>& triangles() const { return triangles_; }

    void add_triangle(const Vec3& v0, const Vec3& v1, const Vec3& v2);
    // Two triangles (a, b, c) and (a, c, d); the quad's front side is the one
    // from which a, b, c, d run counter-clockwise.
    void add_quad(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d);
    // Appends the triangles with their vertices mapped by transform and the
    // normal recomputed; a mirroring transform also swaps vertex1 and vertex2
    // so that front sides stay on the same side of the surface. The flags and
    // host word of each triangle are kept, its id becomes its new index.
    void append(const std::vector<triAccel>& triangles,
                const Transform& transform = Transform::identity());

    // Hands the list over with triangle_id renumbered 0, 1, 2, ... and leaves
    // the mesh empty.
    std::vector<triAccel> finalize();

private:
    std::vector<triAccel> triangles_;
};

// Sets the normal of tri from its vertices, as Mesh does.
void compute_normal(triAccel& tri);

} // namespace scenes
} // namespace zrv

#endif // ZRV_SCENE_MESH_H
