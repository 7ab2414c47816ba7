// The C++ side of the Python module's Scene: triangle records from vertex and
// face arrays, the structure built or loaded over them, and batches of rays
// traced on worker threads. Nothing here knows about Python; failures come
// back as messages for the binding layer to raise.
#ifndef ZRV_PY_SCENE_H
#define ZRV_PY_SCENE_H

#include "gfxRTBVH.h"
#include "gfxRTKDTree.h"
#include "gfxRayTracing.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zrv {
namespace python {

enum class Accel { AUTO, KD, BVH };

// "auto", "kd", "bvh".
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

// Rays and where their answers go. Arrays are row-major, count rows.
struct RayBatch {
    const float* origins = nullptr;    // count x 3, finite
    const float* directions = nullptr; // count x 3, finite, not zero
    const float* tmax = nullptr;       // count limits, or null for tmax_all
    float tmax_all = 0.0f;
    std::size_t count = 0;
    // Outputs, count each. t is +inf and triangle -1 for a miss; u and v
    // (null for occlusion queries) are the weights of vertex1 and vertex2.
    float* t = nullptr;
    std::int32_t* triangle = nullptr;
    float* u = nullptr;
    float* v = nullptr;
};

// Rays are traced in blocks of this many: each block's rays are grouped by
// the signs of their directions, four to a packet, whatever the number of
// threads, so that every thread count gives the same answers.
const std::size_t RAY_BLOCK = 1024;

class Scene {
public:
    // Builds over records (kept by the scene) with build_threads threads.
    // Null, with a message, when the build fails.
    static std::unique_ptr<Scene> build(std::vector<triAccel> records, Accel accel,
                                        unsigned int build_threads, std::string& error);
    // Reads a file written by save over records made the same way. Null, with
    // a message, when the file cannot be read, was saved for other triangles
    // or does not hold a sound tree; file_missing tells the first case.
    static std::unique_ptr<Scene> load(const std::string& path, std::vector<triAccel> records,
                                       bool& file_missing, std::string& error);
    ~Scene();

    // Writes the header (triangle count, hash of the records, structure)
    // and the tree through a file stream. False, with a message, on failure.
    bool save(const std::string& path, std::string& error) const;

    // Nearest hits (shadow false) or any hit (shadow true) of every ray, on
    // threads threads (1 to gfxRTKDTree::MAX_THREADS). Calls on one scene
    // run one after another.
    void trace(const RayBatch& rays, unsigned int threads, bool shadow) const;

    Accel accel() const { return bvh_ ? Accel::BVH : Accel::KD; }
    std::size_t size() const { return records_.size(); }
    const std::vector<triAccel>& records() const { return records_; }
    // The tree's statistics (null only when a BVH could not allocate them).
    const KDTreeStatistic* statistic() const;
    unsigned int node_count() const;
    // Why an "auto" scene uses the BVH, empty otherwise.
    const std::string& choice_reason() const { return choice_reason_; }

private:
    Scene() = default;
    void trace_block(std::size_t first, std::size_t count, const RayBatch& rays,
                     const RenderState& state) const;

    std::vector<triAccel> records_;
    std::unique_ptr<gfxRTKDTree> kdtree_;
    std::unique_ptr<gfxRTBVH> bvh_;
    std::string choice_reason_;
    mutable std::mutex trace_mutex_;
};

// FNV-1a (64 bits) of the records' bytes: what a saved file is tied to.
std::uint64_t records_hash(const std::vector<triAccel>& records);

} // namespace python
} // namespace zrv

#endif // ZRV_PY_SCENE_H
