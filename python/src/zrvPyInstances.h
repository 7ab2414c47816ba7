// Scene.from_instances, set_transforms, set_enabled, add_instances, add_meshes and
// set_mesh_vertices: their arguments checked and turned into an InstancedScene or its changes,
// and that scene's answers and figures as Python objects.
#ifndef ZRV_PY_INSTANCES_H
#define ZRV_PY_INSTANCES_H

#include "zrvPyArguments.h"
#include "zrvPyInstancedScene.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zrv {
namespace python {

// The triangle records of meshes, a sequence of (vertices, faces) pairs
// (at least one unless at_least_one is false).
std::vector<TriangleRecords> meshes_from(const pybind11::object& meshes, bool at_least_one = true);

// The scene of Scene.from_instances(meshes, transforms, mesh, build_threads):
// transforms (k, 3, 4) float, mesh (k,) integer or None for instance i of
// mesh i.
std::unique_ptr<InstancedScene> build_instances(const pybind11::object& meshes,
                                                const pybind11::object& transforms,
                                                const pybind11::object& mesh,
                                                const pybind11::object& build_threads);

// Scene.set_transforms(transforms, instances, build_threads, refit):
// transforms (k, 3, 4) float, instances (k,) integer or None for every
// instance in order. ValueError names a bad argument or a refused
// transform, which leaves the scene as it was.
void move_instances(InstancedScene& scene, const pybind11::object& transforms,
                    const pybind11::object& instances, const pybind11::object& build_threads,
                    bool refit);
// Scene.set_enabled(enabled, instances, build_threads): enabled a bool for
// every instance named, or (k,) bool; instances (k,) integer or None for
// every instance in order.
void enable_instances(InstancedScene& scene, const pybind11::object& enabled,
                      const pybind11::object& instances, const pybind11::object& build_threads);
// Scene.add_instances(transforms, mesh, build_threads): transforms (k, 3,
// 4) float, mesh (k,) integer; the new instances' indices. ValueError names
// a bad argument or a refused transform, which adds none.
pybind11::array_t<std::int32_t> add_instances(InstancedScene& scene,
                                              const pybind11::object& transforms,
                                              const pybind11::object& mesh,
                                              const pybind11::object& build_threads);
// Scene.add_meshes(meshes, build_threads), with meshes from meshes_from:
// the new meshes' indices. MemoryError when memory runs out, ValueError when
// the scene would hold too many meshes; none is then added.
pybind11::array_t<std::int32_t> add_meshes(InstancedScene& scene,
                                           std::vector<TriangleRecords> meshes,
                                           const pybind11::object& build_threads);
// Scene.set_mesh_vertices(mesh, vertices, faces, build_threads, refit):
// mesh an integer below the mesh count, vertices and faces as for
// Scene(). TypeError or ValueError names a bad argument, ValueError also
// faces left out other than the mesh's, and MemoryError no memory; the
// scene is then as it was.
void move_mesh(InstancedScene& scene, const pybind11::object& mesh,
               const pybind11::object& vertices, const pybind11::object& faces,
               const pybind11::object& build_threads, bool refit);
// Scene.enabled, (k,) bool.
pybind11::array_t<bool> instances_enabled(const InstancedScene& scene);
// Scene.transforms, (k, 3, 4) float32, and Scene.instance_mesh, (k,) int32.
pybind11::array_t<float> instance_transforms(const InstancedScene& scene);
pybind11::array_t<std::int32_t> instance_meshes(const InstancedScene& scene);
// Scene.instance_bounds: (k, 2, 3) float32, NaN rows for empty meshes.
pybind11::array_t<float> instance_boxes(const InstancedScene& scene);
// Scene.bounds of a scene of instances: (2, 3) float32, or None when
// nothing can be hit.
pybind11::object scene_box(const InstancedScene& scene);
// The (2, 3) float32 array of six floats, lo then hi.
pybind11::array_t<float> box_array(const float* box);

// intersect's dict with "instance" beside "triangle".
pybind11::dict intersect_instances(const InstancedScene& scene, CheckedRays& rays);
pybind11::dict instances_statistics(const InstancedScene& scene);
std::string instances_repr(const InstancedScene& scene);

} // namespace python
} // namespace zrv

#endif // ZRV_PY_INSTANCES_H
