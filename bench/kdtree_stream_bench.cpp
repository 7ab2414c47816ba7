// Saving and loading the 1M-triangle KD-tree through the companion streams,
// in memory and through a file, plain and checked, set against the time of a
// serial build of the same tree.
#include "BenchMeshes.h"
#include "BenchRegistration.h"
#include "BenchSummary.h"

#include "gfxRTAccelerationStructureServices.h"
#include "zrvStreams.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
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

// The tree, built once serially, its serial build time and its saved image.
struct SavedTree {
    std::unique_ptr<gfxRTKDTree> tree;
    double build_seconds = 0.0;
    std::vector<unsigned char> image;
    std::string path;
};

const SavedTree& saved_tree(std::size_t nominal) {
    static SavedTree saved = [nominal] {
        SavedTree s;
        const std::vector<triAccel>& mesh = benchmark_mesh(nominal);
        s.tree.reset(new gfxRTKDTree(1));
        const auto start = std::chrono::steady_clock::now();
        s.tree->create_tree_from_triAccel_list(mesh.data(), unsigned(mesh.size()));
        s.build_seconds = seconds_since(start);
        streams::MemoryWriter writer;
        s.tree->stream(writer);
        s.image = writer.image();
        s.path = "/tmp/zrv-bench-kdtree-" + std::to_string(getpid()) + ".zrv";
        return s;
    }();
    return saved;
}

enum Operation { SAVE_MEMORY, SAVE_FILE, LOAD_MEMORY, LOAD_MEMORY_CHECKED, LOAD_FILE_CHECKED };

void run_stream(benchmark::State& state, Operation operation, std::size_t nominal) {
    const SavedTree& saved = saved_tree(nominal);
    const std::vector<triAccel>& mesh = benchmark_mesh(nominal);
    if (!saved.tree->get_statistic()->valid) {
        state.SkipWithError("the tree could not be built");
        return;
    }
    if (operation == LOAD_FILE_CHECKED) {
        streams::FileWriter writer(saved.path);
        saved.tree->stream(writer);
        if (!writer.commit()) {
            state.SkipWithError(writer.error().c_str());
            return;
        }
    }
    double total = 0.0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        std::unique_ptr<gfxRTKDTree> loaded;
        PlxUnicodeString reason;
        switch (operation) {
        case SAVE_MEMORY: {
            streams::MemoryWriter writer;
            saved.tree->stream(writer);
            benchmark::DoNotOptimize(writer.payload_size());
            break;
        }
        case SAVE_FILE: {
            streams::FileWriter writer(saved.path);
            saved.tree->stream(writer);
            if (!writer.commit())
                state.SkipWithError(writer.error().c_str());
            break;
        }
        case LOAD_MEMORY: {
            streams::MemoryReader reader(saved.image.data(), saved.image.size());
            loaded.reset(
                gfxRTAccelerationStructureServices::UnstreamNewKDTree(reader, mesh.data(), 1));
            break;
        }
        case LOAD_MEMORY_CHECKED: {
            streams::MemoryReader reader(saved.image.data(), saved.image.size());
            loaded.reset(gfxRTAccelerationStructureServices::UnstreamNewKDTreeChecked(
                reader, mesh.data(), unsigned(mesh.size()), 1, reader.remaining(), &reason));
            break;
        }
        case LOAD_FILE_CHECKED: {
            streams::FileReader reader(saved.path);
            loaded.reset(gfxRTAccelerationStructureServices::UnstreamNewKDTreeChecked(
                reader, mesh.data(), unsigned(mesh.size()), 1, reader.remaining(), &reason));
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
    // Google Benchmark may call this more than once; one note is enough.
    static bool noted = false;
    if (operation == LOAD_FILE_CHECKED && mean > 0.0 && !noted) {
        noted = true;
        char note[200];
        std::snprintf(note, sizeof note,
                      "kdtree_stream/%s: serial build %.2f s, checked load from a file %.3f s "
                      "(%.0fx faster), %.1f MB",
                      size_label(nominal).c_str(), saved.build_seconds, mean,
                      saved.build_seconds / mean, double(saved.image.size()) / 1e6);
        add_summary_note(note);
    }
}

} // namespace

void register_kdtree_stream_benchmarks() {
    const struct {
        const char* name;
        Operation operation;
    } operations[] = {{"save_memory", SAVE_MEMORY},
                      {"save_file", SAVE_FILE},
                      {"load_memory", LOAD_MEMORY},
                      {"load_memory_checked", LOAD_MEMORY_CHECKED},
                      {"load_file_checked", LOAD_FILE_CHECKED}};
    for (const auto& op : operations) {
        const std::string name =
            std::string("kdtree_stream/") + op.name + "/" + size_label(LARGE_MESH);
        benchmark::RegisterBenchmark(name.c_str(), run_stream, op.operation, LARGE_MESH)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
}

} // namespace bench
} // namespace zrv
