#include "zrvCamera.h"

#include <algorithm>

#include <emmintrin.h>

namespace zrv {

namespace {

constexpr float degrees_to_radians = 3.14159265358979f / 180.0f;

// Where the default eye sits relative to the look-at point, in the frame of
// the up vector: to the right, above and in front.
constexpr float framing_side = 0.55f, framing_height = 0.45f, framing_front = 1.0f;

} // namespace

bool Camera::create(const Vec3& eye, const Vec3& look_at, const Vec3& up,
                    float vertical_fov_degrees, int width, int height, Camera& camera,
                    std::string& error) {
    const Vec3 view = look_at - eye;
    if (!(length(view) > 0.0f) || !is_finite(view)) {
        error = "the camera's eye and look-at point must be distinct finite points";
        return false;
    }
    const Vec3 forward = normalize(view);
    const Vec3 side = cross(forward, up);
    if (!(length(side) > 1e-6f * length(up))) {
        error = "the up direction is parallel to the viewing direction";
        return false;
    }
    camera.eye_ = eye;
    camera.forward_ = forward;
    camera.right_ = normalize(side);
    camera.up_ = cross(camera.right_, forward);
    camera.tan_half_fov_ = std::tan(0.5f * vertical_fov_degrees * degrees_to_radians);
    camera.width_ = width;
    camera.height_ = height;
    camera.aspect_ = static_cast<float>(width) / static_cast<float>(height);
    return true;
}

Vec3 Camera::framing_eye(const Bounds& scene, const Vec3& up, float vertical_fov_degrees, int width,
                         int height) {
    const Vec3 centre = scene.centre();
    const float radius = std::max(0.5f * scene.diagonal(), 1e-6f);

    // A frame around up; the "front" is +z unless up is close to it.
    const Vec3 u = normalize(up);
    const Vec3 reference = std::fabs(u.z) < 0.9f ? Vec3(0.0f, 0.0f, 1.0f) : Vec3(1.0f, 0.0f, 0.0f);
    const Vec3 right = normalize(cross(u, reference));
    const Vec3 front = cross(right, u);
    const Vec3 offset =
        normalize(right * framing_side + u * framing_height + front * framing_front);

    // The sphere fits when its angular radius is within the narrower half
    // field of view.
    const float half_vertical = 0.5f * vertical_fov_degrees * degrees_to_radians;
    const float half_horizontal =
        std::atan(std::tan(half_vertical) * static_cast<float>(width) / height);
    const float half_fov = std::min(half_vertical, half_horizontal);
    const float distance = radius / std::sin(half_fov);
    return centre + offset * distance;
}

Vec3 Camera::direction(float px, float py) const {
    const float sx = (2.0f * px / width_ - 1.0f) * tan_half_fov_ * aspect_;
    const float sy = (1.0f - 2.0f * py / height_) * tan_half_fov_;
    return normalize(forward_ + right_ * sx + up_ * sy);
}

void Camera::block_directions(int x, int y, float scale, __m128& dx, __m128& dy, __m128& dz) const {
    const __m128 half = _mm_set1_ps(0.5f), two = _mm_set1_ps(2.0f), one = _mm_set1_ps(1.0f);
    const __m128 px = _mm_add_ps(_mm_cvtepi32_ps(_mm_setr_epi32(x, x + 1, x, x + 1)), half);
    const __m128 py = _mm_add_ps(_mm_cvtepi32_ps(_mm_setr_epi32(y, y, y + 1, y + 1)), half);
    // direction()'s operations in its order, lane by lane.
    const __m128 tan = _mm_set1_ps(tan_half_fov_);
    const __m128 sx = _mm_mul_ps(
        _mm_mul_ps(_mm_sub_ps(_mm_div_ps(_mm_mul_ps(two, px), _mm_set1_ps(float(width_))), one),
                   tan),
        _mm_set1_ps(aspect_));
    const __m128 sy = _mm_mul_ps(
        _mm_sub_ps(one, _mm_div_ps(_mm_mul_ps(two, py), _mm_set1_ps(float(height_)))), tan);
    const auto axis = [&](float f, float r, float u) {
        return _mm_add_ps(_mm_add_ps(_mm_set1_ps(f), _mm_mul_ps(_mm_set1_ps(r), sx)),
                          _mm_mul_ps(_mm_set1_ps(u), sy));
    };
    const __m128 vx = axis(forward_.x, right_.x, up_.x);
    const __m128 vy = axis(forward_.y, right_.y, up_.y);
    const __m128 vz = axis(forward_.z, right_.z, up_.z);
    const __m128 length = _mm_sqrt_ps(
        _mm_add_ps(_mm_add_ps(_mm_mul_ps(vx, vx), _mm_mul_ps(vy, vy)), _mm_mul_ps(vz, vz)));
    const __m128 inverse = _mm_div_ps(one, length);
    const __m128 s = _mm_set1_ps(scale);
    dx = _mm_mul_ps(_mm_mul_ps(vx, inverse), s);
    dy = _mm_mul_ps(_mm_mul_ps(vy, inverse), s);
    dz = _mm_mul_ps(_mm_mul_ps(vz, inverse), s);
}

} // namespace zrv
