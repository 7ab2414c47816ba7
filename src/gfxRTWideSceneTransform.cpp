#include "gfxRTWideSceneTransform.h"

#include "gfxRTWideKernels.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace gfx_detail {

namespace {

// A transform is singular when |det| of its linear part is below this
// fraction of the product of its rows' lengths (that product bounds |det|,
// and equals it for orthogonal rows): its rows are then parallel to within
// float's precision, so the float entries cannot tell it from a singular
// matrix, and its inverse is as much rounding as value.
const double kRelativeDeterminantLimit = 1.0 / 16777216.0; // 2^-24

// The unit roundoff of float.
const double kFloatRoundoff = 1.0 / 16777216.0;

// The larger of two numbers neither of which is NaN; inline, where
// std::fmax is a call into libm.
double larger(double a, double b) {
    return a > b ? a : b;
}

double frobenius3(const double (&m)[3][3]) {
    double sum = 0.0;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            sum += m[r][c] * m[r][c];
    return std::sqrt(sum);
}

// A bound on the largest factor m stretches lengths by (its spectral norm):
// the square root of a Gershgorin bound on the largest eigenvalue of m^T m,
// exact for a rotation times a uniform scale, where the Frobenius norm is
// sqrt(3) times too large.
double stretch3(const double (&m)[3][3]) {
    double largest = 0.0;
    for (int i = 0; i < 3; ++i) {
        double row = 0.0;
        for (int j = 0; j < 3; ++j) {
            double entry = 0.0;
            for (int k = 0; k < 3; ++k)
                entry += m[k][i] * m[k][j];
            row += std::fabs(entry);
        }
        largest = larger(largest, row);
    }
    // Up for the roundings of the sums above.
    return std::sqrt(largest) * (1.0 + 1e-12);
}

// The float next to f towards -infinity (step -1) or +infinity (step +1),
// for f not NaN and not the infinity it steps to, as std::nextafter gives it
// but inline: a float's bits count its magnitude.
float next_float(float f, int step) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    if ((bits & 0x7FFFFFFFu) == 0) {
        bits = step < 0 ? 0x80000001u : 0x00000001u; // the least subnormal
    } else {
        const bool negative = (bits & 0x80000000u) != 0;
        bits = negative == (step < 0) ? bits + 1u : bits - 1u;
    }
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// The float at or below x, and at or above it.
float round_down(double x) {
    const float f = float(x);
    return double(f) > x ? next_float(f, -1) : f;
}
float round_up(double x) {
    const float f = float(x);
    return double(f) < x ? next_float(f, +1) : f;
}

// The world box of the hull's corners carried by transform, in double,
// moved out by the hull's slack and by the roundings of each row's sum: six
// of them, each within 2^-53 of the sum of the terms' magnitudes.
void carried_hull(const float* transform, const MeshHull& hull, double lo[3], double hi[3]) {
    double rows[3][4];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            rows[r][c] = transform[4 * r + c];
    double least[3], most[3];
    wide_kernels().hull_box(hull, rows, least, most);
    for (int r = 0; r < 3; ++r) {
        double stretch = 0.0, terms = std::fabs(rows[r][3]);
        for (int c = 0; c < 3; ++c) {
            stretch += std::fabs(rows[r][c]);
            terms += std::fabs(rows[r][c]) * hull.largest[c];
        }
        const double out = hull.slack * stretch + terms * 0x1p-50;
        lo[r] = least[r] - out;
        hi[r] = most[r] + out;
    }
}

} // namespace

gfxRTWideInstanceResult checked_inverse(const float* transform, float inverse[12]) {
    if (transform == nullptr)
        return GFX_WIDE_INSTANCE_NON_FINITE_TRANSFORM;
    for (int i = 0; i < 12; ++i)
        if (!std::isfinite(transform[i]))
            return GFX_WIDE_INSTANCE_NON_FINITE_TRANSFORM;
    double a[3][3], t[3];
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            a[r][c] = transform[4 * r + c];
        t[r] = transform[4 * r + 3];
    }
    // Cofactors: adj[c][r] is the cofactor of a[r][c].
    double adj[3][3];
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            const int r1 = (r + 1) % 3, r2 = (r + 2) % 3, c1 = (c + 1) % 3, c2 = (c + 2) % 3;
            adj[c][r] = a[r1][c1] * a[r2][c2] - a[r1][c2] * a[r2][c1];
        }
    }
    const double det = a[0][0] * adj[0][0] + a[0][1] * adj[1][0] + a[0][2] * adj[2][0];
    double rows = 1.0;
    for (int r = 0; r < 3; ++r)
        rows *= std::sqrt(a[r][0] * a[r][0] + a[r][1] * a[r][1] + a[r][2] * a[r][2]);
    if (!(std::fabs(det) >= kRelativeDeterminantLimit * rows) || det == 0.0)
        return GFX_WIDE_INSTANCE_SINGULAR_TRANSFORM;
    float result[12];
    for (int r = 0; r < 3; ++r) {
        double translation = 0.0;
        for (int c = 0; c < 3; ++c) {
            const double v = adj[r][c] / det;
            result[4 * r + c] = float(v);
            translation -= v * t[c];
        }
        result[4 * r + 3] = float(translation);
    }
    for (int i = 0; i < 12; ++i)
        if (!std::isfinite(result[i]))
            return GFX_WIDE_INSTANCE_SINGULAR_TRANSFORM;
    for (int i = 0; i < 12; ++i)
        inverse[i] = result[i];
    return GFX_WIDE_INSTANCE_DONE;
}

// A hit the mesh's traversal accepts lies, in object space, within the
// mesh's slop times the carried ray's squared reach of a triangle, so of the
// mesh's hull. In world space that distance grows by |M| (the bound of
// stretch3 on how far the matrix stretches lengths), and the carried reach
// is at most |M^-1| times the world ray's reach to the scene's box. The carried ray
// differs from M^-1 applied to the world ray by the float rounding of
// carry_ray (a few units of roundoff of each row's terms) and by M M^-1
// differing from the identity, errors that grow with the origin's distance
// and the ray's reach. The total, a + b reach + c reach^2, is covered by a
// padded box and a slop: b reach <= b (reach^2 / L + L / 4) for the box's
// diagonal L. Everything is doubled, for the roundings of the box tests.
InstanceBounds bound_instance(const float* transform, const float* inverse, const MeshHull& hull,
                              float mesh_slop) {
    double m[3][3], inv[3][3], mt[3], it[3];
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            m[r][c] = transform[4 * r + c];
            inv[r][c] = inverse[4 * r + c];
        }
        mt[r] = transform[4 * r + 3];
        it[r] = inverse[4 * r + 3];
    }
    double lo[3], hi[3], magnitude = 0.0;
    carried_hull(transform, hull, lo, hi);
    for (int r = 0; r < 3; ++r) {
        const double far = larger(std::fabs(lo[r]), std::fabs(hi[r]));
        magnitude += far * far;
    }
    magnitude = std::sqrt(magnitude);
    double diagonal = 0.0;
    for (int r = 0; r < 3; ++r)
        diagonal += (hi[r] - lo[r]) * (hi[r] - lo[r]);
    diagonal = larger(std::sqrt(diagonal), 1e-30);

    // How far M M^-1 is from the identity, on directions and on points.
    double product[3][3], offset = 0.0;
    for (int r = 0; r < 3; ++r) {
        double shift = mt[r];
        for (int c = 0; c < 3; ++c) {
            double sum = 0.0;
            for (int k = 0; k < 3; ++k)
                sum += m[r][k] * inv[k][c];
            product[r][c] = sum - (r == c ? 1.0 : 0.0);
            shift += m[r][c] * it[c];
        }
        offset += shift * shift;
    }
    offset = std::sqrt(offset);
    const double identity_error = frobenius3(product);
    const double m_norm = stretch3(m), inv_norm = stretch3(inv);
    // The rounding errors of a row add up its terms' magnitudes, which the
    // Frobenius norm bounds.
    const double inv_magnitude = frobenius3(inv);
    const double inv_shift = std::sqrt(it[0] * it[0] + it[1] * it[1] + it[2] * it[2]);

    const double u = kFloatRoundoff;
    const double origin_error = 5.0 * u * (inv_magnitude * magnitude + inv_shift);
    const double c = m_norm * double(mesh_slop) * 2.0 * inv_norm * inv_norm * 1.01;
    const double b = m_norm * 9.0 * u * inv_magnitude + identity_error;
    const double a = m_norm * origin_error + identity_error * magnitude + offset +
                     m_norm * double(mesh_slop) * 2.0 * origin_error * origin_error;
    const double pad = 2.0 * (a + b * diagonal / 4.0) + 1e-12 * magnitude;
    InstanceBounds out;
    for (int r = 0; r < 3; ++r) {
        out.lo[r] = round_down(lo[r] - pad);
        out.hi[r] = round_up(hi[r] + pad);
    }
    out.slop = round_up(2.0 * (c + b / diagonal));
    return out;
}

void carried_hull_box(const float* transform, const MeshHull& hull, float lo[3], float hi[3]) {
    double least[3], most[3];
    carried_hull(transform, hull, least, most);
    for (int r = 0; r < 3; ++r) {
        lo[r] = round_down(least[r]);
        hi[r] = round_up(most[r]);
    }
}

} // namespace gfx_detail

const char* gfxRTWideInstanceResultText(gfxRTWideInstanceResult result) {
    switch (result) {
    case GFX_WIDE_INSTANCE_DONE:
        return "done";
    case GFX_WIDE_INSTANCE_NO_SUCH_MESH:
        return "no such mesh";
    case GFX_WIDE_INSTANCE_NO_SUCH_INSTANCE:
        return "no such instance";
    case GFX_WIDE_INSTANCE_NON_FINITE_TRANSFORM:
        return "the transform is missing or has a NaN or infinite entry";
    case GFX_WIDE_INSTANCE_SINGULAR_TRANSFORM:
        return "the transform is singular";
    case GFX_WIDE_INSTANCE_TOO_MANY:
        return "too many instances";
    case GFX_WIDE_INSTANCE_OUT_OF_MEMORY:
        return "out of memory";
    }
    return "unknown result";
}

bool gfxRTWideScene::invert_transform(const float transform[12], float inverse[12]) {
    return check_transform(transform, inverse) == GFX_WIDE_INSTANCE_DONE;
}

gfxRTWideInstanceResult gfxRTWideScene::check_transform(const float transform[12],
                                                        float inverse[12]) {
    return gfx_detail::checked_inverse(transform, inverse);
}

void gfxRTWideScene::carry_ray(const float inverse[12], const float origin[3],
                               const float direction[3], float object_origin[3],
                               float object_direction[3]) {
    for (int r = 0; r < 3; ++r) {
        const float* const row = inverse + 4 * r;
        const float x = ((row[0] * origin[0] + row[1] * origin[1]) + row[2] * origin[2]) + row[3];
        const float d = (row[0] * direction[0] + row[1] * direction[1]) + row[2] * direction[2];
        object_origin[r] = x;
        object_direction[r] = d;
    }
}
