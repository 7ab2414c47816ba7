// The C++ side of the Python module's Scene: triangle records from vertex and
// face arrays, the structure built or loaded over them, and batches of rays
// traced on worker threads. Nothing here knows about Python; failures come
// back as messages for the binding layer to raise.
#ifndef ZRV_PY_SCENE_H
#define ZRV_PY_SCENE_H

#include "gfxRTBVH.h"
#include "gfxRTKDTree.h"
#include "gfxRTPseudoNormals.h"
#include "gfxRTWideBVH.h"
#include "gfxRayTracing.h"
#include "zrvPyTurnstileLock.h"
#include "zrvStreams.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

namespace zrv {
namespace python {

// AUTO builds the wide BVH; a scene reports the structure it holds.
enum class Accel { AUTO, KD, BVH, WIDE };

// "auto", "kd", "bvh", "wide".
const char* accel_name(Accel accel);

// Triangle records of a mesh and what was left out of them.
struct TriangleRecords {
    std::vector<triAccel> records; // triangle_id = the face's row
    std::size_t dropped_non_finite = 0;
    std::size_t dropped_degenerate = 0;
};

// Fills one record per face of vertices (vertex_count x 3) and faces
// (face_count x 3), both row-major: the corners, the unit normal of
// (v1 - v0) x (v2 - v0), triangle_id = the face's row, casts_shadow 1. Faces
// with a non-finite corner or of zero area are left out and counted. False,
// with a message, for a face index outside the vertices.
bool make_triangle_records(const float* vertices, std::size_t vertex_count,
                           const std::int64_t* faces, std::size_t face_count, TriangleRecords& out,
                           std::string& error);

// The records of count triangles given by their corners (count x 3 x 3)
// and face rows, as make_triangle_records made them: how a pickled scene
// carries its triangles. False, with a message, for a triangle that
// make_triangle_records would have left out.
bool records_from_corners(const float* corners, const std::int32_t* rows, std::size_t count,
                          std::vector<triAccel>& out, std::string& error);
// The corners (count x 3 x 3) and face rows (count) of records.
void corners_of(const std::vector<triAccel>& records, float* corners, std::int32_t* rows);

// Every saved scene starts with a token, a version and the structure's name
// ("kd", "bvh", "wide", or "wide-scene" for instances).
void write_scene_header(streams::Writer& writer, const char* structure);
// Reads that start from a stream named what ("<path>", "the pickled
// scene"). False, with a message, for anything but a saved scene.
bool read_scene_header(streams::Reader& reader, const std::string& what, std::string& structure,
                       std::string& error);
// The structure name of instanced scenes.
extern const char* const INSTANCES_STRUCTURE;

// Rays and where their answers go. Arrays are row-major, count rows.
struct RayBatch {
    const float* origins = nullptr;    // count x 3, finite
    const float* directions = nullptr; // count x 3, finite, not zero
    const float* tmax = nullptr;       // count limits, or null for none
    std::size_t count = 0;
    // Nearest-hit outputs, count each: t is +inf and triangle -1 for a miss,
    // u and v (0 for a miss) are the weights of vertex1 and vertex2.
    float* t = nullptr;
    std::int32_t* triangle = nullptr;
    float* u = nullptr;
    float* v = nullptr;
    // The occlusion output, count bytes: 1 where something lies on the ray.
    unsigned char* occluded = nullptr;
    // An instanced scene's nearest-hit output, count: -1 for a miss.
    std::int32_t* instance = nullptr;
};

// The KD-tree and the BVH trace rays in blocks of this many: each block's
// rays are grouped by the signs of their directions, four to a packet,
// whatever the number of threads, so that every thread count gives the same
// answers. The wide BVH traces each ray on its own.
const std::size_t RAY_BLOCK = 1024;

class Scene {
public:
    // Builds over records (kept by the scene) with build_threads threads;
    // AUTO builds the wide BVH.
    // Null, with a message, when the build fails.
    static std::unique_ptr<Scene> build(std::vector<triAccel> records, Accel accel,
                                        unsigned int build_threads, std::string& error);
    // Reads a file written by save over records made the same way. Null, with
    // a message, when the file cannot be read, was saved for other triangles
    // or does not hold a sound tree; file_missing tells the first case.
    static std::unique_ptr<Scene> load(const std::string& path, std::vector<triAccel> records,
                                       bool& file_missing, std::string& error);
    // As load, from a stream named what in the messages.
    static std::unique_ptr<Scene> read(streams::Reader& reader, const std::string& what,
                                       std::vector<triAccel> records, std::string& error);
    ~Scene();

    // Writes the header (triangle count, hash of the records, structure)
    // and the tree through a file stream. False, with a message, on failure.
    bool save(const std::string& path, std::string& error) const;
    // The same into writer (not committed), with a copy of the records it was
    // written for in records when not null. False, with a message, for a tree
    // that cannot describe itself.
    bool write(streams::Writer& writer, std::string& error,
               std::vector<triAccel>* records = nullptr) const;

    // Moves the mesh to records made by make_triangle_records from the same
    // faces at new vertices, after the calls that use the scene end: a wide
    // BVH is refitted to them on threads threads, a KD-tree or BVH built
    // anew (before the scene is held, so that queries run on meanwhile).
    // False, with the scene as it was and a message, when records leave out
    // other faces than the scene's ("vertices ...") or memory runs out.
    bool set_vertices(std::vector<triAccel> records, unsigned int threads, std::string& error);
    // The scene held still (shared: holders run side by side) while a caller
    // reads its records, trees or normals; set_vertices waits for the
    // holders. Never acquire the GIL while holding it: a thread holding the
    // GIL may be waiting for it behind set_vertices.

    // Nearest hits (shadow false: t, triangle, u, v) or any hit (shadow
    // true: occluded) of every ray, on threads threads (1 to
    // gfxRTKDTree::MAX_THREADS), with the scene held still. Calls on a
    // KD-tree or BVH scene run one after another (their traversal stacks are
    // per thread index); calls on a wide BVH scene run side by side.
    void trace(const RayBatch& rays, unsigned int threads, bool shadow) const;

    // The wide BVH the every-hit and point queries use (zrvPyHitQueries.h,
    // zrvPyPointQueries.h): the scene's own, or for a KD-tree or BVH scene
    // one built over the same records on threads threads the first time it
    // is asked since the records last moved, once, under a lock. Null when
    // that build fails (a later call tries again). Both this and
    // pseudo_normals are only asked, and their answers only used, with the
    // scene held still.
    const gfxRTWideBVH* query_tree(unsigned int threads) const;
    // The records' pseudo-normals, built the first time they are asked for;
    // null when that build ran out of memory.
    const gfxRTPseudoNormals* pseudo_normals() const;
    std::shared_lock<std::shared_mutex> hold_still() const { return lock_.hold_still(); }

    // The face row of each record, or null when the rows are the positions.
    const std::int32_t* face_rows() const {
        return face_rows_.empty() ? nullptr : face_rows_.data();
    }

    Accel accel() const;
    std::size_t size() const { return count_; }
    // The records; held still (hold_still) while they are read.
    const std::vector<triAccel>& records() const { return records_; }
    // The KD-tree's or BVH's statistics: null for a wide BVH, and when a BVH
    // could not allocate them.
    const KDTreeStatistic* statistic() const;
    // The wide BVH's figures (all zero for the other structures).
    gfxRTWideBVHStatistics wide_statistics() const;
    unsigned int node_count() const;

private:
    Scene() = default;
    void trace_block(std::size_t first, std::size_t count, const RayBatch& rays,
                     const RenderState& state) const;
    void trace_wide(const RayBatch& rays, unsigned int threads, bool shadow) const;

    std::vector<triAccel> records_;
    std::size_t count_ = 0; // records_.size(), which moving the mesh keeps
    // Face row of each record, empty when every face became a record (the
    // rows are then the positions).
    std::vector<std::int32_t> face_rows_;
    std::unique_ptr<gfxRTKDTree> kdtree_;
    std::unique_ptr<gfxRTBVH> bvh_;
    std::unique_ptr<gfxRTWideBVH> wide_;
    mutable std::mutex trace_mutex_;
    mutable std::mutex query_tree_mutex_;
    mutable std::unique_ptr<gfxRTWideBVH> query_tree_; // query_tree()'s, for a KD-tree or BVH
    mutable std::mutex normals_mutex_;
    mutable std::unique_ptr<gfxRTPseudoNormals> normals_;
    mutable bool normals_tried_ = false; // built, or out of memory, since the records last moved
    // Shared by hold_still, held alone by set_vertices.
    TurnstileLock lock_;
};

// FNV-1a (64 bits) of the records' bytes: what a saved file is tied to.
std::uint64_t records_hash(const std::vector<triAccel>& records);
// value in hexadecimal, for messages.
std::string hex64(std::uint64_t value);
// The face rows of records when some faces were left out; empty when each
// record's row is its position.
std::vector<std::int32_t> face_rows_of(const std::vector<triAccel>& records);
// Largest ray count handed to one batch call (its count is 32 bits).
const std::size_t WIDE_BATCH_RAYS = std::size_t(1) << 30;

// The rays [first, first + count) of a batch, as a wide batch call takes them.
struct RayPart {
    const float* origins;
    const float* directions;
    const float* limits; // null: no limit
    unsigned int count;
    std::size_t first;
};

// Calls call(part) for the batch's rays in parts of at most WIDE_BATCH_RAYS.
template <typename Call> void for_each_wide_part(const RayBatch& rays, Call call) {
    for (std::size_t first = 0; first < rays.count; first += WIDE_BATCH_RAYS) {
        const std::size_t count = std::min(WIDE_BATCH_RAYS, rays.count - first);
        call(RayPart{rays.origins + 3 * first, rays.directions + 3 * first,
                     rays.tmax ? rays.tmax + first : nullptr, unsigned(count), first});
    }
}

} // namespace python
} // namespace zrv

#endif // ZRV_PY_SCENE_H
