// `zrv render`: load or generate the scene, build the KD-tree, render, write
// the PNG and report.
#ifndef ZRV_RENDER_COMMAND_H
#define ZRV_RENDER_COMMAND_H

#include "zrvOptions.h"

#include <ostream>

namespace zrv {

// Runs the command and returns the process exit status: 0 on success, 1
// after printing a one-line "zrv: error: ..." to err. The report goes to out;
// warnings and the progress bar (only when show_progress) go to err.
int run_render_command(const RenderOptions& options, std::ostream& out, std::ostream& err,
                       bool show_progress);

} // namespace zrv

#endif // ZRV_RENDER_COMMAND_H
