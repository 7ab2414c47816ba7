#include "zrvPyScene.h"

#include "PlxFatalErrorCapture.h"
#include "gfxRTAccelerationStructureServices.h"
#include "zrvStreams.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <thread>

namespace zrv {
namespace python {

namespace {

// The stream of a saved scene starts with these values, then the tree.
const char* const FILE_TOKEN = "zorvadideruvovozov.python.Scene";
const unsigned int FILE_VERSION = 1;

// Traversal stacks of a KD-tree: as many threads as may ever trace it. The
// build sorts split candidates on one thread per stack, so a fixed count
// also keeps the tree's shape independent of the tracing threads.
const unsigned int KDTREE_STACKS = gfxRTKDTree::MAX_THREADS;

bool finite3(const float* p) {
    return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

// Unit normal of (v1 - v0) x (v2 - v0) in double precision; false for zero
// area (or a length that does not fit).
bool unit_normal(const triAccel& tri, float normal[3]) {
    double e1[3], e2[3];
    for (int axis = 0; axis < 3; ++axis) {
        e1[axis] = double(tri.vertex1[axis]) - tri.vertex0[axis];
        e2[axis] = double(tri.vertex2[axis]) - tri.vertex0[axis];
    }
    const double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                         e1[0] * e2[1] - e1[1] * e2[0]};
    const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (!(length > 0.0) || !std::isfinite(length))
        return false;
    for (int axis = 0; axis < 3; ++axis)
        normal[axis] = float(n[axis] / length);
    return true;
}

unsigned int sign_octant(const float* direction) {
    return unsigned(std::signbit(direction[0])) | unsigned(std::signbit(direction[1])) << 1 |
           unsigned(std::signbit(direction[2])) << 2;
}

// Largest finite float: the traversal's limit for an unlimited ray.
float finite_limit(float tmax) {
    return std::min(tmax, FLT_MAX);
}

} // namespace

std::string hex64(std::uint64_t value) {
    std::ostringstream text;
    text << std::hex << value;
    return text.str();
}

std::vector<std::int32_t> face_rows_of(const std::vector<triAccel>& records) {
    std::size_t i = 0;
    while (i < records.size() && records[i].triangle_id == int(i))
        ++i;
    std::vector<std::int32_t> rows;
    if (i < records.size()) {
        rows.reserve(records.size());
        for (const triAccel& record : records)
            rows.push_back(record.triangle_id);
    }
    return rows;
}

const char* accel_name(Accel accel) {
    switch (accel) {
    case Accel::KD:
        return "kd";
    case Accel::BVH:
        return "bvh";
    case Accel::WIDE:
        return "wide";
    default:
        return "auto";
    }
}

bool make_triangle_records(const float* vertices, std::size_t vertex_count,
                           const std::int64_t* faces, std::size_t face_count, TriangleRecords& out,
                           std::string& error) {
    out = TriangleRecords();
    out.records.reserve(face_count);
    for (std::size_t face = 0; face < face_count; ++face) {
        const std::int64_t* corners = faces + 3 * face;
        for (int k = 0; k < 3; ++k) {
            if (corners[k] < 0 || std::uint64_t(corners[k]) >= vertex_count) {
                error = "faces[" + std::to_string(face) + "] refers to vertex " +
                        std::to_string(corners[k]) + ", outside the " +
                        std::to_string(vertex_count) + " vertices";
                return false;
            }
        }
        triAccel tri;
        std::memcpy(tri.vertex0, vertices + 3 * corners[0], sizeof tri.vertex0);
        std::memcpy(tri.vertex1, vertices + 3 * corners[1], sizeof tri.vertex1);
        std::memcpy(tri.vertex2, vertices + 3 * corners[2], sizeof tri.vertex2);
        if (!finite3(tri.vertex0) || !finite3(tri.vertex1) || !finite3(tri.vertex2)) {
            ++out.dropped_non_finite;
            continue;
        }
        if (!unit_normal(tri, tri.normal)) {
            ++out.dropped_degenerate;
            continue;
        }
        tri.triangle_id = int(face);
        tri.backface_early_out = 0;
        tri.host_word = 0;
        tri.casts_shadow = 1;
        out.records.push_back(tri);
    }
    return true;
}

std::uint64_t records_hash(const std::vector<triAccel>& records) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(records.data());
    const std::size_t size = records.size() * sizeof(triAccel);
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= 0x100000001b3ull;
    }
    return hash;
}

const char* const INSTANCES_STRUCTURE = "wide-scene";

void write_scene_header(streams::Writer& writer, const char* structure) {
    writer.write_string(FILE_TOKEN);
    writer.write_uint(FILE_VERSION);
    writer.write_string(structure);
}

bool read_scene_header(streams::Reader& reader, const std::string& what, std::string& structure,
                       std::string& error) {
    const std::string token = reader.read_string().ConvertToChar();
    const unsigned int version = reader.read_uint();
    structure = reader.read_string().ConvertToChar();
    const bool ours = token == FILE_TOKEN && version == FILE_VERSION;
    // A file reader's CRC verdict may still be pending: damage is named first.
    if (!(ours ? reader.ok() : reader.verify())) {
        error = what + " is not a saved scene: " + reader.error();
        return false;
    }
    if (!ours) {
        error = what + " is not a saved scene of this version";
        return false;
    }
    return true;
}

bool records_from_corners(const float* corners, const std::int32_t* rows, std::size_t count,
                          std::vector<triAccel>& out, std::string& error) {
    out.clear();
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        triAccel tri;
        std::memcpy(tri.vertex0, corners + 9 * i, sizeof tri.vertex0);
        std::memcpy(tri.vertex1, corners + 9 * i + 3, sizeof tri.vertex1);
        std::memcpy(tri.vertex2, corners + 9 * i + 6, sizeof tri.vertex2);
        if (!finite3(tri.vertex0) || !finite3(tri.vertex1) || !finite3(tri.vertex2) ||
            !unit_normal(tri, tri.normal) || rows[i] < 0) {
            error = "triangle " + std::to_string(i) + " is not one a scene keeps";
            return false;
        }
        tri.triangle_id = rows[i];
        tri.backface_early_out = 0;
        tri.host_word = 0;
        tri.casts_shadow = 1;
        out.push_back(tri);
    }
    return true;
}

void corners_of(const std::vector<triAccel>& records, float* corners, std::int32_t* rows) {
    for (const triAccel& tri : records) {
        std::memcpy(corners, tri.vertex0, sizeof tri.vertex0);
        std::memcpy(corners + 3, tri.vertex1, sizeof tri.vertex1);
        std::memcpy(corners + 6, tri.vertex2, sizeof tri.vertex2);
        corners += 9;
        *rows++ = tri.triangle_id;
    }
}

std::unique_ptr<Scene> Scene::build(std::vector<triAccel> records, Accel accel,
                                    unsigned int build_threads, std::string& error) {
    std::unique_ptr<Scene> scene(new Scene());
    scene->records_ = std::move(records);
    scene->count_ = scene->records_.size();
    scene->face_rows_ = face_rows_of(scene->records_);
    const triAccel* triangles = scene->records_.data();
    const unsigned int count = unsigned(scene->records_.size());
    if (accel == Accel::AUTO || accel == Accel::WIDE) {
        scene->wide_.reset(new gfxRTWideBVH());
        if (!scene->wide_->build(triangles, count, build_threads)) {
            error = "the wide BVH build ran out of memory";
            return nullptr;
        }
    } else if (accel == Accel::KD) {
        scene->kdtree_.reset(new gfxRTKDTree(KDTREE_STACKS));
        gfxRTAccelerationStructureServices::CompileKDTree(scene->kdtree_.get(), int(build_threads),
                                                          triangles, count);
        if (!scene->kdtree_->get_statistic()->valid) {
            error = "the KD-tree build failed";
            return nullptr;
        }
    } else {
        scene->bvh_.reset(new gfxRTBVH_triAccel(triangles, count));
        // A failed allocation reaches the build's consistency check, which
        // would end the interpreter.
        PlxFatalErrorCapture reports;
        if (gfxRTAccelerationStructureServices::CompileBVHTree(scene->bvh_.get(),
                                                               int(build_threads)) != 0 ||
            reports.reported()) {
            error = "the BVH build failed its consistency check";
            return nullptr;
        }
    }
    return scene;
}

Scene::~Scene() = default;

bool Scene::set_vertices(std::vector<triAccel> records, unsigned int threads, std::string& error) {
    // The count and the rows never change: they are read without the lock.
    if (records.size() != count_ || face_rows_of(records) != face_rows_) {
        error = "vertices leave out other faces than the scene's mesh does (" +
                std::to_string(records.size()) + " faces kept, not " + std::to_string(count_) +
                "): a face became non-finite or degenerate, or one left out no longer is; build a "
                "new Scene";
        return false;
    }
    // A KD-tree or BVH is built anew, while queries run on this scene; its
    // tree names the new scene's records, which come along.
    std::unique_ptr<Scene> rebuilt;
    if (!wide_) {
        rebuilt = build(records, accel(), threads, error);
        if (!rebuilt)
            return false;
    }
    const auto alone = lock_.hold_alone();
    if (rebuilt) {
        kdtree_.swap(rebuilt->kdtree_);
        bvh_.swap(rebuilt->bvh_);
        records_.swap(rebuilt->records_);
    } else {
        if (!wide_->refit(records.data(), unsigned(records.size()), threads)) {
            error = "out of memory refitting the scene's wide BVH";
            return false;
        }
        records_.swap(records);
    }
    // What was worked out from the old positions goes; a later call works it
    // out again.
    query_tree_.reset();
    normals_.reset();
    normals_tried_ = false;
    return true;
}

bool Scene::save(const std::string& path, std::string& error) const {
    streams::FileWriter writer(path);
    if (!write(writer, error))
        return false;
    if (!writer.commit()) {
        error = "cannot write " + path + ": " + writer.error();
        return false;
    }
    return true;
}

bool Scene::write(streams::Writer& writer, std::string& error,
                  std::vector<triAccel>* records) const {
    const auto still = hold_still();
    if (records != nullptr)
        *records = records_;
    const std::uint64_t hash = records_hash(records_);
    write_scene_header(writer, accel_name(accel()));
    writer.write_uint(unsigned(records_.size()));
    writer.write_uint(unsigned(hash & 0xFFFFFFFFu));
    writer.write_uint(unsigned(hash >> 32));
    if (wide_) {
        if (!wide_->stream(writer)) {
            error = "the wide BVH cannot describe itself to a stream";
            return false;
        }
    } else if (kdtree_) {
        kdtree_->stream(writer);
    } else if (!bvh_->stream(writer)) {
        error = "the BVH has no object order to save";
        return false;
    }
    return true;
}

std::unique_ptr<Scene> Scene::load(const std::string& path, std::vector<triAccel> records,
                                   bool& file_missing, std::string& error) {
    file_missing = false;
    if (std::FILE* probe = std::fopen(path.c_str(), "rb"))
        std::fclose(probe);
    else {
        file_missing = true;
        error = "cannot open " + path;
        return nullptr;
    }
    streams::FileReader reader(path);
    return read(reader, path, std::move(records), error);
}

std::unique_ptr<Scene> Scene::read(streams::Reader& reader, const std::string& what,
                                   std::vector<triAccel> records, std::string& error) {
    std::string structure;
    if (!read_scene_header(reader, what, structure, error))
        return nullptr;
    if (structure == INSTANCES_STRUCTURE) {
        error = what + " holds instances (Scene.load_instances reads it)";
        return nullptr;
    }
    if (structure != accel_name(Accel::KD) && structure != accel_name(Accel::BVH) &&
        structure != accel_name(Accel::WIDE)) {
        error = what + " is not a saved scene of this version";
        return nullptr;
    }
    const unsigned int count = reader.read_uint();
    std::uint64_t hash = reader.read_uint();
    hash |= std::uint64_t(reader.read_uint()) << 32;
    const std::uint64_t expected = records_hash(records);
    const bool same = count == records.size() && hash == expected;
    if (!(same ? reader.ok() : reader.verify())) {
        error = what + " is not a saved scene: " + reader.error();
        return nullptr;
    }
    if (!same) {
        error = what + " was saved for other triangles (" + std::to_string(count) +
                " triangles, hash " + hex64(hash) + ") than these (" +
                std::to_string(records.size()) + " triangles, hash " + hex64(expected) + ")";
        return nullptr;
    }

    std::unique_ptr<Scene> scene(new Scene());
    scene->records_ = std::move(records);
    scene->count_ = scene->records_.size();
    scene->face_rows_ = face_rows_of(scene->records_);
    PlxUnicodeString reason;
    if (structure == accel_name(Accel::WIDE)) {
        scene->wide_.reset(new gfxRTWideBVH());
        if (!scene->wide_->unstream(reader, reader.remaining(), &reason))
            scene->wide_.reset();
    } else if (structure == accel_name(Accel::KD)) {
        scene->kdtree_.reset(gfxRTAccelerationStructureServices::UnstreamNewKDTreeChecked(
            reader, scene->records_.data(), count, KDTREE_STACKS, reader.remaining(), &reason));
    } else {
        scene->bvh_.reset(gfxRTAccelerationStructureServices::UnstreamNewBVHChecked(
            reader, scene->records_.data(), count, reader.remaining(), &reason));
    }
    if (!scene->kdtree_ && !scene->bvh_ && !scene->wide_) {
        error = what + " does not hold a sound tree: " +
                (reader.verify() ? std::string(reason.ConvertToChar()) : reader.error());
        return nullptr;
    }
    // The wide BVH keeps its own triangles: its hits are positions in the
    // records only if it was built over as many.
    if (scene->wide_ && scene->wide_->statistics().input_triangles != count) {
        error = what + " holds a wide BVH over " +
                std::to_string(scene->wide_->statistics().input_triangles) +
                " triangles, not the " + std::to_string(count) + " of its header";
        return nullptr;
    }
    if (!reader.at_end()) {
        error = what + " has data after its tree";
        return nullptr;
    }
    return scene;
}

Accel Scene::accel() const {
    return wide_ ? Accel::WIDE : bvh_ ? Accel::BVH : Accel::KD;
}

const KDTreeStatistic* Scene::statistic() const {
    return kdtree_ ? kdtree_->get_statistic() : bvh_ ? bvh_->get_statistic() : nullptr;
}

gfxRTWideBVHStatistics Scene::wide_statistics() const {
    return wide_ ? wide_->statistics() : gfxRTWideBVHStatistics{};
}

unsigned int Scene::node_count() const {
    return wide_     ? wide_->statistics().nodes
           : kdtree_ ? kdtree_->get_number_of_nodes()
                     : bvh_->get_number_of_nodes();
}

void Scene::trace_block(std::size_t first, std::size_t count, const RayBatch& rays,
                        const RenderState& state) const {
    // The block's rays grouped by direction octant, in their order.
    std::uint32_t order[RAY_BLOCK];
    std::size_t octant_end[8] = {};
    unsigned char octant[RAY_BLOCK];
    for (std::size_t i = 0; i < count; ++i) {
        octant[i] = (unsigned char)sign_octant(rays.directions + 3 * (first + i));
        ++octant_end[octant[i]];
    }
    std::size_t start[8];
    std::size_t sum = 0;
    for (int k = 0; k < 8; ++k) {
        start[k] = sum;
        sum += octant_end[k];
        octant_end[k] = sum;
    }
    for (std::size_t i = 0; i < count; ++i)
        order[start[octant[i]]++] = std::uint32_t(first + i);

    std::size_t group_begin = 0;
    for (int k = 0; k < 8; ++k) {
        const std::size_t group_end = octant_end[k];
        for (std::size_t p = group_begin; p < group_end; p += 4) {
            const std::size_t lanes = std::min<std::size_t>(4, group_end - p);
            alignas(16) float o[3][4] = {}, d[3][4] = {}, limit[4] = {};
            float max_distance = 0.0f;
            for (std::size_t lane = 0; lane < lanes; ++lane) {
                const std::size_t ray = order[p + lane];
                for (int axis = 0; axis < 3; ++axis) {
                    o[axis][lane] = rays.origins[3 * ray + axis];
                    d[axis][lane] = rays.directions[3 * ray + axis];
                }
                limit[lane] = finite_limit(rays.tmax ? rays.tmax[ray] : FLT_MAX);
                max_distance = std::max(max_distance, limit[lane]);
            }
            // Unused lanes repeat lane 0's direction: their signs agree.
            for (std::size_t lane = lanes; lane < 4; ++lane)
                for (int axis = 0; axis < 3; ++axis)
                    d[axis][lane] = d[axis][0];
            RayPacket packet;
            packet.origin = sse_vec{_mm_load_ps(o[0]), _mm_load_ps(o[1]), _mm_load_ps(o[2])};
            packet.direction = sse_vec{_mm_load_ps(d[0]), _mm_load_ps(d[1]), _mm_load_ps(d[2])};
            packet.host_value = _mm_setzero_ps();
            packet.host_word = 0;
            packet.active_mask = (1 << lanes) - 1;
            HitPacket hits;
            hits.t = _mm_load_ps(limit);
            hits.u = _mm_setzero_ps();
            hits.v = _mm_setzero_ps();
            hits.id = _mm_set1_epi32(-1);
            if (kdtree_) {
                kdtree_->traverse_tree(&packet, &hits, 0, &state, max_distance);
            } else {
                __m128i hit_object;
                bvh_->traverse_tree(packet, hits, hit_object, state, max_distance);
            }
            alignas(16) float t[4], u[4], v[4];
            alignas(16) std::int32_t id[4];
            _mm_store_ps(t, hits.t);
            _mm_store_ps(u, hits.u);
            _mm_store_ps(v, hits.v);
            _mm_store_si128(reinterpret_cast<__m128i*>(id), hits.id);
            for (std::size_t lane = 0; lane < lanes; ++lane) {
                const std::size_t ray = order[p + lane];
                const bool hit = id[lane] >= 0;
                if (state.shadow_rays) {
                    rays.occluded[ray] = hit ? 1 : 0;
                    continue;
                }
                rays.triangle[ray] = hit ? id[lane] : -1;
                rays.t[ray] = hit ? t[lane] : std::numeric_limits<float>::infinity();
                // The kernel marks a back-side hit with a negative u.
                rays.u[ray] = hit ? std::fabs(u[lane]) : 0.0f;
                rays.v[ray] = hit ? v[lane] : 0.0f;
            }
        }
        group_begin = group_end;
    }
}

void Scene::trace_wide(const RayBatch& rays, unsigned int threads, bool shadow) const {
    for_each_wide_part(rays, [&](const RayPart& p) {
        const std::size_t i = p.first;
        if (shadow)
            wide_->occluded_batch(p.origins, p.directions, p.limits, p.count, rays.occluded + i,
                                  threads);
        else
            wide_->intersect_batch(p.origins, p.directions, p.limits, p.count, rays.t + i,
                                   rays.triangle + i, rays.u + i, rays.v + i, threads);
    });
    if (shadow)
        return;
    // Positions become face rows, the limit of a miss +inf, and u drops the
    // sign the kernel gives back-side hits.
    const float miss_t = std::numeric_limits<float>::infinity();
    const std::int32_t* rows = face_rows_.empty() ? nullptr : face_rows_.data();
    for (std::size_t i = 0; i < rays.count; ++i) {
        const std::int32_t position = rays.triangle[i];
        if (position < 0) {
            rays.t[i] = miss_t;
            rays.u[i] = 0.0f;
            rays.v[i] = 0.0f;
        } else {
            rays.u[i] = std::fabs(rays.u[i]);
            if (rows)
                rays.triangle[i] = rows[position];
        }
    }
}

void Scene::trace(const RayBatch& rays, unsigned int threads, bool shadow) const {
    const auto still = hold_still();
    if (wide_) {
        trace_wide(rays, threads, shadow);
        return;
    }
    std::lock_guard<std::mutex> lock(trace_mutex_);
    const std::size_t blocks = (rays.count + RAY_BLOCK - 1) / RAY_BLOCK;
    threads = unsigned(std::max<std::size_t>(1, std::min<std::size_t>(threads, blocks)));
    std::atomic<std::size_t> next_block{0};
    auto work = [&](unsigned int thread_index) {
        RenderState state{thread_index, shadow ? 1u : 0u};
        for (std::size_t block = next_block++; block < blocks; block = next_block++) {
            const std::size_t first = block * RAY_BLOCK;
            trace_block(first, std::min(RAY_BLOCK, rays.count - first), rays, state);
        }
    };
    std::vector<std::thread> workers;
    for (unsigned int index = 1; index < threads; ++index) {
        try {
            workers.emplace_back(work, index);
        } catch (...) {
            break; // the threads already started and this one share the blocks
        }
    }
    work(0);
    for (std::thread& worker : workers)
        worker.join();
}

const gfxRTWideBVH* Scene::query_tree(unsigned int threads) const {
    if (wide_)
        return wide_.get();
    std::lock_guard<std::mutex> lock(query_tree_mutex_);
    if (!query_tree_) {
        std::unique_ptr<gfxRTWideBVH> tree(new (std::nothrow) gfxRTWideBVH);
        if (tree && tree->build(records_.data(), unsigned(records_.size()), threads))
            query_tree_ = std::move(tree);
    }
    return query_tree_.get();
}

} // namespace python
} // namespace zrv
