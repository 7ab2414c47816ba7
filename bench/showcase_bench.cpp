// zrv's default scene (about 1.08 million triangles, small ones on a wide
// ground) beside Embree 3, one thread: the shadow rays zrv traces toward its
// light from the camera's hit points, as packets and one at a time, and the
// camera's rays from the default view and from eight times as far (about
// three scene diagonals; the field of view narrowed to frame the same
// image). The wide BVH's exact walk follows the kernel's rounding, whose
// reach outside a triangle grows with the square of the ray's distance over
// the triangle's size, so the distant camera shows what a distant view
// costs.
#include "BenchRegistration.h"
#include "BenchSummary.h"
#include "PrimaryRays.h"
#include "RayArrays.h"
#include "RayQuery.h"
#include "RandomRays.h"
#include "WideBVHTracing.h"
#include "zrvScenes.h"
#ifdef ZRV_BENCH_HAVE_EMBREE
#include "EmbreeRayQueries.h"
#include "EmbreeTracing.h"
#endif

#include <gfxRTWideBVH.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zrv {
namespace bench {

namespace {

const unsigned int SHOWCASE_WIDTH = 1280, SHOWCASE_HEIGHT = 720;
const unsigned int TILE = 32; // zrv's tiles: its shadow rays are traced tile by tile
const scenes::Vec3 TOWARD_LIGHT = {-0.45f, 1.0f, 0.6f};
const float DISTANT_FACTOR = 8.0f;

struct Showcase {
    std::vector<triAccel> triangles;
    gfxRTWideBVH tree;
    float diagonal = 1.0f;
    // Directions are scaled by the diagonal, as zrv scales them.
    std::vector<RayPacket> camera, distant_camera, shadow;
    std::string error;
#ifdef ZRV_BENCH_HAVE_EMBREE
    EmbreeTriangleBuffers buffers;
    RTCScene embree = nullptr;
#endif
};

scenes::Vec3 sub(scenes::Vec3 a, scenes::Vec3 b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}

std::vector<RayPacket> camera_packets(const PinholeCamera& camera, float scale) {
    std::vector<RayPacket> packets = primary_ray_packets(camera, SHOWCASE_WIDTH, SHOWCASE_HEIGHT);
    for (RayPacket& p : packets) {
        p.direction.x = _mm_mul_ps(p.direction.x, _mm_set1_ps(scale));
        p.direction.y = _mm_mul_ps(p.direction.y, _mm_set1_ps(scale));
        p.direction.z = _mm_mul_ps(p.direction.z, _mm_set1_ps(scale));
    }
    return packets;
}

// The shadow packet of camera packet p's hits, as zrv makes it: lanes whose
// surface faces the light start off it along the normal turned toward the
// camera, by a hundred-thousandth of the diagonal and a little more far
// from the origin. Returns false when no lane faces the light.
bool shadow_packet(const Showcase& s, const RayPacket& p, RayPacket& shadow) {
    HitPacket hits;
    hits.t = _mm_set1_ps(1e30f);
    hits.u = hits.v = _mm_setzero_ps();
    hits.id = _mm_set1_epi32(-1);
    RayPacket rays = p;
    RenderState state{};
    __m128i index;
    s.tree.intersect4(rays, hits, index, state, 1e30f);
    alignas(16) float t[4];
    alignas(16) int hit[4];
    _mm_store_ps(t, hits.t);
    _mm_store_si128(reinterpret_cast<__m128i*>(hit), index);
    const float light_length =
        std::sqrt(TOWARD_LIGHT.x * TOWARD_LIGHT.x + TOWARD_LIGHT.y * TOWARD_LIGHT.y +
                  TOWARD_LIGHT.z * TOWARD_LIGHT.z);
    const float light[3] = {TOWARD_LIGHT.x / light_length, TOWARD_LIGHT.y / light_length,
                            TOWARD_LIGHT.z / light_length};
    alignas(16) float origin[3][4];
    int active = 0;
    for (int l = 0; l < 4; ++l) {
        const LaneRay ray = lane_ray(p, l);
        for (int a = 0; a < 3; ++a)
            origin[a][l] = ray.origin[a];
        if (hit[l] < 0)
            continue;
        const float* normal = s.triangles[std::size_t(hit[l])].normal;
        float n[3] = {normal[0], normal[1], normal[2]};
        const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        const float facing =
            n[0] * ray.direction[0] + n[1] * ray.direction[1] + n[2] * ray.direction[2];
        const float sign = facing > 0.0f ? -1.0f / length : 1.0f / length;
        for (float& c : n)
            c *= sign;
        if (n[0] * light[0] + n[1] * light[1] + n[2] * light[2] <= 0.0f)
            continue;
        float point[3], magnitude = 0.0f;
        for (int a = 0; a < 3; ++a) {
            point[a] = ray.origin[a] + ray.direction[a] * t[l];
            magnitude = std::fmax(magnitude, std::fabs(point[a]));
        }
        const float offset = 1e-5f * s.diagonal + 4e-7f * magnitude;
        for (int a = 0; a < 3; ++a)
            origin[a][l] = point[a] + n[a] * offset;
        active |= 1 << l;
    }
    if (active == 0)
        return false;
    shadow.origin = sse_vec{_mm_load_ps(origin[0]), _mm_load_ps(origin[1]), _mm_load_ps(origin[2])};
    shadow.direction =
        sse_vec{_mm_set1_ps(light[0] * s.diagonal), _mm_set1_ps(light[1] * s.diagonal),
                _mm_set1_ps(light[2] * s.diagonal)};
    shadow.host_value = _mm_setzero_ps();
    shadow.host_word = 0;
    shadow.active_mask = active;
    return true;
}

const Showcase& showcase() {
    static const std::unique_ptr<Showcase> made = [] {
        std::unique_ptr<Showcase> s(new Showcase);
        s->triangles = scenes::default_scene();
        if (!s->tree.build(s->triangles.data(), unsigned(s->triangles.size()), 2)) {
            s->error = "the wide BVH of the default scene could not be built";
            return s;
        }
        const Box box = triangles_box(s->triangles);
        const scenes::Vec3 extent = sub(box.high, box.low);
        s->diagonal = std::sqrt(extent.x * extent.x + extent.y * extent.y + extent.z * extent.z);

        const scenes::SceneView view = scenes::default_scene_view();
        const PinholeCamera near{view.eye, view.look_at, view.up, view.vertical_fov_degrees};
        s->camera = camera_packets(near, s->diagonal);
        const scenes::Vec3 back = sub(view.eye, view.look_at);
        const double pi = 3.14159265358979;
        const float narrowed_fov =
            float(std::atan(std::tan(view.vertical_fov_degrees * pi / 360.0) / DISTANT_FACTOR) *
                  360.0 / pi);
        const PinholeCamera far{{view.look_at.x + back.x * DISTANT_FACTOR,
                                 view.look_at.y + back.y * DISTANT_FACTOR,
                                 view.look_at.z + back.z * DISTANT_FACTOR},
                                view.look_at,
                                view.up,
                                narrowed_fov};
        s->distant_camera = camera_packets(far, s->diagonal);

        // Shadow packets tile by tile, as zrv traces them.
        const unsigned int blocks_across = SHOWCASE_WIDTH / 2;
        for (unsigned int ty = 0; ty < SHOWCASE_HEIGHT; ty += TILE)
            for (unsigned int tx = 0; tx < SHOWCASE_WIDTH; tx += TILE)
                for (unsigned int y = ty; y < ty + TILE && y < SHOWCASE_HEIGHT; y += 2)
                    for (unsigned int x = tx; x < tx + TILE && x < SHOWCASE_WIDTH; x += 2) {
                        RayPacket shadow;
                        if (shadow_packet(*s, s->camera[(y / 2) * blocks_across + x / 2], shadow))
                            s->shadow.push_back(shadow);
                    }
#ifdef ZRV_BENCH_HAVE_EMBREE
        s->buffers = embree_triangle_buffers(s->triangles);
        s->embree = build_embree_scene(single_thread_device(), s->buffers, RTC_BUILD_QUALITY_HIGH);
        if (!s->embree)
            s->error = "Embree's scene of the default scene could not be built";
#endif
        return s;
    }();
    return *made;
}

enum class ShowcaseRays { SHADOW, CAMERA, DISTANT_CAMERA };

const std::vector<RayPacket>& packets_of(const Showcase& s, ShowcaseRays rays) {
    return rays == ShowcaseRays::SHADOW   ? s.shadow
           : rays == ShowcaseRays::CAMERA ? s.camera
                                          : s.distant_camera;
}

struct ShowcaseFigure {
    const char* name;
    ShowcaseRays rays;
    RayQuery query;
};

// Shadow rays ask for occlusion, camera rays for the nearest hit. Every set
// is coherent, and Embree is told so.
const ShowcaseFigure SHOWCASE_FIGURES[] = {
    {"shadow_packets", ShowcaseRays::SHADOW, RayQuery::OCCLUDED_PACKETS},
    {"shadow_single", ShowcaseRays::SHADOW, RayQuery::OCCLUDED_ONE_RAY},
    {"camera_single", ShowcaseRays::CAMERA, RayQuery::ONE_RAY},
    {"distant_camera_single", ShowcaseRays::DISTANT_CAMERA, RayQuery::ONE_RAY},
};

FrameTrace trace_wide(const Showcase& s, const ShowcaseFigure& figure) {
    const std::vector<RayPacket>& packets = packets_of(s, figure.rays);
    return trace_run_wide(s.tree, figure.query, packets.data(), packets.size(), nullptr, nullptr);
}

#ifdef ZRV_BENCH_HAVE_EMBREE
FrameTrace trace_embree(const Showcase& s, const ShowcaseFigure& figure) {
    const std::vector<RayPacket>& packets = packets_of(s, figure.rays);
    return trace_run_embree_query(s.embree, figure.query, true, packets.data(), packets.size(),
                                  nullptr, nullptr);
}
#endif

// Rays per second of the wide BVH's runs, by figure, for the ratios.
std::map<std::string, double>& wide_rates() {
    static std::map<std::string, double> rates;
    return rates;
}

template <class Trace>
double measure(benchmark::State& state, const ShowcaseFigure& figure, Trace trace) {
    const Showcase& s = showcase();
    FrameTrace run;
    double seconds = 0.0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        run = trace(s, figure);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        benchmark::DoNotOptimize(run.hits);
    }
    const double rate =
        seconds > 0.0 ? double(state.iterations()) * double(run.rays) / seconds : 0.0;
    state.counters["rays"] = double(run.rays);
    state.counters["hits"] = double(run.hits);
    state.counters["Mrays/s"] = rate * 1e-6;
    return rate;
}

void run_wide(benchmark::State& state, ShowcaseFigure figure) {
    if (!showcase().error.empty()) {
        state.SkipWithError(showcase().error.c_str());
        return;
    }
    wide_rates()[figure.name] = measure(state, figure, trace_wide);
}

#ifdef ZRV_BENCH_HAVE_EMBREE
void run_embree(benchmark::State& state, ShowcaseFigure figure) {
    if (!showcase().error.empty()) {
        state.SkipWithError(showcase().error.c_str());
        return;
    }
    const double rate = measure(state, figure, trace_embree);
    const auto wide = wide_rates().find(figure.name);
    if (wide != wide_rates().end() && rate > 0.0) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "Default scene %s: wide BVH %.2f Mrays/s, Embree %.2f Mrays/s, ratio %.2fx",
                      figure.name, wide->second * 1e-6, rate * 1e-6, wide->second / rate);
        set_summary_note(std::string("showcase ") + figure.name, line);
    }
}
#endif

} // namespace

void register_showcase_benchmarks() {
    for (const ShowcaseFigure& figure : SHOWCASE_FIGURES) {
        benchmark::RegisterBenchmark(
            (std::string("showcase_trace/") + figure.name + "_1thread/widebvh").c_str(), run_wide,
            figure)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
#ifdef ZRV_BENCH_HAVE_EMBREE
        benchmark::RegisterBenchmark(
            (std::string("showcase_trace/") + figure.name + "_1thread/embree").c_str(), run_embree,
            figure)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
#endif
    }
}

} // namespace bench
} // namespace zrv
