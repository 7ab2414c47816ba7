// The Scene's point queries for the Python module: closest points,
// distances, signed distances and occupancy, answered by a wide BVH and the
// mesh's pseudo-normals (see Scene::query_tree and Scene::pseudo_normals).
#ifndef ZRV_PY_POINT_QUERIES_H
#define ZRV_PY_POINT_QUERIES_H

#include "zrvPyScene.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace zrv {
namespace python {

// Float32 rows of three in C order, as the module's input checks give them.
typedef pybind11::array_t<float, pybind11::array::c_style> PointRows;

// {"points": (n, 3) float32, "triangle": (n,) int32 face rows, "uv": (n, 2)
// float32 weights of the face's second and third vertex, "distance": (n,)
// float32}. Raises ValueError for a point that is not finite.
pybind11::dict closest_points(const Scene& scene, const PointRows& points, unsigned int threads);

enum class PointMeasure { DISTANCE, SIGNED_DISTANCE, OCCUPANCY };

// One float32 per point: its distance to the mesh, that distance negative
// inside, or 1 inside and 0 outside.
pybind11::array_t<float> measure_points(const Scene& scene, const PointRows& points,
                                        unsigned int threads, PointMeasure measure);

// Whether every edge of the mesh joins two faces wound opposite ways.
bool mesh_is_closed(const Scene& scene);

extern const char* const CLOSEST_POINTS_DOC;
extern const char* const DISTANCE_DOC;
extern const char* const SIGNED_DISTANCE_DOC;
extern const char* const OCCUPANCY_DOC;
extern const char* const CLOSED_DOC;

} // namespace python
} // namespace zrv

#endif // ZRV_PY_POINT_QUERIES_H
