#include "zrvRenderCommand.h"

#include "zrvBounds.h"
#include "zrvCamera.h"
#include "zrvMeshLoader.h"
#include "zrvPngWriter.h"
#include "zrvProgressBar.h"
#include "zrvRenderer.h"
#include "zrvReport.h"
#include "zrvStreamJournal.h"
#include "zrvTreeFile.h"

#include <gfxCPUInfo.h>
#include <zrvScenes.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
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

// The camera of the options; what they leave open comes from the default
// scene's own view, or for a mesh from a view of its whole box.
bool make_camera(const RenderOptions& options, const Bounds& scene, Camera& camera,
                 std::string& error) {
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
        look_at = options.look_at.value_or(scene.centre());
        // Framed around the look-at point as if it were the box's centre.
        eye = options.eye.value_or(
            look_at - scene.centre() +
            Camera::framing_eye(scene, up, fov, options.width, options.height));
    }
    return Camera::create(eye, look_at, up, fov, options.width, options.height, camera, error);
}

// Whether a mesh file's meshes are traced as instances in a wide scene: when
// the file places a mesh more than once and auto or the wide structure is
// asked for, or when the tree file holds a wide scene; not when flattened on
// request.
bool use_instances(const RenderOptions& options, const LoadedMesh& mesh) {
    if (options.mesh_path.empty() || options.flatten)
        return false;
    if (!options.tree_path.empty()) {
        StructureKind kind = StructureKind::kd;
        return tree_file_kind(options.tree_path, kind) && kind == StructureKind::wide_scene;
    }
    return (options.accel == AccelChoice::wide || options.accel == AccelChoice::automatic) &&
           mesh.has_repeated_mesh();
}

// The scene's triangles: the mesh file's meshes and placements, flattened
// unless traced as instances (then instanced is set), or the default scene's.
bool load_scene(const RenderOptions& options, LoadedMesh& mesh, bool& instanced, RunReport& report,
                StatusLine& status, std::ostream& err, std::string& error) {
    instanced = false;
    const Clock::time_point load_start = Clock::now();
    status.show(options.mesh_path.empty() ? "generating the default scene..."
                                          : "loading " + options.mesh_path + "...");
    if (options.mesh_path.empty()) {
        mesh.triangles = scenes::default_scene();
        for (std::size_t i = 0; i < mesh.triangles.size(); ++i)
            mesh.triangles[i].triangle_id = static_cast<int>(i); // the renderer's lookup key
    } else {
        const bool loaded = load_mesh(options.mesh_path, mesh, error);
        instanced = loaded && use_instances(options, mesh);
        if (loaded) {
            report.placed = PlacedFigures{mesh.meshes.size(), mesh.placements.size(),
                                          mesh.placed_triangle_count()};
        }
        if (!loaded || (!instanced && !flatten_mesh(mesh, error))) {
            status.clear();
            warn_about_dropped(err, mesh);
            return false;
        }
        if (!instanced)
            mesh.meshes = {}; // flattened: the meshes are no longer needed
    }
    status.clear();
    report.load_seconds = seconds_since(load_start);
    warn_about_dropped(err, mesh);
    report.dropped_non_finite = mesh.dropped_non_finite;
    report.dropped_degenerate = mesh.dropped_degenerate;
    if (instanced) {
        for (const std::vector<triAccel>& triangles : mesh.meshes)
            report.triangles += triangles.size();
        return true;
    }
    if (mesh.triangles.empty()) {
        error = "the scene contains no triangles";
        return false;
    }
    report.triangles = mesh.triangles.size();
    return true;
}

// The structure: loaded from --tree, or built as --accel says.
bool make_structure(const RenderOptions& options, const LoadedMesh& mesh, bool instanced,
                    SceneStructure& structure, RunReport& report, StatusLine& status,
                    std::string& error) {
    const std::vector<triAccel>& triangles = mesh.triangles;
    report.accel = options.tree_path.empty() ? choice_name(options.accel) : "file";
    if (!options.tree_path.empty()) {
        TreeFileInfo info;
        const Clock::time_point start = Clock::now();
        status.show("loading " + options.tree_path + "...");
        const bool loaded = load_structure(options.tree_path, mesh, structure, info, error);
        status.clear();
        if (!loaded)
            return false;
        report.tree_load_seconds = seconds_since(start);
        report.tree_file = options.tree_path;
        report.build_seconds = info.build_seconds;
        report.build_threads = info.build_threads;
    } else {
        report.build_threads =
            options.build_threads > 0 ? options.build_threads : default_build_threads;
        BuildOutcome outcome;
        status.show("building the structure over " + std::to_string(report.triangles) +
                    " triangles on " + std::to_string(report.build_threads) + " threads...");
        const bool built =
            instanced ? build_wide_scene(mesh, options.accel == AccelChoice::automatic,
                                         report.build_threads, structure, outcome, error)
                      : build_scene_structure(triangles, options.accel, report.build_threads,
                                              structure, outcome, error);
        status.clear();
        if (!built)
            return false;
        report.structure_reason = outcome.reason;
        report.compile_code = outcome.compile_code;
        report.build_seconds = outcome.seconds;
        report.library_build_seconds = outcome.library_seconds;
    }
    report.structure = kind_name(structure.kind);
    report.tree = structure.figures();
    return true;
}

// The KD-tree's split planes as a VRML97 file: a header, the mesh, and the
// fragment of the library's report that lists the planes.
bool write_vrml(const std::string& path, const gfxRTKDTree& tree,
                const std::vector<triAccel>& triangles, std::string& error) {
    std::ostringstream report;
    StreamJournal journal(report);
    tree.debug(journal, false, 0);
    // The fragment runs from the group's definition to the line before the
    // report's closing remark.
    const std::string text = report.str();
    const std::size_t begin = text.find("DEF KDTree"), end = text.find("End of VRML code.");
    std::ofstream file(path);
    if (!file) {
        error = "cannot write '" + path + "'";
        return false;
    }
    file << "#VRML V2.0 utf8\n"
            "Shape {\n"
            "  appearance Appearance { material Material { diffuseColor 0.8 0.8 0.8 } }\n"
            "  geometry IndexedFaceSet {\n"
            "    coord Coordinate { point [\n";
    for (const triAccel& t : triangles)
        for (const float* v : {t.vertex0, t.vertex1, t.vertex2})
            file << "      " << v[0] << ' ' << v[1] << ' ' << v[2] << ",\n";
    file << "    ] }\n    coordIndex [\n";
    for (std::size_t i = 0; i < triangles.size(); ++i)
        file << "      " << 3 * i << ", " << 3 * i + 1 << ", " << 3 * i + 2 << ", -1,\n";
    file << "    ]\n    solid FALSE\n  }\n}\n";
    if (begin < end && end != std::string::npos)
        file << text.substr(begin, text.rfind('\n', end) + 1 - begin);
    file.close();
    if (!file) {
        error = "cannot write '" + path + "'";
        return false;
    }
    return true;
}

bool write_dump(const std::string& path, const gfxRTBVH& tree, std::string& error) {
    std::ofstream file(path);
    StreamJournal journal(file);
    tree.debug(journal, false, static_cast<int>(indent_step()));
    file.close();
    if (!file) {
        error = "cannot write '" + path + "'";
        return false;
    }
    return true;
}

// zrv inspect: the report, then the library's own account of the structure.
int inspect(const RenderOptions& options, const SceneStructure& structure,
            const std::vector<triAccel>& triangles, const RunReport& report, std::ostream& out,
            std::ostream& err) {
    std::string error;
    if (!options.vrml_path.empty()) {
        if (structure.kind != StructureKind::kd)
            return fail(err, std::string("--vrml lists KD-tree split planes; this scene uses ") +
                                 kind_name(structure.kind));
        if (!write_vrml(options.vrml_path, *structure.kd, triangles, error))
            return fail(err, error);
    }
    const gfxRTBVH* bvh = structure.kind == StructureKind::bvh
                              ? static_cast<const gfxRTBVH*>(structure.bvh.get())
                              : structure.two_level.get();
    if (!options.dump_path.empty()) {
        if (bvh == nullptr)
            return fail(err, std::string("--dump writes the library's BVH dump; this scene uses ") +
                                 kind_name(structure.kind));
        if (!write_dump(options.dump_path, *bvh, error))
            return fail(err, error);
    }
    if (options.json) {
        write_json_report(out, report);
        return 0;
    }
    write_text_report(out, report);
    if (structure.kind == StructureKind::kd) {
        StreamJournal journal(out);
        structure.kd->debug(journal, false, 0);
    }
    return 0;
}

} // namespace

int run_command(const RenderOptions& options, std::ostream& out, std::ostream& err,
                bool show_progress) {
    std::string error;
    // Checked first so that a bad path fails before any long work.
    if (!options.output_path.empty() && !check_output_path(options.output_path, error))
        return fail(err, error);

    RunReport report;
    report.command = options.command == Command::render  ? "render"
                     : options.command == Command::build ? "build"
                                                         : "inspect";
    report.mesh = options.mesh_path;
    report.output = options.output_path;
    report.width = options.width;
    report.height = options.height;

    // The triangle array must outlive the structure built over it.
    LoadedMesh mesh;
    StatusLine status(err, show_progress);
    bool instanced = false;
    if (!load_scene(options, mesh, instanced, report, status, err, error))
        return fail(err, error);

    // Before the build, so that a bad view fails fast.
    Camera camera;
    if (options.command == Command::render &&
        !make_camera(options,
                     instanced ? placed_bounds(mesh)
                               : bounds_of(mesh.triangles.data(), mesh.triangles.size()),
                     camera, error))
        return fail(err, error);

    SceneStructure structure;
    if (!make_structure(options, mesh, instanced, structure, report, status, error))
        return fail(err, error);

    if (options.command == Command::build) {
        if (!save_structure(options.output_path, structure, mesh,
                            TreeFileInfo{report.build_seconds, report.build_threads}, error))
            return fail(err, error);
    } else if (options.command == Command::inspect) {
        return inspect(options, structure, mesh.triangles, report, out, err);
    } else {
        report.render_threads =
            options.render_threads > 0 ? options.render_threads : processor_count();
        report.ao_samples = options.ao_samples;
        RenderSettings settings;
        settings.threads = report.render_threads;
        settings.toward_light = options.toward_light;
        settings.ao_samples = options.ao_samples;
        settings.ao_distance = options.ao_distance > 0.0f ? options.ao_distance
                                                          : 0.02f * structure.bounds().diagonal();
        report.ao_distance = options.ao_samples > 0 ? settings.ao_distance : 0.0;
        Image image;
        ProgressBar progress(err, show_progress);
        if (!render_image(structure, mesh.triangles.data(), mesh.triangles.size(), camera, settings,
                          image, report.render, &progress, error))
            return fail(err, error);
        if (!write_png(image, options.output_path, error))
            return fail(err, error);
    }

    if (options.json)
        write_json_report(out, report);
    else
        write_text_report(out, report);
    out.flush();
    return 0;
}

} // namespace zrv
