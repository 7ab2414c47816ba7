#include "WideOracleCheck.h"

#include "OracleRays.h"
#include "WideOracle.h"
#include "zrvSceneMesh.h"

#include "gfxKernelDispatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

namespace {

const float kInf = std::numeric_limits<float>::infinity();

std::vector<gfxKernelLevel> kernel_levels() {
    std::vector<gfxKernelLevel> levels;
    for (gfxKernelLevel level : {GFX_KERNELS_SSE2, GFX_KERNELS_X86_64_V3, GFX_KERNELS_X86_64_V4})
        if (gfxIsKernelLevelSupported(level))
            levels.push_back(level);
    return levels;
}

} // namespace

std::string packet_bits(const HitPacket& h, __m128i index) {
    std::string text;
    alignas(16) float t[4], u[4], v[4];
    alignas(16) int id[4], ix[4];
    _mm_store_ps(t, h.t);
    _mm_store_ps(u, h.u);
    _mm_store_ps(v, h.v);
    _mm_store_si128(reinterpret_cast<__m128i*>(id), h.id);
    _mm_store_si128(reinterpret_cast<__m128i*>(ix), index);
    for (int k = 0; k < 4; ++k)
        text +=
            hit_bits(gfxRTWideHit{t[k], u[k], v[k], ix[k]}) + " id " + std::to_string(id[k]) + "; ";
    return text;
}

void WideRays::add(const float* origin, const float* direction, float limit) {
    origins.insert(origins.end(), origin, origin + 3);
    directions.insert(directions.end(), direction, direction + 3);
    limits.push_back(limit);
}

void append(WideRays& rays, const WideRays& more) {
    for (unsigned int i = 0; i < more.size(); ++i)
        rays.add(&more.origins[3 * i], &more.directions[3 * i], more.limits[i]);
}

std::string hit_bits(const gfxRTWideHit& h) {
    char text[96];
    std::uint32_t t, u, v;
    std::memcpy(&t, &h.t, 4);
    std::memcpy(&u, &h.u, 4);
    std::memcpy(&v, &h.v, 4);
    std::snprintf(text, sizeof text, "index %d t %08x (%g) u %08x v %08x", h.index, t, h.t, u, v);
    return text;
}

void mix_triangle_flags(std::vector<triAccel>& tris) {
    for (std::size_t i = 0; i < tris.size(); ++i) {
        tris[i].backface_early_out = i % 3 == 0 ? 1 : 0;
        tris[i].casts_shadow = i % 5 == 0 ? 0 : 1;
    }
}

std::vector<triAccel> deformed_triangles(std::vector<triAccel> tris, double twist, double scale,
                                         double offset) {
    for (std::size_t i = 0; i < tris.size(); ++i) {
        triAccel& t = tris[i];
        if (!oracle_triangle_is_valid(t)) {
            for (float* v : {t.vertex0, t.vertex1, t.vertex2}) {
                v[0] = float(offset);
                v[1] = float(-offset);
                v[2] = float(0.5 * offset);
            }
            continue;
        }
        for (float* v : {t.vertex0, t.vertex1, t.vertex2}) {
            const double x = v[0], y = v[1], z = v[2], angle = twist * y;
            v[0] = float(scale * (x * std::cos(angle) - z * std::sin(angle)) + offset);
            v[1] = float(scale * (y + 0.1 * std::sin(3.0 * x)) - offset);
            v[2] = float(scale * (x * std::sin(angle) + z * std::cos(angle)) + 0.5 * offset);
        }
        zrv::scenes::compute_normal(t);
        t.triangle_id = int(i * 7 + 3);
        t.backface_early_out = i % 4 == 1;
        t.casts_shadow = i % 3 != 0;
    }
    return tris;
}

namespace {

// Lanes of packets as single rays, ray i limited as lane_rays says.
WideRays rays_of_lanes(const std::vector<RayPacket>& packets, bool every_lane, float max_limit,
                       unsigned int seed) {
    WideRays rays;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> limit(0.2f, max_limit);
    for (std::size_t p = 0; p < packets.size(); ++p) {
        float f[6][4];
        packet_rows(packets[p], f);
        for (int lane = every_lane ? 0 : int(p % 4); lane < (every_lane ? 4 : int(p % 4) + 1);
             ++lane) {
            const float o[3] = {f[0][lane], f[1][lane], f[2][lane]};
            const float d[3] = {f[3][lane], f[4][lane], f[5][lane]};
            rays.add(o, d, rays.size() % 3 == 0 ? kInf : limit(rng));
        }
    }
    return rays;
}

} // namespace

WideRays lane_rays(const std::vector<RayPacket>& packets, float max_limit, unsigned int seed) {
    return rays_of_lanes(packets, false, max_limit, seed);
}

WideRays camera_batch_rays(const zrv::scenes::Bounds& b, float max_limit, unsigned int seed,
                           float field) {
    // Every lane of the camera's packets, in order: its rays as a batch holds them.
    WideRays rays = rays_of_lanes(camera_packets(b, 128, 64, 2.1f, field), true, max_limit, seed);
    for (std::size_t i = 5; i < rays.size(); i += 13)
        for (int a = 0; a < 3; ++a)
            rays.directions[3 * i + std::size_t(a)] = 0.0f;
    for (std::size_t i = 7; i < rays.size(); i += 17)
        rays.limits[i] = std::numeric_limits<float>::quiet_NaN();
    return rays;
}

WideRays scattered_rays(const std::vector<triAccel>& tris, int count, unsigned seed) {
    return lane_rays(random_single_lane_packets(tris, zrv::scenes::scene_bounds(tris), count, seed),
                     3.0f, seed);
}

namespace {

const float* vertex(const triAccel& t, int k) {
    return k == 0 ? t.vertex0 : k == 1 ? t.vertex1 : t.vertex2;
}

} // namespace

namespace {

// Whether direction d lies within degrees of the plane of t.
bool crosses_within(const triAccel& t, const float* d, double degrees) {
    double dn = 0.0, dd = 0.0, nn = 0.0;
    for (int k = 0; k < 3; ++k) {
        dn += double(d[k]) * t.normal[k];
        dd += double(d[k]) * d[k];
        nn += double(t.normal[k]) * t.normal[k];
    }
    const double sine = std::sin(degrees * 3.14159265358979323846 / 180.0);
    return dn * dn < sine * sine * dd * nn;
}

} // namespace

bool steep(const std::vector<triAccel>& tris, const float* o, const float* d, double degrees) {
    const gfxRTWideHit hit = oracle_nearest(tris, o, d, kInf);
    return hit.index < 0 || !crosses_within(tris[hit.index], d, degrees);
}

WideRays aimed_rays(const std::vector<triAccel>& tris, int count, unsigned seed, float spread,
                    bool on_edge, const float* centre) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    WideRays rays;
    for (int i = 0; i < count; ++i) {
        const triAccel& t = tris[rng() % tris.size()];
        const float a = on_edge ? u(rng) : 0.05f + 0.4f * u(rng);
        const float b = on_edge ? 0.0f : 0.05f + 0.4f * u(rng);
        float o[3], d[3];
        for (int k = 0; k < 3; ++k) {
            const float offset = spread * (2.0f * u(rng) - 1.0f);
            o[k] = centre != nullptr ? centre[k] + offset : offset;
            d[k] = t.vertex0[k] + a * (t.vertex1[k] - t.vertex0[k]) +
                   b * (t.vertex2[k] - t.vertex0[k]) - o[k];
        }
        rays.add(o, d, kInf);
    }
    return rays;
}

WideRays least_distance_rays(const std::vector<triAccel>& tris, int count, unsigned seed) {
    const float least = 0.0001f;
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::size_t> pick(0, tris.size() - 1);
    std::uniform_real_distribution<float> u(0.0f, 1.0f), s(-1.0f, 1.0f);
    WideRays rays;
    for (int i = 0; i < count; ++i) {
        const triAccel& t = tris[pick(rng)];
        float a = u(rng), b = u(rng);
        if (a + b > 1.0f) {
            a = 1.0f - a;
            b = 1.0f - b;
        }
        if (i % 3 == 0)
            b = 0.0f;
        float point[3], d[3], length = 0.0f;
        for (int x = 0; x < 3; ++x) {
            point[x] = t.vertex0[x] + a * (t.vertex1[x] - t.vertex0[x]) +
                       b * (t.vertex2[x] - t.vertex0[x]);
            d[x] = s(rng);
            length += d[x] * d[x];
        }
        const float scale = std::ldexp(1.0f, int(rng() % 13) - 6) / std::sqrt(length);
        for (float& x : d)
            x *= scale;
        // The crossing's distance, in units of d.
        const float at = i % 2 == 0
                             ? least * (0.5f + 1.5f * u(rng))
                             : least * (1.0f + std::ldexp(float(int(rng() % 129) - 64), -22));
        const float limit = i % 4 < 2 ? kInf : 10.0f * least;
        float origin[3];
        for (int x = 0; x < 3; ++x)
            origin[x] = point[x] - at * d[x];
        rays.add(origin, d, limit);
        // Leaving the face, lifted along its normal (from its vertices, as
        // world triangles of a scene keep their meshes' normals), into the
        // side d is on.
        float e1[3], e2[3], normal[3], normal_length = 0.0f, side = 0.0f;
        for (int x = 0; x < 3; ++x) {
            e1[x] = t.vertex1[x] - t.vertex0[x];
            e2[x] = t.vertex2[x] - t.vertex0[x];
        }
        for (int x = 0; x < 3; ++x) {
            normal[x] = e1[(x + 1) % 3] * e2[(x + 2) % 3] - e1[(x + 2) % 3] * e2[(x + 1) % 3];
            normal_length += normal[x] * normal[x];
            side += normal[x] * d[x];
        }
        const float lift = least * u(rng) * scale / std::sqrt(normal_length);
        for (int x = 0; x < 3; ++x)
            origin[x] = point[x] + (side < 0.0f ? -lift : lift) * normal[x];
        rays.add(origin, d, limit);
    }
    return rays;
}

WideRays adversarial_rays(const std::vector<triAccel>& tris, int per_kind, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::size_t> pick(0, tris.size() - 1);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    WideRays rays;
    for (int i = 0; i < per_kind; ++i) {
        const triAccel& t = tris[pick(rng)];
        const int k = i % 3;
        const float* a = vertex(t, k);
        const float* b = vertex(t, (k + 1) % 3);
        const float* c = vertex(t, (k + 2) % 3);
        float along[3], before[3], from_c[3], through[3], in_plane[3], on_face[3], random_dir[3];
        for (int x = 0; x < 3; ++x) {
            along[x] = b[x] - a[x];
            before[x] = a[x] - 0.5f * along[x];
            from_c[x] = c[x] + 0.3f * (c[x] - a[x]) + 0.1f * u(rng);
            through[x] = a[x] - from_c[x];
            in_plane[x] = (b[x] - c[x]) + 0.5f * u(rng) * (a[x] - c[x]);
            on_face[x] = (a[x] + b[x] + c[x]) / 3.0f;
            random_dir[x] = u(rng);
        }
        // Along a shared edge from outside and from its vertex, through a
        // shared vertex, in the triangle's plane, from a point of a face.
        rays.add(before, along, kInf);
        rays.add(a, along, kInf);
        rays.add(from_c, through, kInf);
        rays.add(c, in_plane, kInf);
        rays.add(on_face, random_dir, 2.0f);
        // Towards a point of the face, almost along an axis (sideways
        // components down to denormals, whose inverses overflow the slab
        // products), and from 1e8 away. From 1e4 away, about one ray in 70
        // runs so nearly along a triangle's plane that the kernel's t
        // (divided by a tiny D.N) falls hundreds of units short of the
        // scene, ahead of every box the ray enters, and the nearest-first
        // walk stops before that triangle: a case of the grazing limit
        // gfxRTWideBVHLayout.h describes.
        static const float kSideways[4] = {1e-8f, 1e-25f, 1e-36f, 1e-41f};
        float axis_dir[3], axis_origin[3], far_origin[3];
        for (int x = 0; x < 3; ++x) {
            axis_dir[x] = x == k ? (i % 2 ? 1.0f : -1.0f) : kSideways[i % 4] * u(rng);
            axis_origin[x] = on_face[x] - 3.0f * axis_dir[x];
            far_origin[x] = on_face[x] - 1e8f * random_dir[x];
        }
        rays.add(axis_origin, axis_dir, kInf);
        rays.add(far_origin, random_dir, kInf);
    }
    // Rays that cannot hit: NaN or infinite components, a zero direction,
    // no room between 0.0001 and the limit; and limits just either side of
    // a hit.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int a = 0; a < 3; ++a) {
        float o[3] = {0, 0, -3}, d[3] = {0, 0, 1};
        o[a] = nan;
        rays.add(o, d, kInf);
        o[a] = -kInf;
        rays.add(o, d, kInf);
        o[a] = 0;
        d[a] = nan;
        rays.add(o, d, kInf);
        d[a] = kInf;
        rays.add(o, d, kInf);
    }
    const float o[3] = {0.01f, 0.02f, -3}, zero[3] = {0, 0, 0}, d[3] = {0, 0, 1};
    const float limits[6] = {kInf, 0.0001f, nan, 1.0f, 2.3f, 2.31f};
    rays.add(o, zero, kInf);
    for (float limit : limits)
        rays.add(o, d, limit);
    return rays;
}

std::vector<RayPacket> packets_of(const WideRays& rays) {
    std::vector<RayPacket> packets;
    for (unsigned int first = 0; first + 4 <= rays.size(); first += 4) {
        alignas(16) float f[6][4];
        for (int k = 0; k < 4; ++k)
            for (int a = 0; a < 3; ++a) {
                f[a][k] = rays.origins[3 * (first + k) + a];
                f[3 + a][k] = rays.directions[3 * (first + k) + a];
            }
        RayPacket p;
        std::memset(&p, 0, sizeof p);
        p.origin = sse_vec{_mm_load_ps(f[0]), _mm_load_ps(f[1]), _mm_load_ps(f[2])};
        p.direction = sse_vec{_mm_load_ps(f[3]), _mm_load_ps(f[4]), _mm_load_ps(f[5])};
        p.active_mask = 15;
        packets.push_back(p);
    }
    return packets;
}

std::vector<RayPacket> facing_pairs(const WideRays& rays) {
    WideRays paired;
    for (unsigned int i = 0; i < rays.size(); ++i) {
        const float* o = &rays.origins[3 * i];
        const float* d = &rays.directions[3 * i];
        const float far[3] = {o[0] + 2 * d[0], o[1] + 2 * d[1], o[2] + 2 * d[2]};
        const float back[3] = {-d[0], -d[1], -d[2]};
        paired.add(o, d, rays.limits[i]);
        paired.add(far, back, rays.limits[i]);
    }
    return packets_of(paired);
}

std::vector<RayPacket> narrow_packets(const WideRays& rays, unsigned int seed, float spread) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-spread, spread);
    WideRays neighbours;
    for (unsigned int i = 0; i < rays.size(); ++i) {
        const float* o = &rays.origins[3 * i];
        const float* d = &rays.directions[3 * i];
        // The ray four times: the packet is as narrow as its lanes' own
        // tests, so the box widening for rounding far from the origin shows.
        for (int lane = 0; lane < 4; ++lane)
            neighbours.add(o, d, rays.limits[i]);
        neighbours.add(o, d, rays.limits[i]);
        // The last packet's lanes turn the smallest component's sign where
        // it is below a 64th of the largest (under a degree): a run of
        // packets that cannot share one set of bounds.
        int smallest = 0;
        for (int a = 1; a < 3; ++a)
            if (std::fabs(d[a]) < std::fabs(d[smallest]))
                smallest = a;
        const float largest = std::max({std::fabs(d[0]), std::fabs(d[1]), std::fabs(d[2])});
        const bool turn = std::fabs(d[smallest]) * 64.0f < largest;
        for (int lane = 1; lane < 12; ++lane) {
            float near_d[3];
            for (int a = 0; a < 3; ++a)
                near_d[a] = d[a] * (1.0f + u(rng));
            if (turn && lane >= 8)
                near_d[smallest] = -near_d[smallest];
            neighbours.add(o, near_d, rays.limits[i]);
        }
    }
    return packets_of(neighbours);
}

std::vector<RayPacket> idle_leads(std::vector<RayPacket> packets) {
    for (std::size_t p = 0; p < packets.size(); p += 4) {
        packets[p].active_mask = 0;
        packets[p].origin.x = _mm_add_ps(packets[p].origin.x, _mm_set1_ps(0.25f));
    }
    return packets;
}

std::vector<RayPacket> one_point_packets(const std::vector<RayPacket>& packets, std::size_t count) {
    std::vector<RayPacket> out(packets.begin(),
                               packets.begin() + std::ptrdiff_t(std::min(count, packets.size())));
    for (RayPacket& p : out) {
        p.origin.x = _mm_shuffle_ps(p.origin.x, p.origin.x, 0);
        p.origin.y = _mm_shuffle_ps(p.origin.y, p.origin.y, 0);
        p.origin.z = _mm_shuffle_ps(p.origin.z, p.origin.z, 0);
    }
    return out;
}

std::vector<RayPacket> parallel_packets(const WideRays& rays) {
    WideRays lanes;
    for (unsigned int i = 0; i < rays.size(); ++i) {
        const float* d = &rays.directions[3 * i];
        for (int lane = 0; lane < 4; ++lane) {
            float o[3];
            for (int a = 0; a < 3; ++a)
                o[a] = rays.origins[3 * i + a] - 0.003f * float(lane) * d[a];
            lanes.add(o, d, rays.limits[i]);
        }
    }
    return packets_of(lanes);
}

std::vector<RayPacket> beam_packets(const WideRays& rays, float spread, unsigned int seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-spread, spread);
    WideRays lanes;
    for (unsigned int i = 0; i < rays.size(); ++i) {
        const float* o = &rays.origins[3 * i];
        const float* d = &rays.directions[3 * i];
        lanes.add(o, d, rays.limits[i]);
        for (int lane = 1; lane < 4; ++lane) {
            const float moved[3] = {o[0] + u(rng), o[1] + u(rng), o[2] + u(rng)};
            lanes.add(moved, d, rays.limits[i]);
        }
    }
    return packets_of(lanes);
}

std::string ray_text(const std::string& hit, bool wrong_result, int occluded) {
    return hit + (wrong_result ? " (the call said otherwise)" : "") + " occluded " +
           std::to_string(occluded);
}

std::vector<std::string> answers_of(const WideAnswers& answers, const WideRays& rays,
                                    unsigned int threads) {
    if (answers.batch)
        return answers.batch(rays, threads);
    std::vector<std::string> each;
    for (unsigned int i = 0; i < rays.size(); ++i)
        each.push_back(answers.ray(&rays.origins[3 * i], &rays.directions[3 * i], rays.limits[i]));
    return each;
}

WideAnswers tree_answers(const gfxRTWideBVH& tree) {
    WideAnswers a;
    a.ray = [&tree](const float* o, const float* d, float limit) {
        gfxRTWideHit hit;
        const bool found = tree.intersect1(o, d, limit, hit);
        return ray_text(hit_bits(hit), found != (hit.index >= 0), tree.occluded1(o, d, limit));
    };
    a.batch = [&tree](const WideRays& rays, unsigned int threads) {
        const unsigned int n = rays.size();
        std::vector<float> t(n), u(n), v(n);
        std::vector<int> index(n);
        std::vector<unsigned char> occluded(n);
        tree.intersect_batch(rays.origins.data(), rays.directions.data(), rays.limits.data(), n,
                             t.data(), index.data(), u.data(), v.data(), threads);
        tree.occluded_batch(rays.origins.data(), rays.directions.data(), rays.limits.data(), n,
                            occluded.data(), threads);
        std::vector<std::string> answers;
        for (unsigned int i = 0; i < n; ++i)
            answers.push_back(ray_text(hit_bits({t[i], u[i], v[i], index[i]}), false, occluded[i]));
        return answers;
    };
    a.packet = [&tree](RayPacket rays, HitPacket hits, unsigned int shadow, float limit) {
        __m128i index;
        tree.intersect4(rays, hits, index, RenderState{0, shadow}, limit);
        return packet_bits(hits, index);
    };
    a.occluded4 = [&tree](const RayPacket& rays, const float* limits) {
        return tree.occluded4(rays, _mm_loadu_ps(limits));
    };
    a.packets = [&tree](const RayPacket* rays, HitPacket* hits, unsigned int count,
                        unsigned int shadow, float limit) {
        std::vector<__m128i> index(count);
        tree.intersect_packets(rays, hits, index.data(), count, RenderState{0, shadow}, limit);
        std::vector<std::string> texts;
        for (unsigned int p = 0; p < count; ++p)
            texts.push_back(packet_bits(hits[p], index[p]));
        return texts;
    };
    return a;
}

WideAnswers triangles_oracle(const std::vector<triAccel>& tris) {
    WideAnswers a;
    a.ray = [&tris](const float* o, const float* d, float limit) {
        return ray_text(hit_bits(oracle_nearest(tris, o, d, limit)), false,
                        oracle_occluded(tris, o, d, limit));
    };
    a.packet = [&tris](const RayPacket& rays, HitPacket hits, unsigned int shadow, float limit) {
        __m128i index;
        oracle_intersect4(tris, rays, hits, index, RenderState{0, shadow}, limit);
        return packet_bits(hits, index);
    };
    a.occluded4 = [&tris](const RayPacket& rays, const float* limits) {
        return oracle_occluded4(tris, rays, _mm_loadu_ps(limits));
    };
    return a;
}

void expect_texts(const std::vector<std::string>& got, const std::vector<std::string>& want,
                  const std::string& what, const std::function<std::string(std::size_t)>& note) {
    int shown = 0;
    for (std::size_t k = 0; k < std::max(got.size(), want.size()) && shown < 4; ++k) {
        const std::string g = k < got.size() ? got[k] : "none",
                          w = k < want.size() ? want[k] : "none";
        if (g != w && ++shown)
            ADD_FAILURE() << what << ", item " << k << (note ? note(k) : "") << ":\n " << g
                          << "\nexpected\n " << w;
    }
}

void for_each_kernel_level(const std::function<void(const std::string& level)>& check) {
    const gfxKernelLevel saved = gfxGetKernelLevel();
    for (gfxKernelLevel level : kernel_levels()) {
        ASSERT_TRUE(gfxSetKernelLevel(level));
        check(", kernels " + std::to_string(int(level)));
    }
    ASSERT_TRUE(gfxSetKernelLevel(saved));
}

WideAnswers one_ray_at_a_time(WideAnswers answers) {
    answers.batch = nullptr;
    return answers;
}

namespace {

// The packets' starting hits: t start in odd packets.
HitPacket start_hits(std::size_t p, float start) {
    return HitPacket{_mm_set1_ps(p % 2 ? start : 1e30f), _mm_set1_ps(7.0f), _mm_set1_ps(9.0f),
                     _mm_set1_epi32(-1)};
}

// A run of four packets' limit: limit but every third run.
float run_limit(std::size_t p, float limit) {
    return (p / 4) % 3 == 0 ? 1e30f : limit;
}

// intersect4 with and without shadow_rays, then occluded4, or (grouped)
// intersect_packets with and without shadow_rays on runs of four.
std::vector<std::string> packet_answers(const WideAnswers& answers,
                                        const std::vector<RayPacket>& packets, float start,
                                        float limit, bool grouped) {
    static const float kOccludedLimits[4] = {1e30f, 0.5f, 2.0f, 1e30f};
    std::vector<std::string> texts(packets.size());
    for (unsigned int shadow = 0; shadow < 2; ++shadow) {
        for (std::size_t first = 0; first < packets.size(); first += 4) {
            const unsigned int n = unsigned(std::min<std::size_t>(4, packets.size() - first));
            std::vector<HitPacket> hits;
            for (unsigned int p = 0; p < n; ++p)
                hits.push_back(start_hits(first + p, start));
            std::vector<std::string> run;
            if (grouped) {
                run = answers.packets(&packets[first], hits.data(), n, shadow,
                                      run_limit(first, limit));
            } else {
                for (unsigned int p = 0; p < n; ++p)
                    run.push_back(answers.packet(packets[first + p], hits[p], shadow,
                                                 run_limit(first, limit)));
            }
            for (unsigned int p = 0; p < n; ++p)
                texts[first + p] += "shadow " + std::to_string(shadow) + ": " + run[p] + "\n ";
        }
    }
    if (!grouped)
        for (std::size_t p = 0; p < packets.size(); ++p)
            texts[p] +=
                "occluded4 " + std::to_string(answers.occluded4(packets[p], kOccludedLimits));
    return texts;
}

// intersect_packets with and without shadow_rays on all the packets in
// runs of run (from the same starting hits), so that one call over many
// packets can be held against calls on runs of four.
std::vector<std::string> packets_in_runs(const WideAnswers& answers,
                                         const std::vector<RayPacket>& packets, float start,
                                         std::size_t run) {
    std::vector<std::string> texts(packets.size());
    for (unsigned int shadow = 0; shadow < 2; ++shadow) {
        std::vector<HitPacket> hits;
        for (std::size_t p = 0; p < packets.size(); ++p)
            hits.push_back(start_hits(p, start));
        for (std::size_t first = 0; first < packets.size(); first += run) {
            const unsigned int n = unsigned(std::min(run, packets.size() - first));
            const std::vector<std::string> got =
                answers.packets(&packets[first], &hits[first], n, shadow, 1e30f);
            for (unsigned int p = 0; p < n; ++p)
                texts[first + p] += "shadow " + std::to_string(shadow) + ": " + got[p] + "\n ";
        }
    }
    return texts;
}

// The texts of intersect4 alone, as the grouped answers give them.
std::vector<std::string> nearest_only(std::vector<std::string> texts) {
    for (std::string& text : texts)
        text.erase(text.rfind("occluded4"));
    return texts;
}

} // namespace

void expect_answers(const WideAnswers& got, const WideAnswers& want, const WideRays& rays,
                    const std::vector<RayPacket>& packets, unsigned int batch_threads, float start,
                    float limit, const std::string& where) {
    const std::vector<std::string> expected = answers_of(one_ray_at_a_time(want), rays, 1),
                                   expected_packets =
                                       packet_answers(want, packets, start, limit, false);
    const auto note = [&](std::size_t i) {
        return want.note ? want.note(&rays.origins[3 * i], &rays.directions[3 * i], rays.limits[i])
                         : std::string();
    };
    for_each_kernel_level([&](const std::string& level) {
        expect_texts(answers_of(one_ray_at_a_time(got), rays, 1), expected,
                     where + level + ", rays one at a time", note);
        for (unsigned int threads : {1u, batch_threads})
            expect_texts(answers_of(got, rays, threads), expected,
                         where + level + ", batch on " + std::to_string(threads) + " threads");
        expect_texts(packet_answers(got, packets, start, limit, false), expected_packets,
                     where + level + ", packets");
        if (got.packets) {
            expect_texts(packet_answers(got, packets, start, limit, true),
                         nearest_only(expected_packets), where + level + ", packets in fours");
            expect_texts(packets_in_runs(got, packets, start, packets.size()),
                         packets_in_runs(got, packets, start, 4),
                         where + level + ", packets in one call");
        }
    });
}

void expect_wide_oracle(const gfxRTWideBVH& tree, const std::vector<triAccel>& tris,
                        const WideRays& rays, const std::vector<RayPacket>& packets,
                        const std::string& where) {
    expect_answers(tree_answers(tree), triangles_oracle(tris), rays, packets, 3, 2.0f, 1.5f, where);
}
