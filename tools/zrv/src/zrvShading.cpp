#include "zrvShading.h"

#include <algorithm>

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

std::uint8_t encode_srgb(float linear) {
    const float c = std::min(1.0f, std::max(0.0f, linear)); // NaN becomes 0
    const float encoded = c <= 0.0031308f ? 12.92f * c : 1.055f * std::pow(c, 1.0f / 2.4f) - 0.055f;
    return static_cast<std::uint8_t>(std::min(255.0f, encoded * 255.0f + 0.5f));
}

} // namespace zrv
