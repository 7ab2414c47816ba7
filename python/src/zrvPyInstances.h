// Scene.from_instances: its arguments checked and turned into an
// InstancedScene, and that scene's answers and figures as Python objects.
#ifndef ZRV_PY_INSTANCES_H
#define ZRV_PY_INSTANCES_H

#include "zrvPyArguments.h"
#include "zrvPyInstancedScene.h"

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <vector>

namespace zrv {
namespace python {

// The triangle records of meshes, a sequence of (vertices, faces) pairs.
std::vector<TriangleRecords> meshes_from(const pybind11::object& meshes);

// The scene of Scene.from_instances(meshes, transforms, mesh, build_threads):
// transforms (k, 3, 4) float, mesh (k,) integer or None for instance i of
// mesh i.
std::unique_ptr<InstancedScene> build_instances(const pybind11::object& meshes,
                                                const pybind11::object& transforms,
                                                const pybind11::object& mesh,
                                                const pybind11::object& build_threads);

// intersect's dict with "instance" beside "triangle".
pybind11::dict intersect_instances(const InstancedScene& scene, CheckedRays& rays);
pybind11::dict instances_statistics(const InstancedScene& scene);
std::string instances_repr(const InstancedScene& scene);

} // namespace python
} // namespace zrv

#endif // ZRV_PY_INSTANCES_H
