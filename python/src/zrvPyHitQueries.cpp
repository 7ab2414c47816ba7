#include "zrvPyHitQueries.h"

#include "zrvPyResultArrays.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace py = pybind11;

namespace zrv {
namespace python {

namespace {

// What the every-hit queries run on: a scene of one mesh, whose query tree's
// positions become face rows through its rows (null: they agree), or an
// instanced scene. Each part of a batch holds its scene still while it runs,
// and reads the tree and rows then, as moving the mesh replaces a KD-tree's
// or BVH's query tree.
struct HitSource {
    const Scene* scene = nullptr;
    const InstancedScene* instances = nullptr;

    // False when a query tree cannot be built for lack of memory.
    bool count(const float* origins, const float* directions, const float* limits, unsigned int n,
               unsigned int* out, unsigned int threads) const {
        if (instances) {
            instances->with_scene([&](const gfxRTWideScene& scene) {
                scene.count_batch(origins, directions, limits, n, out, threads);
            });
            return true;
        }
        const auto still = scene->hold_still();
        const gfxRTWideBVH* const tree = scene->query_tree(threads);
        if (tree == nullptr)
            return false;
        tree->count_batch(origins, directions, limits, n, out, threads);
        return true;
    }
    // Lists every hit as intersect reports one: positions as face rows, u
    // without the sign of a back-side hit. False when memory runs out.
    bool list(const float* origins, const float* directions, const float* limits, unsigned int n,
              gfxRTWideHitList& list, unsigned int threads) const {
        if (instances)
            return instances->with_scene([&](const gfxRTWideScene& scene) {
                return scene.list_batch(origins, directions, limits, n, list, threads) &&
                       to_face_rows(list, nullptr);
            });
        const auto still = scene->hold_still();
        const gfxRTWideBVH* const tree = scene->query_tree(threads);
        return tree != nullptr && tree->list_batch(origins, directions, limits, n, list, threads) &&
               to_face_rows(list, scene->face_rows());
    }

private:
    bool to_face_rows(gfxRTWideHitList& list, const std::int32_t* rows) const {
        for (std::size_t k = 0; k < list.count; ++k) {
            list.u[k] = std::fabs(list.u[k]);
            const std::int32_t position = list.index[k];
            list.index[k] = instances ? instances->face_row(list.instance[k], position)
                            : rows    ? rows[position]
                                      : position;
        }
        return true;
    }
};

HitSource source_of(const Scene& scene) {
    HitSource source;
    source.scene = &scene;
    return source;
}

HitSource source_of(const InstancedScene& scene) {
    HitSource source;
    source.instances = &scene;
    return source;
}

void release_list(void* list) {
    gfxRTWideHitList* const owned = static_cast<gfxRTWideHitList*>(list);
    gfxRTWideHitListRelease(*owned);
    delete owned;
}

// The keys of a list: "instance" only for instanced scenes.
std::vector<const char*> list_keys(const HitSource& source) {
    std::vector<const char*> keys = {"ray", "t", "triangle", "u", "v"};
    if (source.instances)
        keys.push_back("instance");
    return keys;
}

// The arrays of rays [first, first + count) of a batch: views of the
// library's block, which one capsule owns, with positions turned into face
// rows and u without the sign of a back-side hit, as intersect reports them.
py::dict list_of_part(const HitSource& source, const RayBatch& rays, std::size_t first,
                      std::size_t count, unsigned int threads) {
    gfxRTWideHitList* const list = new (std::nothrow) gfxRTWideHitList;
    bool listed = false;
    if (list != nullptr) {
        py::gil_scoped_release release;
        listed =
            source.list(rays.origins + 3 * first, rays.directions + 3 * first,
                        rays.tmax ? rays.tmax + first : nullptr, unsigned(count), *list, threads);
    }
    if (!listed) {
        delete list;
        PyErr_SetString(PyExc_MemoryError, "out of memory listing every hit");
        throw py::error_already_set();
    }
    py::dict result;
    const py::ssize_t n = py::ssize_t(list->count);
    if (n == 0) {
        delete list;
        result["ray"] = py::array_t<std::int32_t>(0);
        result["t"] = py::array_t<float>(0);
        result["triangle"] = py::array_t<std::int32_t>(0);
        result["u"] = py::array_t<float>(0);
        result["v"] = py::array_t<float>(0);
        if (source.instances)
            result["instance"] = py::array_t<std::int32_t>(0);
        return result;
    }
    const py::capsule owner(list, release_list);
    // Ray numbers below 2^30 read the same as int32.
    result["ray"] =
        py::array_t<std::int32_t>(n, reinterpret_cast<const std::int32_t*>(list->ray), owner);
    result["t"] = py::array_t<float>(n, list->t, owner);
    result["triangle"] = py::array_t<std::int32_t>(n, list->index, owner);
    result["u"] = py::array_t<float>(n, list->u, owner);
    result["v"] = py::array_t<float>(n, list->v, owner);
    if (source.instances)
        result["instance"] = py::array_t<std::int32_t>(n, list->instance, owner);
    return result;
}

py::array_t<std::int32_t> count_with(const HitSource& source, const RayBatch& rays,
                                     unsigned int threads) {
    py::array_t<std::int32_t> counts = result_array<std::int32_t>(rays.count);
    // A count fits an int32 (trees hold fewer than 2^31 triangles), whose
    // bits the unsigned count then has.
    unsigned int* const out = reinterpret_cast<unsigned int*>(counts.mutable_data());
    bool counted = true;
    {
        py::gil_scoped_release release;
        for_each_wide_part(rays, [&](const RayPart& p) {
            counted = counted && source.count(p.origins, p.directions, p.limits, p.count,
                                              out + p.first, threads);
        });
    }
    if (!counted) {
        PyErr_SetString(PyExc_MemoryError, "out of memory building the wide BVH for every-hit "
                                           "queries");
        throw py::error_already_set();
    }
    return counts;
}

py::dict list_with(const HitSource& source, const RayBatch& rays, unsigned int threads) {
    // A part's ray numbers (below WIDE_BATCH_RAYS, 2^30) fit an int32.
    if (rays.count <= WIDE_BATCH_RAYS)
        return list_of_part(source, rays, 0, rays.count, threads);
    // More rays than one call takes: the parts joined, ray numbers int64.
    py::module_ numpy = py::module_::import("numpy");
    const std::vector<const char*> keys = list_keys(source);
    py::dict parts;
    for (const char* key : keys)
        parts[key] = py::list();
    for (std::size_t first = 0; first < rays.count; first += WIDE_BATCH_RAYS) {
        const std::size_t n = std::min(WIDE_BATCH_RAYS, rays.count - first);
        py::dict part = list_of_part(source, rays, first, n, threads);
        part["ray"] = part["ray"].attr("astype")(numpy.attr("int64")) + py::int_(first);
        for (const char* key : keys)
            parts[key].cast<py::list>().append(part[key]);
    }
    py::dict result;
    for (const char* key : keys)
        result[key] = numpy.attr("concatenate")(parts[key]);
    return result;
}

} // namespace

py::array_t<std::int32_t> count_intersections(const Scene& scene, const RayBatch& rays,
                                              unsigned int threads) {
    return count_with(source_of(scene), rays, threads);
}

py::dict list_intersections(const Scene& scene, const RayBatch& rays, unsigned int threads) {
    return list_with(source_of(scene), rays, threads);
}

py::array_t<std::int32_t> count_intersections(const InstancedScene& scene, const RayBatch& rays,
                                              unsigned int threads) {
    return count_with(source_of(scene), rays, threads);
}

py::dict list_intersections(const InstancedScene& scene, const RayBatch& rays,
                            unsigned int threads) {
    return list_with(source_of(scene), rays, threads);
}

const char* const COUNT_INTERSECTIONS_DOC = R"doc(How many triangles each ray crosses.

Arguments as for intersect. Every triangle the library's ray-triangle
kernel accepts with 0.0001 <= t < tmax counts, from either side and however
many share a point. Where a ray meets an edge or a vertex exactly, the kernel
decides by the sign of a zero: it counts every triangle sharing that point
from their front (where the vertices run counter-clockwise) and none from
their back. Elsewhere a ray through an edge shared by two triangles counts
one of them; through a shared vertex, several or none. Coincident faces each
count. An odd count is therefore no robust inside/outside test: use
occupancy for that.

A "kd" or "bvh" scene answers with a wide BVH it builds over the same
triangles the first time an every-hit query is asked (once, thread-safe).

Returns a (k,) int32 array.)doc";

const char* const LIST_INTERSECTIONS_DOC = R"doc(Every triangle each ray crosses, as flat arrays.

Arguments as for intersect; the hits are those count_intersections counts.
Returns a dict of (n,) arrays, n the total of the counts, sorted by ray, then
t, then triangle: "ray" (int32 row of origins; int64 beyond 2^30 rays),
"t" (float32), "triangle" (int32 face row), "u" and "v" (float32
barycentric weights of the face's second and third vertex), each hit's t, u
and v as intersect gives them for that face alone. A scene of instances adds
"instance" (int32) and sorts by ray, t, instance, then triangle. The arrays share one
block of memory, freed with the last of them.

Raises MemoryError when the hits do not fit in memory.)doc";

} // namespace python
} // namespace zrv
