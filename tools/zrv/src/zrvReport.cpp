#include "zrvReport.h"

#include <cmath>
#include <cstdio>
#include <optional>

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

// A count, or null where the structure has no such figure.
template <typename T> std::string json_optional(const std::optional<T>& value) {
    return value ? std::to_string(*value) : std::string("null");
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

const char* plural(int n) {
    return n == 1 ? "" : "s";
}

// One line per kind of ray: count, wall-clock rate and rate per thread-second.
void write_ray_line(std::ostream& out, const char* label, const RenderStatistics& s,
                    const RayFigures& kind) {
    out << label << kind.rays
        << format(", %.2f Mrays/s (%.2f per thread-second)", s.mrays_per_second(kind),
                  s.mrays_per_thread_second(kind))
        << '\n';
}

void write_json_rays(std::ostream& out, const char* name, const RenderStatistics& s,
                     const RayFigures& kind) {
    out << ",\"" << name << "_rays\":" << kind.rays << ",\"" << name
        << "_seconds\":" << json_number(s.wall_seconds(kind)) << ",\"" << name
        << "_thread_seconds\":" << json_number(kind.thread_seconds) << ",\"" << name
        << "_mrays_per_second\":" << json_number(s.mrays_per_second(kind)) << ",\"" << name
        << "_mrays_per_thread_second\":" << json_number(s.mrays_per_thread_second(kind));
}

std::string scene_name(const RunReport& report) {
    return report.mesh.empty() ? "default scene" : report.mesh;
}

} // namespace

std::string with_thousands(std::size_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t i = digits.size(); i > 3; i -= 3)
        digits.insert(i - 3, ",");
    return digits;
}

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
    if (r.placed) {
        const PlacedFigures& p = *r.placed;
        out << "instances    " << p.meshes << (p.meshes == 1 ? " mesh, " : " meshes, ")
            << p.instances << (p.instances == 1 ? " instance, " : " instances, ")
            << with_thousands(p.triangles) << " triangles placed\n";
    }
    out << "structure    " << r.structure;
    if (r.accel == "auto")
        out << " (auto: " << r.structure_reason << ")";
    out << '\n';
    if (!r.tree_file.empty()) {
        out << format("load         %.3f s from ", r.tree_load_seconds) << r.tree_file
            << format(" (its build took %.3f s)", r.build_seconds) << '\n';
    } else {
        out << format("build        %.3f s on %d thread%s", r.build_seconds, r.build_threads,
                      plural(r.build_threads));
        if (r.compile_code != 0)
            out << " (parallel build fell back to serial: " << compile_failure(r.compile_code)
                << ")";
        out << '\n';
    }
    out << "tree         ";
    if (r.tree.kd_trees > 0)
        out << r.tree.kd_trees << " KD-trees under a BVH of ";
    if (r.tree.mesh_trees > 0)
        out << r.tree.mesh_trees << (r.tree.mesh_trees == 1 ? " mesh tree of " : " mesh trees of ");
    out << r.tree.nodes << " nodes, " << r.tree.leaves << " leaves";
    if (r.structure == "kd")
        out << " (" << r.tree.empty_leaves << " empty)";
    if (r.tree.blocks)
        out << " in " << *r.tree.blocks << " blocks";
    out << ", depth " << r.tree.depth << format(", %.2f", r.tree.average_objects_per_leaf)
        << (r.tree.kd_trees > 0 ? " KD-trees" : " triangles") << " per leaf";
    if (r.tree.max_objects_per_leaf)
        out << " (max " << *r.tree.max_objects_per_leaf << ")";
    if (r.tree.bytes)
        out << ", " << *r.tree.bytes << " bytes";
    if (r.tree.triangles_left_out > 0)
        out << ", " << r.tree.triangles_left_out << " triangles left out";
    out << '\n';
    if (r.command != "render")
        return;
    out << format("render       %dx%d in %.3f s on %d thread%s", r.width, r.height, s.seconds,
                  r.render_threads, plural(r.render_threads))
        << '\n';
    write_ray_line(out, "primary rays ", s, s.primary);
    write_ray_line(out, "shadow rays  ", s, s.shadow);
    if (r.ao_samples > 0)
        write_ray_line(out, "ao rays      ", s, s.ambient_occlusion);
    out << "wrote        " << r.output << '\n';
}

void write_json_report(std::ostream& out, const RunReport& r) {
    const RenderStatistics& s = r.render;
    out << "{\"command\":" << json_quote(r.command) << ",\"scene\":" << json_quote(scene_name(r))
        << ",\"mesh\":" << (r.mesh.empty() ? std::string("null") : json_quote(r.mesh))
        << ",\"output\":" << (r.output.empty() ? std::string("null") : json_quote(r.output))
        << ",\"triangles\":" << r.triangles
        << ",\"meshes\":" << (r.placed ? std::to_string(r.placed->meshes) : "null")
        << ",\"instances\":" << (r.placed ? std::to_string(r.placed->instances) : "null")
        << ",\"triangles_placed\":" << (r.placed ? std::to_string(r.placed->triangles) : "null")
        << ",\"dropped_non_finite\":" << r.dropped_non_finite
        << ",\"dropped_degenerate\":" << r.dropped_degenerate
        << ",\"load_seconds\":" << json_number(r.load_seconds)
        << ",\"accel\":" << json_quote(r.accel) << ",\"structure\":" << json_quote(r.structure)
        << ",\"structure_reason\":" << json_quote(r.structure_reason)
        << ",\"build_threads\":" << r.build_threads << ",\"compile_code\":" << r.compile_code
        << ",\"build_seconds\":" << json_number(r.build_seconds)
        << ",\"library_build_seconds\":" << json_number(r.library_build_seconds)
        << ",\"tree_file\":"
        << (r.tree_file.empty() ? std::string("null") : json_quote(r.tree_file))
        << ",\"tree_load_seconds\":" << json_number(r.tree_load_seconds)
        << ",\"tree\":{\"nodes\":" << r.tree.nodes << ",\"leaves\":" << r.tree.leaves
        << ",\"empty_leaves\":" << r.tree.empty_leaves << ",\"depth\":" << r.tree.depth
        << ",\"average_objects_per_leaf\":" << json_number(r.tree.average_objects_per_leaf)
        << ",\"max_objects_per_leaf\":" << json_optional(r.tree.max_objects_per_leaf)
        << ",\"kd_trees\":" << r.tree.kd_trees << ",\"mesh_trees\":" << r.tree.mesh_trees
        << ",\"blocks\":" << json_optional(r.tree.blocks)
        << ",\"bytes\":" << json_optional(r.tree.bytes)
        << ",\"triangles_left_out\":" << r.tree.triangles_left_out << "}";
    if (r.command == "render") {
        out << ",\"width\":" << r.width << ",\"height\":" << r.height
            << ",\"render_threads\":" << r.render_threads
            << ",\"render_seconds\":" << json_number(s.seconds)
            << ",\"worker_thread_seconds\":" << json_number(s.worker_thread_seconds)
            << ",\"ao_samples\":" << r.ao_samples
            << ",\"ao_distance\":" << json_number(r.ao_distance);
        write_json_rays(out, "primary", s, s.primary);
        write_json_rays(out, "shadow", s, s.shadow);
        write_json_rays(out, "ao", s, s.ambient_occlusion);
    }
    out << "}\n";
}

} // namespace zrv
