// The commands: load or generate the scene, build its acceleration
// structure or load it from a tree file, then render and write the PNG
// (render), save the structure (build) or describe it (inspect), and report.
#ifndef ZRV_RENDER_COMMAND_H
#define ZRV_RENDER_COMMAND_H

#include "zrvOptions.h"

#include <ostream>

namespace zrv {

// Runs the command and returns the process exit status: 0 on success, 1
// after printing a one-line "zrv: error: ..." to err. The report goes to out;
// warnings, and (only when show_progress) the status of the loading and
// building steps and render's progress bar go to err.
int run_command(const RenderOptions& options, std::ostream& out, std::ostream& err,
                bool show_progress);

// Build threads when --build-threads is not given. Four, even on two cores:
// with exactly two seeds, meshes of about 650,000 to 1.3 million triangles
// always fall back to a serial KD-tree build, and four threads build the
// default scene and the 1M-triangle benchmark mesh fastest on two cores.
constexpr int default_build_threads = 4;

} // namespace zrv

#endif // ZRV_RENDER_COMMAND_H
