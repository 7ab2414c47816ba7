#include "gfxRTWideMeshHull.h"

#include <cmath>
#include <emmintrin.h>

namespace gfx_detail {

namespace {

// The planes' normals, each taken both ways: the axes, the face diagonals
// and the body diagonals. Whole numbers, so that their cross products and
// determinants are exact.
const int kAxes = 13;
const int kPlanes = 2 * kAxes;
const int kNormal[kAxes][3] = {{1, 0, 0},  {0, 1, 0},  {0, 0, 1},  {1, 1, 0},  {1, -1, 0},
                               {1, 0, 1},  {1, 0, -1}, {0, 1, 1},  {0, 1, -1}, {1, 1, 1},
                               {1, 1, -1}, {1, -1, 1}, {1, -1, -1}};

void plane_normal(int plane, int n[3]) {
    const int sign = plane < kAxes ? 1 : -1;
    for (int a = 0; a < 3; ++a)
        n[a] = sign * kNormal[plane % kAxes][a];
}

void cross(const int a[3], const int b[3], int c[3]) {
    c[0] = a[1] * b[2] - a[2] * b[1];
    c[1] = a[2] * b[0] - a[0] * b[2];
    c[2] = a[0] * b[1] - a[1] * b[0];
}

double dot(const int n[3], const double v[3]) {
    return double(n[0]) * v[0] + double(n[1]) * v[1] + double(n[2]) * v[2];
}

// The greatest and least projection of the used lanes' vertices on each
// normal, in float: max(value, running) keeps the running value when the
// value is NaN (an unused lane), as maxps and minps return their second
// operand then.
void project(const TriangleBlock* blocks, unsigned int count, float greatest[kAxes],
             float least[kAxes]) {
    __m128 high[kAxes], low[kAxes];
    for (int i = 0; i < kAxes; ++i) {
        high[i] = _mm_set1_ps(-INFINITY);
        low[i] = _mm_set1_ps(INFINITY);
    }
    for (unsigned int b = 0; b < count; ++b) {
        for (int k = 0; k < 3; ++k) {
            const __m128 x = _mm_load_ps(blocks[b].vertex[k][0]);
            const __m128 y = _mm_load_ps(blocks[b].vertex[k][1]);
            const __m128 z = _mm_load_ps(blocks[b].vertex[k][2]);
            const __m128 xpy = _mm_add_ps(x, y), xmy = _mm_sub_ps(x, y);
            const __m128 p[kAxes] = {x,
                                     y,
                                     z,
                                     xpy,
                                     xmy,
                                     _mm_add_ps(x, z),
                                     _mm_sub_ps(x, z),
                                     _mm_add_ps(y, z),
                                     _mm_sub_ps(y, z),
                                     _mm_add_ps(xpy, z),
                                     _mm_sub_ps(xpy, z),
                                     _mm_add_ps(xmy, z),
                                     _mm_sub_ps(xmy, z)};
            for (int i = 0; i < kAxes; ++i) {
                high[i] = _mm_max_ps(p[i], high[i]);
                low[i] = _mm_min_ps(p[i], low[i]);
            }
        }
    }
    for (int i = 0; i < kAxes; ++i) {
        alignas(16) float h[4], l[4];
        _mm_store_ps(h, high[i]);
        _mm_store_ps(l, low[i]);
        greatest[i] = std::fmax(std::fmax(h[0], h[1]), std::fmax(h[2], h[3]));
        least[i] = std::fmin(std::fmin(l[0], l[1]), std::fmin(l[2], l[3]));
    }
}

void box_hull(const float* lo, const float* hi, MeshHull& hull) {
    hull.corner_count = 8;
    for (unsigned int c = 0; c < 8; ++c)
        for (int a = 0; a < 3; ++a)
            hull.corner[a][c] = (c >> a) & 1u ? hi[a] : lo[a];
    hull.slack = 0.0;
}

// Adds corner v unless a kept corner is within merge of it along every
// axis; false when there is no room.
bool keep_corner(const double v[3], double merge, MeshHull& hull) {
    for (unsigned int c = 0; c < hull.corner_count; ++c)
        if (std::fabs(hull.corner[0][c] - v[0]) <= merge &&
            std::fabs(hull.corner[1][c] - v[1]) <= merge &&
            std::fabs(hull.corner[2][c] - v[2]) <= merge)
            return true;
    if (hull.corner_count == WIDE_HULL_MAX_CORNERS)
        return false;
    for (int a = 0; a < 3; ++a)
        hull.corner[a][hull.corner_count] = v[a];
    ++hull.corner_count;
    return true;
}

// Completes a hull whose corners are in place.
void finish(MeshHull& hull) {
    for (int a = 0; a < 3; ++a) {
        if (hull.corner_count % 2 != 0)
            hull.corner[a][hull.corner_count] = hull.corner[a][hull.corner_count - 1];
        hull.largest[a] = 0.0;
        for (unsigned int c = 0; c < hull.corner_count; ++c)
            hull.largest[a] = std::fmax(hull.largest[a], std::fabs(hull.corner[a][c]));
    }
}

} // namespace

void hull_of_blocks(const TriangleBlock* blocks, unsigned int count, const float* lo,
                    const float* hi, MeshHull& hull) {
    float greatest[kAxes], least[kAxes];
    project(blocks, count, greatest, least);
    // A float sum of three coordinates is off by at most 6 units of
    // roundoff of the largest; the planes move out by more than that.
    double largest = 0.0;
    for (int a = 0; a < 3; ++a)
        largest = std::fmax(largest, std::fmax(std::fabs(double(lo[a])), std::fabs(double(hi[a]))));
    const double margin = largest * 0x1p-20;
    double offset[kPlanes];
    for (int i = 0; i < kAxes; ++i) {
        offset[i] = double(greatest[i]) + margin;
        offset[kAxes + i] = -double(least[i]) + margin;
        if (!std::isfinite(offset[i]) || !std::isfinite(offset[kAxes + i])) {
            box_hull(lo, hi, hull);
            finish(hull);
            return;
        }
    }
    // Each corner meets three planes of independent normals and lies within
    // every other plane. A corner is worked out within far less than the
    // margin of its true place (the normals' determinants are whole numbers,
    // at least 1), so the test allows the margin, and corners that close are
    // kept once: every true corner is within twice the margin of a kept one.
    hull.corner_count = 0;
    hull.slack = 2.0 * margin;
    int normal[kPlanes][3];
    for (int p = 0; p < kPlanes; ++p)
        plane_normal(p, normal[p]);
    for (int i = 0; i < kPlanes; ++i) {
        for (int j = i + 1; j < kPlanes; ++j) {
            int ij[3];
            cross(normal[i], normal[j], ij);
            for (int k = j + 1; k < kPlanes; ++k) {
                const int det = ij[0] * normal[k][0] + ij[1] * normal[k][1] + ij[2] * normal[k][2];
                if (det == 0)
                    continue;
                int jk[3], ki[3];
                cross(normal[j], normal[k], jk);
                cross(normal[k], normal[i], ki);
                double v[3];
                for (int a = 0; a < 3; ++a)
                    v[a] = (offset[i] * jk[a] + offset[j] * ki[a] + offset[k] * ij[a]) / det;
                bool inside = true;
                for (int p = 0; p < kPlanes && inside; ++p)
                    inside = dot(normal[p], v) <= offset[p] + margin;
                if (inside && !keep_corner(v, margin, hull)) {
                    box_hull(lo, hi, hull);
                    finish(hull);
                    return;
                }
            }
        }
    }
    if (hull.corner_count == 0) // not for a true polytope; kept sound all the same
        box_hull(lo, hi, hull);
    finish(hull);
}

} // namespace gfx_detail
