// Saving and loading the 1M-triangle KD-tree and BVH, and the 100k- and
// 1M-triangle wide BVH, through the companion streams, in memory and through
// a file, plain and checked, set against the time of a serial build of the
// same structure (and, for the wide BVH, of a build on two threads).
#include "BenchMeshes.h"
#include "BenchRegistration.h"
#include "BenchSummary.h"

#include "gfxRTAccelerationStructureServices.h"
#include "gfxRTWideBVH.h"
#include "zrvStreams.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace zrv {
namespace bench {

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A structure, built once serially, with its build time, its saved image and
// how to load it back.
struct SavedStructure {
    const char* family = ""; // "kdtree_stream", "bvh_stream", "widebvh_stream"
    std::shared_ptr<const void> built;
    std::function<void(gfxStreamWriter&)> save;
    // Loads from reader over the benchmark mesh, checked or not (budget: the
    // values the reader can still deliver). Null with reason on failure; the
    // result owns the structure, so that it is freed after the clock stops.
    std::function<std::shared_ptr<const void>(gfxStreamReader&, bool checked,
                                              unsigned long long budget, PlxUnicodeString*)>
        load;
    double build_seconds = 0.0;
    double build_2threads_seconds = 0.0; // the wide BVH's build on two threads
    std::vector<unsigned char> image;
    std::string path;
};

enum class Kind { KDTREE, BVH, WIDE };

SavedStructure make_saved(Kind kind, std::size_t nominal) {
    SavedStructure s;
    const std::vector<triAccel>& mesh = benchmark_mesh(nominal);
    const triAccel* triangles = mesh.data();
    const unsigned int count = unsigned(mesh.size());
    const auto start = std::chrono::steady_clock::now();
    if (kind == Kind::KDTREE) {
        s.family = "kdtree_stream";
        std::shared_ptr<gfxRTKDTree> tree = std::make_shared<gfxRTKDTree>(1);
        if (tree->create_tree_from_triAccel_list(triangles, count))
            s.built = tree;
        s.save = [tree](gfxStreamWriter& writer) { tree->stream(writer); };
        s.load = [triangles, count](gfxStreamReader& reader, bool checked,
                                    unsigned long long budget, PlxUnicodeString* reason) {
            return std::shared_ptr<const void>(
                checked
                    ? gfxRTAccelerationStructureServices::UnstreamNewKDTreeChecked(
                          reader, triangles, count, 1, budget, reason)
                    : gfxRTAccelerationStructureServices::UnstreamNewKDTree(reader, triangles, 1));
        };
    } else if (kind == Kind::WIDE) {
        s.family = "widebvh_stream";
        std::shared_ptr<gfxRTWideBVH> tree = std::make_shared<gfxRTWideBVH>();
        if (tree->build(triangles, count, 1))
            s.built = tree;
        s.save = [tree](gfxStreamWriter& writer) { tree->stream(writer); };
        s.load = [](gfxStreamReader& reader, bool, unsigned long long budget,
                    PlxUnicodeString* reason) {
            std::shared_ptr<gfxRTWideBVH> loaded = std::make_shared<gfxRTWideBVH>();
            return loaded->unstream(reader, budget, reason) ? std::shared_ptr<const void>(loaded)
                                                            : nullptr;
        };
    } else {
        s.family = "bvh_stream";
        std::shared_ptr<gfxRTBVH_triAccel> bvh =
            std::make_shared<gfxRTBVH_triAccel>(triangles, count);
        if (bvh->build_tree(1))
            s.built = bvh;
        s.save = [bvh](gfxStreamWriter& writer) { bvh->stream(writer); };
        s.load = [triangles, count](gfxStreamReader& reader, bool checked,
                                    unsigned long long budget, PlxUnicodeString* reason) {
            return std::shared_ptr<const void>(
                checked ? gfxRTAccelerationStructureServices::UnstreamNewBVHChecked(
                              reader, triangles, count, budget, reason)
                        : gfxRTAccelerationStructureServices::UnstreamNewBVH(reader, triangles));
        };
    }
    s.build_seconds = seconds_since(start);
    if (kind == Kind::WIDE) {
        // The wide BVH's builds are short: the median of three on one and
        // on two threads, the first one above included.
        double one[3] = {s.build_seconds, 0, 0}, two[3];
        for (int run = 0; run < 3; ++run) {
            for (unsigned int threads : {1u, 2u}) {
                if (threads == 1 && run == 0)
                    continue;
                gfxRTWideBVH again;
                const auto again_start = std::chrono::steady_clock::now();
                again.build(triangles, count, threads);
                (threads == 1 ? one : two)[run] = seconds_since(again_start);
            }
        }
        std::sort(one, one + 3);
        std::sort(two, two + 3);
        s.build_seconds = one[1];
        s.build_2threads_seconds = two[1];
    }
    streams::MemoryWriter writer;
    s.save(writer);
    s.image = writer.image();
    s.path = std::string("/tmp/zrv-bench-") + s.family + "-" + size_label(nominal) + "-" +
             std::to_string(getpid()) + ".zrv";
    return s;
}

// Built on first use, once per structure and mesh.
const SavedStructure& saved_structure(Kind kind, std::size_t nominal) {
    static std::map<std::pair<Kind, std::size_t>, SavedStructure> saved;
    const auto key = std::make_pair(kind, nominal);
    auto found = saved.find(key);
    if (found == saved.end())
        found = saved.emplace(key, make_saved(kind, nominal)).first;
    return found->second;
}

enum Operation { SAVE_MEMORY, SAVE_FILE, LOAD_MEMORY, LOAD_MEMORY_CHECKED, LOAD_FILE_CHECKED };

void run_stream(benchmark::State& state, Kind kind, Operation operation, std::size_t nominal) {
    const SavedStructure& saved = saved_structure(kind, nominal);
    if (!saved.built) {
        state.SkipWithError("the structure could not be built");
        return;
    }
    if (operation == LOAD_FILE_CHECKED) {
        streams::FileWriter writer(saved.path);
        saved.save(writer);
        if (!writer.commit()) {
            state.SkipWithError(writer.error().c_str());
            return;
        }
    }
    double total = 0.0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        std::shared_ptr<const void> loaded;
        PlxUnicodeString reason;
        switch (operation) {
        case SAVE_MEMORY: {
            streams::MemoryWriter writer;
            saved.save(writer);
            benchmark::DoNotOptimize(writer.payload_size());
            break;
        }
        case SAVE_FILE: {
            streams::FileWriter writer(saved.path);
            saved.save(writer);
            if (!writer.commit())
                state.SkipWithError(writer.error().c_str());
            break;
        }
        case LOAD_MEMORY:
        case LOAD_MEMORY_CHECKED: {
            streams::MemoryReader reader(saved.image.data(), saved.image.size());
            loaded =
                saved.load(reader, operation == LOAD_MEMORY_CHECKED, reader.remaining(), &reason);
            break;
        }
        case LOAD_FILE_CHECKED: {
            streams::FileReader reader(saved.path);
            loaded = saved.load(reader, true, reader.remaining(), &reason);
            break;
        }
        }
        const double seconds = seconds_since(start);
        state.SetIterationTime(seconds);
        total += seconds;
        if (operation >= LOAD_MEMORY && loaded == nullptr) {
            const std::string error = std::string("loading failed: ") + reason.ConvertToChar();
            state.SkipWithError(error.c_str());
            break;
        }
    }
    std::remove(saved.path.c_str());
    const double mean = state.iterations() > 0 ? total / double(state.iterations()) : 0.0;
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(saved.image.size()));
    state.counters["MB"] = double(saved.image.size()) / 1e6;
    state.counters["serial_build_s"] = saved.build_seconds;
    state.counters["build_over_this"] = mean > 0.0 ? saved.build_seconds / mean : 0.0;
    // Google Benchmark may call this more than once; one note per structure.
    if (saved.build_2threads_seconds > 0.0) {
        state.counters["build_2threads_s"] = saved.build_2threads_seconds;
        state.counters["build_2threads_over_this"] =
            mean > 0.0 ? saved.build_2threads_seconds / mean : 0.0;
    }
    // Google Benchmark calls this first for one iteration, then for the
    // measured run: each call's note replaces the one before.
    if (operation == LOAD_FILE_CHECKED && mean > 0.0) {
        char note[300];
        if (saved.build_2threads_seconds > 0.0)
            std::snprintf(note, sizeof note,
                          "%s/%s: build %.3f s on 1 thread and %.3f s on 2, checked load from a "
                          "file %.4f s (%.1fx and %.1fx faster), %.1f MB",
                          saved.family, size_label(nominal).c_str(), saved.build_seconds,
                          saved.build_2threads_seconds, mean, saved.build_seconds / mean,
                          saved.build_2threads_seconds / mean, double(saved.image.size()) / 1e6);
        else
            std::snprintf(note, sizeof note,
                          "%s/%s: serial build %.2f s, checked load from a file %.3f s "
                          "(%.0fx faster), %.1f MB",
                          saved.family, size_label(nominal).c_str(), saved.build_seconds, mean,
                          saved.build_seconds / mean, double(saved.image.size()) / 1e6);
        set_summary_note(std::string(saved.family) + "/" + size_label(nominal), note);
    }
}

} // namespace

void register_stream_benchmarks() {
    const struct {
        const char* name;
        Operation operation;
    } operations[] = {{"save_memory", SAVE_MEMORY},
                      {"save_file", SAVE_FILE},
                      {"load_memory", LOAD_MEMORY},
                      {"load_memory_checked", LOAD_MEMORY_CHECKED},
                      {"load_file_checked", LOAD_FILE_CHECKED}};
    for (Kind kind : {Kind::KDTREE, Kind::BVH}) {
        for (const auto& op : operations) {
            const std::string name = std::string(kind == Kind::KDTREE ? "kdtree" : "bvh") +
                                     "_stream/" + op.name + "/" + size_label(LARGE_MESH);
            benchmark::RegisterBenchmark(name.c_str(), run_stream, kind, op.operation, LARGE_MESH)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    // The wide BVH has only the checked load.
    for (std::size_t nominal : {MEDIUM_MESH, LARGE_MESH}) {
        for (const auto& op : operations) {
            if (op.operation == LOAD_MEMORY)
                continue;
            const std::string name =
                std::string("widebvh_stream/") + op.name + "/" + size_label(nominal);
            benchmark::RegisterBenchmark(name.c_str(), run_stream, Kind::WIDE, op.operation,
                                         nominal)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
}

} // namespace bench
} // namespace zrv
