// Fuzzes the wide BVH's exactness: triangles and rays of any bits, and every
// ray's nearest hit and occlusion, alone and in packets of four, against the
// brute force over all triangles with the library's kernel: t, u, v and
// position bit for bit; and the nearest hits of the same triangles placed by
// up to three transforms against the brute force over those instances.
// Rays the tree documents as beyond it are skipped: those within half a
// degree of a triangle's plane (a hundred times the grazing limit), those
// whose kernel products come within 300 times of overflowing or that the
// kernel hits with NaN u and v, and those from farther than ten scene
// sizes, where the widening's margin was measured.
#include "WideOracle.h"
#include "gfxRTWideScene.h"
#include "zrvSceneMesh.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool next(const std::uint8_t*& data, std::size_t& size, float* values, int count) {
    if (size < std::size_t(4 * count))
        return false;
    std::memcpy(values, data, 4 * std::size_t(count));
    data += 4 * count;
    size -= 4 * std::size_t(count);
    return true;
}

// Whether the tree's exactness covers the ray (see above).
bool covered(const std::vector<triAccel>& tris, const float* o, const float* d) {
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    double dd = 0.0, longest = 0.0, reach = 0.0;
    for (int a = 0; a < 3; ++a) {
        dd += double(d[a]) * d[a];
        longest = std::fmax(longest, std::fabs(d[a]));
    }
    const RayPacket ray = broadcast(o, d);
    for (const triAccel& t : tris) {
        if (!oracle_triangle_is_valid(t))
            continue;
        const double dn =
            double(d[0]) * t.normal[0] + double(d[1]) * t.normal[1] + double(d[2]) * t.normal[2];
        const double nn = double(t.normal[0]) * t.normal[0] + double(t.normal[1]) * t.normal[1] +
                          double(t.normal[2]) * t.normal[2];
        if (dn * dn < 1e-4 * dd * nn)
            return false;
        // A hit with NaN u and v: the kernel's volumes all came out zero (a
        // triangle too small to be told apart from the origin) or
        // overflowed, and the hit lies wherever the ray crosses the plane.
        HitPacket alone{_mm_set1_ps(INFINITY), _mm_setzero_ps(), _mm_setzero_ps(),
                        _mm_set1_epi32(-1)};
        gfxRT_ray_triangle_intersect(t, ray, 1, RenderState{0, 0}, alone);
        if (_mm_cvtsi128_si32(alone.id) != -1 &&
            (std::isnan(_mm_cvtss_f32(alone.u)) || std::isnan(_mm_cvtss_f32(alone.v))))
            return false;
        for (const float* v : {t.vertex0, t.vertex1, t.vertex2})
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::fmin(lo[a], v[a]);
                hi[a] = std::fmax(hi[a], v[a]);
                reach = std::fmax(reach, std::fabs(double(v[a]) - o[a]));
            }
    }
    double size = 0.0, far = 0.0;
    for (int a = 0; a < 3; ++a) {
        size = std::fmax(size, hi[a] - lo[a]);
        far = std::fmax(far, std::fabs(o[a] - 0.5 * (lo[a] + hi[a])));
    }
    return far <= 10.0 * size && reach * reach * longest <= 1e36;
}

// The scene's nearest hit against the brute force over its instances, the
// ray carried into each as the scene carries it: the nearest t, at equal t
// the lower instance (an instance's brute force takes only nearer hits).
// Skipped unless every carried ray is covered.
void check_scene(const gfxRTWideScene& scene, const std::vector<triAccel>& tris, const float* o,
                 const float* d, float limit) {
    gfxRTWideHit best{limit, 0.0f, 0.0f, -1};
    int best_instance = -1;
    for (unsigned int i = 0; i < scene.instance_count(); ++i) {
        float co[3], cd[3];
        gfxRTWideScene::carry_ray(scene.inverse_transform(i), o, d, co, cd);
        if (!traceable(co, cd) || !covered(tris, co, cd))
            return;
        const gfxRTWideHit hit = oracle_nearest(tris, co, cd, best.t);
        if (hit.index >= 0) {
            best = hit;
            best_instance = int(i);
        }
    }
    gfxRTWideSceneHit got;
    scene.intersect1(o, d, limit, got);
    const gfxRTWideSceneHit want{best.t, best.u, best.v, best.index, best_instance};
    if (std::memcmp(&got, &want, sizeof got) != 0) {
        std::fprintf(stderr, "scene %d/%d t %a u %a v %a, brute force %d/%d t %a u %a v %a\n",
                     got.instance, got.index, got.t, got.u, got.v, want.instance, want.index,
                     want.t, want.u, want.v);
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::uint8_t options = data[0];
    const unsigned int threads = (options & 1) + 1;
    const unsigned int wanted = data[1] % 64 + 1;
    data += 2;
    size -= 2;
    std::vector<triAccel> tris;
    float v[9];
    while (tris.size() < wanted && next(data, size, v, 9)) {
        triAccel t{};
        std::memcpy(t.vertex0, v, 12);
        std::memcpy(t.vertex1, v + 3, 12);
        std::memcpy(t.vertex2, v + 6, 12);
        zrv::scenes::compute_normal(t);
        t.triangle_id = int(tris.size());
        t.backface_early_out = (options & 2) != 0 && tris.size() % 2 == 1;
        t.casts_shadow = (options & 4) == 0 || tris.size() % 3 != 0;
        tris.push_back(t);
    }
    gfxRTWideBVH tree;
    if (!tree.build(tris.data(), unsigned(tris.size()), threads))
        return 0;
    // The same triangles placed by up to three transforms (refused ones
    // left out).
    gfxRTWideScene scene;
    if (scene.add_mesh(tris.data(), unsigned(tris.size()), threads) != 0)
        return 0;
    float transform[12];
    for (unsigned int i = 0; i < ((options >> 3) & 3u) && next(data, size, transform, 12); ++i)
        scene.add_instance(0, transform);
    if (!scene.commit(threads))
        return 0;
    float ray[7];
    std::vector<float> rays; // the covered rays, seven floats each
    while (next(data, size, ray, 7)) {
        const float* o = ray;
        const float* d = ray + 3;
        const float limit = std::isnan(ray[6]) ? INFINITY : std::fabs(ray[6]);
        if (!traceable(o, d) || !covered(tris, o, d))
            continue;
        gfxRTWideHit hit;
        tree.intersect1(o, d, limit, hit);
        const gfxRTWideHit want = oracle_nearest(tris, o, d, limit);
        if (std::memcmp(&hit, &want, sizeof hit) != 0) {
            std::fprintf(stderr, "tree %d t %a u %a v %a, brute force %d t %a u %a v %a\n",
                         hit.index, hit.t, hit.u, hit.v, want.index, want.t, want.u, want.v);
            __builtin_trap();
        }
        if (tree.occluded1(o, d, limit) != oracle_occluded(tris, o, d, limit))
            __builtin_trap();
        if (scene.instance_count() > 0)
            check_scene(scene, tris, o, d, limit);
        rays.insert(rays.end(), ray, ray + 6);
        rays.push_back(limit);
    }
    // Packets of four covered rays, as they are and from the first one's
    // origin, nearest hits and shadow rays.
    for (std::size_t first = 0; first + 28 <= rays.size(); first += 28) {
        for (int shared = 0; shared < 2; ++shared) {
            float rows[7][4];
            for (int l = 0; l < 4; ++l)
                for (int k = 0; k < 7; ++k)
                    rows[k][l] = rays[first + 7 * (shared != 0 && k < 3 ? 0 : l) + k];
            bool all_covered = true;
            for (int l = 0; l < 4; ++l) {
                const float o[3] = {rows[0][l], rows[1][l], rows[2][l]};
                const float d[3] = {rows[3][l], rows[4][l], rows[5][l]};
                all_covered = all_covered && covered(tris, o, d);
            }
            if (!all_covered)
                continue;
            RayPacket packet;
            packet.origin = {_mm_loadu_ps(rows[0]), _mm_loadu_ps(rows[1]), _mm_loadu_ps(rows[2])};
            packet.direction = {_mm_loadu_ps(rows[3]), _mm_loadu_ps(rows[4]),
                                _mm_loadu_ps(rows[5])};
            packet.active_mask = 15;
            for (unsigned int shadow = 0; shadow < 2; ++shadow) {
                const RenderState state{0, shadow};
                HitPacket got{_mm_loadu_ps(rows[6]), _mm_setzero_ps(), _mm_setzero_ps(),
                              _mm_set1_epi32(-1)};
                HitPacket want = got;
                __m128i got_index, want_index;
                tree.intersect4(packet, got, got_index, state, INFINITY);
                oracle_intersect4(tris, packet, want, want_index, state, INFINITY);
                if (std::memcmp(&got, &want, sizeof got) != 0 ||
                    std::memcmp(&got_index, &want_index, sizeof got_index) != 0)
                    __builtin_trap();
            }
            const __m128 limits = _mm_loadu_ps(rows[6]);
            if (tree.occluded4(packet, limits) != oracle_occluded4(tris, packet, limits))
                __builtin_trap();
        }
    }
    return 0;
}
