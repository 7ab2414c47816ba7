// The scalar and four-lane math helpers against independent references.
#include "gfxMath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

namespace {

std::uint32_t lane_bits(const void* value, int k) {
    std::uint32_t bits;
    std::memcpy(&bits, static_cast<const char*>(value) + 4 * k, sizeof bits);
    return bits;
}

TEST(VectorConstants, LaneBitPatternsAndTheMaskTable) {
    const void* constants[] = {&zero4,   &one4,      &two4,   &minusone4, &large4,
                               &eps4_01, &eps4_0001, &zero4i, &minusone4i};
    const std::uint32_t bits[] = {0,           0x3F800000u, 0x40000000u, 0xBF800000u, 0x60AD78ECu,
                                  0x3C23D70Au, 0x38D1B717u, 0,           0xFFFFFFFFu};
    for (int c = 0; c < 9; ++c) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(constants[c]) % 16, 0u) << c;
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(lane_bits(constants[c], k), bits[c]) << c;
    }
    // Entry m turns the sign mask m back into a lane selector.
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(masktable4) % 16, 0u);
    for (int mask = 0; mask < 16; ++mask)
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(lane_bits(&masktable4[mask], k), (mask >> k) & 1 ? 0xFFFFFFFFu : 0u) << mask;
}

TEST(ScalarMath, Log2UsesTheRoundedInverseOfLn2) {
    const float inv_log2 = 0x1.715476p+0f; // the float nearest 1 / ln 2, bits 0x3FB8AA3B
    std::mt19937 random(3);
    std::uniform_real_distribution<float> exponent(-60.0f, 60.0f);
    for (int i = 0; i < 2000; ++i) {
        const float x = std::exp2(exponent(random));
        const float expected = static_cast<float>(std::log(static_cast<double>(x))) * inv_log2;
        ASSERT_EQ(gfx::log2(x), expected) << x;
    }
    EXPECT_EQ(gfx::log2(0.0f), -std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(gfx::log2(-1.0f)));
    // clamp tests the lower bound first.
    EXPECT_EQ(gfx::clamp(5, 0, 3) * 100 + gfx::clamp(-1, 0, 3) * 10 + gfx::clamp(5, 7, 3), 307);
}

// Powers of two against plain loops, and the ends of the 32-bit range.
TEST(ScalarMath, PowersOfTwo) {
    for (std::uint32_t n = 1; n < 70000; ++n) {
        std::uint64_t lower = 1; // the nearer of the two enclosing powers, ties upwards
        while (lower * 2 <= n)
            lower *= 2;
        ASSERT_EQ(gfx::nearestPower(n), n - lower >= 2 * lower - n ? 2 * lower : lower) << n;
        ASSERT_EQ(gfx::nextSmallerPower(n), lower) << n;
        ASSERT_EQ(gfx::computeLog(n), n == lower ? std::uint32_t(std::log2(n)) : 0xFFFFFFFFu) << n;
    }
    const std::uint32_t ends[8][2] = {
        {gfx::nearestPower(0), 0xFFFFFFFFu},       {gfx::nearestPower(0xBFFFFFFFu), 0x80000000u},
        {gfx::nearestPower(0xC0000000u), 0},       {gfx::nextSmallerPower(0), 0},
        {gfx::nextSmallerPower(~0u), 0x80000000u}, {gfx::computeLog(0), 0xFFFFFFFFu},
        {gfx::computeLog(0x80000000u), 31},        {gfx::computeLog(~0u), 0xFFFFFFFFu}};
    for (const auto& e : ends)
        EXPECT_EQ(e[0], e[1]);
}

TEST(ScalarMath, FastLog2SplitsExponentAndMantissa) {
    int exponent = 0;
    float fraction = 0.0f;
    std::mt19937 random(5);
    std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
    for (int e = -126; e <= 127; ++e) {
        const float m = e == 0 ? 1.0f : mantissa(random);
        gfx::fast_log2(std::ldexp(m, e), exponent, fraction);
        ASSERT_EQ(exponent, e);
        ASSERT_EQ(fraction, m - 1.0f);
    }
    for (float zero_or_denormal : {0.0f, 1e-40f})
        EXPECT_EQ((gfx::fast_log2(zero_or_denormal, exponent, fraction), exponent), -127);
}

// Right-handed orthonormal frames around random unit normals; |x| == |y|
// takes the branch that keeps u in the y-z plane.
TEST(ScalarMath, OrthogonalFrames) {
    float u[3], v[3];
    const float diagonal[3] = {0.6f, -0.6f, 0.0f};
    gfx::create_orthogonal_coord_sys(diagonal, u, v);
    EXPECT_EQ(u[0], 0.0f);
    EXPECT_EQ(u[2], 1.0f);
    std::mt19937 random(11);
    std::normal_distribution<float> gauss;
    auto dot = [](const float* a, const float* b) {
        return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    };
    for (int i = 0; i < 1000; ++i) {
        float n[3] = {gauss(random), gauss(random), gauss(random)};
        const float length = std::sqrt(dot(n, n));
        for (float& c : n)
            c /= length;
        gfx::create_orthogonal_coord_sys(n, u, v);
        const float w[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                            u[0] * v[1] - u[1] * v[0]};
        // Unit lengths, right angles among u, v and n, and u x v = n.
        const float products[6] = {dot(u, u) - 1, dot(v, v) - 1, dot(u, n),
                                   dot(v, n),     dot(u, v),     dot(w, n) - 1};
        for (int p = 0; p < 6; ++p)
            ASSERT_NEAR(products[p], 0.0f, 1e-5f) << i << " " << p;
    }
}

TEST(SSEMath, MatrixProductsOnFourVectors) {
    const __m128 v[3] = {_mm_setr_ps(0, 1, -2, 5), _mm_setr_ps(0, 7, 3, -1),
                         _mm_setr_ps(0, 0, 0.5f, 9)};
    float x[3][4];
    for (int a = 0; a < 3; ++a)
        _mm_storeu_ps(x[a], v[a]);
    const float m[12] = {0.5f, -1.5f, 2.25f, 4, 3, 0.125f, -7, -1, 1e-3f, 9, 0.75f, 0.5f};
    __m128 points[3] = {v[0], v[1], v[2]}, directions[3];
    gfxSSEMath::matrix_mul_point(m, points, points); // in place
    gfxSSEMath::matrix_mul_vector(m, v, directions);
    for (int i = 0; i < 3; ++i) {
        float p[4], d[4];
        _mm_storeu_ps(p, points[i]);
        _mm_storeu_ps(d, directions[i]);
        const float* row = m + 4 * i;
        for (int k = 0; k < 4; ++k) {
            // Rows accumulate as ((0 + m0 x) + m1 y) + m2 z; points add the translation.
            const float expected =
                ((0.0f + row[0] * x[0][k]) + row[1] * x[1][k]) + row[2] * x[2][k];
            EXPECT_EQ(d[k], expected) << i << " " << k;
            EXPECT_EQ(p[k], expected + row[3]) << i << " " << k;
        }
    }
}

} // namespace
