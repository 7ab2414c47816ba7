#include "WideOracle.h"

#include <cmath>
#include <cstring>

bool oracle_triangle_is_valid(const triAccel& t) {
    const float* const v[4] = {t.vertex0, t.vertex1, t.vertex2, t.normal};
    for (const float* p : v)
        for (int a = 0; a < 3; ++a)
            if (!std::isfinite(p[a]))
                return false;
    const double e1[3] = {double(t.vertex1[0]) - t.vertex0[0], double(t.vertex1[1]) - t.vertex0[1],
                          double(t.vertex1[2]) - t.vertex0[2]};
    const double e2[3] = {double(t.vertex2[0]) - t.vertex0[0], double(t.vertex2[1]) - t.vertex0[1],
                          double(t.vertex2[2]) - t.vertex0[2]};
    return e1[1] * e2[2] - e1[2] * e2[1] != 0.0 || e1[2] * e2[0] - e1[0] * e2[2] != 0.0 ||
           e1[0] * e2[1] - e1[1] * e2[0] != 0.0;
}

namespace {

bool traceable(const float* o, const float* d) {
    for (int a = 0; a < 3; ++a)
        if (!std::isfinite(o[a]) || !std::isfinite(d[a]))
            return false;
    return d[0] != 0.0f || d[1] != 0.0f || d[2] != 0.0f;
}

RayPacket broadcast(const float* o, const float* d) {
    RayPacket p;
    std::memset(&p, 0, sizeof p);
    p.origin = sse_vec{_mm_set1_ps(o[0]), _mm_set1_ps(o[1]), _mm_set1_ps(o[2])};
    p.direction = sse_vec{_mm_set1_ps(d[0]), _mm_set1_ps(d[1]), _mm_set1_ps(d[2])};
    p.active_mask = 15;
    return p;
}

float lane(__m128 v, int k) {
    alignas(16) float f[4];
    _mm_store_ps(f, v);
    return f[k];
}

} // namespace

gfxRTWideHit oracle_nearest(const std::vector<triAccel>& tris, const float* origin,
                            const float* direction, float max_distance) {
    gfxRTWideHit best{max_distance, 0.0f, 0.0f, -1};
    if (!traceable(origin, direction))
        return best;
    const RayPacket rays = broadcast(origin, direction);
    HitPacket hits{_mm_set1_ps(max_distance), _mm_setzero_ps(), _mm_setzero_ps(),
                   _mm_set1_epi32(-1)};
    const RenderState state{0, 0};
    for (std::size_t i = 0; i < tris.size(); ++i) {
        if (!oracle_triangle_is_valid(tris[i]))
            continue;
        const float before = lane(hits.t, 0);
        gfxRT_ray_triangle_intersect(tris[i], rays, 1, state, hits);
        if (lane(hits.t, 0) < before)
            best.index = int(i);
    }
    if (best.index >= 0)
        best = gfxRTWideHit{lane(hits.t, 0), lane(hits.u, 0), lane(hits.v, 0), best.index};
    return best;
}

bool oracle_occluded(const std::vector<triAccel>& tris, const float* origin, const float* direction,
                     float max_distance) {
    if (!traceable(origin, direction))
        return false;
    const RayPacket rays = broadcast(origin, direction);
    const RenderState state{0, 1};
    for (const triAccel& tri : tris) {
        if (!oracle_triangle_is_valid(tri) || tri.casts_shadow == 0)
            continue;
        HitPacket hits{_mm_set1_ps(max_distance), _mm_setzero_ps(), _mm_setzero_ps(),
                       _mm_set1_epi32(-1)};
        gfxRT_ray_triangle_intersect(tri, rays, 1, state, hits);
        if (_mm_cvtsi128_si32(hits.id) != -1)
            return true;
    }
    return false;
}

void oracle_intersect4(const std::vector<triAccel>& tris, const RayPacket& rays, HitPacket& hits,
                       __m128i& hit_index, const RenderState& state, float max_distance) {
    alignas(16) float o[3][4], d[3][4];
    _mm_store_ps(o[0], rays.origin.x);
    _mm_store_ps(o[1], rays.origin.y);
    _mm_store_ps(o[2], rays.origin.z);
    _mm_store_ps(d[0], rays.direction.x);
    _mm_store_ps(d[1], rays.direction.y);
    _mm_store_ps(d[2], rays.direction.z);
    int lanes = 0;
    for (int k = 0; k < 4; ++k) {
        const float ok[3] = {o[0][k], o[1][k], o[2][k]}, dk[3] = {d[0][k], d[1][k], d[2][k]};
        if ((rays.active_mask & (1 << k)) && traceable(ok, dk))
            lanes |= 1 << k;
    }
    HitPacket work = hits;
    work.t = _mm_min_ps(hits.t, _mm_set1_ps(max_distance));
    alignas(16) int index[4] = {-1, -1, -1, -1};
    for (std::size_t i = 0; i < tris.size(); ++i) {
        if (!oracle_triangle_is_valid(tris[i]) || (state.shadow_rays && !tris[i].casts_shadow))
            continue;
        alignas(16) float before[4], after[4];
        _mm_store_ps(before, work.t);
        gfxRT_ray_triangle_intersect(tris[i], rays, unsigned(rays.active_mask & 15), state, work);
        _mm_store_ps(after, work.t);
        for (int k = 0; k < 4; ++k)
            if (after[k] < before[k])
                index[k] = int(i);
    }
    // Lanes whose ray is not traceable, or that found nothing, keep the
    // caller's values.
    alignas(16) float t[4], u[4], v[4], ht[4], hu[4], hv[4];
    alignas(16) int id[4], hid[4];
    _mm_store_ps(t, work.t);
    _mm_store_ps(u, work.u);
    _mm_store_ps(v, work.v);
    _mm_store_si128(reinterpret_cast<__m128i*>(id), work.id);
    _mm_store_ps(ht, hits.t);
    _mm_store_ps(hu, hits.u);
    _mm_store_ps(hv, hits.v);
    _mm_store_si128(reinterpret_cast<__m128i*>(hid), hits.id);
    for (int k = 0; k < 4; ++k) {
        if (!(lanes & (1 << k)) || index[k] < 0) {
            index[k] = -1;
            continue;
        }
        ht[k] = t[k];
        hu[k] = u[k];
        hv[k] = v[k];
        hid[k] = id[k];
    }
    hits.t = _mm_load_ps(ht);
    hits.u = _mm_load_ps(hu);
    hits.v = _mm_load_ps(hv);
    hits.id = _mm_load_si128(reinterpret_cast<const __m128i*>(hid));
    hit_index = _mm_load_si128(reinterpret_cast<const __m128i*>(index));
}

int oracle_occluded4(const std::vector<triAccel>& tris, const RayPacket& rays,
                     __m128 max_distance) {
    alignas(16) float o[3][4], d[3][4];
    _mm_store_ps(o[0], rays.origin.x);
    _mm_store_ps(o[1], rays.origin.y);
    _mm_store_ps(o[2], rays.origin.z);
    _mm_store_ps(d[0], rays.direction.x);
    _mm_store_ps(d[1], rays.direction.y);
    _mm_store_ps(d[2], rays.direction.z);
    int lanes = 0;
    for (int k = 0; k < 4; ++k) {
        const float ok[3] = {o[0][k], o[1][k], o[2][k]}, dk[3] = {d[0][k], d[1][k], d[2][k]};
        if ((rays.active_mask & (1 << k)) && traceable(ok, dk))
            lanes |= 1 << k;
    }
    const RenderState state{0, 1};
    int occluded = 0;
    for (const triAccel& tri : tris) {
        if (!oracle_triangle_is_valid(tri) || tri.casts_shadow == 0)
            continue;
        HitPacket hits{max_distance, _mm_setzero_ps(), _mm_setzero_ps(), _mm_set1_epi32(-1)};
        gfxRT_ray_triangle_intersect(tri, rays, unsigned(rays.active_mask & 15), state, hits);
        occluded |= _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(hits.id, _mm_set1_epi32(-1))));
    }
    return occluded & lanes;
}
