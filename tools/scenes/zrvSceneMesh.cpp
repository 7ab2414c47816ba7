#include "zrvSceneMesh.h"

#include <cfloat>
#include <cmath>
#include <utility>

namespace zrv {
namespace scenes {

Transform Transform::identity() {
    return Transform{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}}};
}

Transform Transform::translation(const Vec3& offset) {
    return Transform{{{1, 0, 0, offset.x}, {0, 1, 0, offset.y}, {0, 0, 1, offset.z}}};
}

Transform Transform::scaling(float factor) {
    return scaling(Vec3{factor, factor, factor});
}

Transform Transform::scaling(const Vec3& factors) {
    return Transform{{{factors.x, 0, 0, 0}, {0, factors.y, 0, 0}, {0, 0, factors.z, 0}}};
}

Transform Transform::rotation(const Vec3& axis, float angle_radians) {
    // Rodrigues' formula.
    const double x = axis.x, y = axis.y, z = axis.z;
    const double c = std::cos(double(angle_radians)), s = std::sin(double(angle_radians));
    const double t = 1.0 - c;
    return Transform{
        {{float(t * x * x + c), float(t * x * y - s * z), float(t * x * z + s * y), 0},
         {float(t * x * y + s * z), float(t * y * y + c), float(t * y * z - s * x), 0},
         {float(t * x * z - s * y), float(t * y * z + s * x), float(t * z * z + c), 0}}};
}

double Transform::determinant() const {
    return double(m[0][0]) * (double(m[1][1]) * m[2][2] - double(m[1][2]) * m[2][1]) -
           double(m[0][1]) * (double(m[1][0]) * m[2][2] - double(m[1][2]) * m[2][0]) +
           double(m[0][2]) * (double(m[1][0]) * m[2][1] - double(m[1][1]) * m[2][0]);
}

bool Transform::is_identity() const {
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 4; ++column)
            if (m[row][column] != (row == column ? 1.0f : 0.0f))
                return false;
    return true;
}

Vec3 Transform::apply(const Vec3& p) const {
    double out[3];
    for (int row = 0; row < 3; ++row)
        out[row] = double(m[row][0]) * p.x + double(m[row][1]) * p.y + double(m[row][2]) * p.z +
                   double(m[row][3]);
    return Vec3{float(out[0]), float(out[1]), float(out[2])};
}

Transform then(const Transform& first, const Transform& second) {
    Transform result;
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 4; ++column) {
            double sum = column == 3 ? double(second.m[row][3]) : 0.0;
            for (int k = 0; k < 3; ++k)
                sum += double(second.m[row][k]) * first.m[k][column];
            result.m[row][column] = float(sum);
        }
    }
    return result;
}

Bounds scene_bounds(const triAccel* triangles, std::size_t count) {
    Bounds bounds{{FLT_MAX, FLT_MAX, FLT_MAX}, {-FLT_MAX, -FLT_MAX, -FLT_MAX}};
    for (std::size_t i = 0; i < count; ++i) {
        const float* vertices[3] = {triangles[i].vertex0, triangles[i].vertex1,
                                    triangles[i].vertex2};
        for (const float* vertex : vertices) {
            for (int axis = 0; axis < 3; ++axis) {
                if (vertex[axis] < bounds.min[axis])
                    bounds.min[axis] = vertex[axis];
                if (vertex[axis] > bounds.max[axis])
                    bounds.max[axis] = vertex[axis];
            }
        }
    }
    return bounds;
}

Bounds scene_bounds(const std::vector<triAccel>& triangles) {
    return scene_bounds(triangles.data(), triangles.size());
}

void compute_normal(triAccel& tri) {
    double e1[3], e2[3];
    for (int axis = 0; axis < 3; ++axis) {
        e1[axis] = double(tri.vertex1[axis]) - tri.vertex0[axis];
        e2[axis] = double(tri.vertex2[axis]) - tri.vertex0[axis];
    }
    double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                   e1[0] * e2[1] - e1[1] * e2[0]};
    const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (length > 0.0 && std::isfinite(length))
        for (double& component : n)
            component /= length;
    for (int axis = 0; axis < 3; ++axis)
        tri.normal[axis] = float(n[axis]);
}

void Mesh::reserve(std::size_t triangle_count) {
    triangles_.reserve(triangle_count);
}

static void copy_vertex(float* destination, const Vec3& v) {
    destination[0] = v.x;
    destination[1] = v.y;
    destination[2] = v.z;
}

void Mesh::add_triangle(const Vec3& v0, const Vec3& v1, const Vec3& v2) {
    triAccel tri;
    copy_vertex(tri.vertex0, v0);
    copy_vertex(tri.vertex1, v1);
    copy_vertex(tri.vertex2, v2);
    compute_normal(tri);
    tri.triangle_id = int(triangles_.size());
    tri.backface_early_out = 0;
    tri.host_word = 0;
    tri.casts_shadow = 1;
    triangles_.push_back(tri);
}

void Mesh::add_quad(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d) {
    add_triangle(a, b, c);
    add_triangle(a, c, d);
}

void Mesh::append(const std::vector<triAccel>& triangles, const Transform& transform) {
    triangles_.reserve(triangles_.size() + triangles.size());
    const bool keep_vertices = transform.is_identity();
    // A mirroring map reverses the winding; swapping two corners keeps each
    // triangle's front side where it was relative to the surface.
    const bool mirrors = transform.determinant() < 0.0;
    for (const triAccel& source : triangles) {
        triAccel tri = source;
        if (!keep_vertices) {
            float* vertices[3] = {tri.vertex0, tri.vertex1, tri.vertex2};
            for (float* vertex : vertices)
                copy_vertex(vertex, transform.apply(Vec3{vertex[0], vertex[1], vertex[2]}));
            if (mirrors)
                for (int axis = 0; axis < 3; ++axis)
                    std::swap(tri.vertex1[axis], tri.vertex2[axis]);
            compute_normal(tri);
        }
        tri.triangle_id = int(triangles_.size());
        triangles_.push_back(tri);
    }
}

std::vector<triAccel> Mesh::finalize() {
    std::vector<triAccel> result;
    result.swap(triangles_);
    for (std::size_t i = 0; i < result.size(); ++i)
        result[i].triangle_id = int(i);
    return result;
}

} // namespace scenes
} // namespace zrv
