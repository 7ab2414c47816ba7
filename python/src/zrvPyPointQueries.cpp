#include "zrvPyPointQueries.h"

#include "zrvPyResultArrays.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace py = pybind11;

namespace zrv {
namespace python {

const gfxRTPseudoNormals* Scene::pseudo_normals() const {
    const std::lock_guard<std::mutex> once(normals_mutex_);
    if (!normals_tried_) {
        normals_tried_ = true;
        std::unique_ptr<gfxRTPseudoNormals> normals(new (std::nothrow) gfxRTPseudoNormals());
        if (normals && normals->build(records_.data(), unsigned(records_.size())))
            normals_ = std::move(normals);
    }
    return normals_.get();
}

namespace {

// Points handed to one batch call: bounds the buffer of closest points.
const std::size_t POINT_BLOCK = std::size_t(1) << 20;

std::size_t checked_count(const PointRows& points) {
    const std::size_t count = std::size_t(points.shape(0));
    const float* p = points.data();
    for (std::size_t i = 0; i < count; ++i)
        if (!std::isfinite(p[3 * i]) || !std::isfinite(p[3 * i + 1]) ||
            !std::isfinite(p[3 * i + 2]))
            throw py::value_error("points[" + std::to_string(i) + "] is not finite");
    return count;
}

const gfxRTWideBVH& tree_of(const Scene& scene, unsigned int threads) {
    const gfxRTWideBVH* tree = scene.query_tree(threads);
    if (tree == nullptr)
        throw std::bad_alloc();
    return *tree;
}

const gfxRTPseudoNormals& normals_of(const Scene& scene) {
    const gfxRTPseudoNormals* normals = scene.pseudo_normals();
    if (normals == nullptr)
        throw std::bad_alloc();
    return *normals;
}

// Calls take(i, closest) for every point, in order, a block at a time.
template <typename Take>
void each_closest(const gfxRTWideBVH& tree, const float* points, std::size_t count,
                  unsigned int threads, Take take) {
    std::vector<gfxRTWideClosestPoint> block(std::min(count, POINT_BLOCK));
    for (std::size_t first = 0; first < count; first += POINT_BLOCK) {
        const unsigned int n = unsigned(std::min(POINT_BLOCK, count - first));
        tree.closest_batch(points + 3 * first, nullptr, n, block.data(), threads);
        for (unsigned int k = 0; k < n; ++k)
            take(first + k, block[k]);
    }
}

} // namespace

py::dict closest_points(const Scene& scene, const PointRows& points, unsigned int threads) {
    const std::size_t count = checked_count(points);
    const py::ssize_t n = py::ssize_t(count);
    py::array_t<float> nearest({n, py::ssize_t(3)}), uv({n, py::ssize_t(2)});
    py::array_t<float> distance = result_array<float>(count);
    py::array_t<std::int32_t> triangle = result_array<std::int32_t>(count);
    float* const out_point = nearest.mutable_data();
    float* const out_uv = uv.mutable_data();
    float* const out_distance = distance.mutable_data();
    std::int32_t* const out_triangle = triangle.mutable_data();
    {
        py::gil_scoped_release release;
        const auto still = scene.hold_still();
        const gfxRTWideBVH& tree = tree_of(scene, threads);
        const std::int32_t* const rows = scene.face_rows();
        each_closest(tree, points.data(), count, threads,
                     [&](std::size_t i, const gfxRTWideClosestPoint& c) {
                         for (int a = 0; a < 3; ++a)
                             out_point[3 * i + a] = c.point[a];
                         out_uv[2 * i] = c.u;
                         out_uv[2 * i + 1] = c.v;
                         out_distance[i] = c.distance;
                         out_triangle[i] = c.index < 0 || !rows ? c.index : rows[c.index];
                     });
    }
    py::dict result;
    result["points"] = nearest;
    result["triangle"] = triangle;
    result["uv"] = uv;
    result["distance"] = distance;
    return result;
}

py::array_t<float> measure_points(const Scene& scene, const PointRows& points, unsigned int threads,
                                  PointMeasure measure) {
    const std::size_t count = checked_count(points);
    py::array_t<float> result = result_array<float>(count);
    float* const out = result.mutable_data();
    {
        py::gil_scoped_release release;
        const auto still = scene.hold_still();
        const gfxRTWideBVH& tree = tree_of(scene, threads);
        if (measure == PointMeasure::DISTANCE) {
            each_closest(
                tree, points.data(), count, threads,
                [&](std::size_t i, const gfxRTWideClosestPoint& c) { out[i] = c.distance; });
        } else {
            const gfxRTPseudoNormals& normals = normals_of(scene);
            const float* const p = points.data();
            const bool signed_distance = measure == PointMeasure::SIGNED_DISTANCE;
            each_closest(tree, p, count, threads,
                         [&](std::size_t i, const gfxRTWideClosestPoint& c) {
                             const bool inside = normals.side(c, p + 3 * i) < 0.0f;
                             if (signed_distance)
                                 out[i] = inside ? -c.distance : c.distance;
                             else
                                 out[i] = inside ? 1.0f : 0.0f;
                         });
        }
    }
    return result;
}

bool mesh_is_closed(const Scene& scene) {
    py::gil_scoped_release release;
    const auto still = scene.hold_still();
    return normals_of(scene).closed();
}

const char* const CLOSEST_POINTS_DOC = R"doc(The nearest point of the mesh to every point.

points: (k, 3) float array, finite. threads: 1 to 64 native threads, None
for one per processor; every thread count gives the same answers.

Returns a dict of arrays: "points" ((k, 3) float32, the nearest point),
"triangle" ((k,) int32, the face row it lies on), "uv" ((k, 2) float32, the
barycentric weights of that face's second and third vertex) and "distance"
((k,) float32). At equal distances the face of the lowest row wins; faces
left out of the scene (non-finite or of zero area) are never found.

These queries use a wide BVH: a "wide" scene's own, or for a "kd" or "bvh"
scene one built over the same triangles the first time any of them is asked
(once, safely from several threads). Raises ValueError for a point that is
not finite.)doc";

const char* const DISTANCE_DOC = R"doc(The distance from every point to the mesh.

points and threads as for closest_points. Returns a (k,) float32 array.)doc";

const char* const SIGNED_DISTANCE_DOC = R"doc(The distance to the mesh, negative inside.

points and threads as for closest_points. The sign comes from the
angle-weighted pseudo-normal of the nearest feature (the face, an edge or a
vertex of the closest point's face): a point lies inside when it is behind
that normal. Faces are taken to be wound counter-clockwise seen from
outside. For a closed mesh (see closed) this is exact wherever the nearest
point is; for a mesh that is not closed the sign says which side of the
nearest feature the point is on, so points beyond an open border take the
border's side. The pseudo-normals are built the first time this or
occupancy is asked (once, safely from several threads). Returns a (k,)
float32 array.)doc";

const char* const OCCUPANCY_DOC = R"doc(1 for every point inside the mesh, 0 outside.

As signed_distance decides the side (a point on the surface counts as
outside). Returns a (k,) float32 array, as a grid of occupancies is often
summed or averaged.)doc";

const char* const CLOSED_DOC =
    R"doc(Whether every edge joins exactly two faces wound opposite ways.

Faces meet where their corners have equal coordinates. Signed distances
and occupancy are exact for a closed mesh. Builds the pseudo-normals on
first use.)doc";

} // namespace python
} // namespace zrv
