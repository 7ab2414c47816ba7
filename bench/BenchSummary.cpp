#include "BenchSummary.h"

#include "BenchRays.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <unistd.h>

namespace zrv {
namespace bench {

namespace {

std::vector<std::string>& summary_notes() {
    static std::vector<std::string> notes;
    return notes;
}

std::vector<std::string> split_name(const std::string& name) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = name.find('/', start);
        parts.push_back(name.substr(start, slash - start));
        if (slash == std::string::npos)
            return parts;
        start = slash + 1;
    }
}

const char* const THREAD_SUFFIXES[] = {"_1thread", "_2threads", "_allthreads"};

// "high" for "high_2threads"; empty when the variant names no thread count.
std::string thread_base(const std::string& variant) {
    for (const char* suffix : THREAD_SUFFIXES) {
        const std::string tail(suffix);
        if (variant.size() > tail.size() &&
            variant.compare(variant.size() - tail.size(), tail.size(), tail) == 0)
            return variant.substr(0, variant.size() - tail.size());
    }
    return std::string();
}

// Single-thread builds are compared with these.
struct BuildReference {
    const char* family;
    const char* variant;
};
const BuildReference BUILD_REFERENCES[] = {{"kdtree_build", "serial"},
                                           {"embree_build", "medium_1thread"}};

// The rows of the closing table: a structure's build family and variant
// (with _1thread and _2threads appended) and its trace family. The last row
// is the reference that the others' ratios are taken to.
struct OverviewRow {
    const char* name;
    const char* build_family;
    const char* build_variant;
    const char* trace_family;
};
const OverviewRow OVERVIEW_ROWS[] = {
    {"KD-tree", "kdtree_build", "CompileKDTree", "kdtree_trace"},
    {"BVH", "bvh_build", "binned", "bvh_trace"},
    {"two-level, 16 KD-trees", "twolevel16_build", "parts", "twolevel16_trace"},
    {"two-level, 256 KD-trees", "twolevel256_build", "parts", "twolevel256_trace"},
    {"wide BVH", "widebvh_build", "binned", "widebvh_trace"},
    {"Embree (high quality)", "embree_build", "high", "embree_high_trace"},
};
const std::size_t OVERVIEW_ROW_COUNT = sizeof(OVERVIEW_ROWS) / sizeof(OVERVIEW_ROWS[0]);

// The table under the closing one: the wide BVH's calls beyond the packet
// figures, each beside Embree's counterpart (variant bases, with _1thread
// and _2threads appended, of widebvh_trace and embree_high_trace).
struct QueryColumn {
    const char* title;
    const char* wide_variant;
    const char* embree_variant;
};
const QueryColumn QUERY_COLUMNS[] = {
    {"ao occluded4", "ao_occluded4", "ao_occluded4"},
    {"ao occluded1", "ao_occluded1", "ao_occluded1"},
    {"random batch", "random_batch", "random_batch"},
    {"single 1-ray", "single", "single_intersect1"},
    {"primary fours", "primary_fours", "primary_fours"},
};

// One cell of the closing tables: the rate and its ratio to the reference row's.
void print_rate_cell(std::FILE* out, double value, double reference, bool is_reference) {
    if (std::isnan(value))
        std::fprintf(out, " %15s", "-");
    else if (is_reference || std::isnan(reference))
        std::fprintf(out, " %8.2f       ", value);
    else
        std::fprintf(out, " %8.2f %5.2fx", value, value / reference);
}

double n_log_n(double n) {
    return n * std::log2(n);
}

} // namespace

void add_summary_note(const std::string& note) {
    summary_notes().push_back(note);
}

void set_summary_note(const std::string& key, const std::string& note) {
    static std::map<std::string, std::size_t> positions;
    const auto found = positions.find(key);
    if (found != positions.end()) {
        summary_notes()[found->second] = note;
        return;
    }
    positions.emplace(key, summary_notes().size());
    summary_notes().push_back(note);
}

SummaryReporter::SummaryReporter()
    : benchmark::ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

double SummaryReporter::Entry::median(const std::string& counter) const {
    auto found = counters.find(counter);
    if (found == counters.end() || found->second.empty())
        return std::nan("");
    std::vector<double> values = found->second;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : 0.5 * (values[middle - 1] + values[middle]);
}

void SummaryReporter::ReportRuns(const std::vector<Run>& runs) {
    benchmark::ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
        if (run.run_type != Run::RT_Iteration)
            continue;
        if (run.error_occurred) {
            errors_.push_back(run.benchmark_name() + ": " + run.error_message);
            continue;
        }
        const std::vector<std::string> parts = split_name(run.run_name.function_name);
        if (parts.size() != 3)
            continue;
        Entry* entry = find(parts[0], parts[1], parts[2]);
        if (!entry) {
            entries_.push_back(Entry());
            entry = &entries_.back();
            entry->family = parts[0];
            entry->variant = parts[1];
            entry->size = parts[2];
        }
        for (const auto& counter : run.counters)
            entry->counters[counter.first].push_back(counter.second.value);
        entry->triangles = entry->median("triangles");
    }
}

SummaryReporter::Entry* SummaryReporter::find(const std::string& family, const std::string& variant,
                                              const std::string& size) {
    for (Entry& entry : entries_)
        if (entry.family == family && entry.variant == variant && entry.size == size)
            return &entry;
    return nullptr;
}

const SummaryReporter::Entry* SummaryReporter::find(const std::string& family,
                                                    const std::string& variant,
                                                    const std::string& size) const {
    return const_cast<SummaryReporter*>(this)->find(family, variant, size);
}

void SummaryReporter::print_builds(std::FILE* out) const {
    std::fprintf(out, "%-42s %10s %10s %10s %14s %6s\n", "Builds (median)", "triangles", "s/build",
                 "Mtris/s", "ns/(N log2 N)", "cores");
    for (const Entry& entry : entries_) {
        const double seconds = entry.median("s/build");
        if (std::isnan(seconds))
            continue;
        const std::string name = entry.family + "/" + entry.variant + "/" + entry.size;
        std::fprintf(out, "%-42s %10.0f %10.4f %10.3f %14.2f %6.2f\n", name.c_str(),
                     entry.triangles, seconds, entry.triangles / seconds * 1e-6,
                     seconds * 1e9 / n_log_n(entry.triangles), entry.median("cores_used"));
    }
}

void SummaryReporter::print_growth(std::FILE* out) const {
    std::vector<std::string> printed;
    for (const Entry& first : entries_) {
        const std::string key = first.family + "/" + first.variant;
        if (std::isnan(first.median("s/build")) ||
            std::find(printed.begin(), printed.end(), key) != printed.end())
            continue;
        printed.push_back(key);
        std::vector<const Entry*> sizes;
        for (const Entry& entry : entries_)
            if (entry.family == first.family && entry.variant == first.variant)
                sizes.push_back(&entry);
        if (sizes.size() < 2)
            continue;
        std::sort(sizes.begin(), sizes.end(),
                  [](const Entry* a, const Entry* b) { return a->triangles < b->triangles; });
        std::fprintf(out, "%s build time growth:", key.c_str());
        for (std::size_t i = 1; i < sizes.size(); ++i) {
            const double n0 = sizes[i - 1]->triangles, n1 = sizes[i]->triangles;
            std::fprintf(out, "%s %s->%s x%.1f (N log N: x%.1f, N^2: x%.0f)", i > 1 ? ";" : "",
                         sizes[i - 1]->size.c_str(), sizes[i]->size.c_str(),
                         sizes[i]->median("s/build") / sizes[i - 1]->median("s/build"),
                         n_log_n(n1) / n_log_n(n0), (n1 / n0) * (n1 / n0));
        }
        std::fprintf(out, "\n");
    }
}

void SummaryReporter::print_speedups(std::FILE* out) const {
    for (const Entry& entry : entries_) {
        const std::string base = thread_base(entry.variant);
        const double seconds = entry.median("s/build");
        if (base.empty() || std::isnan(seconds) || entry.variant == base + "_1thread")
            continue;
        const Entry* single = find(entry.family, base + "_1thread", entry.size);
        if (single)
            std::fprintf(out, "Speed-up %s/%s over %s_1thread, %s: x%.2f\n", entry.family.c_str(),
                         entry.variant.c_str(), base.c_str(), entry.size.c_str(),
                         single->median("s/build") / seconds);
    }
}

void SummaryReporter::print_build_comparisons(std::FILE* out) const {
    for (const Entry& entry : entries_) {
        const double seconds = entry.median("s/build");
        const bool single_thread =
            entry.variant == "serial" || entry.variant == thread_base(entry.variant) + "_1thread";
        if (!single_thread || std::isnan(seconds))
            continue;
        std::string line;
        for (const BuildReference& reference : BUILD_REFERENCES) {
            const Entry* other = find(reference.family, reference.variant, entry.size);
            if (!other || other == &entry)
                continue;
            char part[160];
            std::snprintf(part, sizeof(part), "%s x%.2f as fast as %s/%s", line.empty() ? "" : ",",
                          other->median("s/build") / seconds, reference.family, reference.variant);
            line += part;
        }
        if (!line.empty())
            std::fprintf(out, "%s/%s/%s build:%s\n", entry.family.c_str(), entry.variant.c_str(),
                         entry.size.c_str(), line.c_str());
    }
}

void SummaryReporter::print_traces(std::FILE* out) const {
    std::fprintf(out, "%-42s %10s %10s %10s %13s\n", "Traces (median)", "triangles", "Mrays/s",
                 "hit ratio", "calls/packet");
    for (const Entry& entry : entries_) {
        const double rate = entry.median("Mrays");
        if (std::isnan(rate))
            continue;
        const std::string name = entry.family + "/" + entry.variant + "/" + entry.size;
        std::fprintf(out, "%-42s %10.0f %10.2f %10.4f %13.4f\n", name.c_str(), entry.triangles,
                     rate, entry.median("hit_ratio"), entry.median("calls/packet"));
    }
}

double SummaryReporter::build_rate(const char* family, const std::string& variant,
                                   const std::string& size) const {
    const Entry* entry = find(family, variant, size);
    return entry ? entry->triangles / entry->median("s/build") * 1e-6 : std::nan("");
}

double SummaryReporter::trace_rate(const char* family, const std::string& variant,
                                   const std::string& size) const {
    const Entry* entry = find(family, variant, size);
    return entry ? entry->median("Mrays") : std::nan("");
}

void SummaryReporter::print_overview(std::FILE* out) const {
    // Other processes on the machine slow the two-thread figures first.
    std::string load;
    double averages[3];
    if (getloadavg(averages, 3) == 3) {
        char text[96];
        std::snprintf(text, sizeof text, "; load average %.2f, %.2f, %.2f", averages[0],
                      averages[1], averages[2]);
        load = text;
    }
    std::vector<std::string> sizes;
    for (const Entry& entry : entries_)
        if (entry.family == OVERVIEW_ROWS[0].trace_family &&
            std::find(sizes.begin(), sizes.end(), entry.size) == sizes.end())
            sizes.push_back(entry.size);
    const unsigned int thread_counts[] = {1, 2};
    for (const std::string& size : sizes) {
        std::fprintf(out,
                     "\n%s mesh: build Mtris/s and trace Mrays/s on 1 and 2 threads, "
                     "median; x = ratio to Embree in this run%s\n",
                     size.c_str(), load.c_str());
        std::fprintf(out, "%-24s %15s %15s", "", "build 1T", "build 2T");
        for (RaySet rays : RAY_SETS)
            for (unsigned int threads : thread_counts)
                std::fprintf(out, " %15s",
                             (std::string(ray_set_name(rays)) + " " + std::to_string(threads) + "T")
                                 .c_str());
        std::fprintf(out, "\n");
        const OverviewRow& reference = OVERVIEW_ROWS[OVERVIEW_ROW_COUNT - 1];
        for (const OverviewRow& row : OVERVIEW_ROWS) {
            const bool is_reference = &row == &reference;
            std::fprintf(out, "%-24s", row.name);
            for (unsigned int threads : thread_counts) {
                const char* suffix = threads == 1 ? "_1thread" : "_2threads";
                print_rate_cell(
                    out,
                    build_rate(row.build_family, row.build_variant + std::string(suffix), size),
                    build_rate(reference.build_family,
                               reference.build_variant + std::string(suffix), size),
                    is_reference);
            }
            for (RaySet rays : RAY_SETS)
                for (unsigned int threads : thread_counts)
                    print_rate_cell(
                        out, trace_rate(row.trace_family, trace_variant(rays, threads), size),
                        trace_rate(reference.trace_family, trace_variant(rays, threads), size),
                        is_reference);
            std::fprintf(out, "\n");
        }
        print_query_table(out, size);
    }
}

void SummaryReporter::print_query_table(std::FILE* out, const std::string& size) const {
    if (!find("widebvh_trace", "ao_occluded4_1thread", size))
        return;
    std::fprintf(out,
                 "\n%s mesh, the wide BVH's occlusion, batch and one-ray calls and Embree's: "
                 "Mrays/s on 1 and 2 threads; bytes per triangle of the tree\n",
                 size.c_str());
    std::fprintf(out, "%-24s", "");
    for (const QueryColumn& column : QUERY_COLUMNS)
        for (const char* threads : {" 1T", " 2T"})
            std::fprintf(out, " %15s", (std::string(column.title) + threads).c_str());
    std::fprintf(out, " %15s\n", "bytes/tri");
    const Entry* wide_build = find("widebvh_build", "binned_1thread", size);
    for (bool embree : {false, true}) {
        std::fprintf(out, "%-24s", embree ? "Embree (high quality)" : "wide BVH");
        for (const QueryColumn& column : QUERY_COLUMNS)
            for (const char* suffix : {"_1thread", "_2threads"}) {
                const double reference = trace_rate(
                    "embree_high_trace", column.embree_variant + std::string(suffix), size);
                const double value =
                    embree ? reference
                           : trace_rate("widebvh_trace", column.wide_variant + std::string(suffix),
                                        size);
                print_rate_cell(out, value, reference, embree);
            }
        if (embree || !wide_build)
            std::fprintf(out, " %15s\n", "-");
        else
            std::fprintf(out, " %8.1f       \n", wide_build->median("bytes/triangle"));
    }
}

void SummaryReporter::print_summary(std::FILE* out) const {
    std::fprintf(out, "\n==== Summary ====\n");
    print_builds(out);
    print_growth(out);
    print_speedups(out);
    print_build_comparisons(out);
    std::fprintf(out, "\n");
    print_traces(out);
    if (!summary_notes().empty())
        std::fprintf(out, "\n");
    for (const std::string& note : summary_notes())
        std::fprintf(out, "%s\n", note.c_str());
    for (const std::string& error : errors_)
        std::fprintf(out, "ERROR %s\n", error.c_str());
    print_overview(out);
    std::fflush(out);
}

} // namespace bench
} // namespace zrv
