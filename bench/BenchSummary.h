// The compact summary printed after the benchmarks: build times and rates,
// the growth of build time with mesh size, speed-ups and single-thread build
// comparisons, trace throughput per structure, ray set and thread count, and
// last one table per mesh size of every structure and Embree side by side,
// followed by the wide BVH's other calls beside Embree's.
//
// Benchmarks are named family/variant/size ("kdtree_build/serial/100k",
// "bvh_trace/random/1M": traces have the ray set as variant) and
// publish the counters read here: "triangles" always; "s/build" and
// "cores_used" for builds (process CPU time over wall time, which falls below
// the build's thread count when other processes hold the cores); "Mrays",
// "hit_ratio" and "calls/packet" for traces. Variants named <base>_2threads
// or <base>_allthreads are compared with their <base>_1thread sibling.
#ifndef ZRV_BENCH_SUMMARY_H
#define ZRV_BENCH_SUMMARY_H

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zrv {
namespace bench {

// A line printed with the summary (agreement checks, skipped parts).
void add_summary_note(const std::string& note);
// A note that replaces the one set before under the same key: the figures of
// a benchmark's last (measured) call rather than of its first short one.
void set_summary_note(const std::string& key, const std::string& note);

// The console reporter that also keeps every run for the summary. Counters
// are shown as columns; colours only on a terminal.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    SummaryReporter();
    void ReportRuns(const std::vector<Run>& runs) override;

    void print_summary(std::FILE* out) const;
    // Some benchmark stopped with an error (SkipWithError).
    bool any_error() const { return !errors_.empty(); }

private:
    struct Entry {
        std::string family;
        std::string variant;
        std::string size;
        double triangles = 0.0;
        // One value per repetition; the summary shows medians.
        std::map<std::string, std::vector<double>> counters;

        double median(const std::string& counter) const;
    };

    Entry* find(const std::string& family, const std::string& variant, const std::string& size);
    const Entry* find(const std::string& family, const std::string& variant,
                      const std::string& size) const;
    void print_builds(std::FILE* out) const;
    void print_growth(std::FILE* out) const;
    void print_speedups(std::FILE* out) const;
    void print_build_comparisons(std::FILE* out) const;
    void print_traces(std::FILE* out) const;
    // Median Mtris/s of a build and Mrays/s of a trace; NaN when not run.
    double build_rate(const char* family, const std::string& variant,
                      const std::string& size) const;
    double trace_rate(const char* family, const std::string& variant,
                      const std::string& size) const;
    // The closing table: per mesh size, every structure and Embree with their
    // build and trace rates on one and two threads and the ratios to Embree.
    void print_overview(std::FILE* out) const;
    // Under a mesh's closing table: the wide BVH's occlusion, batch and
    // one-ray figures beside Embree's same calls, and its bytes per triangle.
    void print_query_table(std::FILE* out, const std::string& size) const;

    std::vector<Entry> entries_;
    std::vector<std::string> errors_;
};

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_SUMMARY_H
