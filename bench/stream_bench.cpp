// Saving and loading the 1M-triangle KD-tree and BVH through the companion
// streams, in memory and through a file, plain and checked, set against the
// time of a serial build of the same structure.
#include "BenchMeshes.h"
#include "BenchRegistration.h"
#include "BenchSummary.h"

#include "gfxRTAccelerationStructureServices.h"
#include "zrvStreams.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <functional>
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
    const char* family = ""; // "kdtree_stream", "bvh_stream"
    std::shared_ptr<const void> built;
    std::function<void(gfxStreamWriter&)> save;
    // Loads from reader over the benchmark mesh, checked or not (budget: the
    // values the reader can still deliver). Null with reason on failure; the
    // result owns the structure, so that it is freed after the clock stops.
    std::function<std::shared_ptr<const void>(gfxStreamReader&, bool checked,
                                              unsigned long long budget, PlxUnicodeString*)>
        load;
    double build_seconds = 0.0;
    std::vector<unsigned char> image;
    std::string path;
};

enum class Kind { KDTREE, BVH };

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
    streams::MemoryWriter writer;
    s.save(writer);
    s.image = writer.image();
    s.path = std::string("/tmp/zrv-bench-") + s.family + "-" + std::to_string(getpid()) + ".zrv";
    return s;
}

const SavedStructure& saved_structure(Kind kind, std::size_t nominal) {
    static const SavedStructure kd = make_saved(Kind::KDTREE, nominal);
    if (kind == Kind::KDTREE)
        return kd;
    static const SavedStructure bvh = make_saved(Kind::BVH, nominal);
    return bvh;
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
    static bool noted[2] = {false, false};
    bool& note_made = noted[kind == Kind::KDTREE ? 0 : 1];
    if (operation == LOAD_FILE_CHECKED && mean > 0.0 && !note_made) {
        note_made = true;
        char note[200];
        std::snprintf(note, sizeof note,
                      "%s/%s: serial build %.2f s, checked load from a file %.3f s "
                      "(%.0fx faster), %.1f MB",
                      saved.family, size_label(nominal).c_str(), saved.build_seconds, mean,
                      saved.build_seconds / mean, double(saved.image.size()) / 1e6);
        add_summary_note(note);
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
}

} // namespace bench
} // namespace zrv
