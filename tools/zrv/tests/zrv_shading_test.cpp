#include "zrvShading.h"
#include "zrvTestFiles.h"

#include <gtest/gtest.h>

#include <cmath>

namespace zrv {
namespace {

TEST(ZrvShading, EncodesSrgbLikeTheReferenceCurve) {
    for (int i = -10; i <= 1010; ++i) {
        const float c = i / 1000.0f;
        EXPECT_EQ(encode_srgb(c), test::reference_srgb(c)) << c;
    }
    EXPECT_EQ(encode_srgb(7.0f), 255);
    EXPECT_EQ(encode_srgb(std::nanf("")), 0);
}

// The lit and shadowed colours are checked on rendered images.
TEST(ZrvShading, ALightBehindTheSurfaceAddsNothing) {
    const ShadingParameters p;
    const Vec3 albedo{0.5f, 0.25f, 1.0f};
    const Vec3 away = shade_surface(albedo, {0, 0, 1}, normalize(Vec3(0, 1, -1)), false, p);
    EXPECT_FLOAT_EQ(away.x, 0.5f * p.ambient);
    EXPECT_FLOAT_EQ(away.y, 0.25f * p.ambient);
}

} // namespace
} // namespace zrv
