// Colours of the image: Lambert shading under one directional light with an
// ambient term, a sky gradient behind the scene, and the sRGB encoding.
#ifndef ZRV_SHADING_H
#define ZRV_SHADING_H

#include "zrvVec3.h"

#include <cstdint>

namespace zrv {

struct ShadingParameters {
    float ambient = 0.18f;        // light reaching every visible surface
    float light_intensity = 0.9f; // directional light, scaled by the cosine
    Vec3 sky_top{0.32f, 0.50f, 0.82f};
    Vec3 sky_horizon{0.80f, 0.86f, 0.93f};
};

// Surface colour for a material index (the triangle's host word); index 0 is
// a neutral light grey, the others a small palette.
Vec3 albedo_of(unsigned int material);

// Linear radiance of a surface point with unit normal n facing the viewer:
// ambient only when shadowed or turned away from the light. visibility (the
// unoccluded share of the hemisphere, 1 without ambient occlusion) scales
// both terms.
Vec3 shade_surface(const Vec3& albedo, const Vec3& n, const Vec3& to_light, bool shadowed,
                   const ShadingParameters& parameters, float visibility = 1.0f);

// Linear radiance of the background at image row y of height rows (0 = top).
Vec3 shade_background(int y, int height, const ShadingParameters& parameters);

// The sRGB transfer function in double precision, rounded to 8 bits, for
// values clamped to [0, 1] (NaN counts as 0): the same bytes on every machine.
std::uint8_t encode_srgb(float linear);

} // namespace zrv

#endif // ZRV_SHADING_H
