// A small 3-vector for the host side of the renderer: camera set-up, shading
// and mesh checks. The ray packets themselves use the library's SSE records.
#ifndef ZRV_VEC3_H
#define ZRV_VEC3_H

#include <cmath>

namespace zrv {

struct Vec3 {
    float x = 0.0f, y = 0.0f, z = 0.0f;

    Vec3() = default;
    Vec3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}
    explicit Vec3(const float v[3]) : x(v[0]), y(v[1]), z(v[2]) {}
};

inline Vec3 operator+(const Vec3& a, const Vec3& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline Vec3 operator-(const Vec3& a, const Vec3& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline Vec3 operator*(const Vec3& a, float s) {
    return {a.x * s, a.y * s, a.z * s};
}
inline Vec3 operator*(float s, const Vec3& a) {
    return a * s;
}
inline float dot(const Vec3& a, const Vec3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float length(const Vec3& a) {
    return std::sqrt(dot(a, a));
}
// Unit vector along a; a must have a non-zero, finite length.
inline Vec3 normalize(const Vec3& a) {
    return a * (1.0f / length(a));
}
inline bool is_finite(const Vec3& a) {
    return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z);
}

} // namespace zrv

#endif // ZRV_VEC3_H
