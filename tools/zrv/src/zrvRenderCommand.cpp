#include "zrvRenderCommand.h"

#include "zrvBounds.h"
#include "zrvCamera.h"
#include "zrvMeshLoader.h"
#include "zrvPngWriter.h"
#include "zrvProgressBar.h"
#include "zrvRenderer.h"
#include "zrvReport.h"

#include <gfxCPUInfo.h>
#include <gfxRTAccelerationStructureServices.h>
#include <gfxRTKDTree.h>
#include <zrvScenes.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <vector>

namespace zrv {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int fail(std::ostream& err, const std::string& message) {
    err << "zrv: error: " << message << '\n';
    return 1;
}

int processor_count() {
    const int cpus = static_cast<int>(gfxCPUInfo::Instance()->NumberOfCPUs());
    return std::min(std::max(cpus, 1), max_thread_count);
}

void warn_about_dropped(std::ostream& err, const LoadedMesh& mesh) {
    if (mesh.dropped_non_finite > 0)
        err << "zrv: warning: dropped " << mesh.dropped_non_finite
            << (mesh.dropped_non_finite == 1 ? " triangle" : " triangles")
            << " with NaN or infinite vertex coordinates\n";
    if (mesh.dropped_degenerate > 0)
        err << "zrv: warning: dropped " << mesh.dropped_degenerate
            << (mesh.dropped_degenerate == 1 ? " degenerate triangle" : " degenerate triangles")
            << " (zero area)\n";
}

TreeFigures tree_figures(const gfxRTKDTree& tree, const KDTreeStatistic& statistic) {
    TreeFigures figures;
    figures.nodes = tree.get_number_of_nodes();
    figures.leaves = statistic.number_of_leaves;
    figures.empty_leaves = statistic.number_of_empty_cells;
    figures.depth = statistic.tree_depth;
    figures.max_objects_per_leaf = statistic.max_objects_in_cell;
    figures.average_objects_per_leaf = statistic.average_objects_per_cell;
    return figures;
}

// The camera of the options; what they leave open comes from the default
// scene's own view, or for a mesh from a view of its whole box.
bool make_camera(const RenderOptions& options, const std::vector<triAccel>& triangles,
                 Camera& camera, std::string& error) {
    Vec3 up = options.up.value_or(Vec3(0.0f, 1.0f, 0.0f));
    float fov = options.fov_degrees.value_or(45.0f);
    Vec3 look_at, eye;
    if (options.mesh_path.empty()) {
        const scenes::SceneView view = scenes::default_scene_view();
        up = options.up.value_or(Vec3(view.up.x, view.up.y, view.up.z));
        fov = options.fov_degrees.value_or(view.vertical_fov_degrees);
        look_at = options.look_at.value_or(Vec3(view.look_at.x, view.look_at.y, view.look_at.z));
        eye = options.eye.value_or(Vec3(view.eye.x, view.eye.y, view.eye.z));
    } else {
        const Bounds scene = bounds_of(triangles.data(), triangles.size());
        look_at = options.look_at.value_or(scene.centre());
        // Framed around the look-at point as if it were the box's centre.
        eye = options.eye.value_or(
            look_at - scene.centre() +
            Camera::framing_eye(scene, up, fov, options.width, options.height));
    }
    return Camera::create(eye, look_at, up, fov, options.width, options.height, camera, error);
}

} // namespace

int run_render_command(const RenderOptions& options, std::ostream& out, std::ostream& err,
                       bool show_progress) {
    std::string error;
    // Checked first so that a bad path fails before any long work.
    if (!check_output_path(options.output_path, error))
        return fail(err, error);

    RunReport report;
    report.mesh = options.mesh_path;
    report.output = options.output_path;
    report.width = options.width;
    report.height = options.height;

    // The triangle array must outlive the tree built over it.
    LoadedMesh mesh;
    const Clock::time_point load_start = Clock::now();
    if (options.mesh_path.empty()) {
        mesh.triangles = scenes::default_scene();
        for (std::size_t i = 0; i < mesh.triangles.size(); ++i)
            mesh.triangles[i].triangle_id = static_cast<int>(i); // the renderer's lookup key
    } else if (!load_mesh(options.mesh_path, mesh, error)) {
        warn_about_dropped(err, mesh);
        return fail(err, error);
    }
    report.load_seconds = seconds_since(load_start);
    warn_about_dropped(err, mesh);
    if (mesh.triangles.empty())
        return fail(err, "the scene contains no triangles");
    report.triangles = mesh.triangles.size();
    report.dropped_non_finite = mesh.dropped_non_finite;
    report.dropped_degenerate = mesh.dropped_degenerate;

    // Before the build, so that a bad view fails fast.
    Camera camera;
    if (!make_camera(options, mesh.triangles, camera, error))
        return fail(err, error);

    const int cpus = processor_count();
    report.render_threads = options.render_threads > 0 ? options.render_threads : cpus;
    report.build_threads = options.build_threads > 0 ? options.build_threads : cpus;

    // The tree gets a traversal stack for every thread count zrv accepts,
    // whatever --threads says: the build sorts its split candidates on as
    // many threads as the tree has stacks, and orders equal positions by
    // thread, so the tree's shape (and at ties the image) would otherwise
    // depend on the number of render threads.
    std::unique_ptr<gfxRTKDTree> tree(new (std::nothrow) gfxRTKDTree(max_thread_count));
    if (!tree)
        return fail(err, "out of memory");
    const Clock::time_point build_start = Clock::now();
    report.compile_code = gfxRTAccelerationStructureServices::CompileKDTree(
        tree.get(), report.build_threads, mesh.triangles.data(),
        static_cast<unsigned int>(mesh.triangles.size()));
    report.build_seconds = seconds_since(build_start);
    const KDTreeStatistic* statistic = tree->get_statistic();
    if (statistic == nullptr || !statistic->valid)
        return fail(err, "building the KD-tree failed (out of memory?)");
    report.library_build_seconds = statistic->compile_time_sec;
    report.tree = tree_figures(*tree, *statistic);

    RenderSettings settings;
    settings.threads = report.render_threads;
    settings.toward_light = options.toward_light;
    Image image;
    ProgressBar progress(err, show_progress);
    if (!render_image(*tree, mesh.triangles.data(), mesh.triangles.size(), camera, settings, image,
                      report.render, &progress, error))
        return fail(err, error);

    if (!write_png(image, options.output_path, error))
        return fail(err, error);

    if (options.json)
        write_json_report(out, report);
    else
        write_text_report(out, report);
    out.flush();
    return 0;
}

} // namespace zrv
