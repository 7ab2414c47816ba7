// What a render run tells its user: a short text summary, or the same
// figures as one JSON object for scripts.
#ifndef ZRV_REPORT_H
#define ZRV_REPORT_H

#include "zrvRenderStatistics.h"
#include "zrvSceneStructure.h"

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>

namespace zrv {

// A mesh file's scene graph: its meshes, the placements of them (the
// instances) and the triangles those placements hold.
struct PlacedFigures {
    std::size_t meshes = 0;
    std::size_t instances = 0;
    std::size_t triangles = 0;
};

struct RunReport {
    std::string command = "render"; // render, build or inspect
    std::string mesh;               // empty: the default scene
    std::string output;             // image (render) or tree file (build); may be empty
    int width = 0;
    int height = 0;
    std::size_t triangles = 0;           // those the structure holds
    std::optional<PlacedFigures> placed; // none for the default scene
    std::size_t dropped_non_finite = 0;
    std::size_t dropped_degenerate = 0;
    double load_seconds = 0.0; // reading the mesh or generating the default scene
    // The structure: what --accel asked for, what was used and why.
    std::string accel = "auto";
    std::string structure = "kd";
    std::string structure_reason;
    int build_threads = 0;
    int compile_code = 0;       // CompileKDTree's or CompileBVHTree's result (0: built)
    double build_seconds = 0.0; // wall clock of the build (of a loaded tree: when it was saved)
    double library_build_seconds = 0.0; // the structure's own compile time
    // A structure read from a file instead of built.
    std::string tree_file;
    double tree_load_seconds = 0.0;
    StructureFigures tree;
    int render_threads = 0;
    int ao_samples = 0; // 0: no ambient occlusion
    double ao_distance = 0.0;
    RenderStatistics render;
};

void write_text_report(std::ostream& out, const RunReport& report);
void write_json_report(std::ostream& out, const RunReport& report);

// n with a comma between each group of three digits, e.g. "48,000".
std::string with_thousands(std::size_t n);

// s as a JSON string literal, quotes included.
std::string json_quote(const std::string& s);

} // namespace zrv

#endif // ZRV_REPORT_H
