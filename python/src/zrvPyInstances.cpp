#include "zrvPyInstances.h"

#include "zrvPyResultArrays.h"

#include <pybind11/numpy.h>

#include <algorithm>

namespace py = pybind11;

namespace zrv {
namespace python {

std::vector<TriangleRecords> meshes_from(const py::object& meshes, bool at_least_one) {
    if (!PySequence_Check(meshes.ptr()) || py::isinstance<py::str>(meshes) ||
        py::isinstance<py::array>(meshes))
        raise(PyExc_TypeError, "meshes must be a sequence of (vertices, faces) pairs");
    const py::sequence sequence = py::reinterpret_borrow<py::sequence>(meshes);
    if (at_least_one && sequence.size() == 0)
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

// obj as (count,) integers, each below limit, one per entry of values
// ("transforms"); out-of-range ones raise ValueError naming name[j] and
// saying what they index ("meshes").
std::vector<std::uint32_t> indices_below(const py::object& obj, const std::string& name,
                                         std::size_t count, const std::string& what,
                                         std::size_t limit, const std::string& values) {
    // An empty list makes a float array: no index is as good as none.
    const py::array any = py::array::ensure(obj);
    if (count == 0 && any && any.ndim() == 1 && any.size() == 0)
        return {};
    const py::array array = array_of_kind(obj, name, "iu", "an integer array", "(k,)");
    if (array.ndim() != 1 || std::size_t(array.shape(0)) != count)
        raise(PyExc_ValueError, name + " must have shape (" + std::to_string(count) +
                                    ",), one per entry of " + values + ", not " +
                                    shape_text(array));
    const auto indices =
        py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(array);
    std::vector<std::uint32_t> out(count);
    for (std::size_t j = 0; j < count; ++j) {
        const std::int64_t index = indices.data()[j];
        if (index < 0 || std::uint64_t(index) >= limit)
            raise(PyExc_ValueError, name + "[" + std::to_string(j) + "] is " +
                                        std::to_string(index) + ", not one of the " +
                                        std::to_string(limit) + " " + what);
        out[j] = std::uint32_t(index);
    }
    return out;
}

// obj as count indices below limit, one per entry of values, or 0, 1, ...
// when None, count then having to equal limit (per says so in the message:
// "one instance per mesh").
std::vector<std::uint32_t> indices_or_each(const py::object& obj, const std::string& name,
                                           std::size_t count, const std::string& what,
                                           std::size_t limit, const std::string& values,
                                           const std::string& per) {
    if (!obj.is_none())
        return indices_below(obj, name, count, what, limit, values);
    if (count != limit)
        raise(PyExc_ValueError, values + " must hold " + per + " (" + std::to_string(limit) +
                                    ") when " + name + " is None, not " + std::to_string(count));
    std::vector<std::uint32_t> out(count);
    for (std::size_t j = 0; j < count; ++j)
        out[j] = std::uint32_t(j);
    return out;
}

// transforms as a (k, 3, 4) float32 array; k may be 0 unless at_least_one.
py::array_t<float, py::array::c_style> transforms_from(const py::object& transforms,
                                                       bool at_least_one) {
    const py::array array =
        array_of_kind(transforms, "transforms", "f", "a float array", "(k, 3, 4)");
    if (array.ndim() != 3 || array.shape(1) != 3 || array.shape(2) != 4)
        raise(PyExc_ValueError, "transforms must have shape (k, 3, 4), not " + shape_text(array));
    if (at_least_one && array.shape(0) == 0)
        raise(PyExc_ValueError, "transforms must hold at least one instance");
    return py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(array);
}

} // namespace

std::unique_ptr<InstancedScene> build_instances(const py::object& meshes_obj,
                                                const py::object& transforms_obj,
                                                const py::object& mesh,
                                                const py::object& build_threads) {
    const unsigned int threads = thread_count(build_threads, "build_threads");
    std::vector<TriangleRecords> meshes = meshes_from(meshes_obj);
    const auto transforms = transforms_from(transforms_obj, true);
    const std::size_t count = std::size_t(transforms.shape(0));
    const std::vector<std::uint32_t> instance_mesh = indices_or_each(
        mesh, "mesh", count, "meshes", meshes.size(), "transforms", "one instance per mesh");
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

void move_instances(InstancedScene& scene, const py::object& transforms_obj,
                    const py::object& instances_obj, const py::object& build_threads, bool refit) {
    const unsigned int threads = thread_count(build_threads, "build_threads");
    const auto transforms = transforms_from(transforms_obj, false);
    const std::size_t count = std::size_t(transforms.shape(0));
    const std::vector<std::uint32_t> instances =
        indices_or_each(instances_obj, "instances", count, "instances", scene.instance_count(),
                        "transforms", "one transform per instance");
    if (count == 0)
        return; // nothing moves
    std::string error;
    bool moved;
    {
        py::gil_scoped_release release;
        moved = scene.move(instances.data(), transforms.data(), count, threads, refit, error);
    }
    if (!moved)
        raise(error.rfind("transforms", 0) == 0 ? PyExc_ValueError : PyExc_MemoryError, error);
}

void enable_instances(InstancedScene& scene, const py::object& enabled_obj,
                      const py::object& instances_obj, const py::object& build_threads) {
    const unsigned int threads = thread_count(build_threads, "build_threads");
    const py::array flags =
        array_of_kind(enabled_obj, "enabled", "b", "a bool or a bool array", "(k,)");
    if (flags.ndim() > 1)
        raise(PyExc_ValueError,
              "enabled must be a bool or have shape (k,), not " + shape_text(flags));
    const bool one_for_all = flags.ndim() == 0;
    const unsigned int instance_count = scene.instance_count();
    std::size_t count = one_for_all ? instance_count : std::size_t(flags.shape(0));
    if (one_for_all && !instances_obj.is_none()) {
        // One flag for the instances named, however many.
        const py::array named = py::array::ensure(instances_obj);
        if (named && named.ndim() == 1)
            count = std::size_t(named.shape(0));
    }
    const std::vector<std::uint32_t> instances =
        indices_or_each(instances_obj, "instances", count, "instances", instance_count, "enabled",
                        "one flag per instance");
    const auto as_bytes =
        py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>::ensure(flags);
    std::vector<std::uint8_t> enabled(count);
    for (std::size_t j = 0; j < count; ++j)
        enabled[j] = as_bytes.data()[one_for_all ? 0 : j] != 0 ? 1 : 0;
    if (count == 0)
        return; // nothing changes
    std::string error;
    bool committed;
    {
        py::gil_scoped_release release;
        committed = scene.enable(instances.data(), enabled.data(), count, threads, error);
    }
    if (!committed)
        raise(PyExc_MemoryError, error);
}

namespace {

// The indices first, first + 1, ... of the count items add(first, error)
// adds with the GIL released (nothing for count 0). A failure raises
// ValueError when its message starts with refused (the caller's argument
// was refused) and MemoryError otherwise.
template <typename Add>
py::array_t<std::int32_t> added_indices(std::size_t count, const char* refused, const Add& add) {
    py::array_t<std::int32_t> indices = result_array<std::int32_t>(count);
    if (count == 0)
        return indices;
    std::string error;
    bool added;
    std::size_t first;
    {
        py::gil_scoped_release release;
        added = add(first, error);
    }
    if (!added)
        raise(error.rfind(refused, 0) == 0 ? PyExc_ValueError : PyExc_MemoryError, error);
    for (std::size_t j = 0; j < count; ++j)
        indices.mutable_data()[j] = std::int32_t(first + j);
    return indices;
}

} // namespace

py::array_t<std::int32_t> add_instances(InstancedScene& scene, const py::object& transforms_obj,
                                        const py::object& mesh_obj,
                                        const py::object& build_threads) {
    const unsigned int threads = thread_count(build_threads, "build_threads");
    const auto transforms = transforms_from(transforms_obj, false);
    const std::size_t count = std::size_t(transforms.shape(0));
    const std::vector<std::uint32_t> mesh =
        indices_below(mesh_obj, "mesh", count, "meshes", scene.mesh_count(), "transforms");
    return added_indices(count, "transforms", [&](std::size_t& first, std::string& error) {
        return scene.add(mesh.data(), transforms.data(), count, threads, first, error);
    });
}

py::array_t<std::int32_t> add_meshes(InstancedScene& scene, std::vector<TriangleRecords> meshes,
                                     const py::object& build_threads) {
    const unsigned int threads = thread_count(build_threads, "build_threads");
    return added_indices(meshes.size(), "meshes would",
                         [&](std::size_t& first, std::string& error) {
                             return scene.add_meshes(std::move(meshes), threads, first, error);
                         });
}

void move_mesh(InstancedScene& scene, const py::object& mesh_obj, const py::object& vertices,
               const py::object& faces, const py::object& build_threads, bool refit) {
    const unsigned int threads = thread_count(build_threads, "build_threads");
    if (!PyIndex_Check(mesh_obj.ptr()) || py::isinstance<py::bool_>(mesh_obj))
        raise(PyExc_TypeError,
              "mesh must be an integer, not " + std::string(Py_TYPE(mesh_obj.ptr())->tp_name));
    const Py_ssize_t mesh = PyNumber_AsSsize_t(mesh_obj.ptr(), nullptr);
    if (mesh == -1 && PyErr_Occurred())
        throw py::error_already_set();
    // Meshes are only ever added: an index below the count stays a mesh.
    const std::size_t mesh_count = scene.mesh_count();
    if (mesh < 0 || std::size_t(mesh) >= mesh_count)
        raise(PyExc_ValueError, "mesh " + std::to_string(mesh) +
                                    " is not a mesh of the scene (it has " +
                                    std::to_string(mesh_count) + ")");
    TriangleRecords moved = records_from(vertices, faces);
    std::string error;
    bool done;
    {
        py::gil_scoped_release release;
        done = scene.refit_mesh(std::size_t(mesh), std::move(moved), threads, refit, error);
    }
    if (!done)
        raise(error.rfind("vertices", 0) == 0 ? PyExc_ValueError : PyExc_MemoryError, error);
}

py::array_t<bool> instances_enabled(const InstancedScene& scene) {
    const std::vector<bool> enabled = scene.placements().enabled;
    py::array_t<bool> out = result_array<bool>(enabled.size());
    std::copy(enabled.begin(), enabled.end(), out.mutable_data());
    return out;
}

namespace {

// values as a (k, rows, columns) float32 array.
py::array_t<float> float_matrices(const std::vector<float>& values, py::ssize_t rows,
                                  py::ssize_t columns) {
    py::array_t<float> out({py::ssize_t(values.size()) / (rows * columns), rows, columns});
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

} // namespace

py::array_t<float> instance_transforms(const InstancedScene& scene) {
    return float_matrices(scene.placements().transforms, 3, 4);
}

py::array_t<std::int32_t> instance_meshes(const InstancedScene& scene) {
    const std::vector<std::uint32_t> mesh = scene.placements().mesh;
    py::array_t<std::int32_t> out = result_array<std::int32_t>(mesh.size());
    std::copy(mesh.begin(), mesh.end(), out.mutable_data());
    return out;
}

py::array_t<float> box_array(const float* box) {
    py::array_t<float> out({py::ssize_t(2), py::ssize_t(3)});
    std::copy(box, box + 6, out.mutable_data());
    return out;
}

py::array_t<float> instance_boxes(const InstancedScene& scene) {
    return float_matrices(scene.instance_boxes(), 2, 3);
}

py::object scene_box(const InstancedScene& scene) {
    float box[6];
    if (!scene.scene_box(box))
        return py::none();
    return box_array(box);
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
    const gfxRTWideBVHStatistics total = scene.with_scene(mesh_totals);
    const std::vector<bool> enabled = scene.placements().enabled;
    py::dict result;
    result["accel"] = INSTANCES_STRUCTURE;
    result["nodes"] = total.nodes;
    result["leaves"] = total.leaves;
    result["blocks"] = total.blocks;
    result["depth"] = total.depth;
    result["bytes"] = total.bytes;
    result["triangles"] = total.triangles;
    result["input_triangles"] = total.input_triangles;
    result["meshes"] = scene.mesh_count();
    result["instances"] = enabled.size();
    result["instances_enabled"] = std::count(enabled.begin(), enabled.end(), true);
    result["triangles_placed"] = scene.placed_triangles();
    return result;
}

std::string instances_repr(const InstancedScene& scene) {
    const gfxRTWideBVHStatistics total = scene.with_scene(mesh_totals);
    return "<zorvadideruvovozov.Scene " + std::to_string(scene.instance_count()) +
           " instances of " + std::to_string(scene.mesh_count()) + " meshes, " +
           std::to_string(scene.placed_triangles()) + " triangles placed, " +
           std::to_string(total.triangles) + " in the meshes' wide BVHs of " +
           std::to_string(total.nodes) + " nodes>";
}

} // namespace python
} // namespace zrv
