#include "gfxMath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

namespace {

std::uint32_t Bits(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float FromBits(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void Lanes(const __m128& value, std::uint32_t out[4]) {
    std::memcpy(out, &value, 16);
}

void ExpectAllLanes(const void* constant, std::uint32_t bits, const char* name) {
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(constant) % 16, 0u) << name;
    std::uint32_t lanes[4];
    std::memcpy(lanes, constant, 16);
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(lanes[k], bits) << name << " lane " << k;
}

TEST(VectorConstants, LaneBitPatterns) {
    ExpectAllLanes(&zero4, 0x00000000u, "zero4");
    ExpectAllLanes(&one4, 0x3F800000u, "one4");
    ExpectAllLanes(&two4, 0x40000000u, "two4");
    ExpectAllLanes(&minusone4, 0xBF800000u, "minusone4");
    ExpectAllLanes(&large4, 0x60AD78ECu, "large4");
    ExpectAllLanes(&eps4_01, 0x3C23D70Au, "eps4_01");
    ExpectAllLanes(&eps4_0001, 0x38D1B717u, "eps4_0001");
    ExpectAllLanes(&zero4i, 0x00000000u, "zero4i");
    ExpectAllLanes(&minusone4i, 0xFFFFFFFFu, "minusone4i");
}

TEST(VectorConstants, MaskTableTurnsSignMasksBackIntoSelectors) {
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(masktable4) % 16, 0u);
    for (int mask = 0; mask < 16; ++mask) {
        std::uint32_t lanes[4];
        Lanes(masktable4[mask], lanes);
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(lanes[k], (mask >> k) & 1 ? 0xFFFFFFFFu : 0u) << mask << " " << k;
        // Round trip through the sign-mask operation.
        EXPECT_EQ(_mm_movemask_ps(masktable4[mask]), mask);
    }
}

TEST(ScalarMath, Log2UsesTheRoundedInverseOfLn2) {
    const float inv_log2 = FromBits(0x3FB8AA3Bu);
    EXPECT_EQ(gfx::log2(8.0f), 3.0f);
    EXPECT_EQ(gfx::log2(0.5f), -1.0f);
    EXPECT_EQ(gfx::log2(10.0f), 3.32192802f);
    std::mt19937 random(3);
    std::uniform_real_distribution<float> exponent(-60.0f, 60.0f);
    for (int i = 0; i < 2000; ++i) {
        const float x = std::exp2(exponent(random));
        const float expected = static_cast<float>(std::log(static_cast<double>(x))) * inv_log2;
        ASSERT_EQ(Bits(gfx::log2(x)), Bits(expected)) << x;
    }
    EXPECT_EQ(gfx::log2(0.0f), -std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(gfx::log2(-1.0f)));
}

TEST(ScalarMath, ClampTestsTheLowerBoundFirst) {
    EXPECT_EQ(gfx::clamp(5, 0, 3), 3);
    EXPECT_EQ(gfx::clamp(-1, 0, 3), 0);
    EXPECT_EQ(gfx::clamp(5, 7, 3), 7);
    EXPECT_EQ(gfx::clamp(1, 7, 3), 7);
}

// Independent reference: the nearer of the two enclosing powers, ties upwards.
std::uint64_t NearestPowerReference(std::uint64_t n) {
    std::uint64_t lower = 1;
    while (lower * 2 <= n)
        lower *= 2;
    return n - lower >= 2 * lower - n ? 2 * lower : lower;
}

TEST(ScalarMath, PowersOfTwo) {
    EXPECT_EQ(gfx::nearestPower(0), 0xFFFFFFFFu);
    EXPECT_EQ(gfx::nearestPower(3), 4u);
    EXPECT_EQ(gfx::nearestPower(6), 8u);
    EXPECT_EQ(gfx::nearestPower(12), 16u);
    EXPECT_EQ(gfx::nearestPower(0xBFFFFFFFu), 0x80000000u);
    EXPECT_EQ(gfx::nearestPower(0xC0000000u), 0u);
    EXPECT_EQ(gfx::nearestPower(0xFFFFFFFFu), 0u);

    EXPECT_EQ(gfx::nextSmallerPower(0), 0u);
    EXPECT_EQ(gfx::nextSmallerPower(0xC0000000u), 0x80000000u);
    EXPECT_EQ(gfx::nextSmallerPower(0xFFFFFFFFu), 0x80000000u);

    EXPECT_EQ(gfx::computeLog(0), 0xFFFFFFFFu);
    EXPECT_EQ(gfx::computeLog(1024), 10u);
    EXPECT_EQ(gfx::computeLog(0x80000000u), 31u);
    EXPECT_EQ(gfx::computeLog(0xFFFFFFFFu), 0xFFFFFFFFu);

    for (std::uint32_t n = 1; n < 70000; ++n) {
        const std::uint64_t nearest = NearestPowerReference(n);
        ASSERT_EQ(gfx::nearestPower(n), static_cast<std::uint32_t>(nearest)) << n;
        ASSERT_EQ(gfx::nextSmallerPower(n), 1u << static_cast<int>(std::floor(std::log2(n)))) << n;
        const bool power = (n & (n - 1)) == 0;
        ASSERT_EQ(gfx::computeLog(n),
                  power ? static_cast<std::uint32_t>(std::log2(n)) : 0xFFFFFFFFu)
            << n;
    }
}

TEST(ScalarMath, FastLog2SplitsExponentAndMantissa) {
    int exponent = 0;
    float fraction = 0.0f;
    gfx::fast_log2(12.0f, exponent, fraction);
    EXPECT_EQ(exponent, 3);
    EXPECT_EQ(fraction, 0.5f);
    gfx::fast_log2(1.0f, exponent, fraction);
    EXPECT_EQ(exponent, 0);
    EXPECT_EQ(fraction, 0.0f);
    gfx::fast_log2(0.0f, exponent, fraction);
    EXPECT_EQ(exponent, -127);
    gfx::fast_log2(1e-40f, exponent, fraction); // denormal
    EXPECT_EQ(exponent, -127);

    std::mt19937 random(5);
    std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
    for (int e = -126; e <= 127; ++e) {
        const float m = mantissa(random);
        gfx::fast_log2(std::ldexp(m, e), exponent, fraction);
        ASSERT_EQ(exponent, e);
        ASSERT_EQ(fraction, m - 1.0f);
    }
}

void ExpectVector(const float actual[3], float x, float y, float z) {
    EXPECT_FLOAT_EQ(actual[0], x);
    EXPECT_FLOAT_EQ(actual[1], y);
    EXPECT_FLOAT_EQ(actual[2], z);
}

TEST(ScalarMath, OrthogonalFrames) {
    float u[3], v[3];
    const float z_axis[3] = {0, 0, 1};
    gfx::create_orthogonal_coord_sys(z_axis, u, v);
    ExpectVector(u, 0, 1, 0);
    ExpectVector(v, -1, 0, 0);
    const float x_axis[3] = {1, 0, 0};
    gfx::create_orthogonal_coord_sys(x_axis, u, v);
    ExpectVector(u, 0, 0, 1);
    ExpectVector(v, 0, -1, 0);
    // |x| == |y| takes the second branch.
    const float diagonal[3] = {0.6f, -0.6f, 0.0f};
    gfx::create_orthogonal_coord_sys(diagonal, u, v);
    ExpectVector(u, 0, 0, 1);

    std::mt19937 random(11);
    std::normal_distribution<float> gauss;
    for (int i = 0; i < 1000; ++i) {
        float n[3] = {gauss(random), gauss(random), gauss(random)};
        const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        for (float& c : n)
            c /= length;
        gfx::create_orthogonal_coord_sys(n, u, v);
        auto dot = [](const float* a, const float* b) {
            return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
        };
        ASSERT_NEAR(dot(u, u), 1.0f, 1e-5f);
        ASSERT_NEAR(dot(v, v), 1.0f, 1e-5f);
        ASSERT_NEAR(dot(u, n), 0.0f, 1e-5f);
        ASSERT_NEAR(dot(v, n), 0.0f, 1e-5f);
        ASSERT_NEAR(dot(u, v), 0.0f, 1e-5f);
        // Right-handed: u x v = n.
        const float w[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                            u[0] * v[1] - u[1] * v[0]};
        ASSERT_NEAR(dot(w, n), 1.0f, 1e-5f);
    }
}

TEST(SSEMath, FastReciprocalIsNearlyExactAndNaNForZero) {
    float lanes[4];
    _mm_storeu_ps(lanes, _mm_fastrcp_ps(_mm_setr_ps(1.0f, 2.0f, 4.0f, 0.5f)));
    const float expected[4] = {1.0f, 0.5f, 0.25f, 2.0f};
    for (int k = 0; k < 4; ++k)
        EXPECT_NEAR(lanes[k], expected[k], expected[k] * 1e-6f);

    std::mt19937 random(17);
    std::uniform_real_distribution<float> exponent(-30.0f, 30.0f);
    for (int i = 0; i < 1000; ++i) {
        const float x = (i % 2 ? -1.0f : 1.0f) * std::exp2(exponent(random));
        _mm_storeu_ps(lanes, _mm_fastrcp_ps(_mm_set1_ps(x)));
        ASSERT_NEAR(lanes[0] * static_cast<double>(x), 1.0, 1e-6) << x;
    }

    _mm_storeu_ps(lanes, _mm_fastrcp_ps(_mm_setr_ps(0.0f, -0.0f, 1.0f, 0.0f)));
    EXPECT_TRUE(std::isnan(lanes[0]));
    EXPECT_TRUE(std::isnan(lanes[1]));
    EXPECT_FALSE(std::isnan(lanes[2]));
    EXPECT_TRUE(std::isnan(lanes[3]));
}

TEST(SSEMath, FastPowEndpoints) {
    float lanes[4];
    _mm_storeu_ps(lanes, _mm_fastpow_ps(zero4, _mm_setr_ps(1.0f, 2.0f, 16.0f, 0.5f)));
    for (float lane : lanes)
        EXPECT_EQ(lane, 0.0f);
    _mm_storeu_ps(lanes, _mm_fastpow_ps(one4, _mm_setr_ps(1.0f, 2.0f, 16.0f, 0.5f)));
    for (float lane : lanes)
        EXPECT_NEAR(lane, 1.0f, 1.0f / 4096.0f);
}

TEST(SSEMath, MatrixProductsOnFourVectors) {
    const __m128 v[3] = {_mm_setr_ps(0, 1, -2, 5), _mm_setr_ps(0, 7, 3, -1),
                         _mm_setr_ps(0, 0, 0.5f, 9)};
    float vx[4], vy[4], vz[4];
    _mm_storeu_ps(vx, v[0]);
    _mm_storeu_ps(vy, v[1]);
    _mm_storeu_ps(vz, v[2]);
    // A general matrix, in place: rows accumulate as ((0 + m0 x) + m1 y) + m2 z.
    const float m[12] = {0.5f, -1.5f, 2.25f, 4, 3, 0.125f, -7, -1, 1e-3f, 9, 0.75f, 0.5f};
    __m128 inout[3] = {v[0], v[1], v[2]};
    gfxSSEMath::matrix_mul_point(m, inout, inout);
    for (int i = 0; i < 3; ++i) {
        float lanes[4];
        _mm_storeu_ps(lanes, inout[i]);
        const float* row = m + 4 * i;
        for (int k = 0; k < 4; ++k) {
            const float expected = ((0.0f + row[0] * vx[k]) + row[1] * vy[k]) + row[2] * vz[k];
            EXPECT_EQ(lanes[k], expected + row[3]) << i << " " << k;
        }
    }
    // Directions ignore the translation column.
    __m128 out[3];
    gfxSSEMath::matrix_mul_vector(m, v, out);
    for (int i = 0; i < 3; ++i) {
        float lanes[4];
        _mm_storeu_ps(lanes, out[i]);
        const float* row = m + 4 * i;
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(lanes[k], ((0.0f + row[0] * vx[k]) + row[1] * vy[k]) + row[2] * vz[k]);
    }
}

} // namespace
