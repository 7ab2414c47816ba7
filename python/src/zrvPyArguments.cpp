#include "zrvPyArguments.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

namespace py = pybind11;

namespace zrv {
namespace python {

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

std::string shape_text(const py::array& array) {
    std::string shape = "(";
    for (py::ssize_t axis = 0; axis < array.ndim(); ++axis)
        shape += (axis ? ", " : "") + std::to_string(array.shape(axis));
    return shape + (array.ndim() == 1 ? ",)" : ")");
}

py::array array_of_kind(py::handle obj, const std::string& name, const char* kinds,
                        const char* kind_text, const char* shape_wanted) {
    py::array array;
    try {
        array = py::array::ensure(obj);
    } catch (py::error_already_set&) {
    }
    if (!array)
        raise(PyExc_TypeError, name + " must be an array of shape " + shape_wanted);
    if (!std::strchr(kinds, array.dtype().kind()))
        raise(PyExc_TypeError, name + " must be " + kind_text + ", not " +
                                   py::str(array.dtype()).cast<std::string>());
    return array;
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

std::string path_text(const py::object& path) {
    return py::str(py::module_::import("os").attr("fspath")(path)).cast<std::string>();
}

TriangleRecords records_from(const py::object& vertices_obj, const py::object& faces_obj,
                             const std::string& mesh) {
    const std::string prefix = mesh.empty() ? std::string() : mesh + ": ";
    const auto vertices =
        rows_of_three<float>(vertices_obj, prefix + "vertices", "f", "a float array");
    const auto faces =
        rows_of_three<std::int64_t>(faces_obj, prefix + "faces", "iu", "an integer array");
    const std::size_t face_count = std::size_t(faces.shape(0));
    if (face_count > std::size_t(gfxRTKDTree::MAX_TRIANGLES))
        raise(PyExc_ValueError, prefix + "at most " + std::to_string(gfxRTKDTree::MAX_TRIANGLES) +
                                    " faces are supported, not " + std::to_string(face_count));
    TriangleRecords records;
    std::string error;
    if (!make_triangle_records(vertices.data(), std::size_t(vertices.shape(0)), faces.data(),
                               face_count, records, error))
        raise(PyExc_ValueError, prefix + error);
    if (records.dropped_non_finite > 0) {
        const std::string message = prefix + std::to_string(records.dropped_non_finite) +
                                    " faces with a NaN or infinite vertex coordinate were left out";
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 2) != 0)
            throw py::error_already_set();
    }
    if (records.records.empty())
        raise(PyExc_ValueError, prefix + "no usable triangles: " + std::to_string(face_count) +
                                    " faces, " + std::to_string(records.dropped_non_finite) +
                                    " with a non-finite vertex, " +
                                    std::to_string(records.dropped_degenerate) + " of zero area");
    return records;
}

CheckedRays::CheckedRays(const py::object& origins_obj, const py::object& directions_obj,
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

void CheckedRays::check_rays() const {
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

void CheckedRays::read_limits(const py::object& tmax) {
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

void CheckedRays::limit_every_ray(float tmax) {
    if (std::isnan(tmax))
        raise(PyExc_ValueError, "tmax must not be NaN");
    if (tmax == std::numeric_limits<float>::infinity())
        return;
    limits = py::array_t<float, py::array::c_style>(py::ssize_t(batch.count));
    std::fill_n(limits.mutable_data(), batch.count, tmax);
    batch.tmax = limits.data();
}

} // namespace python
} // namespace zrv
