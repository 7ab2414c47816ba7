#include "zrvShading.h"
#include "zrvTestFiles.h"

#include <gtest/gtest.h>

#include <cmath>

namespace zrv {
namespace {

TEST(ZrvShading, EncodesSrgbLikeTheReferenceCurve) {
    for (int i = 0; i <= 1000; ++i) {
        const float c = i / 1000.0f;
        EXPECT_EQ(encode_srgb(c), test::reference_srgb(c)) << c;
    }
    EXPECT_EQ(encode_srgb(0.5f), 188);
    EXPECT_EQ(encode_srgb(-1.0f), 0);
    EXPECT_EQ(encode_srgb(7.0f), 255);
    EXPECT_EQ(encode_srgb(std::nanf("")), 0);
}

TEST(ZrvShading, LambertWithAmbientAndShadows) {
    ShadingParameters p;
    p.ambient = 0.2f;
    p.light_intensity = 0.8f;
    const Vec3 albedo{0.5f, 0.25f, 1.0f};
    const Vec3 n{0, 0, 1};
    const Vec3 light = normalize(Vec3(0, 1, 1)); // 45 degrees
    const Vec3 lit = shade_surface(albedo, n, light, false, p);
    EXPECT_FLOAT_EQ(lit.x, 0.5f * (0.2f + 0.8f * std::sqrt(0.5f)));
    EXPECT_FLOAT_EQ(lit.z, 0.2f + 0.8f * std::sqrt(0.5f));
    const Vec3 shadowed = shade_surface(albedo, n, light, true, p);
    EXPECT_FLOAT_EQ(shadowed.y, 0.25f * 0.2f);
    const Vec3 away = shade_surface(albedo, n, Vec3(0, 0, -1), false, p);
    EXPECT_FLOAT_EQ(away.x, 0.5f * 0.2f) << "a light behind the surface adds nothing";
}

} // namespace
} // namespace zrv
