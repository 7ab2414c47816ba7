// The zorvadideruvovozov Python module: a Scene over numpy vertex and face
// arrays, traced with batches of rays. Input is checked here and failures
// become Python exceptions; the work itself is in zrvPyScene.
#include "zrvAccelChoice.h"
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

namespace {

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

std::string dtype_name(const py::array& array) {
    return py::str(array.dtype()).cast<std::string>();
}

// obj as an array of shape (rows, 3) of the given kinds ("f" float, "iu"
// integer), checked, then converted once to T in C order.
template <typename T>
py::array_t<T, py::array::c_style> rows_of_three(py::handle obj, const char* name,
                                                 const char* kinds, const char* kind_text) {
    py::array array;
    try {
        array = py::array::ensure(obj);
    } catch (py::error_already_set&) {
    }
    if (!array)
        raise(PyExc_TypeError, std::string(name) + " must be an array of shape (n, 3)");
    if (!std::strchr(kinds, array.dtype().kind()))
        raise(PyExc_TypeError,
              std::string(name) + " must be " + kind_text + ", not " + dtype_name(array));
    if (array.ndim() != 2 || array.shape(1) != 3) {
        std::string shape = "(";
        for (py::ssize_t axis = 0; axis < array.ndim(); ++axis)
            shape += (axis ? ", " : "") + std::to_string(array.shape(axis));
        shape += array.ndim() == 1 ? ",)" : ")";
        raise(PyExc_ValueError, std::string(name) + " must have shape (n, 3), not " + shape);
    }
    return py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(array);
}

unsigned int thread_count(const py::object& threads, const char* name) {
    const unsigned int most = gfxRTKDTree::MAX_THREADS;
    if (threads.is_none())
        return std::max(1u, std::min(most, std::thread::hardware_concurrency()));
    if (!py::isinstance<py::int_>(threads) || py::isinstance<py::bool_>(threads))
        raise(PyExc_TypeError, std::string(name) + " must be an int or None");
    const long long value = threads.cast<long long>();
    if (value < 1 || value > most)
        raise(PyExc_ValueError, std::string(name) + " must be 1 to " + std::to_string(most) +
                                    ", not " + std::to_string(value));
    return unsigned(value);
}

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

std::string path_text(const py::object& path) {
    return py::str(py::module_::import("os").attr("fspath")(path)).cast<std::string>();
}

// The triangle records of vertices and faces, with a warning for faces left
// out because of non-finite vertices.
zrv::python::TriangleRecords records_from(const py::object& vertices_obj,
                                          const py::object& faces_obj) {
    const auto vertices = rows_of_three<float>(vertices_obj, "vertices", "f", "a float array");
    const auto faces = rows_of_three<std::int64_t>(faces_obj, "faces", "iu", "an integer array");
    const std::size_t face_count = std::size_t(faces.shape(0));
    if (face_count > std::size_t(gfxRTKDTree::MAX_TRIANGLES))
        raise(PyExc_ValueError, "at most " + std::to_string(gfxRTKDTree::MAX_TRIANGLES) +
                                    " faces are supported, not " + std::to_string(face_count));
    zrv::python::TriangleRecords records;
    std::string error;
    if (!zrv::python::make_triangle_records(vertices.data(), std::size_t(vertices.shape(0)),
                                            faces.data(), face_count, records, error))
        raise(PyExc_ValueError, error);
    if (records.dropped_non_finite > 0) {
        const std::string message = std::to_string(records.dropped_non_finite) +
                                    " faces with a NaN or infinite vertex coordinate were left out";
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 2) != 0)
            throw py::error_already_set();
    }
    if (records.records.empty())
        raise(PyExc_ValueError, "no usable triangles: " + std::to_string(face_count) + " faces, " +
                                    std::to_string(records.dropped_non_finite) +
                                    " with a non-finite vertex, " +
                                    std::to_string(records.dropped_degenerate) + " of zero area");
    return records;
}

class PyScene {
public:
    PyScene(std::unique_ptr<zrv::python::Scene> scene, const zrv::python::TriangleRecords& records,
            std::size_t face_count)
        : scene_(std::move(scene)), face_count_(face_count),
          dropped_non_finite_(records.dropped_non_finite),
          dropped_degenerate_(records.dropped_degenerate) {}

    static PyScene create(const py::object& vertices, const py::object& faces,
                          const std::string& accel, const py::object& build_threads) {
        const Accel choice = accel_from(accel);
        const unsigned int threads = thread_count(build_threads, "build_threads");
        zrv::python::TriangleRecords records = records_from(vertices, faces);
        const std::size_t face_count =
            records.records.size() + records.dropped_non_finite + records.dropped_degenerate;
        std::unique_ptr<zrv::python::Scene> scene;
        std::string error;
        {
            py::gil_scoped_release release;
            scene = zrv::python::Scene::build(records.records, choice, threads, error);
        }
        if (!scene)
            raise(PyExc_RuntimeError, error);
        return PyScene(std::move(scene), records, face_count);
    }

    static PyScene load(const py::object& path, const py::object& vertices,
                        const py::object& faces) {
        const std::string file = path_text(path);
        zrv::python::TriangleRecords records = records_from(vertices, faces);
        const std::size_t face_count =
            records.records.size() + records.dropped_non_finite + records.dropped_degenerate;
        std::unique_ptr<zrv::python::Scene> scene;
        std::string error;
        bool missing = false;
        {
            py::gil_scoped_release release;
            scene = zrv::python::Scene::load(file, records.records, missing, error);
        }
        if (!scene)
            raise(missing ? PyExc_FileNotFoundError : PyExc_ValueError, error);
        return PyScene(std::move(scene), records, face_count);
    }

    void save(const py::object& path) const {
        const std::string file = path_text(path);
        std::string error;
        bool saved;
        {
            py::gil_scoped_release release;
            saved = scene_->save(file, error);
        }
        if (!saved)
            raise(PyExc_OSError, error);
    }

    py::dict intersect(const py::object& origins, const py::object& directions,
                       const py::object& tmax, const py::object& threads) const {
        Rays rays(origins, directions, tmax, threads);
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
        Rays rays(origins, directions, tmax, threads);
        py::array_t<bool> result = zrv::python::result_array<bool>(rays.batch.count);
        rays.batch.occluded = reinterpret_cast<unsigned char*>(result.mutable_data());
        {
            py::gil_scoped_release release;
            scene_->trace(rays.batch, rays.threads, true);
        }
        return result;
    }

    py::dict statistics() const {
        py::dict result;
        result["accel"] = zrv::python::accel_name(scene_->accel());
        result["nodes"] = scene_->node_count();
        if (scene_->accel() == Accel::WIDE) {
            const gfxRTWideBVHStatistics wide = scene_->wide_statistics();
            result["leaves"] = wide.leaves;
            result["blocks"] = wide.blocks;
            result["depth"] = wide.depth;
            result["bytes"] = wide.bytes;
            result["triangles"] = wide.triangles;
            result["input_triangles"] = wide.input_triangles;
            return result;
        }
        const KDTreeStatistic* statistic = scene_->statistic();
        if (statistic) {
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
        std::string text =
            "<zorvadideruvovozov.Scene " + std::to_string(scene_->size()) + " triangles";
        if (scene_->size() != face_count_)
            text += " of " + std::to_string(face_count_) + " faces";
        const Accel accel = scene_->accel();
        text += accel == Accel::WIDE ? ", wide BVH" : accel == Accel::KD ? ", KD-tree" : ", BVH";
        text += " of " + std::to_string(scene_->node_count()) + " nodes";
        if (accel == Accel::WIDE) {
            const gfxRTWideBVHStatistics wide = scene_->wide_statistics();
            text += ", depth " + std::to_string(wide.depth) + ", " + std::to_string(wide.blocks) +
                    " blocks of " + std::to_string(gfxRTWideBVH::BLOCK_SIZE) + " triangles";
        } else if (const KDTreeStatistic* statistic = scene_->statistic()) {
            text += ", depth " + std::to_string(statistic->tree_depth) + ", at most " +
                    std::to_string(statistic->max_objects_in_cell) + " triangles per leaf";
        }
        return text + ">";
    }

    // Closest points, distances, signed distances, occupancy
    // (zrvPyPointQueries.cpp).
    py::dict closest_points(const py::object& points, const py::object& threads) const {
        const unsigned int count = thread_count(threads, "threads");
        return zrv::python::closest_points(*scene_, point_rows(points), count);
    }
    py::array_t<float> measure(const py::object& points, const py::object& threads,
                               zrv::python::PointMeasure measure) const {
        const unsigned int count = thread_count(threads, "threads");
        return zrv::python::measure_points(*scene_, point_rows(points), count, measure);
    }
    bool closed() const { return zrv::python::mesh_is_closed(*scene_); }

    std::size_t size() const { return scene_->size(); }
    std::string accel() const { return zrv::python::accel_name(scene_->accel()); }
    std::size_t dropped_non_finite() const { return dropped_non_finite_; }
    std::size_t dropped_degenerate() const { return dropped_degenerate_; }

private:
    static zrv::python::PointRows point_rows(const py::object& points) {
        return rows_of_three<float>(points, "points", "f", "a float array");
    }

    // Checked ray arrays, kept alive while they are traced.
    struct Rays {
        py::array_t<float, py::array::c_style> origins, directions, limits;
        zrv::python::RayBatch batch;
        unsigned int threads;

        Rays(const py::object& origins_obj, const py::object& directions_obj,
             const py::object& tmax, const py::object& threads_obj) {
            origins = rows_of_three<float>(origins_obj, "origins", "f", "a float array");
            directions = rows_of_three<float>(directions_obj, "directions", "f", "a float array");
            if (origins.shape(0) != directions.shape(0))
                raise(PyExc_ValueError, "origins and directions must have the same length, not " +
                                            std::to_string(origins.shape(0)) + " and " +
                                            std::to_string(directions.shape(0)));
            batch.count = std::size_t(origins.shape(0));
            batch.origins = origins.data();
            batch.directions = directions.data();
            check_rays();
            read_limits(tmax);
            threads = thread_count(threads_obj, "threads");
        }

        void check_rays() const {
            for (std::size_t i = 0; i < batch.count; ++i) {
                const float* o = batch.origins + 3 * i;
                const float* d = batch.directions + 3 * i;
                if (!std::isfinite(o[0]) || !std::isfinite(o[1]) || !std::isfinite(o[2]))
                    raise(PyExc_ValueError, "origins[" + std::to_string(i) + "] is not finite");
                if (!std::isfinite(d[0]) || !std::isfinite(d[1]) || !std::isfinite(d[2]))
                    raise(PyExc_ValueError, "directions[" + std::to_string(i) + "] is not finite");
                if (d[0] == 0.0f && d[1] == 0.0f && d[2] == 0.0f)
                    raise(PyExc_ValueError, "directions[" + std::to_string(i) + "] is zero");
            }
        }

        void read_limits(const py::object& tmax) {
            if (py::isinstance<py::float_>(tmax) || py::isinstance<py::int_>(tmax)) {
                limit_every_ray(tmax.cast<float>());
                return;
            }
            py::array array;
            try {
                array = py::array::ensure(tmax);
            } catch (py::error_already_set&) {
            }
            if (!array || !std::strchr("fiu", array.dtype().kind()))
                raise(PyExc_TypeError, "tmax must be a number or an array of numbers");
            if (array.ndim() == 0) {
                limit_every_ray(py::float_(tmax).cast<float>());
                return;
            }
            if (array.ndim() != 1 || std::size_t(array.shape(0)) != batch.count)
                raise(PyExc_ValueError,
                      "tmax must be a number or have shape (" + std::to_string(batch.count) + ",)");
            limits = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(array);
            for (std::size_t i = 0; i < batch.count; ++i)
                if (std::isnan(limits.data()[i]))
                    raise(PyExc_ValueError, "tmax[" + std::to_string(i) + "] is NaN");
            batch.tmax = limits.data();
        }

        // One limit for all rays: none when infinite, else spelt out per ray.
        void limit_every_ray(float tmax) {
            if (std::isnan(tmax))
                raise(PyExc_ValueError, "tmax must not be NaN");
            if (tmax == std::numeric_limits<float>::infinity())
                return;
            limits = py::array_t<float, py::array::c_style>(py::ssize_t(batch.count));
            std::fill_n(limits.mutable_data(), batch.count, tmax);
            batch.tmax = limits.data();
        }
    };

    std::unique_ptr<zrv::python::Scene> scene_;
    std::size_t face_count_;
    std::size_t dropped_non_finite_;
    std::size_t dropped_degenerate_;
};

} // namespace

PYBIND11_MODULE(zorvadideruvovozov, m) {
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

    py::class_<PyScene>(m, "Scene", R"doc(Triangles and the tree built over them.

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
fails.)doc")
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
of the face's second and third vertex, 0 where missed).)doc")
        .def("occluded", &PyScene::occluded, py::arg("origins"), py::arg("directions"),
             py::arg("tmax") = std::numeric_limits<double>::infinity(),
             py::arg("threads") = py::none(),
             R"doc(Whether anything lies on each ray for 0.0001 <= t < tmax.

Arguments as for intersect; traced as shadow rays, which stop at any hit.
Returns a (k,) bool array.)doc")
        .def("closest_points", &PyScene::closest_points, py::arg("points"),
             py::arg("threads") = py::none(), zrv::python::CLOSEST_POINTS_DOC)
        .def(
            "distance",
            [](const PyScene& scene, const py::object& points, const py::object& threads) {
                return scene.measure(points, threads, zrv::python::PointMeasure::DISTANCE);
            },
            py::arg("points"), py::arg("threads") = py::none(), zrv::python::DISTANCE_DOC)
        .def(
            "signed_distance",
            [](const PyScene& scene, const py::object& points, const py::object& threads) {
                return scene.measure(points, threads, zrv::python::PointMeasure::SIGNED_DISTANCE);
            },
            py::arg("points"), py::arg("threads") = py::none(), zrv::python::SIGNED_DISTANCE_DOC)
        .def(
            "occupancy",
            [](const PyScene& scene, const py::object& points, const py::object& threads) {
                return scene.measure(points, threads, zrv::python::PointMeasure::OCCUPANCY);
            },
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
        .def_property_readonly("accel", &PyScene::accel,
                               "The structure in use: \"wide\", \"kd\" or \"bvh\".")
        .def_property_readonly("dropped_non_finite", &PyScene::dropped_non_finite,
                               "Faces left out for a NaN or infinite vertex coordinate.")
        .def_property_readonly("dropped_degenerate", &PyScene::dropped_degenerate,
                               "Faces left out for zero area.")
        .def("__len__", &PyScene::size, "Triangles in the scene (faces left out not counted).")
        .def("__repr__", &PyScene::repr);
}
