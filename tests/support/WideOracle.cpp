#include "WideOracle.h"

#include <cmath>
#include <cstring>

bool oracle_triangle_is_valid(const triAccel& t) {
    const float* const v[4] = {t.vertex0, t.vertex1, t.vertex2, t.normal};
    for (const float* p : v)
        for (int a = 0; a < 3; ++a)
            if (!std::isfinite(p[a]))
                return false;
    double e1[3], e2[3];
    for (int a = 0; a < 3; ++a) {
        e1[a] = double(t.vertex1[a]) - t.vertex0[a];
        e2[a] = double(t.vertex2[a]) - t.vertex0[a];
    }
    return e1[1] * e2[2] - e1[2] * e2[1] != 0.0 || e1[2] * e2[0] - e1[0] * e2[2] != 0.0 ||
           e1[0] * e2[1] - e1[1] * e2[0] != 0.0;
}

void packet_rows(const RayPacket& rays, float rows[6][4]) {
    const __m128 r[6] = {rays.origin.x,    rays.origin.y,    rays.origin.z,
                         rays.direction.x, rays.direction.y, rays.direction.z};
    for (int k = 0; k < 6; ++k)
        _mm_storeu_ps(rows[k], r[k]);
}

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

namespace {

// The active lanes of a packet whose ray can hit anything.
int traceable_lanes(const RayPacket& rays) {
    float f[6][4];
    packet_rows(rays, f);
    int lanes = 0;
    for (int k = 0; k < 4; ++k) {
        const float o[3] = {f[0][k], f[1][k], f[2][k]}, d[3] = {f[3][k], f[4][k], f[5][k]};
        if ((rays.active_mask & (1 << k)) && traceable(o, d))
            lanes |= 1 << k;
    }
    return lanes;
}

HitPacket miss(__m128 limit) {
    return HitPacket{limit, _mm_setzero_ps(), _mm_setzero_ps(), _mm_set1_epi32(-1)};
}

// Every valid triangle (casters only with shadow_rays) in the host's order;
// index[k] receives the position that last lowered lane k's t.
void brute_force(const std::vector<triAccel>& tris, const RayPacket& rays, int lane_mask,
                 const RenderState& state, HitPacket& hits, int* index) {
    for (std::size_t i = 0; i < tris.size(); ++i) {
        if (!oracle_triangle_is_valid(tris[i]) || (state.shadow_rays && !tris[i].casts_shadow))
            continue;
        const __m128 before = hits.t;
        gfxRT_ray_triangle_intersect(tris[i], rays, unsigned(lane_mask), state, hits);
        const int lowered = _mm_movemask_ps(_mm_cmplt_ps(hits.t, before));
        for (int k = 0; k < 4; ++k)
            if (lowered & (1 << k))
                index[k] = int(i);
    }
}

} // namespace

gfxRTWideHit oracle_nearest(const std::vector<triAccel>& tris, const float* origin,
                            const float* direction, float max_distance) {
    gfxRTWideHit best{max_distance, 0.0f, 0.0f, -1};
    if (!traceable(origin, direction))
        return best;
    HitPacket hits = miss(_mm_set1_ps(max_distance));
    int index[4] = {-1, -1, -1, -1};
    brute_force(tris, broadcast(origin, direction), 1, RenderState{0, 0}, hits, index);
    if (index[0] >= 0)
        best = gfxRTWideHit{_mm_cvtss_f32(hits.t), _mm_cvtss_f32(hits.u), _mm_cvtss_f32(hits.v),
                            index[0]};
    return best;
}

bool oracle_occluded(const std::vector<triAccel>& tris, const float* origin, const float* direction,
                     float max_distance) {
    return traceable(origin, direction) &&
           oracle_occluded4(tris, broadcast(origin, direction), _mm_set1_ps(max_distance)) != 0;
}

void oracle_intersect4(const std::vector<triAccel>& tris, const RayPacket& rays, HitPacket& hits,
                       __m128i& hit_index, const RenderState& state, float max_distance) {
    const int lanes = traceable_lanes(rays);
    HitPacket work = hits;
    work.t = _mm_min_ps(hits.t, _mm_set1_ps(max_distance));
    alignas(16) int index[4] = {-1, -1, -1, -1};
    brute_force(tris, rays, rays.active_mask & 15, state, work, index);
    // Lanes whose ray is not traceable, or that found nothing, keep the
    // caller's values.
    int found = 0;
    for (int k = 0; k < 4; ++k) {
        if ((lanes & (1 << k)) && index[k] >= 0)
            found |= 1 << k;
        else
            index[k] = -1;
    }
    const __m128 mask = masktable4[found];
    auto select = [&](__m128 a, __m128 b) {
        return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
    };
    hits.t = select(work.t, hits.t);
    hits.u = select(work.u, hits.u);
    hits.v = select(work.v, hits.v);
    hits.id = _mm_castps_si128(select(_mm_castsi128_ps(work.id), _mm_castsi128_ps(hits.id)));
    hit_index = _mm_load_si128(reinterpret_cast<const __m128i*>(index));
}

int oracle_occluded4(const std::vector<triAccel>& tris, const RayPacket& rays,
                     __m128 max_distance) {
    int occluded = 0;
    for (const triAccel& tri : tris) {
        if (!oracle_triangle_is_valid(tri) || tri.casts_shadow == 0)
            continue;
        HitPacket hits = miss(max_distance);
        gfxRT_ray_triangle_intersect(tri, rays, unsigned(rays.active_mask & 15), RenderState{0, 1},
                                     hits);
        occluded |= _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(hits.id, _mm_set1_epi32(-1))));
    }
    return occluded & traceable_lanes(rays);
}
