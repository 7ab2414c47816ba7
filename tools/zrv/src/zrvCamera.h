// Pinhole camera: one eye point, rays through the centres of the pixels.
#ifndef ZRV_CAMERA_H
#define ZRV_CAMERA_H

#include "zrvBounds.h"
#include "zrvVec3.h"

#include <string>

#include <xmmintrin.h>

namespace zrv {

class Camera {
public:
    // Builds the camera, or returns false with a one-line error when eye and
    // look_at coincide or up is parallel to the view direction.
    static bool create(const Vec3& eye, const Vec3& look_at, const Vec3& up,
                       float vertical_fov_degrees, int width, int height, Camera& camera,
                       std::string& error);

    // The default view of a scene: looking at the centre of its box from the
    // front, right and above, far enough away that the box's bounding sphere
    // fits the image. up must not be the zero vector.
    static Vec3 framing_eye(const Bounds& scene, const Vec3& up, float vertical_fov_degrees,
                            int width, int height);

    const Vec3& eye() const { return eye_; }
    int width() const { return width_; }
    int height() const { return height_; }

    // Unit direction of the ray through image point (px, py), in pixels from
    // the top-left corner of the image; pixel (x, y) has its centre at
    // (x + 0.5, y + 0.5).
    Vec3 direction(float px, float py) const;
    Vec3 pixel_direction(int x, int y) const { return direction(x + 0.5f, y + 0.5f); }
    // The pixel directions of a 2x2 block at (x, y), times scale, lane k
    // for pixel (x + (k & 1), y + (k >> 1)): the bits of
    // pixel_direction(...) * scale, four at a time.
    void block_directions(int x, int y, float scale, __m128& dx, __m128& dy, __m128& dz) const;

private:
    Vec3 eye_, forward_, right_, up_;
    float tan_half_fov_ = 1.0f;
    float aspect_ = 1.0f;
    int width_ = 1, height_ = 1;
};

} // namespace zrv

#endif // ZRV_CAMERA_H
