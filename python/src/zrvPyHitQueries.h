// Every hit of each ray, not only the nearest: Scene.count_intersections and
// Scene.list_intersections of the Python module, over the scene's wide BVH
// or its instances.
#ifndef ZRV_PY_HIT_QUERIES_H
#define ZRV_PY_HIT_QUERIES_H

#include "zrvPyInstancedScene.h"
#include "zrvPyScene.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace zrv {
namespace python {

// The (k,) int32 count of every ray's hits; releases the GIL while it
// traces. Raises MemoryError when the wide BVH cannot be built.
pybind11::array_t<std::int32_t> count_intersections(const Scene& scene, const RayBatch& rays,
                                                    unsigned int threads);
// {"ray", "t", "triangle", "u", "v"}: flat arrays of every hit, sorted by
// ray, then t, then face row. Raises MemoryError when memory runs out.
pybind11::dict list_intersections(const Scene& scene, const RayBatch& rays, unsigned int threads);
// The same over instances; lists add "instance" (int32) beside "triangle".
pybind11::array_t<std::int32_t> count_intersections(const InstancedScene& scene,
                                                    const RayBatch& rays, unsigned int threads);
pybind11::dict list_intersections(const InstancedScene& scene, const RayBatch& rays,
                                  unsigned int threads);

extern const char* const COUNT_INTERSECTIONS_DOC;
extern const char* const LIST_INTERSECTIONS_DOC;

} // namespace python
} // namespace zrv

#endif // ZRV_PY_HIT_QUERIES_H
