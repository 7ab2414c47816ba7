#include "zrvShading.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zrv {

Vec3 albedo_of(unsigned int material) {
    static const Vec3 palette[] = {
        {0.75f, 0.74f, 0.72f}, // light grey
        {0.80f, 0.36f, 0.20f}, // brick
        {0.25f, 0.55f, 0.80f}, // blue
        {0.35f, 0.65f, 0.30f}, // green
        {0.85f, 0.70f, 0.25f}, // gold
        {0.60f, 0.40f, 0.70f}, // violet
        {0.55f, 0.45f, 0.35f}, // earth
        {0.30f, 0.70f, 0.70f}, // teal
    };
    constexpr unsigned int count = sizeof(palette) / sizeof(palette[0]);
    return palette[material % count];
}

Vec3 shade_surface(const Vec3& albedo, const Vec3& n, const Vec3& to_light, bool shadowed,
                   const ShadingParameters& parameters, float visibility) {
    const float cosine = shadowed ? 0.0f : std::max(0.0f, dot(n, to_light));
    return albedo * (visibility * (parameters.ambient + parameters.light_intensity * cosine));
}

Vec3 shade_background(int y, int height, const ShadingParameters& parameters) {
    const float s = height > 1 ? static_cast<float>(y) / static_cast<float>(height - 1) : 0.0f;
    return parameters.sky_top * (1.0f - s) + parameters.sky_horizon * s;
}

namespace {

// The sRGB transfer function in double precision, rounded to 8 bits.
int srgb_code(double c) {
    const double e = c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1.0 / 2.4) - 0.055;
    return static_cast<int>(std::floor(e * 255.0 + 0.5));
}

// The codes never decrease over the floats of [0, 1] (checked on every one
// of them), so each code starts at a threshold: the smallest float whose
// code is at least it. A float's top bits pick a bucket of 2^14 floats, none
// of which holds two thresholds; the bucket's first code and one comparison
// with the next threshold give srgb_code exactly, whatever the machine's pow.
struct SrgbTable {
    static const unsigned int kShift = 14;
    static const std::uint32_t kOne = 0x3F800000u; // the bits of 1.0f
    float threshold[257];                          // 256: past every float
    std::uint8_t first[(kOne >> kShift) + 1];

    static float float_of(std::uint32_t bits) {
        float x;
        std::memcpy(&x, &bits, sizeof x);
        return x;
    }

    SrgbTable() {
        threshold[0] = 0.0f;
        threshold[256] = 2.0f;
        for (int k = 1; k < 256; ++k) {
            // Non-negative floats order as their bits do.
            std::uint32_t lo = 0, hi = kOne; // srgb_code(1) = 255 >= k
            while (lo < hi) {
                const std::uint32_t mid = lo + (hi - lo) / 2;
                if (srgb_code(float_of(mid)) >= k)
                    hi = mid;
                else
                    lo = mid + 1;
            }
            threshold[k] = float_of(lo);
        }
        // A float's code is the number of thresholds above 0 at or below it.
        unsigned int code = 0;
        for (std::uint32_t b = 0; b <= (kOne >> kShift); ++b) {
            while (code < 255 && threshold[code + 1] <= float_of(b << kShift))
                ++code;
            first[b] = static_cast<std::uint8_t>(code);
        }
    }
};

} // namespace

std::uint8_t encode_srgb(float linear) {
    static const SrgbTable table;
    const float c = std::min(1.0f, std::max(0.0f, linear)); // NaN becomes 0
    std::uint32_t bits;
    std::memcpy(&bits, &c, sizeof bits);
    const unsigned int code = table.first[bits >> SrgbTable::kShift];
    return static_cast<std::uint8_t>(code + (table.threshold[code + 1] <= c ? 1u : 0u));
}

} // namespace zrv
