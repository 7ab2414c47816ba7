#include "zrvPyInstances.h"

#include "zrvPyResultArrays.h"

#include <pybind11/numpy.h>

#include <algorithm>

namespace py = pybind11;

namespace zrv {
namespace python {

std::vector<TriangleRecords> meshes_from(const py::object& meshes) {
    if (!PySequence_Check(meshes.ptr()) || py::isinstance<py::str>(meshes) ||
        py::isinstance<py::array>(meshes))
        raise(PyExc_TypeError, "meshes must be a sequence of (vertices, faces) pairs");
    const py::sequence sequence = py::reinterpret_borrow<py::sequence>(meshes);
    if (sequence.size() == 0)
        raise(PyExc_ValueError, "meshes must hold at least one (vertices, faces) pair");
    std::vector<TriangleRecords> out;
    for (std::size_t m = 0; m < sequence.size(); ++m) {
        const std::string name = "meshes[" + std::to_string(m) + "]";
        const py::object pair = sequence[m];
        if (!PySequence_Check(pair.ptr()) || py::isinstance<py::array>(pair) || py::len(pair) != 2)
            raise(PyExc_ValueError, name + " must be a (vertices, faces) pair");
        out.push_back(records_from(pair[py::int_(0)], pair[py::int_(1)], name));
    }
    return out;
}

namespace {

// mesh as (count,) indices of meshes, or 0, 1, ... when None.
std::vector<std::uint32_t> instance_meshes(const py::object& mesh, std::size_t count,
                                           std::size_t meshes) {
    std::vector<std::uint32_t> out(count);
    if (mesh.is_none()) {
        if (count != meshes)
            raise(PyExc_ValueError, "transforms must hold one instance per mesh (" +
                                        std::to_string(meshes) + ") when mesh is None, not " +
                                        std::to_string(count));
        for (std::size_t i = 0; i < count; ++i)
            out[i] = std::uint32_t(i);
        return out;
    }
    const py::array array = array_of_kind(mesh, "mesh", "iu", "an integer array", "(k,)");
    if (array.ndim() != 1 || std::size_t(array.shape(0)) != count)
        raise(PyExc_ValueError, "mesh must have shape (" + std::to_string(count) +
                                    ",), one per transform, not " + shape_text(array));
    const auto indices =
        py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(array);
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t index = indices.data()[i];
        if (index < 0 || std::uint64_t(index) >= meshes)
            raise(PyExc_ValueError, "mesh[" + std::to_string(i) + "] is " + std::to_string(index) +
                                        ", not one of the " + std::to_string(meshes) + " meshes");
        out[i] = std::uint32_t(index);
    }
    return out;
}

} // namespace

std::unique_ptr<InstancedScene> build_instances(const py::object& meshes_obj,
                                                const py::object& transforms_obj,
                                                const py::object& mesh,
                                                const py::object& build_threads) {
    const unsigned int threads = thread_count(build_threads, "build_threads");
    std::vector<TriangleRecords> meshes = meshes_from(meshes_obj);
    const py::array array =
        array_of_kind(transforms_obj, "transforms", "f", "a float array", "(k, 3, 4)");
    if (array.ndim() != 3 || array.shape(1) != 3 || array.shape(2) != 4)
        raise(PyExc_ValueError, "transforms must have shape (k, 3, 4), not " + shape_text(array));
    const std::size_t count = std::size_t(array.shape(0));
    if (count == 0)
        raise(PyExc_ValueError, "transforms must hold at least one instance");
    const auto transforms =
        py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(array);
    const std::vector<std::uint32_t> instance_mesh = instance_meshes(mesh, count, meshes.size());
    std::unique_ptr<InstancedScene> scene;
    std::string error;
    {
        py::gil_scoped_release release;
        scene = InstancedScene::build(std::move(meshes), instance_mesh.data(), transforms.data(),
                                      count, threads, error);
    }
    if (!scene)
        raise(error.rfind("transforms[", 0) == 0 ? PyExc_ValueError : PyExc_RuntimeError, error);
    return scene;
}

py::dict intersect_instances(const InstancedScene& scene, CheckedRays& rays) {
    const std::size_t k = rays.batch.count;
    py::array_t<float> t = result_array<float>(k), u = result_array<float>(k),
                       v = result_array<float>(k);
    py::array_t<std::int32_t> triangle = result_array<std::int32_t>(k),
                              instance = result_array<std::int32_t>(k);
    rays.batch.t = t.mutable_data();
    rays.batch.triangle = triangle.mutable_data();
    rays.batch.instance = instance.mutable_data();
    rays.batch.u = u.mutable_data();
    rays.batch.v = v.mutable_data();
    {
        py::gil_scoped_release release;
        scene.trace(rays.batch, rays.threads, false);
    }
    py::dict result;
    result["t"] = t;
    result["triangle"] = triangle;
    result["instance"] = instance;
    result["u"] = u;
    result["v"] = v;
    return result;
}

namespace {

// The meshes' trees' figures added up (depth: the deepest).
gfxRTWideBVHStatistics mesh_totals(const gfxRTWideScene& scene) {
    gfxRTWideBVHStatistics total{};
    for (unsigned int m = 0; m < scene.mesh_count(); ++m) {
        const gfxRTWideBVHStatistics mesh = scene.mesh(m).statistics();
        total.input_triangles += mesh.input_triangles;
        total.triangles += mesh.triangles;
        total.nodes += mesh.nodes;
        total.leaves += mesh.leaves;
        total.blocks += mesh.blocks;
        total.depth = std::max(total.depth, mesh.depth);
    }
    total.bytes = scene.memory_bytes();
    return total;
}

} // namespace

py::dict instances_statistics(const InstancedScene& scene) {
    const gfxRTWideBVHStatistics total = mesh_totals(scene.scene());
    py::dict result;
    result["accel"] = INSTANCES_STRUCTURE;
    result["nodes"] = total.nodes;
    result["leaves"] = total.leaves;
    result["blocks"] = total.blocks;
    result["depth"] = total.depth;
    result["bytes"] = total.bytes;
    result["triangles"] = total.triangles;
    result["input_triangles"] = total.input_triangles;
    result["meshes"] = scene.scene().mesh_count();
    result["instances"] = scene.scene().instance_count();
    result["triangles_placed"] = scene.placed_triangles();
    return result;
}

std::string instances_repr(const InstancedScene& scene) {
    const gfxRTWideBVHStatistics total = mesh_totals(scene.scene());
    return "<zorvadideruvovozov.Scene " + std::to_string(scene.scene().instance_count()) +
           " instances of " + std::to_string(scene.scene().mesh_count()) + " meshes, " +
           std::to_string(scene.placed_triangles()) + " triangles placed, " +
           std::to_string(total.triangles) + " in the meshes' wide BVHs of " +
           std::to_string(total.nodes) + " nodes>";
}

} // namespace python
} // namespace zrv
