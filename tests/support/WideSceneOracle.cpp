#include "WideSceneOracle.h"

#include "OracleRays.h"
#include "WideOracle.h"
#include "zrvScenes.h"
#include "zrvSceneShapes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

// Each lane carried into instance k's space; the active mask comes along.
RayPacket carried_packet(const SceneLayout& layout, std::size_t k, const RayPacket& rays) {
    float f[6][4];
    packet_rows(rays, f);
    alignas(16) float g[6][4];
    for (int l = 0; l < 4; ++l) {
        const float o[3] = {f[0][l], f[1][l], f[2][l]}, d[3] = {f[3][l], f[4][l], f[5][l]};
        float oo[3], od[3];
        carry_into(layout, k, o, d, oo, od);
        for (int a = 0; a < 3; ++a) {
            g[a][l] = oo[a];
            g[3 + a][l] = od[a];
        }
    }
    RayPacket out = rays;
    out.origin = sse_vec{_mm_load_ps(g[0]), _mm_load_ps(g[1]), _mm_load_ps(g[2])};
    out.direction = sse_vec{_mm_load_ps(g[3]), _mm_load_ps(g[4]), _mm_load_ps(g[5])};
    return out;
}

void world_point(const float* m, const float* p, float* out) {
    for (int r = 0; r < 3; ++r)
        out[r] = float(double(m[4 * r]) * p[0] + double(m[4 * r + 1]) * p[1] +
                       double(m[4 * r + 2]) * p[2] + m[4 * r + 3]);
}

zrv::scenes::Bounds finite_bounds(const std::vector<triAccel>& tris) {
    zrv::scenes::Bounds b{{1e30f, 1e30f, 1e30f}, {-1e30f, -1e30f, -1e30f}};
    for (const triAccel& t : tris)
        for (const float* v : {t.vertex0, t.vertex1, t.vertex2})
            for (int a = 0; a < 3; ++a)
                if (std::isfinite(v[a]) && std::fabs(v[a]) < 1e6f) {
                    b.min[a] = std::fmin(b.min[a], v[a]);
                    b.max[a] = std::fmax(b.max[a], v[a]);
                }
    return b;
}

// Triangles the trees leave out (repeated vertices, a NaN vertex), a sliver,
// and the same triangle three times, within the unit box.
std::vector<triAccel> degenerate_mesh() {
    zrv::scenes::Mesh mesh;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int g = 0; g < 8; ++g) {
        const float x = -0.8f + 0.2f * g, y = 0.1f * (g % 3), z = -0.3f * (g % 2);
        const zrv::scenes::Vec3 a0{x, y, z}, a1{x + 0.4f, y + 0.1f, z + 0.05f},
            a2{x + 0.1f, y + 0.3f, z - 0.15f};
        mesh.add_triangle(a0, a1, a2);
        mesh.add_triangle(a1, a1, a1);
        mesh.add_triangle(a0, a0, a2);
        mesh.add_triangle(a0, a1, a2);
        mesh.add_triangle(a1, a2, a0);
        mesh.add_triangle(a0, a1, zrv::scenes::Vec3{x, nan, z});
        zrv::scenes::Vec3 apex{x + 0.4f, y - 0.2f, z};
        apex.y = std::nextafter(std::nextafter(apex.y, 1.0f), 1.0f);
        mesh.add_triangle(zrv::scenes::Vec3{x, y - 0.2f, z},
                          zrv::scenes::Vec3{x + 0.8f, y - 0.2f, z}, apex);
    }
    return mesh.finalize();
}

} // namespace

std::vector<triAccel> world_triangles(const SceneLayout& layout) {
    std::vector<triAccel> world;
    for (const SceneLayout::Placement& p : layout.instances)
        for (triAccel t : layout.meshes[p.mesh]) {
            for (float* v : {t.vertex0, t.vertex1, t.vertex2}) {
                const float local[3] = {v[0], v[1], v[2]};
                world_point(p.transform, local, v);
            }
            world.push_back(t);
        }
    return world;
}

void build_scene(const SceneLayout& layout, gfxRTWideScene& scene, unsigned int threads) {
    for (const std::vector<triAccel>& mesh : layout.meshes)
        ASSERT_EQ(scene.add_mesh(mesh.data(), unsigned(mesh.size()), threads),
                  int(scene.mesh_count()));
    for (const SceneLayout::Placement& p : layout.instances) {
        ASSERT_EQ(scene.add_instance(p.mesh, p.transform), GFX_WIDE_INSTANCE_DONE);
        if (!p.enabled) {
            ASSERT_EQ(scene.set_enabled(scene.instance_count() - 1, false), GFX_WIDE_INSTANCE_DONE);
        }
    }
    ASSERT_TRUE(scene.commit(threads));
}

void random_transform(std::mt19937& rng, float spread, float m[12]) {
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::uniform_real_distribution<double> scale(0.6, 2.0), shear(-0.5, 0.5), move(-spread, spread);
    double q[4];
    double norm = 0.0;
    for (double& x : q) {
        x = gauss(rng);
        norm += x * x;
    }
    norm = std::sqrt(norm);
    for (double& x : q)
        x /= norm;
    const double w = q[0], x = q[1], y = q[2], z = q[3];
    const double rotation[3][3] = {
        {1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
        {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
        {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
    double s[3] = {scale(rng), scale(rng), scale(rng)};
    if (rng() % 3 == 0)
        s[rng() % 3] *= -1.0;
    const double sh[3][3] = {{1, shear(rng), 0}, {0, 1, shear(rng)}, {shear(rng), 0, 1}};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            double sum = 0.0;
            for (int k = 0; k < 3; ++k)
                sum += rotation[r][k] * s[k] * sh[k][c];
            m[4 * r + c] = float(sum);
        }
        m[4 * r + 3] = float(move(rng));
    }
}

SceneLayout random_instanced_scene(unsigned int seed) {
    SceneLayout layout;
    zrv::scenes::Mesh shapes;
    shapes.append(zrv::scenes::uv_sphere({0, 0, 0}, 1.0f, 12, 6));
    shapes.append(zrv::scenes::box_grid({-1, -1, -1}, 2, 2, 2, 0.5f, 1.0f));
    layout.meshes.push_back(shapes.finalize());
    layout.meshes.push_back(zrv::scenes::random_triangle_soup(
        400, zrv::scenes::Bounds{{-1, -1, -1}, {1, 1, 1}}, 0.4f, seed));
    layout.meshes.push_back({}); // empty
    triAccel one{};
    const float v[3][3] = {{-1, -1, 0}, {1, -1, 0}, {0, 1, 0}};
    std::memcpy(one.vertex0, v[0], sizeof v[0]);
    std::memcpy(one.vertex1, v[1], sizeof v[1]);
    std::memcpy(one.vertex2, v[2], sizeof v[2]);
    one.normal[2] = 1.0f;
    layout.meshes.push_back({one});
    layout.meshes.push_back(degenerate_mesh());
    for (std::vector<triAccel>& mesh : layout.meshes)
        mix_triangle_flags(mesh);

    std::mt19937 rng(seed);
    const unsigned int placements[] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1,
                                       1, 1, 1, 2, 2, 3, 3, 3, 4, 4, 0, 1, 3};
    for (unsigned int mesh : placements) {
        SceneLayout::Placement p;
        p.mesh = mesh;
        random_transform(rng, 3.0f, p.transform);
        layout.instances.push_back(p);
        // Every fourth placed twice, the copy with the same transform.
        if (layout.instances.size() % 4 == 0)
            layout.instances.push_back(p);
    }
    // An identity placement, aligned with the world's axes.
    SceneLayout::Placement identity{0, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}};
    layout.instances.push_back(identity);
    return layout;
}

SceneLayout spread_scene(unsigned int count, float spread, unsigned int seed) {
    SceneLayout layout;
    layout.meshes.push_back(random_instanced_scene(12).meshes[0]);
    zrv::scenes::Mesh sphere;
    sphere.append(zrv::scenes::uv_sphere({0.5f, 0, 0}, 0.7f, 10, 5));
    layout.meshes.push_back(sphere.finalize());
    mix_triangle_flags(layout.meshes[1]);
    std::mt19937 rng(seed);
    for (unsigned int i = 0; i < count; ++i) {
        SceneLayout::Placement p{i % 3 == 2 ? 1u : 0u, {}};
        random_transform(rng, spread, p.transform);
        layout.instances.push_back(p);
    }
    return layout;
}

WideRays scene_rays(const SceneLayout& layout, int count, unsigned int seed) {
    const std::vector<triAccel> world = world_triangles(layout);
    const zrv::scenes::Bounds b = finite_bounds(world);
    WideRays rays = lane_rays(random_single_lane_packets(world, b, count, seed), 12.0f, seed);
    std::mt19937 rng(seed + 1);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    // Aimed at vertices, where neighbouring triangles meet, from near and
    // from ten times the scene's size away.
    float size = 0.0f;
    for (int a = 0; a < 3; ++a)
        size = std::fmax(size, b.max[a] - b.min[a]);
    for (int i = 0; i < count / 2 && !world.empty(); ++i) {
        const triAccel& t = world[rng() % world.size()];
        const float* target = i % 3 == 0 ? t.vertex0 : i % 3 == 1 ? t.vertex1 : t.vertex2;
        if (!std::isfinite(target[0]) || !std::isfinite(target[1]) || !std::isfinite(target[2]))
            continue;
        const float reach = i % 2 == 0 ? 0.6f * size : 2.0f * size;
        const float o[3] = {target[0] + reach * unit(rng), target[1] + reach * unit(rng),
                            target[2] + reach * unit(rng)};
        const float d[3] = {target[0] - o[0], target[1] - o[1], target[2] - o[2]};
        rays.add(o, d, i % 3 == 0 ? std::numeric_limits<float>::infinity() : 2.0f);
    }
    return rays;
}

WideRays scene_camera_rays(const SceneLayout& layout, unsigned int seed) {
    WideRays rays = camera_batch_rays(finite_bounds(world_triangles(layout)), 12.0f, seed);
    // A narrow view of the first instance from a diagonal of its box away: a
    // run's rays stay within about a leaf of each other in its space, so
    // they walk its mesh as one group.
    SceneLayout first = layout;
    first.instances.resize(1);
    append(rays, camera_batch_rays(finite_bounds(world_triangles(first)), 12.0f, seed + 1, 0.1f));
    return rays;
}

std::vector<RayPacket> scene_packets(const SceneLayout& layout, const WideRays& rays,
                                     unsigned seed) {
    const zrv::scenes::Bounds b = finite_bounds(world_triangles(layout));
    std::vector<RayPacket> packets = incoherent_packets(b, 300, seed);
    append(packets, one_point_packets(packets, 300));
    append(packets, camera_packets(b, 16, 16, 0.7f));
    WideRays some;
    for (unsigned int i = 0; i < rays.size() && i < 600; ++i)
        some.add(&rays.origins[3 * i], &rays.directions[3 * i], rays.limits[i]);
    // A camera's neighbouring blocks in fours, also with the first of each
    // run idle, starting at a run's start so that the runs walk the scene as
    // groups: within a degree or two, so that a group's lanes part at the
    // edges of instances.
    packets.resize((packets.size() + 3) / 4 * 4, packets.back());
    WideRays few;
    for (unsigned int i = 0; i < some.size() && i < 150; ++i)
        few.add(&some.origins[3 * i], &some.directions[3 * i], some.limits[i]);
    const std::vector<RayPacket> narrow = narrow_packets(few, seed, 0.02f);
    append(packets, idle_leads(narrow));
    append(packets, narrow);
    append(packets, facing_pairs(some));
    append(packets, parallel_packets(some));
    // Shadow rays towards a distant light from neighbouring points: one
    // direction, origins apart across it as well.
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> apart(-0.05f, 0.05f);
    for (RayPacket p : parallel_packets(some)) {
        for (__m128* row : {&p.origin.x, &p.origin.y, &p.origin.z})
            *row = _mm_add_ps(*row, _mm_setr_ps(0.0f, apart(rng), apart(rng), apart(rng)));
        packets.push_back(p);
    }
    return packets;
}

void carry_into(const SceneLayout& layout, std::size_t k, const float* origin,
                const float* direction, float* carried_origin, float* carried_direction) {
    float inverse[12];
    EXPECT_TRUE(gfxRTWideScene::invert_transform(layout.instances[k].transform, inverse));
    gfxRTWideScene::carry_ray(inverse, origin, direction, carried_origin, carried_direction);
}

std::string scene_hit_bits(const gfxRTWideSceneHit& h) {
    return hit_bits(gfxRTWideHit{h.t, h.u, h.v, h.index}) + " instance " +
           std::to_string(h.instance);
}

WideAnswers scene_answers(const gfxRTWideScene& scene) {
    WideAnswers a;
    a.ray = [&scene](const float* o, const float* d, float limit) {
        gfxRTWideSceneHit hit;
        const bool found = scene.intersect1(o, d, limit, hit);
        return ray_text(scene_hit_bits(hit), found != (hit.index >= 0),
                        scene.occluded1(o, d, limit));
    };
    a.batch = [&scene](const WideRays& rays, unsigned int threads) {
        const unsigned int n = rays.size();
        std::vector<float> t(n), u(n), v(n);
        std::vector<int> index(n), instance(n);
        std::vector<unsigned char> occluded(n);
        scene.intersect_batch(rays.origins.data(), rays.directions.data(), rays.limits.data(), n,
                              t.data(), index.data(), instance.data(), u.data(), v.data(), threads);
        scene.occluded_batch(rays.origins.data(), rays.directions.data(), rays.limits.data(), n,
                             occluded.data(), threads);
        std::vector<std::string> answers;
        for (unsigned int i = 0; i < n; ++i)
            answers.push_back(ray_text(scene_hit_bits({t[i], u[i], v[i], index[i], instance[i]}),
                                       false, occluded[i]));
        return answers;
    };
    a.packet = [&scene](RayPacket rays, HitPacket hits, unsigned int shadow, float limit) {
        __m128i index, instance;
        scene.intersect4(rays, hits, index, instance, RenderState{0, shadow}, limit);
        return packet_bits(hits, index) + " instances " + packet_bits(hits, instance);
    };
    a.occluded4 = [&scene](const RayPacket& rays, const float* limits) {
        return scene.occluded4(rays, _mm_loadu_ps(limits));
    };
    a.packets = [&scene](const RayPacket* rays, HitPacket* hits, unsigned int count,
                         unsigned int shadow, float limit) {
        std::vector<__m128i> index(count), instance(count);
        scene.intersect_packets(rays, hits, index.data(), instance.data(), count,
                                RenderState{0, shadow}, limit);
        std::vector<std::string> texts;
        for (unsigned int p = 0; p < count; ++p)
            texts.push_back(packet_bits(hits[p], index[p]) + " instances " +
                            packet_bits(hits[p], instance[p]));
        return texts;
    };
    return a;
}

const std::vector<triAccel>& placed_mesh(const SceneLayout& layout, std::size_t k) {
    static const std::vector<triAccel> nothing;
    const SceneLayout::Placement& p = layout.instances[k];
    return p.enabled ? layout.meshes[p.mesh] : nothing;
}

namespace {

// Only a strictly nearer t replaces a hit: equal t goes to the lower
// instance.
gfxRTWideSceneHit oracle_scene_nearest(const SceneLayout& layout, const float* origin,
                                       const float* direction, float limit) {
    gfxRTWideSceneHit best{limit, 0.0f, 0.0f, -1, -1};
    for (std::size_t k = 0; k < layout.instances.size(); ++k) {
        float o[3], d[3];
        carry_into(layout, k, origin, direction, o, d);
        const gfxRTWideHit hit = oracle_nearest(placed_mesh(layout, k), o, d, best.t);
        if (hit.index >= 0)
            best = gfxRTWideSceneHit{hit.t, hit.u, hit.v, hit.index, int(k)};
    }
    return best;
}

} // namespace

WideAnswers scene_oracle(const SceneLayout& layout, const gfxRTWideScene& scene) {
    WideAnswers a;
    a.ray = [&layout](const float* origin, const float* direction, float limit) {
        bool occluded = false;
        for (std::size_t k = 0; k < layout.instances.size() && !occluded; ++k) {
            float o[3], d[3];
            carry_into(layout, k, origin, direction, o, d);
            occluded = oracle_occluded(placed_mesh(layout, k), o, d, limit);
        }
        return ray_text(scene_hit_bits(oracle_scene_nearest(layout, origin, direction, limit)),
                        false, occluded);
    };
    a.packet = [&layout](const RayPacket& rays, HitPacket hits, unsigned int shadow, float limit) {
        alignas(16) int index[4] = {-1, -1, -1, -1}, instance[4] = {-1, -1, -1, -1};
        for (std::size_t k = 0; k < layout.instances.size(); ++k) {
            alignas(16) int lanes[4];
            __m128i found;
            oracle_intersect4(placed_mesh(layout, k), carried_packet(layout, k, rays), hits, found,
                              RenderState{0, shadow}, limit);
            _mm_store_si128(reinterpret_cast<__m128i*>(lanes), found);
            for (int l = 0; l < 4; ++l)
                if (lanes[l] >= 0) {
                    index[l] = lanes[l];
                    instance[l] = int(k);
                }
        }
        const auto load = [](const int* v) {
            return _mm_load_si128(reinterpret_cast<const __m128i*>(v));
        };
        return packet_bits(hits, load(index)) + " instances " + packet_bits(hits, load(instance));
    };
    a.occluded4 = [&layout](const RayPacket& rays, const float* limits) {
        int occluded = 0;
        for (std::size_t k = 0; k < layout.instances.size(); ++k)
            occluded |= oracle_occluded4(placed_mesh(layout, k), carried_packet(layout, k, rays),
                                         _mm_loadu_ps(limits));
        return occluded;
    };
    a.note = [&layout, &scene](const float* origin, const float* direction, float limit) {
        const gfxRTWideSceneHit expected = oracle_scene_nearest(layout, origin, direction, limit);
        if (expected.instance < 0)
            return std::string();
        float o[3], d[3];
        gfxRTWideHit hit;
        carry_into(layout, std::size_t(expected.instance), origin, direction, o, d);
        scene.mesh(layout.instances[std::size_t(expected.instance)].mesh)
            .intersect1(o, d, limit, hit);
        return "; its mesh's tree alone: " + hit_bits(hit);
    };
    return a;
}

void expect_scene_oracle(const gfxRTWideScene& scene, const SceneLayout& layout,
                         const WideRays& rays, const std::vector<RayPacket>& packets,
                         const std::string& where) {
    expect_answers(scene_answers(scene), scene_oracle(layout, scene), rays, packets, 4, 4.0f, 3.0f,
                   where);
}
