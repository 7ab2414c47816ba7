// Checks of the Python module's arguments, shared by its source files:
// wrong types, shapes and values become TypeError or ValueError naming the
// argument.
#ifndef ZRV_PY_ARGUMENTS_H
#define ZRV_PY_ARGUMENTS_H

#include "zrvPyScene.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace zrv {
namespace python {

// Sets a Python exception of type and throws it to pybind11.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// "(2, 3)" for an array of that shape.
std::string shape_text(const pybind11::array& array);

// obj as an array of the given kinds ("f" float, "iu" integer), or TypeError
// naming it.
pybind11::array array_of_kind(pybind11::handle obj, const std::string& name, const char* kinds,
                              const char* kind_text, const char* shape_wanted);

// obj as an array of shape (rows, 3) of the given kinds, checked, then
// converted once to T in C order.
template <typename T>
pybind11::array_t<T, pybind11::array::c_style>
rows_of_three(pybind11::handle obj, const std::string& name, const char* kinds,
              const char* kind_text) {
    pybind11::array array = array_of_kind(obj, name, kinds, kind_text, "(n, 3)");
    if (array.ndim() != 2 || array.shape(1) != 3)
        raise(PyExc_ValueError, name + " must have shape (n, 3), not " + shape_text(array));
    return pybind11::array_t<T, pybind11::array::c_style | pybind11::array::forcecast>::ensure(
        array);
}

// threads as a count of 1 to gfxRTKDTree::MAX_THREADS, None for one per
// processor.
unsigned int thread_count(const pybind11::object& threads, const char* name);

// A str or path-like object as a path.
std::string path_text(const pybind11::object& path);

// The triangle records of vertices and faces, with a RuntimeWarning for
// faces left out because of non-finite vertices. mesh names the mesh in
// messages ("meshes[2]"), empty for the scene's one mesh.
TriangleRecords records_from(const pybind11::object& vertices, const pybind11::object& faces,
                             const std::string& mesh = std::string());

// Checked ray arrays, kept alive while they are traced.
struct CheckedRays {
    pybind11::array_t<float, pybind11::array::c_style> origins, directions, limits;
    RayBatch batch;
    unsigned int threads;

    CheckedRays(const pybind11::object& origins, const pybind11::object& directions,
                const pybind11::object& tmax, const pybind11::object& threads);

private:
    void check_rays() const;
    void read_limits(const pybind11::object& tmax);
    // One limit for all rays: none when infinite, else spelt out per ray.
    void limit_every_ray(float tmax);
};

} // namespace python
} // namespace zrv

#endif // ZRV_PY_ARGUMENTS_H
