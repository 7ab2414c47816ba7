// The instanced wide scene (InstancedScene.h) beside Embree 3's instancing
// of the same scene: one-ray calls on camera rays ("single"), their 2x2
// blocks four at a time ("primary_fours", against rtcIntersect16), packets
// of four and the batch call on AO-like and random rays, on one and two threads,
// each figure followed by Embree's counterpart and their ratio in the
// summary; and the commit and the refit of 10,000 instances on one
// thread, and a frame of their moves on one and two.
#include "BenchMeshes.h"
#include "BenchRegistration.h"
#include "BenchSummary.h"
#include "InstancedScene.h"
#include "ThreadedTrace.h"
#include "TraceCounters.h"
#ifdef ZRV_BENCH_HAVE_EMBREE
#include "EmbreeRayQueries.h"
#include "EmbreeTracing.h"
#endif

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

namespace zrv {
namespace bench {

namespace {

enum class SceneCall { ONE_RAY, FOURS, PACKETS, BATCH };

RayQuery query_of(SceneCall call) {
    return call == SceneCall::ONE_RAY ? RayQuery::ONE_RAY
           : call == SceneCall::FOURS ? RayQuery::PACKETS_IN_FOURS
                                      : RayQuery::PACKETS;
}

struct SceneFigure {
    const char* name;
    SceneRays rays;
    SceneCall call;
};

const SceneFigure SCENE_FIGURES[] = {
    {"single", SceneRays::SINGLE, SceneCall::ONE_RAY},
    {"primary_fours", SceneRays::PRIMARY, SceneCall::FOURS},
    {"ao", SceneRays::AO, SceneCall::PACKETS},
    {"ao_batch", SceneRays::AO, SceneCall::BATCH},
    {"random", SceneRays::RANDOM, SceneCall::PACKETS},
    {"random_batch", SceneRays::RANDOM, SceneCall::BATCH},
};

// Rays per second of the wide scene's runs, by variant, for the ratios.
std::map<std::string, double>& wide_rates() {
    static std::map<std::string, double> rates;
    return rates;
}

// The ratio lines, by variant: the last run of each is the one reported.
std::map<std::string, std::string>& ratio_lines() {
    static std::map<std::string, std::string> lines;
    return lines;
}

std::string variant_of(const SceneFigure& figure, unsigned int threads) {
    return std::string(figure.name) + (threads == 1 ? "_1thread" : "_2threads");
}

// Times the figure's rays through trace_batch(arrays, hits) (the batch
// call) or trace_run(first packet, count) on each of threads threads, and
// publishes the counters. Returns rays per second, timed around the calls
// alone, for the ratio to Embree.
template <class TraceBatch, class TraceRun>
double measure_figure(benchmark::State& state, const SceneFigure& figure, unsigned int threads,
                      TraceBatch trace_batch, TraceRun trace_run) {
    const InstancedScene& setup = instanced_scene();
    const std::vector<RayPacket>& packets = setup.packets(figure.rays);
    BatchHits hits;
    FrameTrace frame;
    double seconds = 0.0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (figure.call == SceneCall::BATCH)
            frame = trace_batch(setup.arrays(figure.rays), hits);
        else
            frame = trace_in_threads(threads, packets,
                                     [&](unsigned int, const RayPacket* first, std::size_t count) {
                                         return trace_run(first, count);
                                     });
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        benchmark::DoNotOptimize(frame.hits);
    }
    publish_trace_counters(state, benchmark_mesh(MEDIUM_MESH).size() * SCENE_INSTANCES,
                           packets.size(), frame);
    return seconds > 0.0 ? double(state.iterations()) * double(frame.rays) / seconds : 0.0;
}

void run_wide_scene_trace(benchmark::State& state, SceneFigure figure, unsigned int threads) {
    const InstancedScene& setup = instanced_scene();
    if (!setup.error.empty()) {
        state.SkipWithError(setup.error.c_str());
        return;
    }
    const gfxRTWideScene& scene = *setup.scene;
    wide_rates()[variant_of(figure, threads)] = measure_figure(
        state, figure, threads,
        [&](const RayArrays& arrays, BatchHits& hits) {
            return trace_wide_scene_batch(scene, arrays, threads, hits);
        },
        [&](const RayPacket* first, std::size_t count) {
            return trace_wide_scene(scene, query_of(figure.call), first, count, nullptr);
        });
}

#ifdef ZRV_BENCH_HAVE_EMBREE
void run_embree_scene_trace(benchmark::State& state, SceneFigure figure, unsigned int threads) {
    RTCScene scene = embree_instanced_scene();
    if (!scene) {
        state.SkipWithError("Embree instanced scene build failed");
        return;
    }
    const double rate = measure_figure(
        state, figure, threads,
        [&](const RayArrays& arrays, BatchHits& hits) {
            return trace_batch_embree(scene, arrays, threads, hits);
        },
        [&](const RayPacket* first, std::size_t count) {
            if (figure.call == SceneCall::ONE_RAY || figure.call == SceneCall::FOURS)
                return trace_run_embree_query(scene, query_of(figure.call),
                                              figure.call == SceneCall::FOURS, first, count,
                                              nullptr, nullptr);
            return trace_run_embree(scene, first, count, EmbreeQuery::INCOHERENT_PACKETS);
        });
    const std::string variant = variant_of(figure, threads);
    const auto wide = wide_rates().find(variant);
    if (wide != wide_rates().end() && rate > 0.0) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "Instanced scene %s: wide scene %.2f Mrays/s, Embree %.2f Mrays/s, "
                      "ratio %.2fx",
                      variant.c_str(), wide->second * 1e-6, rate * 1e-6, wide->second / rate);
        ratio_lines()[variant] = line;
    }
}
#endif

const unsigned int kMovingInstances = 10000;

// kMovingInstances placements of seed, twelve floats each.
std::vector<float> moving_placements(std::uint64_t seed) {
    std::vector<float> flat;
    for (const std::vector<float>& m : instance_transforms(kMovingInstances, seed))
        flat.insert(flat.end(), m.begin(), m.end());
    return flat;
}

// The 100k mesh placed kMovingInstances times by placements and committed
// on one thread; false, with the benchmark skipped, when that fails.
bool build_moving_scene(benchmark::State& state, gfxRTWideScene& scene,
                        const std::vector<float>& placements) {
    const std::vector<triAccel>& mesh = benchmark_mesh(MEDIUM_MESH);
    if (scene.add_mesh(mesh.data(), unsigned(mesh.size()), 2) != 0) {
        state.SkipWithError("the mesh could not be built");
        return false;
    }
    for (unsigned int i = 0; i < kMovingInstances; ++i)
        if (scene.add_instance(0, &placements[12 * i]) != GFX_WIDE_INSTANCE_DONE) {
            state.SkipWithError("an instance was refused");
            return false;
        }
    if (!scene.commit(1)) {
        state.SkipWithError("the commit failed");
        return false;
    }
    state.counters["instances"] = double(kMovingInstances);
    state.counters["ns/instance"] = benchmark::Counter(
        double(kMovingInstances) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    return true;
}

// The commit (refit false) or the refit of 10,000 instances of the 100k
// mesh on one thread.
void run_wide_scene_commit(benchmark::State& state, bool refit) {
    gfxRTWideScene scene;
    if (!build_moving_scene(state, scene, moving_placements(11)))
        return;
    for (auto _ : state) {
        if (!(refit ? scene.refit(1) : scene.commit(1))) {
            state.SkipWithError("the commit failed");
            return;
        }
    }
}

// An animation frame of 10,000 instances of the 100k mesh: every instance
// moved by one set_transforms call (to one of two placements in turn) on
// threads workers, then the top level refitted.
void run_wide_scene_move(benchmark::State& state, unsigned int threads) {
    const std::vector<float> placements[2] = {moving_placements(11), moving_placements(12)};
    gfxRTWideScene scene;
    if (!build_moving_scene(state, scene, placements[0]))
        return;
    std::vector<unsigned int> every(kMovingInstances);
    for (unsigned int i = 0; i < kMovingInstances; ++i)
        every[i] = i;
    unsigned int frame = 0;
    for (auto _ : state) {
        const std::vector<float>& placed = placements[++frame % 2];
        if (scene.set_transforms(every.data(), placed.data(), kMovingInstances, threads) !=
                GFX_WIDE_INSTANCE_DONE ||
            !scene.refit(threads)) {
            state.SkipWithError("the move failed");
            return;
        }
    }
}

} // namespace

void add_wide_scene_ratio_notes() {
    for (const auto& line : ratio_lines())
        add_summary_note(line.second);
}

void register_wide_scene_benchmarks() {
    for (bool refit : {false, true})
        benchmark::RegisterBenchmark(refit ? "widescene_refit/10k_instances/100k"
                                           : "widescene_commit/10k_instances/100k",
                                     run_wide_scene_commit, refit)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    for (unsigned int threads : TRACE_THREAD_COUNTS)
        benchmark::RegisterBenchmark(
            ("widescene_move/10k_instances_" +
             (threads == 1 ? std::string("1thread") : std::to_string(threads) + "threads") +
             "/100k")
                .c_str(),
            run_wide_scene_move, threads)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    for (const SceneFigure& figure : SCENE_FIGURES) {
        for (unsigned int threads : TRACE_THREAD_COUNTS) {
            const std::string variant = variant_of(figure, threads);
            benchmark::RegisterBenchmark(("widescene_trace/" + variant + "/64x100k").c_str(),
                                         run_wide_scene_trace, figure, threads)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
#ifdef ZRV_BENCH_HAVE_EMBREE
            benchmark::RegisterBenchmark(("embree_scene_trace/" + variant + "/64x100k").c_str(),
                                         run_embree_scene_trace, figure, threads)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
#endif
        }
    }
}

} // namespace bench
} // namespace zrv
