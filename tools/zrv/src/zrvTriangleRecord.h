// Filling the library's triangle records from mesh vertices, with the checks
// that keep unusable triangles out of the tree.
#ifndef ZRV_TRIANGLE_RECORD_H
#define ZRV_TRIANGLE_RECORD_H

#include "zrvVec3.h"

#include <gfxRayTracing.h>

namespace zrv {

enum class TriangleCheck {
    ok,
    non_finite, // a vertex coordinate is NaN or infinite
    degenerate, // zero area (or an area too large for a float): no usable normal
};

// Fills record with the three corners, the plane normal computed from them
// (unit length, facing (v1 - v0) x (v2 - v0)), the given triangle_id and
// casts_shadow = 1. Returns what is wrong with the triangle; record is
// written only when the answer is ok.
TriangleCheck make_triangle_record(const Vec3& v0, const Vec3& v1, const Vec3& v2, int triangle_id,
                                   unsigned int host_word, triAccel& record);

// Unit normal of a record's plane, from its vertices (the stored normal may
// have any length and orientation).
Vec3 geometric_normal(const triAccel& record);

} // namespace zrv

#endif // ZRV_TRIANGLE_RECORD_H
