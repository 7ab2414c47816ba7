#include "zrvReport.h"

#include <cmath>
#include <cstdio>

namespace zrv {

namespace {

// printf-style formatting of one value; the C locale's decimal point is used.
template <typename... Args> std::string format(const char* pattern, Args... args) {
    char buffer[128];
    std::snprintf(buffer, sizeof(buffer), pattern, args...);
    return buffer;
}

// JSON has no NaN or infinity.
double finite_or_zero(double value) {
    return std::isfinite(value) ? value : 0.0;
}

std::string json_number(double value) {
    return format("%.6g", finite_or_zero(value));
}

// What a CompileKDTree result other than 0 says about the parallel attempt.
const char* compile_failure(int code) {
    switch (code) {
    case 1:
        return "invalid arguments";
    case 2:
        return "seeding failed";
    case 3:
        return "a subtree failed";
    case 4:
        return "merging the subtrees failed";
    default:
        return "unknown result";
    }
}

std::string scene_name(const RunReport& report) {
    return report.mesh.empty() ? "default scene" : report.mesh;
}

} // namespace

std::string json_quote(const std::string& s) {
    std::string out = "\"";
    for (const char ch : s) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20)
                out += format("\\u%04x", c);
            else
                out += ch;
        }
    }
    return out + "\"";
}

void write_text_report(std::ostream& out, const RunReport& r) {
    const RenderStatistics& s = r.render;
    out << "scene        " << scene_name(r) << '\n';
    out << "triangles    " << r.triangles;
    const std::size_t dropped = r.dropped_non_finite + r.dropped_degenerate;
    if (dropped > 0)
        out << " (" << dropped << " dropped)";
    out << format(", loaded in %.3f s", r.load_seconds) << '\n';
    out << format("build        %.3f s on %d thread%s", r.build_seconds, r.build_threads,
                  r.build_threads == 1 ? "" : "s");
    if (r.compile_code != 0)
        out << " (parallel build fell back to serial: " << compile_failure(r.compile_code) << ")";
    out << '\n';
    out << "tree         " << r.tree.nodes << " nodes, " << r.tree.leaves << " leaves ("
        << r.tree.empty_leaves << " empty), depth " << r.tree.depth
        << format(", %.2f", r.tree.average_objects_per_leaf) << " triangles per leaf (max "
        << r.tree.max_objects_per_leaf << ")\n";
    out << format("render       %dx%d in %.3f s on %d thread%s", r.width, r.height, s.seconds,
                  r.render_threads, r.render_threads == 1 ? "" : "s")
        << '\n';
    out << "primary rays " << s.primary_rays
        << format(", %.2f Mrays/s", s.primary_mrays_per_second()) << '\n';
    out << "shadow rays  " << s.shadow_rays << format(", %.2f Mrays/s", s.shadow_mrays_per_second())
        << '\n';
    out << "wrote        " << r.output << '\n';
}

void write_json_report(std::ostream& out, const RunReport& r) {
    const RenderStatistics& s = r.render;
    out << "{\"scene\":" << json_quote(scene_name(r))
        << ",\"mesh\":" << (r.mesh.empty() ? std::string("null") : json_quote(r.mesh))
        << ",\"output\":" << json_quote(r.output) << ",\"width\":" << r.width
        << ",\"height\":" << r.height << ",\"triangles\":" << r.triangles
        << ",\"dropped_non_finite\":" << r.dropped_non_finite
        << ",\"dropped_degenerate\":" << r.dropped_degenerate
        << ",\"load_seconds\":" << json_number(r.load_seconds)
        << ",\"build_threads\":" << r.build_threads << ",\"compile_code\":" << r.compile_code
        << ",\"build_seconds\":" << json_number(r.build_seconds)
        << ",\"library_build_seconds\":" << json_number(r.library_build_seconds)
        << ",\"tree\":{\"nodes\":" << r.tree.nodes << ",\"leaves\":" << r.tree.leaves
        << ",\"empty_leaves\":" << r.tree.empty_leaves << ",\"depth\":" << r.tree.depth
        << ",\"average_objects_per_leaf\":" << json_number(r.tree.average_objects_per_leaf)
        << ",\"max_objects_per_leaf\":" << r.tree.max_objects_per_leaf << "}"
        << ",\"render_threads\":" << r.render_threads
        << ",\"render_seconds\":" << json_number(s.seconds)
        << ",\"primary_rays\":" << s.primary_rays << ",\"shadow_rays\":" << s.shadow_rays
        << ",\"primary_seconds\":" << json_number(s.primary_seconds)
        << ",\"shadow_seconds\":" << json_number(s.shadow_seconds)
        << ",\"primary_mrays_per_second\":" << json_number(s.primary_mrays_per_second())
        << ",\"shadow_mrays_per_second\":" << json_number(s.shadow_mrays_per_second()) << "}\n";
}

} // namespace zrv
