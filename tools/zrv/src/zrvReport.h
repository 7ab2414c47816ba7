// What a render run tells its user: a short text summary, or the same
// figures as one JSON object for scripts.
#ifndef ZRV_REPORT_H
#define ZRV_REPORT_H

#include "zrvRenderStatistics.h"

#include <cstddef>
#include <ostream>
#include <string>

namespace zrv {

struct TreeFigures {
    unsigned int nodes = 0;
    unsigned int leaves = 0;
    unsigned int empty_leaves = 0;
    unsigned int depth = 0;
    unsigned int max_objects_per_leaf = 0;
    double average_objects_per_leaf = 0.0;
};

struct RunReport {
    std::string mesh; // empty: the default scene
    std::string output;
    int width = 0;
    int height = 0;
    std::size_t triangles = 0;
    std::size_t dropped_non_finite = 0;
    std::size_t dropped_degenerate = 0;
    double load_seconds = 0.0; // reading the mesh or generating the default scene
    int build_threads = 0;
    int compile_code = 0;       // CompileKDTree's result: 2..4 = parallel build fell back to serial
    double build_seconds = 0.0; // wall clock around CompileKDTree
    double library_build_seconds = 0.0; // the tree's own compile time (processor time)
    TreeFigures tree;
    int render_threads = 0;
    RenderStatistics render;
};

void write_text_report(std::ostream& out, const RunReport& report);
void write_json_report(std::ostream& out, const RunReport& report);

// s as a JSON string literal, quotes included.
std::string json_quote(const std::string& s);

} // namespace zrv

#endif // ZRV_REPORT_H
