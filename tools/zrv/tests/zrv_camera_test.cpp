#include "zrvCamera.h"

#include <gtest/gtest.h>

#include <cmath>

namespace zrv {
namespace {

constexpr float pi = 3.14159265358979f;

float angle_between(const Vec3& a, const Vec3& b) {
    return std::acos(std::min(1.0f, dot(normalize(a), normalize(b))));
}

TEST(ZrvCamera, ImageEdgesLieAtHalfTheFieldOfView) {
    // Looking down -z from z = 5: right is +x, up is +y.
    Camera camera;
    std::string error;
    ASSERT_TRUE(Camera::create({0, 0, 5}, {0, 0, 0}, {0, 1, 0}, 60.0f, 200, 100, camera, error));
    const Vec3 forward{0, 0, -1};
    EXPECT_NEAR(length(camera.direction(100.0f, 50.0f) - forward), 0.0f, 1e-6f);
    EXPECT_NEAR(angle_between(camera.direction(100.0f, 0.0f), forward), 30.0f * pi / 180.0f, 1e-5f);
    // Horizontal half-angle: atan(tan(30 deg) * aspect 2).
    EXPECT_NEAR(angle_between(camera.direction(200.0f, 50.0f), forward),
                std::atan(std::tan(pi / 6.0f) * 2.0f), 1e-5f);
    // Pixel (0, 0) lies top left; pixel centres are symmetric about the
    // image centre.
    const Vec3 first_pixel = camera.pixel_direction(0, 0);
    const Vec3 last_pixel = camera.pixel_direction(199, 99);
    EXPECT_LT(first_pixel.x, 0.0f);
    EXPECT_GT(first_pixel.y, 0.0f);
    EXPECT_NEAR(length(first_pixel), 1.0f, 1e-6f);
    EXPECT_NEAR(first_pixel.x, -last_pixel.x, 1e-6f);
    EXPECT_NEAR(first_pixel.y, -last_pixel.y, 1e-6f);

    EXPECT_FALSE(Camera::create({1, 2, 3}, {1, 2, 3}, {0, 1, 0}, 45.0f, 8, 8, camera, error));
    EXPECT_EQ(error, "the camera's eye and look-at point must be distinct finite points");
}

TEST(ZrvCamera, DefaultFramingShowsTheWholeSceneFromTheFrontRightAndAbove) {
    Bounds box;
    box.empty = false;
    box.min = {-10, 0, -4};
    box.max = {30, 2, 4};
    const struct {
        Vec3 up;
        float fov;
        int w, h;
    } views[] = {{{0, 1, 0}, 45.0f, 1280, 720},
                 {{0, 1, 0}, 45.0f, 300, 900}, // portrait: the horizontal angle limits
                 {{0, 0, 1}, 20.0f, 64, 48}};
    for (const auto& [up, fov, w, h] : views) {
        const Vec3 eye = Camera::framing_eye(box, up, fov, w, h);
        const Vec3 forward = normalize(box.centre() - eye);
        const Vec3 right = normalize(cross(forward, up));
        const Vec3 cam_up = cross(right, forward);
        const float tan_v = std::tan(0.5f * fov * pi / 180.0f);
        const float tan_h = tan_v * w / h;
        for (int corner = 0; corner < 8; ++corner) {
            const Vec3 p{corner & 1 ? box.max.x : box.min.x, corner & 2 ? box.max.y : box.min.y,
                         corner & 4 ? box.max.z : box.min.z};
            const Vec3 d = p - eye;
            const float depth = dot(d, forward);
            ASSERT_GT(depth, 0.0f);
            EXPECT_LE(std::fabs(dot(d, right)) / depth, tan_h) << "corner " << corner;
            EXPECT_LE(std::fabs(dot(d, cam_up)) / depth, tan_v) << "corner " << corner;
        }
        EXPECT_GT(dot(eye - box.centre(), up), 0.0f) << "seen from above";
    }
    const Vec3 eye = Camera::framing_eye(box, {0, 1, 0}, 45.0f, 1280, 720);
    EXPECT_GT(eye.x, box.centre().x) << "from the right";
    EXPECT_GT(eye.z, box.centre().z) << "from the front (+z)";
}

} // namespace
} // namespace zrv
