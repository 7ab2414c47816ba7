// The zorvadideruvovozov Python module: a Scene over numpy vertex and face
// arrays, traced with batches of rays. Input is checked here and failures
// become Python exceptions; the work itself is in zrvPyScene.
#include "zrvAccelChoice.h"
#include "zrvPyArguments.h"
#include "zrvPyHitQueries.h"
#include "zrvPyInstances.h"
#include "zrvPyPickle.h"
#include "zrvPyPointQueries.h"
#include "zrvPyResultArrays.h"
#include "zrvPyScene.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>

namespace py = pybind11;
using zrv::python::Accel;
using zrv::python::CheckedRays;
using zrv::python::InstancedScene;
using zrv::python::raise;
using zrv::python::records_from;
using zrv::python::thread_count;
using zrv::python::TriangleRecords;

namespace {

Accel accel_from(const std::string& text) {
    if (text == "auto")
        return Accel::AUTO;
    if (text == "kd")
        return Accel::KD;
    if (text == "bvh")
        return Accel::BVH;
    if (text == "wide")
        return Accel::WIDE;
    raise(PyExc_ValueError,
          "accel must be \"auto\", \"wide\", \"kd\" or \"bvh\", not \"" + text + "\"");
}

using zrv::python::path_text;

// A Python Scene: one mesh's tree (scene_) or instances of meshes
// (instances_), exactly one of them. Queries that both kinds answer branch
// here once per call.
class PyScene {
public:
    PyScene(std::unique_ptr<zrv::python::Scene> scene, const TriangleRecords& records)
        : scene_(std::move(scene)),
          face_count_(scene_->size() + records.dropped_non_finite + records.dropped_degenerate),
          dropped_non_finite_(records.dropped_non_finite),
          dropped_degenerate_(records.dropped_degenerate) {}
    explicit PyScene(std::unique_ptr<InstancedScene> instances) : instances_(std::move(instances)) {
        count_meshes_dropped();
    }

    static PyScene create(const py::object& vertices, const py::object& faces,
                          const std::string& accel, const py::object& build_threads) {
        const Accel choice = accel_from(accel);
        const unsigned int threads = thread_count(build_threads, "build_threads");
        TriangleRecords records = records_from(vertices, faces);
        std::unique_ptr<zrv::python::Scene> scene;
        std::string error;
        {
            py::gil_scoped_release release;
            scene = zrv::python::Scene::build(records.records, choice, threads, error);
        }
        if (!scene)
            raise(PyExc_RuntimeError, error);
        return PyScene(std::move(scene), records);
    }

    static PyScene from_instances(const py::object& meshes, const py::object& transforms,
                                  const py::object& mesh, const py::object& build_threads) {
        return PyScene(zrv::python::build_instances(meshes, transforms, mesh, build_threads));
    }

    static PyScene load(const py::object& path, const py::object& vertices,
                        const py::object& faces) {
        const std::string file = path_text(path);
        TriangleRecords records = records_from(vertices, faces);
        std::unique_ptr<zrv::python::Scene> scene;
        std::string error;
        bool missing = false;
        {
            py::gil_scoped_release release;
            scene = zrv::python::Scene::load(file, records.records, missing, error);
        }
        if (!scene)
            raise(missing ? PyExc_FileNotFoundError : PyExc_ValueError, error);
        return PyScene(std::move(scene), records);
    }

    static PyScene load_instances(const py::object& path, const py::object& meshes_obj) {
        const std::string file = path_text(path);
        std::vector<TriangleRecords> meshes = zrv::python::meshes_from(meshes_obj);
        std::unique_ptr<InstancedScene> scene;
        std::string error;
        bool missing = false;
        {
            py::gil_scoped_release release;
            if (std::FILE* probe = std::fopen(file.c_str(), "rb")) {
                std::fclose(probe);
                zrv::streams::FileReader reader(file);
                scene = InstancedScene::read(reader, file, std::move(meshes), error);
            } else {
                missing = true;
                error = "cannot open " + file;
            }
        }
        if (!scene)
            raise(missing ? PyExc_FileNotFoundError : PyExc_ValueError, error);
        return PyScene(std::move(scene));
    }

    void save(const py::object& path) const {
        const std::string file = path_text(path);
        std::string error;
        bool saved;
        {
            py::gil_scoped_release release;
            if (scene_) {
                saved = scene_->save(file, error);
            } else {
                zrv::streams::FileWriter writer(file);
                saved = instances_->write(writer, error);
                if (saved && !writer.commit()) {
                    error = "cannot write " + file + ": " + writer.error();
                    saved = false;
                }
            }
        }
        if (!saved)
            raise(PyExc_OSError, error);
    }

    py::tuple state() const {
        if (instances_)
            return zrv::python::instances_state(*instances_);
        TriangleRecords counts;
        counts.dropped_non_finite = dropped_non_finite_;
        counts.dropped_degenerate = dropped_degenerate_;
        return zrv::python::scene_state(*scene_, counts);
    }

    static PyScene restore(const py::tuple& state) {
        zrv::python::RestoredScene restored = zrv::python::restore_state(state);
        if (restored.instances)
            return PyScene(std::move(restored.instances));
        return PyScene(std::move(restored.scene), restored.counts);
    }

    py::dict intersect(const py::object& origins, const py::object& directions,
                       const py::object& tmax, const py::object& threads) const {
        CheckedRays rays(origins, directions, tmax, threads);
        if (instances_)
            return zrv::python::intersect_instances(*instances_, rays);
        const std::size_t k = rays.batch.count;
        using zrv::python::result_array;
        py::array_t<float> t = result_array<float>(k), u = result_array<float>(k),
                           v = result_array<float>(k);
        py::array_t<std::int32_t> triangle = result_array<std::int32_t>(k);
        rays.batch.t = t.mutable_data();
        rays.batch.triangle = triangle.mutable_data();
        rays.batch.u = u.mutable_data();
        rays.batch.v = v.mutable_data();
        {
            py::gil_scoped_release release;
            scene_->trace(rays.batch, rays.threads, false);
        }
        py::dict result;
        result["t"] = t;
        result["triangle"] = triangle;
        result["u"] = u;
        result["v"] = v;
        return result;
    }

    py::array_t<bool> occluded(const py::object& origins, const py::object& directions,
                               const py::object& tmax, const py::object& threads) const {
        static_assert(sizeof(bool) == 1, "numpy's bool is one byte");
        CheckedRays rays(origins, directions, tmax, threads);
        py::array_t<bool> result = zrv::python::result_array<bool>(rays.batch.count);
        rays.batch.occluded = reinterpret_cast<unsigned char*>(result.mutable_data());
        {
            py::gil_scoped_release release;
            if (instances_)
                instances_->trace(rays.batch, rays.threads, true);
            else
                scene_->trace(rays.batch, rays.threads, true);
        }
        return result;
    }

    py::array_t<std::int32_t> count_intersections(const py::object& origins,
                                                  const py::object& directions,
                                                  const py::object& tmax,
                                                  const py::object& threads) const {
        CheckedRays rays(origins, directions, tmax, threads);
        if (instances_)
            return zrv::python::count_intersections(*instances_, rays.batch, rays.threads);
        return zrv::python::count_intersections(*scene_, rays.batch, rays.threads);
    }

    py::dict list_intersections(const py::object& origins, const py::object& directions,
                                const py::object& tmax, const py::object& threads) const {
        CheckedRays rays(origins, directions, tmax, threads);
        if (instances_)
            return zrv::python::list_intersections(*instances_, rays.batch, rays.threads);
        return zrv::python::list_intersections(*scene_, rays.batch, rays.threads);
    }

    // A scene of one mesh's figures, read with it held still (and turned into
    // Python objects after, as the GIL is never taken while it is held).
    struct Figures {
        unsigned int nodes = 0;
        gfxRTWideBVHStatistics wide{};
        KDTreeStatistic statistic{};
        bool has_statistic = false;
    };
    Figures figures() const {
        const auto still = scene_->hold_still();
        Figures out;
        out.nodes = scene_->node_count();
        if (scene_->accel() == Accel::WIDE)
            out.wide = scene_->wide_statistics();
        else if (const KDTreeStatistic* statistic = scene_->statistic()) {
            out.statistic = *statistic;
            out.has_statistic = true;
        }
        return out;
    }

    py::dict statistics() const {
        if (instances_)
            return zrv::python::instances_statistics(*instances_);
        const Figures figures = this->figures();
        py::dict result;
        result["accel"] = zrv::python::accel_name(scene_->accel());
        result["nodes"] = figures.nodes;
        if (scene_->accel() == Accel::WIDE) {
            const gfxRTWideBVHStatistics& wide = figures.wide;
            result["leaves"] = wide.leaves;
            result["blocks"] = wide.blocks;
            result["depth"] = wide.depth;
            result["bytes"] = wide.bytes;
            result["triangles"] = wide.triangles;
            result["input_triangles"] = wide.input_triangles;
            return result;
        }
        if (figures.has_statistic) {
            const KDTreeStatistic* const statistic = &figures.statistic;
            result["number_of_empty_cells"] = statistic->number_of_empty_cells;
            result["average_objects_per_cell"] = statistic->average_objects_per_cell;
            result["max_objects_in_cell"] = statistic->max_objects_in_cell;
            result["number_of_leaves"] = statistic->number_of_leaves;
            result["tree_depth"] = statistic->tree_depth;
            result["compile_time_sec"] = statistic->compile_time_sec;
            result["number_of_objects"] = statistic->number_of_objects;
            result["valid"] = statistic->valid;
        }
        return result;
    }

    std::string repr() const {
        if (instances_)
            return zrv::python::instances_repr(*instances_);
        std::string text =
            "<zorvadideruvovozov.Scene " + std::to_string(scene_->size()) + " triangles";
        if (scene_->size() != face_count_)
            text += " of " + std::to_string(face_count_) + " faces";
        const Accel accel = scene_->accel();
        const Figures figures = this->figures();
        text += accel == Accel::WIDE ? ", wide BVH" : accel == Accel::KD ? ", KD-tree" : ", BVH";
        text += " of " + std::to_string(figures.nodes) + " nodes";
        if (accel == Accel::WIDE) {
            text += ", depth " + std::to_string(figures.wide.depth) + ", " +
                    std::to_string(figures.wide.blocks) + " blocks of " +
                    std::to_string(gfxRTWideBVH::BLOCK_SIZE) + " triangles";
        } else if (figures.has_statistic) {
            text += ", depth " + std::to_string(figures.statistic.tree_depth) + ", at most " +
                    std::to_string(figures.statistic.max_objects_in_cell) + " triangles per leaf";
        }
        return text + ">";
    }

    // Closest points, distances, signed distances, occupancy
    // (zrvPyPointQueries.cpp), on a scene of one mesh.
    py::dict closest_points(const py::object& points, const py::object& threads) const {
        const unsigned int count = thread_count(threads, "threads");
        return zrv::python::closest_points(one_mesh("closest_points"), point_rows(points), count);
    }
    py::array_t<float> measure(const py::object& points, const py::object& threads,
                               zrv::python::PointMeasure measure, const char* name) const {
        const unsigned int count = thread_count(threads, "threads");
        return zrv::python::measure_points(one_mesh(name), point_rows(points), count, measure);
    }
    bool closed() const { return zrv::python::mesh_is_closed(one_mesh("closed")); }

    // Moving instances (zrvPyInstances.cpp), on a scene of instances.
    void set_transforms(const py::object& transforms, const py::object& instances,
                        const py::object& build_threads, bool refit) {
        zrv::python::move_instances(instanced("set_transforms"), transforms, instances,
                                    build_threads, refit);
    }
    void set_enabled(const py::object& enabled, const py::object& instances,
                     const py::object& build_threads) {
        zrv::python::enable_instances(instanced("set_enabled"), enabled, instances, build_threads);
    }
    py::array_t<std::int32_t> add_instances(const py::object& transforms, const py::object& mesh,
                                            const py::object& build_threads) {
        return zrv::python::add_instances(instanced("add_instances"), transforms, mesh,
                                          build_threads);
    }
    py::array_t<std::int32_t> add_meshes(const py::object& meshes,
                                         const py::object& build_threads) {
        InstancedScene& scene = instanced("add_meshes");
        py::array_t<std::int32_t> indices =
            zrv::python::add_meshes(scene, zrv::python::meshes_from(meshes, false), build_threads);
        count_meshes_dropped();
        return indices;
    }
    // Moves a scene of one mesh's vertices.
    void set_vertices(const py::object& vertices, const py::object& faces,
                      const py::object& build_threads) {
        one_mesh("set_vertices"); // raises for a scene of instances
        const unsigned int threads = thread_count(build_threads, "build_threads");
        TriangleRecords moved = records_from(vertices, faces);
        if (moved.records.size() + moved.dropped_non_finite + moved.dropped_degenerate !=
            face_count_)
            raise(PyExc_ValueError,
                  "faces must be the scene's " + std::to_string(face_count_) + " faces, not " +
                      std::to_string(moved.records.size() + moved.dropped_non_finite +
                                     moved.dropped_degenerate));
        std::string error;
        bool moved_ok;
        {
            py::gil_scoped_release release;
            moved_ok = scene_->set_vertices(std::move(moved.records), threads, error);
        }
        if (!moved_ok)
            raise(error.rfind("vertices", 0) == 0        ? PyExc_ValueError
                  : error.rfind("out of memory", 0) == 0 ? PyExc_MemoryError
                                                         : PyExc_RuntimeError,
                  error);
        dropped_non_finite_ = moved.dropped_non_finite;
        dropped_degenerate_ = moved.dropped_degenerate;
    }
    void set_mesh_vertices(const py::object& mesh, const py::object& vertices,
                           const py::object& faces, const py::object& build_threads, bool refit) {
        zrv::python::move_mesh(instanced("set_mesh_vertices"), mesh, vertices, faces, build_threads,
                               refit);
        count_meshes_dropped();
    }
    py::array_t<bool> enabled() const {
        return zrv::python::instances_enabled(instanced("enabled"));
    }
    py::array_t<float> transforms() const {
        return zrv::python::instance_transforms(instanced("transforms"));
    }
    py::array_t<std::int32_t> instance_mesh() const {
        return zrv::python::instance_meshes(instanced("instance_mesh"));
    }
    py::array_t<float> instance_bounds() const {
        return zrv::python::instance_boxes(instanced("instance_bounds"));
    }
    // The box of the records' vertices (faces left out do not count; a scene
    // of one mesh has at least one), or of the enabled instances.
    py::object bounds() const {
        if (instances_)
            return zrv::python::scene_box(*instances_);
        float box[6];
        for (int a = 0; a < 3; ++a) {
            box[a] = std::numeric_limits<float>::infinity();
            box[3 + a] = -std::numeric_limits<float>::infinity();
        }
        {
            const auto still = scene_->hold_still();
            for (const triAccel& t : scene_->records())
                for (const float* v : {t.vertex0, t.vertex1, t.vertex2})
                    for (int a = 0; a < 3; ++a) {
                        box[a] = std::min(box[a], v[a]);
                        box[3 + a] = std::max(box[3 + a], v[a]);
                    }
        }
        return zrv::python::box_array(box);
    }
    std::uint64_t revision() const { return instances_ ? instances_->revision() : 0; }
    double top_level_growth() const { return instanced("top_level_growth").top_level_growth(); }

    std::size_t size() const { return scene_ ? scene_->size() : instances_->placed_triangles(); }
    std::string accel() const {
        return scene_ ? zrv::python::accel_name(scene_->accel()) : zrv::python::INSTANCES_STRUCTURE;
    }
    std::size_t dropped_non_finite() const { return dropped_non_finite_; }
    std::size_t dropped_degenerate() const { return dropped_degenerate_; }

private:
    // The faces left out of a scene of instances' meshes as they are now.
    void count_meshes_dropped() {
        dropped_non_finite_ = dropped_degenerate_ = 0;
        for (const zrv::python::MeshRecords& mesh : instances_->meshes()) {
            dropped_non_finite_ += mesh->dropped_non_finite;
            dropped_degenerate_ += mesh->dropped_degenerate;
        }
    }

    // The scene's one mesh; a scene of instances raises ValueError naming
    // the query, as world-space distances to instances are not answered.
    const zrv::python::Scene& one_mesh(const char* query) const {
        if (!scene_)
            raise(PyExc_ValueError,
                  std::string(query) + " answers a scene of one mesh, not one of instances");
        return *scene_;
    }

    // The scene's instances; a scene of one mesh raises ValueError naming
    // the call.
    InstancedScene& instanced(const char* call) const {
        if (!instances_)
            raise(PyExc_ValueError,
                  std::string(call) + " answers a scene of instances, not one of one mesh");
        return *instances_;
    }

    static zrv::python::PointRows point_rows(const py::object& points) {
        return zrv::python::rows_of_three<float>(points, "points", "f", "a float array");
    }

    std::unique_ptr<zrv::python::Scene> scene_;
    std::unique_ptr<InstancedScene> instances_;
    std::size_t face_count_ = 0; // of scene_'s mesh
    std::size_t dropped_non_finite_ = 0;
    std::size_t dropped_degenerate_ = 0;
};

// The binding of a per-point measure of a scene: distance, signed_distance,
// occupancy.
template <zrv::python::PointMeasure kMeasure> auto point_measure(const char* name) {
    return [name](const PyScene& scene, const py::object& points, const py::object& threads) {
        return scene.measure(points, threads, kMeasure, name);
    };
}

} // namespace

// The extension is zorvadideruvovozov._core; the package re-exports it, and
// the Scene class names the package as its module, which is where pickle
// finds it again.
PYBIND11_MODULE(_core, m) {
    m.doc() = R"doc(Ray queries against triangle meshes held in numpy arrays.

A Scene builds the wide (eight-way) BVH over a mesh by default, or the
library's SAH KD-tree or binned-SAH BVH, and answers batches of rays on
native threads with the GIL released:

    import numpy as np
    import zorvadideruvovozov as zrv
    vertices = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], dtype=np.float32)
    faces = np.array([[0, 1, 2]])
    scene = zrv.Scene(vertices, faces)
    hits = scene.intersect([[0.2, 0.2, 1.0]], [[0.0, 0.0, -1.0]])
    hits["t"], hits["triangle"]   # array([1.]), array([0])

Coordinates are traced in float32; float64 input is converted once.)doc";
    m.attr("__version__") = ZRV_VERSION;
    m.attr("KDTREE_MAX_LEAF_TRIANGLES") = zrv::KDTREE_MAX_LEAF_TRIANGLES;
    m.attr("MAX_THREADS") = unsigned(gfxRTKDTree::MAX_THREADS);

    py::class_<PyScene> scene(m, "Scene", R"doc(Triangles and the tree built over them.

Scene(vertices, faces, accel="auto", build_threads=None)

vertices: (n, 3) float array. faces: (m, 3) integer array of vertex rows.
The scene keeps its own float32 copy of the triangles. Faces with a NaN or
infinite vertex coordinate are left out with a RuntimeWarning, faces of zero
area silently (no ray can hit them); hits report the face's row all the same.

accel: "auto" (the default) and "wide" the wide BVH, eight children per
node, the fastest to trace; "kd" the SAH KD-tree; "bvh" the binned-SAH BVH.
build_threads: 1 to 64 build threads; None for one per processor.

Raises TypeError or ValueError for bad arrays, faces referring to missing
vertices, or a mesh without usable triangles; RuntimeError when the build
fails.

Scene.from_instances places meshes by affine transforms instead. A Scene
pickles (its triangles and its tree, read back with the checked loaders, so
nothing is rebuilt), which multiprocessing, concurrent.futures and Dask use
to send it to other processes.)doc");
    scene.attr("__module__") = "zorvadideruvovozov";
    scene
        .def(py::init(&PyScene::create), py::arg("vertices"), py::arg("faces"),
             py::arg("accel") = "auto", py::arg("build_threads") = py::none())
        .def("intersect", &PyScene::intersect, py::arg("origins"), py::arg("directions"),
             py::arg("tmax") = std::numeric_limits<double>::infinity(),
             py::arg("threads") = py::none(),
             R"doc(Nearest hit of every ray.

origins, directions: (k, 3) float arrays, finite, directions not zero (any
length: t is measured in units of the direction). tmax: a number or a (k,)
array; hits count for 0.0001 <= t < tmax. threads: 1 to 64 native threads,
None for one per processor; every thread count gives the same answers. A
wide scene reads float32 C-ordered arrays in place and traces each ray with
its batch traversal; other arrays are converted once.

Returns a dict of (k,) arrays: "t" (float32, inf where missed), "triangle"
(int32 face row, -1 where missed), "u" and "v" (float32 barycentric weights
of the face's second and third vertex, 0 where missed); a scene of instances
adds "instance" (int32, -1 where missed), "triangle" then being the face row
in that instance's mesh.)doc")
        .def("occluded", &PyScene::occluded, py::arg("origins"), py::arg("directions"),
             py::arg("tmax") = std::numeric_limits<double>::infinity(),
             py::arg("threads") = py::none(),
             R"doc(Whether anything lies on each ray for 0.0001 <= t < tmax.

Arguments as for intersect; traced as shadow rays, which stop at any hit.
Returns a (k,) bool array.)doc")
        .def("count_intersections", &PyScene::count_intersections, py::arg("origins"),
             py::arg("directions"), py::arg("tmax") = std::numeric_limits<double>::infinity(),
             py::arg("threads") = py::none(), zrv::python::COUNT_INTERSECTIONS_DOC)
        .def("list_intersections", &PyScene::list_intersections, py::arg("origins"),
             py::arg("directions"), py::arg("tmax") = std::numeric_limits<double>::infinity(),
             py::arg("threads") = py::none(), zrv::python::LIST_INTERSECTIONS_DOC)
        .def("closest_points", &PyScene::closest_points, py::arg("points"),
             py::arg("threads") = py::none(), zrv::python::CLOSEST_POINTS_DOC)
        .def("distance", point_measure<zrv::python::PointMeasure::DISTANCE>("distance"),
             py::arg("points"), py::arg("threads") = py::none(), zrv::python::DISTANCE_DOC)
        .def("signed_distance",
             point_measure<zrv::python::PointMeasure::SIGNED_DISTANCE>("signed_distance"),
             py::arg("points"), py::arg("threads") = py::none(), zrv::python::SIGNED_DISTANCE_DOC)
        .def("occupancy", point_measure<zrv::python::PointMeasure::OCCUPANCY>("occupancy"),
             py::arg("points"), py::arg("threads") = py::none(), zrv::python::OCCUPANCY_DOC)
        .def_property_readonly("closed", &PyScene::closed, zrv::python::CLOSED_DOC)
        .def("save", &PyScene::save, py::arg("path"),
             R"doc(Writes the tree to path (str or path-like), tied to these triangles.

The file holds the triangle count, a hash of the triangle records and the
structure, then the tree; it is written to a temporary file and renamed.
Raises OSError when it cannot be written.)doc")
        .def_static("load", &PyScene::load, py::arg("path"), py::arg("vertices"), py::arg("faces"),
                    R"doc(A scene read from a file that save wrote for the same vertices and faces.

Raises FileNotFoundError for a missing file, ValueError when the file was
saved for other triangles, is damaged or does not hold a sound tree.)doc")
        .def_property_readonly("statistics", &PyScene::statistics,
                               R"doc(The tree's figures as a dict with accel and nodes.

A wide BVH adds leaves, blocks (of four triangles), depth, bytes, triangles
(those in the tree) and input_triangles; a KD-tree or BVH its statistic
record: number_of_leaves, number_of_empty_cells, average_objects_per_cell,
max_objects_in_cell, tree_depth, compile_time_sec, number_of_objects, valid.)doc")
        .def_property_readonly(
            "accel", &PyScene::accel,
            "The structure in use: \"wide\", \"kd\", \"bvh\", or \"wide-scene\" for instances.")
        .def_property_readonly(
            "bounds", &PyScene::bounds,
            R"doc(The scene's box as a (2, 3) float32 array (minimum row, then maximum), or None when nothing can be hit.

One mesh: the box of its triangles' vertices (faces left out not counted).
Instances: the union of instance_bounds over the enabled instances, at their
transforms now.)doc")
        .def_property_readonly("dropped_non_finite", &PyScene::dropped_non_finite,
                               "Faces left out for a NaN or infinite vertex coordinate.")
        .def_property_readonly("dropped_degenerate", &PyScene::dropped_degenerate,
                               "Faces left out for zero area.")
        .def("__len__", &PyScene::size,
             "Triangles in the scene (faces left out not counted; for instances, those placed).")
        .def("__repr__", &PyScene::repr)
        .def_static("from_instances", &PyScene::from_instances, py::arg("meshes"),
                    py::arg("transforms"), py::arg("mesh") = py::none(),
                    py::arg("build_threads") = py::none(),
                    R"doc(A scene of instances: meshes placed by affine transforms.

meshes: a sequence of (vertices, faces) pairs, each as for Scene(); every
mesh's wide BVH is built once, however often it is placed. transforms:
(k, 3, 4) float array, instance i's 3x4 row-major matrix from its mesh's
space to the world, world = T[:, :3] @ p + T[:, 3]. mesh: (k,) integer
array naming each instance's mesh; None (the default) places mesh i by
transforms[i], so k must equal len(meshes). build_threads as for Scene().

intersect then also returns "instance" (int32, -1 where missed) and
"triangle" is the face row in that instance's mesh; occluded, save,
statistics, len (the triangles placed) and pickling work as for one mesh;
accel is "wide-scene". Scene.load_instances reads a saved one back.

Raises ValueError naming the argument for bad meshes, shapes or mesh
indices, and naming the instance for a transform with a NaN or infinite
entry or without an inverse (singular).)doc")
        .def("set_transforms", &PyScene::set_transforms, py::arg("transforms"),
             py::arg("instances") = py::none(), py::arg("build_threads") = py::none(),
             py::kw_only(), py::arg("refit") = false,
             R"doc(Moves instances and rebuilds the scene's top level, as a renderer animates.

transforms: (k, 3, 4) float array of new object-to-world transforms, as for
from_instances. instances: (k,) integer array of the instances they move
(of two entries for one instance, the later wins); None (the default)
moves every instance, so k must equal the number of instances; k = 0 moves
nothing. The meshes' trees are kept; the moves are worked out and only the
top level over the instances is rebuilt, on build_threads threads (as for
Scene()). refit=True keeps the
top level's tree too and only moves its boxes, in a thirtieth of a
rebuild's time (moving all of 10,000 instances: 2.2 ms for the call
against 5.1), with the same answers; rays slow down as instances move far
from where the tree was last built, so rebuild now and then (a call with
refit=False) when top_level_growth says it has aged. Queries already
running on other threads finish first, with the placements they started
with.

Raises ValueError naming the argument for a bad shape or instance index,
and naming the transform for one with a NaN or infinite entry or without an
inverse: the scene is then left as it was. Raises MemoryError when the top
level cannot be rebuilt; the scene then hits nothing until a later
set_transforms succeeds.)doc")
        .def(
            "set_enabled", &PyScene::set_enabled, py::arg("enabled"),
            py::arg("instances") = py::none(), py::arg("build_threads") = py::none(),
            R"doc(Hides instances from every query, or shows them again, and rebuilds the top level.

enabled: a bool for every instance named, or a (k,) bool array, one flag
per entry of instances. instances: (k,) integer array of the instances
named (of two entries for one instance, the later wins); None (the
default) names every instance in order. A disabled instance keeps its
index, mesh and transform, and set_transforms still moves it, but no query
hits it: intersect never reports it and occluded ignores it. The meshes'
trees are kept; only the top level is rebuilt, on build_threads threads,
and queries running on other threads finish first, as for set_transforms.
Every instance starts enabled; pickles and saved files keep the flags.

Raises TypeError for flags that are not bools (integers would read as
instance numbers), ValueError for a bad shape or instance index (nothing
then changes), MemoryError when the top level cannot be rebuilt (the scene
then hits nothing until a later call succeeds).)doc")
        .def("add_instances", &PyScene::add_instances, py::arg("transforms"), py::arg("mesh"),
             py::arg("build_threads") = py::none(),
             R"doc(Places more instances of the scene's meshes; returns their indices.

transforms: (k, 3, 4) float array of object-to-world transforms, as for
from_instances; mesh: (k,) integer array naming each new instance's mesh
(an index into the scene's meshes: those it was built from, then those
add_meshes added). The new instances
take the indices after the last (returned as a (k,) int32 array), start
enabled, and are hit, moved and hidden as the others. The meshes' trees
are kept; only the top level is rebuilt, on build_threads threads, and
queries running on other threads finish first, as for set_transforms.

Raises ValueError naming the argument for a bad shape or mesh index, and
naming the transform for one with a NaN or infinite entry or without an
inverse: no instance is then added. Raises MemoryError when there is no
room for the instances (none added) or the top level cannot be rebuilt
(the scene then hits nothing until a later change succeeds).)doc")
        .def("add_meshes", &PyScene::add_meshes, py::arg("meshes"),
             py::arg("build_threads") = py::none(),
             R"doc(Adds meshes that add_instances can then place; returns their indices.

meshes: a sequence of (vertices, faces) pairs, as for from_instances (an
empty one adds nothing). Each mesh's wide BVH is built on build_threads
threads (as for Scene()) while queries on other threads run on; the
meshes are then added at once, taking the indices after the last (returned
as a (k,) int32 array). No instance places them yet, so what rays hit does
not change; pickles and saved files hold them, and Scene.load_instances
then needs them too.

Raises ValueError or TypeError naming the argument for a bad mesh, as
from_instances does, and MemoryError when memory runs out: no mesh is then
added.)doc")
        .def("set_vertices", &PyScene::set_vertices, py::arg("vertices"), py::arg("faces"),
             py::arg("build_threads") = py::none(),
             R"doc(Moves the mesh's vertices: the same faces at new places.

vertices and faces as for Scene(), faces the scene's own (a skinned
character, cloth, a simulation's surface, frame after frame). A wide BVH
is refitted to them (kept, its boxes moved: the further the mesh deforms
from the shape it was built in, the slower rays trace it; build a new
Scene then), a KD-tree or BVH built anew while queries run on, on
build_threads threads; queries running on other threads finish first and
later ones wait, as for set_transforms. Answers are then those of a scene
built over the moved vertices.

Raises ValueError for other faces, or moved vertices that leave out other
faces than the scene does (a face became NaN, infinite or degenerate, or a
face left out no longer is: build a new Scene then); MemoryError when
memory runs out. The scene is then as it was. A scene of instances moves a
mesh with set_mesh_vertices.)doc")
        .def("set_mesh_vertices", &PyScene::set_mesh_vertices, py::arg("mesh"), py::arg("vertices"),
             py::arg("faces"), py::arg("build_threads") = py::none(), py::kw_only(),
             py::arg("refit") = false,
             R"doc(Moves a mesh's vertices, and every instance of it with them.

mesh: the mesh's index; vertices and faces: the mesh as for Scene(), the
same faces at new vertices (a skinned character, cloth, a simulation's
surface). The mesh's tree is refitted to them (kept, its boxes moved; the
further the mesh deforms from the shape it was added in, the slower rays
trace it: add it anew then), and the top level is rebuilt, or with
refit=True refitted, on build_threads threads, after queries running on
other threads finish, as for set_transforms. Answers are then those of a
scene built over the moved mesh. Pickles and saved files hold the moved
mesh, and Scene.load_instances then needs it.

Raises TypeError or ValueError naming the argument for a bad mesh index,
vertices or faces; ValueError when the moved mesh leaves out other faces
than the mesh did (a face became NaN, infinite or degenerate, or a face
left out no longer is: add the moved mesh with add_meshes instead);
MemoryError when memory runs out. The scene is then as it was.)doc")
        .def_property_readonly("enabled", &PyScene::enabled,
                               "A scene of instances' flags: (k,) bool, False where disabled.")
        .def_property_readonly("transforms", &PyScene::transforms,
                               "A scene of instances' transforms: a (k, 3, 4) float32 copy.")
        .def_property_readonly("instance_mesh", &PyScene::instance_mesh,
                               "A scene of instances' mesh of each instance: (k,) int32.")
        .def_property_readonly(
            "instance_bounds", &PyScene::instance_bounds,
            R"doc(A scene of instances' world boxes: (k, 2, 3) float32, minimum row then maximum.

Each is the box of its mesh's 26-sided hull carried by its transform, rounded
outwards: it holds every triangle the instance places, and a rotation makes it
a little larger than their own box. NaN for an instance of an empty mesh.)doc")
        .def_property_readonly(
            "top_level_growth", &PyScene::top_level_growth,
            R"doc(How much a ray's work in the top level has grown through refits since it was built.

The top level's surface area cost (the instance boxes a random ray through
the scene enters) over its cost when last rebuilt: 1.0 after a rebuild,
rising as refit=True moves boxes the tree keeps grouped as they were.
Decide each frame with it, e.g.
scene.set_transforms(T, refit=scene.top_level_growth < 1.3).)doc")
        .def_property_readonly("revision", &PyScene::revision,
                               R"doc(How many times this scene of instances has been changed.

Each set_transforms, set_enabled, add_instances, add_meshes or
set_mesh_vertices call that takes effect counts one.

Copies (a pickle, a saved file, a scene sent to Dask workers) hold the
placements of when they were made, and count their own moves from 0.)doc")
        .def_static("load_instances", &PyScene::load_instances, py::arg("path"), py::arg("meshes"),
                    R"doc(An instanced scene read from a file that save wrote for the same meshes.

meshes as for from_instances; the transforms and mesh indices come from the
file. Raises FileNotFoundError for a missing file, ValueError when the file
was saved for other meshes, is damaged or does not hold a sound scene.)doc")
        .def(py::pickle([](const PyScene& self) { return self.state(); },
                        [](const py::tuple& state) { return PyScene::restore(state); }));
}
