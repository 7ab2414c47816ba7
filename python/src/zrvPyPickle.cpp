#include "zrvPyPickle.h"

#include "zrvPyArguments.h"

#include <pybind11/numpy.h>

namespace py = pybind11;

namespace zrv {
namespace python {

namespace {

const char* const SCENE_TOKEN = "zorvadideruvovozov.Scene";
const char* const INSTANCES_TOKEN = "zorvadideruvovozov.Scene instances";
const unsigned int STATE_VERSION = 1;
const char* const WHAT = "the pickled scene";

py::tuple mesh_state(const TriangleRecords& mesh) {
    const py::ssize_t n = py::ssize_t(mesh.records.size());
    py::array_t<float> corners({n, py::ssize_t(3), py::ssize_t(3)});
    py::array_t<std::int32_t> rows(n);
    corners_of(mesh.records, corners.mutable_data(), rows.mutable_data());
    return py::make_tuple(corners, rows, mesh.dropped_non_finite, mesh.dropped_degenerate);
}

TriangleRecords mesh_from_state(py::handle state, const std::string& name) {
    py::tuple tuple;
    if (py::isinstance<py::tuple>(state))
        tuple = py::reinterpret_borrow<py::tuple>(state);
    if (tuple.size() != 4)
        raise(PyExc_ValueError, std::string(WHAT) + " is damaged: " + name + " is not a mesh");
    const auto corners =
        py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(tuple[0]);
    const auto rows =
        py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>::ensure(tuple[1]);
    if (!corners || !rows || corners.ndim() != 3 || corners.shape(1) != 3 ||
        corners.shape(2) != 3 || rows.ndim() != 1 || rows.shape(0) != corners.shape(0))
        raise(PyExc_ValueError, std::string(WHAT) + " is damaged: " + name +
                                    " has no triangles of shape (n, 3, 3) with n rows");
    TriangleRecords mesh;
    std::string error;
    if (!records_from_corners(corners.data(), rows.data(), std::size_t(rows.shape(0)), mesh.records,
                              error))
        raise(PyExc_ValueError, std::string(WHAT) + " is damaged: " + name + ": " + error);
    mesh.dropped_non_finite = tuple[2].cast<std::size_t>();
    mesh.dropped_degenerate = tuple[3].cast<std::size_t>();
    return mesh;
}

// The bytes write(writer, error) puts in memory.
template <typename Write> py::bytes saved_bytes(const Write& write) {
    streams::MemoryWriter writer;
    std::string error;
    if (!write(writer, error) || !writer.ok())
        raise(PyExc_RuntimeError,
              "cannot pickle the scene: " + (error.empty() ? writer.error() : error));
    const std::vector<unsigned char> image = writer.image();
    return py::bytes(reinterpret_cast<const char*>(image.data()), image.size());
}

} // namespace

py::tuple scene_state(const Scene& scene, const TriangleRecords& counts) {
    TriangleRecords mesh;
    mesh.dropped_non_finite = counts.dropped_non_finite;
    mesh.dropped_degenerate = counts.dropped_degenerate;
    // The records of the moment the tree was written, should another thread
    // move the mesh meanwhile.
    const py::bytes tree = saved_bytes([&](streams::Writer& writer, std::string& error) {
        return scene.write(writer, error, &mesh.records);
    });
    return py::make_tuple(SCENE_TOKEN, STATE_VERSION, mesh_state(mesh), tree);
}

py::tuple instances_state(const InstancedScene& scene) {
    // The meshes of the moment the scene was written, should another thread
    // add some meanwhile.
    std::vector<MeshRecords> written;
    const py::bytes tree = saved_bytes([&](streams::Writer& writer, std::string& error) {
        return scene.write(writer, error, &written);
    });
    py::list meshes;
    for (const MeshRecords& mesh : written)
        meshes.append(mesh_state(*mesh));
    return py::make_tuple(INSTANCES_TOKEN, STATE_VERSION, meshes, tree);
}

RestoredScene restore_state(const py::tuple& state) {
    if (state.size() != 4 || !py::isinstance<py::str>(state[0]) ||
        !py::isinstance<py::int_>(state[1]) || !py::isinstance<py::bytes>(state[3]))
        raise(PyExc_ValueError, std::string(WHAT) + " is damaged: not a Scene's state");
    const std::string token = state[0].cast<std::string>();
    if ((token != SCENE_TOKEN && token != INSTANCES_TOKEN) ||
        state[1].cast<long long>() != STATE_VERSION)
        raise(PyExc_ValueError, std::string(WHAT) + " is not a Scene's state of this version");
    // The bytes stay alive in state while the GIL is released.
    char* tree = nullptr;
    Py_ssize_t tree_size = 0;
    PyBytes_AsStringAndSize(state[3].ptr(), &tree, &tree_size);
    RestoredScene restored;
    std::string error;
    if (token == SCENE_TOKEN) {
        TriangleRecords mesh = mesh_from_state(state[2], "its mesh");
        restored.counts.dropped_non_finite = mesh.dropped_non_finite;
        restored.counts.dropped_degenerate = mesh.dropped_degenerate;
        py::gil_scoped_release release;
        streams::MemoryReader reader(tree, std::size_t(tree_size));
        restored.scene = Scene::read(reader, WHAT, std::move(mesh.records), error);
    } else {
        if (!py::isinstance<py::list>(state[2]))
            raise(PyExc_ValueError, std::string(WHAT) + " is damaged: no list of meshes");
        const py::list list = state[2];
        std::vector<TriangleRecords> meshes;
        for (std::size_t m = 0; m < list.size(); ++m)
            meshes.push_back(mesh_from_state(list[m], "meshes[" + std::to_string(m) + "]"));
        py::gil_scoped_release release;
        streams::MemoryReader reader(tree, std::size_t(tree_size));
        restored.instances = InstancedScene::read(reader, WHAT, std::move(meshes), error);
    }
    if (!restored.scene && !restored.instances)
        raise(PyExc_ValueError, error);
    return restored;
}

} // namespace python
} // namespace zrv
