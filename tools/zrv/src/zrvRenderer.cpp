#include "zrvRenderer.h"

#include "zrvPacketTracer.h"
#include "zrvPlacements.h"
#include "zrvTriangleRecord.h"

#include <gfxMath.h>
#include <gfxRTOrderedSamples.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <time.h>
#include <vector>

namespace zrv {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int tile_size = 32; // a multiple of 4, so that 4x4 blocks never straddle tiles

double seconds_between(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double>(end - start).count();
}

// Processor time of the calling thread: what its work cost, whether or not it
// had a processor to itself meanwhile.
double thread_seconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

const gfxRTOrderedSamples::SampleSet sample_sets[] = {
    gfxRTOrderedSamples::SAMPLES_8, gfxRTOrderedSamples::SAMPLES_16,
    gfxRTOrderedSamples::SAMPLES_36, gfxRTOrderedSamples::SAMPLES_64,
    gfxRTOrderedSamples::SAMPLES_128};

// The library's sample set of count samples, or false.
bool sample_set_of(int count, gfxRTOrderedSamples::SampleSet& set) {
    for (std::size_t k = 0; k < sizeof(ao_sample_counts) / sizeof(ao_sample_counts[0]); ++k)
        if (ao_sample_counts[k] == count) {
            set = sample_sets[k];
            return true;
        }
    return false;
}

// What a primary ray found, kept per pixel of the tile being rendered.
struct SurfaceSample {
    bool hit = false;
    bool lit = false; // faces the light and no shadow ray was blocked
    Vec3 point;       // hit point
    Vec3 normal;      // unit, turned towards the camera
    unsigned int material = 0;
    float visibility = 1.0f; // unoccluded share of the hemisphere
};

// The primary rays of a block of 4x4 pixels at (x, y), four 2x2 packets,
// with their hits.
struct PrimaryBlock {
    RayPacket rays[4];
    HitPacket hits[4];
    __m128i hit_instance[4];
    int x = 0, y = 0;
};

struct alignas(64) WorkerCounters {
    RayFigures primary, shadow, ambient_occlusion;
    double thread_seconds = 0.0;
};

// Lane k of a 2x2 packet at (x, y) is pixel (x + (k & 1), y + (k >> 1)).
inline int lane_x(int x, int lane) {
    return x + (lane & 1);
}
inline int lane_y(int y, int lane) {
    return y + (lane >> 1);
}

class TileRenderer {
public:
    TileRenderer(const SceneStructure& structure, const triAccel* triangles, std::size_t count,
                 const Camera& camera, const RenderSettings& settings, unsigned int thread_index,
                 Image& image, WorkerCounters& counters)
        : structure_(structure), triangles_(triangles), count_(count), camera_(camera),
          settings_(settings), image_(image), counters_(counters), samples_(tile_size * tile_size) {
        state_.thread_index = thread_index;
        state_.shadow_rays = 0;
        shadow_state_.thread_index = thread_index;
        shadow_state_.shadow_rays = 1;
        to_light_ = normalize(settings.toward_light);

        // Ray directions are scaled to the scene's size so that the traversal's
        // minimum hit distance, and the offset of shadow ray origins, are
        // small relative to the scene whatever its units.
        const float diagonal = structure.bounds().diagonal();
        ray_scale_ = diagonal > 0.0f && std::isfinite(diagonal) ? diagonal : 1.0f;
        shadow_offset_ = 1e-5f * ray_scale_;

        gfxRTOrderedSamples::SampleSet set;
        const gfxRTOrderedSamples* samples = gfxRTOrderedSamples::Instance();
        if (settings.ao_samples > 0 && samples != nullptr &&
            sample_set_of(settings.ao_samples, set)) {
            ao_records_ = samples->get_set(set);
            ao_count_ = int(samples->get_set_size(set));
            ao_threshold_ = int(samples->get_adaptive_threshold(set));
            // Distances in units of the scaled ray directions.
            const float distance =
                settings.ao_distance > 0.0f ? settings.ao_distance : 0.02f * ray_scale_;
            ao_limit_ = distance / ray_scale_;
        }
    }

    void render(int tile_x, int tile_y) {
        const int x0 = tile_x * tile_size, y0 = tile_y * tile_size;
        const int x1 = std::min(x0 + tile_size, camera_.width());
        const int y1 = std::min(y0 + tile_size, camera_.height());

        const double start = thread_seconds();
        // Each block's hits are kept while the next block is traced, so that
        // the loads of their records overlap that work.
        PrimaryBlock blocks[2];
        const PrimaryBlock* waiting = nullptr; // traced, its hits not yet kept
        for (int y = y0; y < y1; y += 4)
            for (int x = x0; x < x1; x += 4) {
                PrimaryBlock& block = blocks[waiting == &blocks[0] ? 1 : 0];
                trace_primary(x, y, x1, y1, block);
                if (waiting != nullptr)
                    keep_primary_hits(*waiting, x0, y0);
                waiting = &block;
            }
        if (waiting != nullptr)
            keep_primary_hits(*waiting, x0, y0);
        const double primary_done = thread_seconds();
        for (int y = y0; y < y1; y += 2)
            for (int x = x0; x < x1; x += 2)
                trace_shadows(x, y, x0, y0, x1, y1);
        const double shadows_done = thread_seconds();
        if (ao_records_ != nullptr)
            for (int y = y0; y < y1; ++y)
                for (int x = x0; x < x1; ++x)
                    trace_ambient_occlusion(sample(x, y, x0, y0));
        const double occlusion_done = thread_seconds();
        counters_.primary.thread_seconds += primary_done - start;
        counters_.shadow.thread_seconds += shadows_done - primary_done;
        counters_.ambient_occlusion.thread_seconds += occlusion_done - shadows_done;

        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                shade(x, y, sample(x, y, x0, y0));
    }

private:
    SurfaceSample& sample(int x, int y, int x0, int y0) {
        return samples_[(y - y0) * tile_size + (x - x0)];
    }

    static RayPacket make_packet(__m128 ox, __m128 oy, __m128 oz, __m128 dx, __m128 dy, __m128 dz,
                                 int active_mask) {
        RayPacket rays;
        rays.origin = sse_vec{ox, oy, oz};
        rays.direction = sse_vec{dx, dy, dz};
        rays.host_value = _mm_setzero_ps();
        rays.host_word = 0;
        rays.active_mask = active_mask;
        return rays;
    }

    static int lanes_inside(int x, int y, int x1, int y1) {
        int mask = 0;
        for (int lane = 0; lane < 4; ++lane)
            if (lane_x(x, lane) < x1 && lane_y(y, lane) < y1)
                mask |= 1 << lane;
        return mask;
    }

    // The primary rays of the 4x4 pixels at (x, y): four 2x2 packets, traced
    // together so that a wide BVH walks them as one. The loads of the hit
    // triangles' records start at once: a wide BVH walks its own copy of the
    // triangles, so the host's records are cold.
    void trace_primary(int x, int y, int x1, int y1, PrimaryBlock& block) {
        block.x = x;
        block.y = y;
        for (int p = 0; p < 4; ++p) {
            block.rays[p] = primary_packet(x + 2 * (p & 1), y + 2 * (p >> 1), x1, y1);
            clear_hits(block.hits[p]);
        }
        structure_.trace_packets(block.rays, block.hits, block.hit_instance, 4, state_,
                                 no_distance_limit);
        for (int p = 0; p < 4; ++p)
            prefetch_surfaces(block.hits[p], block.hit_instance[p]);
    }

    void keep_primary_hits(const PrimaryBlock& block, int x0, int y0) {
        for (int p = 0; p < 4; ++p)
            keep_primary_hits(block.x + 2 * (p & 1), block.y + 2 * (p >> 1), x0, y0, block.rays[p],
                              block.hits[p], block.hit_instance[p]);
    }

    // The camera's packet of the 2x2 pixels at (x, y), active for the lanes
    // inside the image. Lanes outside it repeat lane 0's ray so that the
    // packet stays coherent.
    RayPacket primary_packet(int x, int y, int x1, int y1) const {
        const int inside = lanes_inside(x, y, x1, y1);
        __m128 d[3];
        camera_.block_directions(x, y, ray_scale_, d[0], d[1], d[2]);
        for (int a = 0; a < 3; ++a)
            d[a] = _mm_or_ps(_mm_and_ps(masktable4[inside], d[a]),
                             _mm_andnot_ps(masktable4[inside], _mm_shuffle_ps(d[a], d[a], 0)));
        return make_packet(_mm_set1_ps(camera_.eye().x), _mm_set1_ps(camera_.eye().y),
                           _mm_set1_ps(camera_.eye().z), d[0], d[1], d[2], inside);
    }

    // Starts the loads of the records of a packet's hits. Inlined: a call to
    // a function whose only effect is a prefetch counts as dead to GCC.
    __attribute__((always_inline)) void prefetch_surfaces(const HitPacket& hits,
                                                          __m128i hit_instance) const {
        alignas(16) int id[4], instance[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(id), hits.id);
        _mm_store_si128(reinterpret_cast<__m128i*>(instance), hit_instance);
        for (int lane = 0; lane < 4; ++lane)
            if (const triAccel* record = record_of(id[lane], instance[lane])) {
                // A record may straddle two cache lines.
                __builtin_prefetch(record);
                __builtin_prefetch(&record->casts_shadow);
            }
    }

    void keep_primary_hits(int x, int y, int x0, int y0, const RayPacket& rays,
                           const HitPacket& hits, __m128i hit_instance) {
        const int inside = rays.active_mask;
        alignas(16) float t[4], dx[4], dy[4], dz[4];
        alignas(16) int id[4], instance[4];
        _mm_store_ps(t, hits.t);
        _mm_store_ps(dx, rays.direction.x);
        _mm_store_ps(dy, rays.direction.y);
        _mm_store_ps(dz, rays.direction.z);
        _mm_store_si128(reinterpret_cast<__m128i*>(id), hits.id);
        _mm_store_si128(reinterpret_cast<__m128i*>(instance), hit_instance);
        for (int lane = 0; lane < 4; ++lane) {
            if ((inside & (1 << lane)) == 0)
                continue;
            SurfaceSample& s = sample(lane_x(x, lane), lane_y(y, lane), x0, y0);
            s = SurfaceSample();
            Vec3 n;
            if (!surface_of(id[lane], instance[lane], n, s.material))
                continue;
            const Vec3 d(dx[lane], dy[lane], dz[lane]);
            if (dot(n, d) > 0.0f)
                n = n * -1.0f;
            s.hit = true;
            s.point = camera_.eye() + d * t[lane];
            s.normal = n;
            s.lit = dot(n, to_light_) > 0.0f;
        }
        counters_.primary.rays += static_cast<unsigned>(__builtin_popcount(inside));
    }

    // The record of the triangle a primary ray hit: id in the scene's
    // triangles, or in the mesh of the wide scene's instance. Null for a miss.
    const triAccel* record_of(int id, int instance) const {
        if (id < 0)
            return nullptr;
        if (structure_.kind != StructureKind::wide_scene)
            return static_cast<std::size_t>(id) < count_ ? &triangles_[id] : nullptr;
        const gfxRTWideScene& scene = *structure_.scene;
        if (instance < 0 || static_cast<unsigned int>(instance) >= scene.instance_count())
            return nullptr;
        const std::vector<triAccel>& mesh =
            (*structure_.scene_meshes)[scene.instance_mesh(static_cast<unsigned int>(instance))];
        return static_cast<std::size_t>(id) < mesh.size() ? &mesh[id] : nullptr;
    }

    // The unit normal in world space and the material of the triangle a
    // primary ray hit. False for a miss.
    bool surface_of(int id, int instance, Vec3& normal, unsigned int& material) const {
        const triAccel* record = record_of(id, instance);
        if (record == nullptr)
            return false;
        normal = geometric_normal(*record);
        if (structure_.kind == StructureKind::wide_scene)
            normal = carry_normal(
                structure_.scene->inverse_transform(static_cast<unsigned int>(instance)), normal);
        material = record->host_word;
        return true;
    }

    void trace_shadows(int x, int y, int x0, int y0, int x1, int y1) {
        const int inside = lanes_inside(x, y, x1, y1);
        int active = 0;
        alignas(16) float ox[4], oy[4], oz[4];
        for (int lane = 0; lane < 4; ++lane) {
            Vec3 origin = camera_.eye();
            if (inside & (1 << lane)) {
                const SurfaceSample& s = sample(lane_x(x, lane), lane_y(y, lane), x0, y0);
                if (s.hit && s.lit) {
                    origin = s.point + s.normal * offset_at(s.point);
                    active |= 1 << lane;
                }
            }
            ox[lane] = origin.x;
            oy[lane] = origin.y;
            oz[lane] = origin.z;
        }
        if (active == 0)
            return;
        const Vec3 d = to_light_ * ray_scale_;
        RayPacket rays = make_packet(_mm_load_ps(ox), _mm_load_ps(oy), _mm_load_ps(oz),
                                     _mm_set1_ps(d.x), _mm_set1_ps(d.y), _mm_set1_ps(d.z), active);
        const int blocked = structure_.occluded(rays, shadow_state_, no_distance_limit);
        for (int lane = 0; lane < 4; ++lane)
            if (blocked & (1 << lane))
                sample(lane_x(x, lane), lane_y(y, lane), x0, y0).lit = false;
        counters_.shadow.rays += static_cast<unsigned>(__builtin_popcount(active));
    }

    // Occlusion rays of one surface point, four samples of the ordered set
    // per packet, turned into the frame of the point's normal: the first
    // threshold samples, and the rest only where those disagree (some
    // blocked, some not).
    void trace_ambient_occlusion(SurfaceSample& s) {
        if (!s.hit)
            return;
        float u[3], v[3];
        const float n[3] = {s.normal.x, s.normal.y, s.normal.z};
        gfx::create_orthogonal_coord_sys(n, u, v);
        const Vec3 origin = s.point + s.normal * offset_at(s.point);
        int blocked = 0, traced = 0;
        for (int first = 0; first < ao_count_; first += 4) {
            if (first == ao_threshold_ && (blocked == 0 || blocked == traced))
                break;
            blocked += occluded_lanes(ao_records_[first / 4], origin, u, v, n);
            traced += 4;
        }
        s.visibility = 1.0f - float(blocked) / float(traced);
        counters_.ambient_occlusion.rays += static_cast<unsigned>(traced);
    }

    // How many of the four sample directions of record, in the frame
    // (u, v, n), are blocked within the occlusion distance from origin.
    int occluded_lanes(const sse_vec& record, const Vec3& origin, const float u[3],
                       const float v[3], const float n[3]) {
        __m128 d[3];
        for (int a = 0; a < 3; ++a)
            d[a] = _mm_mul_ps(_mm_set1_ps(ray_scale_),
                              _mm_add_ps(_mm_add_ps(_mm_mul_ps(record.x, _mm_set1_ps(u[a])),
                                                    _mm_mul_ps(record.y, _mm_set1_ps(v[a]))),
                                         _mm_mul_ps(record.z, _mm_set1_ps(n[a]))));
        RayPacket rays = make_packet(_mm_set1_ps(origin.x), _mm_set1_ps(origin.y),
                                     _mm_set1_ps(origin.z), d[0], d[1], d[2], 15);
        return __builtin_popcount(structure_.occluded(rays, shadow_state_, ao_limit_));
    }

    // Distance by which a shadow ray starts off the surface: relative to the
    // scene, and to the point's own magnitude, where float spacing grows.
    float offset_at(const Vec3& p) const {
        const float magnitude = std::max(std::fabs(p.x), std::max(std::fabs(p.y), std::fabs(p.z)));
        return shadow_offset_ + 4e-7f * magnitude;
    }

    void shade(int x, int y, const SurfaceSample& s) {
        const Vec3 colour = s.hit ? shade_surface(albedo_of(s.material), s.normal, to_light_,
                                                  !s.lit, settings_.shading, s.visibility)
                                  : shade_background(y, camera_.height(), settings_.shading);
        std::uint8_t* out = image_.pixel(x, y);
        out[0] = encode_srgb(colour.x);
        out[1] = encode_srgb(colour.y);
        out[2] = encode_srgb(colour.z);
    }

    const SceneStructure& structure_;
    const triAccel* triangles_;
    std::size_t count_;
    const Camera& camera_;
    const RenderSettings& settings_;
    Image& image_;
    WorkerCounters& counters_;
    std::vector<SurfaceSample> samples_;
    RenderState state_{}, shadow_state_{};
    Vec3 to_light_;
    float ray_scale_ = 1.0f;
    float shadow_offset_ = 0.0f;
    // Ambient occlusion: the sample set (null when off), its size, adaptive
    // threshold and the occlusion distance in ray-direction units.
    const sse_vec* ao_records_ = nullptr;
    int ao_count_ = 0;
    int ao_threshold_ = 0;
    float ao_limit_ = 0.0f;
};

} // namespace

bool render_image(const SceneStructure& structure, const triAccel* triangles, std::size_t count,
                  const Camera& camera, const RenderSettings& settings, Image& image,
                  RenderStatistics& statistics, ProgressBar* progress, std::string& error) {
    statistics = RenderStatistics();
    image = Image(camera.width(), camera.height());
    const int tiles_x = (camera.width() + tile_size - 1) / tile_size;
    const int tiles_y = (camera.height() + tile_size - 1) / tile_size;
    const int tile_count = tiles_x * tiles_y;
    const int thread_count = std::max(1, settings.threads);

    std::atomic<int> next_tile{0};
    std::atomic<int> tiles_done{0};
    std::mutex mutex;
    std::condition_variable workers_finished;
    int finished = 0;
    std::vector<WorkerCounters> counters(thread_count);

    // Made before the workers start, so that they only read it.
    if (settings.ao_samples > 0 && gfxRTOrderedSamples::Instance() == nullptr) {
        error = "out of memory for the ambient occlusion samples";
        return false;
    }
    auto worker = [&](unsigned int thread_index) {
        const double worker_start = thread_seconds();
        TileRenderer renderer(structure, triangles, count, camera, settings, thread_index, image,
                              counters[thread_index]);
        for (int tile = next_tile.fetch_add(1); tile < tile_count; tile = next_tile.fetch_add(1)) {
            renderer.render(tile % tiles_x, tile / tiles_x);
            tiles_done.fetch_add(1, std::memory_order_relaxed);
        }
        counters[thread_index].thread_seconds = thread_seconds() - worker_start;
        std::lock_guard<std::mutex> lock(mutex);
        ++finished;
        workers_finished.notify_one();
    };

    const Clock::time_point start = Clock::now();
    std::vector<std::thread> workers;
    workers.reserve(thread_count);
    try {
        for (int k = 0; k < thread_count; ++k)
            workers.emplace_back(worker, static_cast<unsigned int>(k));
    } catch (const std::system_error& e) {
        next_tile.store(tile_count); // the running workers stop after their tile
        for (std::thread& t : workers)
            t.join();
        error = std::string("cannot start render threads: ") + e.what();
        return false;
    }
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (workers_finished.wait_for(lock, std::chrono::milliseconds(100),
                                          [&] { return finished == thread_count; }))
                break;
        }
        if (progress != nullptr)
            progress->update(tiles_done.load(), tile_count, seconds_between(start, Clock::now()));
    }
    const Clock::time_point end = Clock::now();
    for (std::thread& t : workers)
        t.join();
    if (progress != nullptr) {
        progress->update(tile_count, tile_count, seconds_between(start, end));
        progress->finish();
    }

    statistics.seconds = seconds_between(start, end);
    const auto add = [](RayFigures& to, const RayFigures& from) {
        to.rays += from.rays;
        to.thread_seconds += from.thread_seconds;
    };
    for (const WorkerCounters& c : counters) {
        add(statistics.primary, c.primary);
        add(statistics.shadow, c.shadow);
        add(statistics.ambient_occlusion, c.ambient_occlusion);
        statistics.worker_thread_seconds += c.thread_seconds;
    }
    return true;
}

} // namespace zrv
