#include "gfxRTWideScene.h"

#include "gfxPoolJobs.h"
#include "gfxRTWideBVHAccess.h"
#include "gfxRTWideBatchChunks.h"
#include "gfxRTWideKernels.h"
#include "gfxRTWideSceneData.h"

#include <cmath>
#include <cstring>
#include <new>

using gfx_detail::PlacedInstance;
using gfx_detail::SceneInstance;
using gfx_detail::SceneMesh;
using gfx_detail::WideSceneView;

namespace {

void bound(SceneInstance& instance, const SceneMesh& mesh) {
    if (mesh.view.nodes != nullptr)
        instance.bounds =
            gfx_detail::bound_instance(instance.transform, instance.inverse, mesh.hull, mesh.slop);
}

// Doubles a large block's room to hold at least need items of size bytes.
bool reserve(void*& items, unsigned int& capacity, unsigned int need, std::size_t size) {
    if (need <= capacity)
        return true;
    unsigned int room = capacity < 16 ? 16 : capacity;
    while (room < need)
        room = room > 0x7FFFFFFFu ? need : 2 * room;
    void* const grown = gfx_detail::large_block_alloc(std::size_t(room) * size);
    if (grown == nullptr)
        return false;
    if (items != nullptr)
        std::memcpy(grown, items, std::size_t(capacity) * size);
    gfx_detail::large_block_free(items);
    items = grown;
    capacity = room;
    return true;
}

// The largest slop of a tree's root children: each is its subtree's
// largest, as it comes from the least rounding length below it.
float largest_slop(const gfx_detail::WideTree& tree) {
    float slop = 0.0f;
    for (int k = 0; k < 8; ++k)
        slop = tree.nodes[0].slop[k] > slop ? tree.nodes[0].slop[k] : slop;
    return slop;
}

} // namespace

bool gfxRTWideScene::Data::reserve_meshes(unsigned int count) {
    return count <= MAX_MESHES - mesh_count &&
           reserve(meshes, mesh_capacity, mesh_count + count, sizeof(SceneMesh*));
}

namespace {

// What the queries and the instances' bounds read of a mesh's tree: its view,
// largest slop and hull.
void describe_mesh(SceneMesh& mesh) {
    mesh.view = gfxRTWideBVHAccess::view(mesh.tree);
    mesh.slop = mesh.view.nodes != nullptr ? largest_slop(mesh.view) : 0.0f;
    if (mesh.view.nodes != nullptr)
        gfx_detail::hull_of_blocks(mesh.view.blocks, gfxRTWideBVHAccess::block_count(mesh.tree),
                                   mesh.view.scene_lo, mesh.view.scene_hi, mesh.hull);
}

} // namespace

void gfxRTWideScene::Data::place_mesh(SceneMesh* mesh) {
    this->mesh(mesh_count++) = mesh;
}

bool gfxRTWideScene::Data::adopt_mesh(SceneMesh* mesh) {
    if (!reserve_meshes(1)) {
        delete mesh;
        return false;
    }
    describe_mesh(*mesh);
    place_mesh(mesh);
    return true;
}

int gfxRTWideScene::Data::adopt_trees(gfxRTWideBVH* trees, unsigned int count,
                                      unsigned int threads) {
    if ((trees == nullptr && count != 0) || !reserve_meshes(count))
        return -1;
    const unsigned int first = mesh_count;
    if (count == 0)
        return int(first);
    // Every mesh is allocated before any tree is taken, so that a failure
    // takes none.
    SceneMesh** const added = &mesh(first);
    for (unsigned int j = 0; j < count; ++j) {
        added[j] = new (std::nothrow) SceneMesh;
        if (added[j] == nullptr) {
            for (unsigned int k = 0; k < j; ++k)
                delete added[k];
            return -1;
        }
    }
    if (threads > gfxRTWideBVH::MAX_BUILD_THREADS)
        threads = gfxRTWideBVH::MAX_BUILD_THREADS;
    // On the workers: a small mesh's hull costs almost half what building
    // its tree does.
    const auto describe = [&](unsigned int j) {
        added[j]->tree.swap(trees[j]);
        describe_mesh(*added[j]);
    };
    gfx_detail::run_jobs_on(threads, count, describe);
    for (unsigned int j = 0; j < count; ++j)
        place_mesh(added[j]);
    return int(first);
}

gfxRTWideScene::gfxRTWideScene() : data_(new (std::nothrow) Data) {}

gfxRTWideScene::~gfxRTWideScene() {
    if (data_ != nullptr)
        data_->release();
    delete data_;
}

void gfxRTWideScene::clear() {
    if (data_ != nullptr)
        data_->release();
}

int gfxRTWideScene::add_mesh(const triAccel* triangles, unsigned int count, unsigned int threads) {
    if (data_ == nullptr || data_->mesh_count >= MAX_MESHES)
        return -1;
    SceneMesh* const mesh = new (std::nothrow) SceneMesh;
    if (mesh == nullptr)
        return -1;
    if (!mesh->tree.build(triangles, count, threads)) {
        delete mesh;
        return -1;
    }
    if (!data_->adopt_mesh(mesh))
        return -1;
    return int(data_->mesh_count - 1);
}

int gfxRTWideScene::add_meshes(gfxRTWideBVH* trees, unsigned int count) {
    return data_ != nullptr ? data_->adopt_trees(trees, count, 1) : -1;
}

int gfxRTWideScene::add_meshes(const triAccel* const* triangles, const unsigned int* counts,
                               unsigned int count, unsigned int threads) {
    if (data_ == nullptr || count > MAX_MESHES - data_->mesh_count)
        return -1;
    gfxRTWideBVH* const trees = new (std::nothrow) gfxRTWideBVH[count];
    if (trees == nullptr)
        return -1;
    const int first = gfxRTWideBVH::build_each(trees, triangles, counts, count, threads)
                          ? data_->adopt_trees(trees, count, threads)
                          : -1;
    delete[] trees;
    return first;
}

namespace {

// Instances at most this many to a worker's job when their inverses or boxes
// are worked out; fewer in all stay on the calling thread, where starting
// workers would cost more than they save.
const unsigned int kInstancesPerJob = 1024;

// Runs job(begin, end) over [0, count) in ranges of kInstancesPerJob, on up
// to threads workers.
template <typename Job>
void run_instance_ranges(unsigned int threads, unsigned int count, const Job& job) {
    const unsigned int jobs =
        unsigned((std::size_t(count) + kInstancesPerJob - 1) / kInstancesPerJob);
    gfx_detail::run_jobs_on(threads, jobs, [&](unsigned int range) {
        const std::size_t next = std::size_t(range + 1) * kInstancesPerJob;
        job(range * kInstancesPerJob, next < count ? unsigned(next) : count);
    });
}

} // namespace

bool gfxRTWideScene::refit_mesh(unsigned int mesh, const triAccel* triangles, unsigned int count,
                                unsigned int threads) {
    if (data_ == nullptr || mesh >= data_->mesh_count)
        return false;
    SceneMesh& moved = *data_->mesh(mesh);
    if (!moved.tree.refit(triangles, count, threads))
        return false;
    // The view keeps its arrays (a refit moves nothing), but its scene box,
    // slops and hull are the moved triangles'.
    describe_mesh(moved);
    run_instance_ranges(threads, data_->instance_count, [&](unsigned int begin, unsigned int end) {
        for (unsigned int i = begin; i < end; ++i)
            if (data_->instance(i).mesh == mesh)
                bound(data_->instance(i), moved);
    });
    return true;
}

gfxRTWideInstanceResult gfxRTWideScene::add_instance(unsigned int mesh, const float transform[12]) {
    if (data_ == nullptr)
        return GFX_WIDE_INSTANCE_OUT_OF_MEMORY;
    if (mesh >= data_->mesh_count)
        return GFX_WIDE_INSTANCE_NO_SUCH_MESH;
    SceneInstance placed;
    const gfxRTWideInstanceResult checked = gfx_detail::checked_inverse(transform, placed.inverse);
    if (checked != GFX_WIDE_INSTANCE_DONE)
        return checked;
    if (data_->instance_count >= MAX_INSTANCES)
        return GFX_WIDE_INSTANCE_TOO_MANY;
    if (!reserve(data_->instances, data_->instance_capacity, data_->instance_count + 1,
                 sizeof(SceneInstance)))
        return GFX_WIDE_INSTANCE_OUT_OF_MEMORY;
    std::memcpy(placed.transform, transform, sizeof placed.transform);
    placed.mesh = mesh;
    placed.enabled = true;
    bound(placed, *data_->mesh(mesh));
    data_->instance(data_->instance_count++) = placed;
    data_->top_places_instances = false;
    return GFX_WIDE_INSTANCE_DONE;
}

bool gfxRTWideScene::reserve_instances(unsigned int count) {
    return data_ != nullptr && count <= MAX_INSTANCES &&
           reserve(data_->instances, data_->instance_capacity, count, sizeof(SceneInstance));
}

gfxRTWideInstanceResult gfxRTWideScene::set_transform(unsigned int instance,
                                                      const float transform[12]) {
    if (data_ == nullptr || instance >= data_->instance_count)
        return GFX_WIDE_INSTANCE_NO_SUCH_INSTANCE;
    float inverse[12];
    const gfxRTWideInstanceResult checked = gfx_detail::checked_inverse(transform, inverse);
    if (checked != GFX_WIDE_INSTANCE_DONE)
        return checked;
    SceneInstance& placed = data_->instance(instance);
    std::memcpy(placed.transform, transform, sizeof placed.transform);
    std::memcpy(placed.inverse, inverse, sizeof placed.inverse);
    bound(placed, *data_->mesh(placed.mesh));
    return GFX_WIDE_INSTANCE_DONE;
}

namespace {

// An entry of set_transforms, worked out before any instance moves.
struct MovedInstance {
    float inverse[12];
    gfx_detail::InstanceBounds bounds; // unused for an empty mesh
    gfxRTWideInstanceResult result;
};

} // namespace

gfxRTWideInstanceResult gfxRTWideScene::set_transforms(const unsigned int* instances,
                                                       const float* transforms, unsigned int count,
                                                       unsigned int threads,
                                                       unsigned int* refused) {
    if (count == 0)
        return GFX_WIDE_INSTANCE_DONE;
    const auto refuse = [refused](unsigned int j, gfxRTWideInstanceResult result) {
        if (refused != nullptr)
            *refused = j;
        return result;
    };
    if (transforms == nullptr)
        return refuse(0, GFX_WIDE_INSTANCE_NON_FINITE_TRANSFORM);
    for (unsigned int j = 0; j < count; ++j)
        if (data_ == nullptr || instances == nullptr || instances[j] >= data_->instance_count)
            return refuse(j, GFX_WIDE_INSTANCE_NO_SUCH_INSTANCE);
    MovedInstance* const moved = static_cast<MovedInstance*>(
        gfx_detail::scratch_block_alloc(std::size_t(count) * sizeof(MovedInstance)));
    if (moved == nullptr)
        return GFX_WIDE_INSTANCE_OUT_OF_MEMORY;
    run_instance_ranges(threads, count, [&](unsigned int begin, unsigned int end) {
        for (unsigned int j = begin; j < end; ++j) {
            MovedInstance& m = moved[j];
            const float* const transform = transforms + 12 * std::size_t(j);
            m.result = gfx_detail::checked_inverse(transform, m.inverse);
            const SceneMesh& mesh = *data_->mesh(data_->instance(instances[j]).mesh);
            m.bounds = m.result == GFX_WIDE_INSTANCE_DONE && mesh.view.nodes != nullptr
                           ? gfx_detail::bound_instance(transform, m.inverse, mesh.hull, mesh.slop)
                           : gfx_detail::InstanceBounds{};
        }
    });
    for (unsigned int j = 0; j < count; ++j)
        if (moved[j].result != GFX_WIDE_INSTANCE_DONE) {
            const gfxRTWideInstanceResult result = moved[j].result;
            gfx_detail::large_block_free(moved);
            return refuse(j, result);
        }
    // In order, so that the later of two entries for one instance wins.
    for (unsigned int j = 0; j < count; ++j) {
        SceneInstance& placed = data_->instance(instances[j]);
        std::memcpy(placed.transform, transforms + 12 * std::size_t(j), sizeof placed.transform);
        std::memcpy(placed.inverse, moved[j].inverse, sizeof placed.inverse);
        placed.bounds = moved[j].bounds;
    }
    gfx_detail::large_block_free(moved);
    return GFX_WIDE_INSTANCE_DONE;
}

gfxRTWideInstanceResult gfxRTWideScene::set_enabled(unsigned int instance, bool enabled) {
    if (data_ == nullptr || instance >= data_->instance_count)
        return GFX_WIDE_INSTANCE_NO_SUCH_INSTANCE;
    SceneInstance& placed = data_->instance(instance);
    if (placed.enabled != enabled)
        data_->top_places_instances = false;
    placed.enabled = enabled;
    return GFX_WIDE_INSTANCE_DONE;
}

bool gfxRTWideScene::commit(unsigned int threads) {
    if (data_ == nullptr)
        return false;
    if (threads == 0)
        threads = 1;
    if (threads > gfxRTWideBVH::MAX_BUILD_THREADS)
        threads = gfxRTWideBVH::MAX_BUILD_THREADS;
    // Disabled instances, and instances of empty meshes, are never hit and
    // stay out of the top level.
    const auto placed_in_top = [this](const SceneInstance& instance) {
        return instance.enabled && data_->mesh(instance.mesh)->view.nodes != nullptr;
    };
    unsigned int count = 0;
    for (unsigned int i = 0; i < data_->instance_count; ++i)
        count += placed_in_top(data_->instance(i)) ? 1u : 0u;
    data_->top_places_instances = false;
    if (count == 0) {
        gfx_detail::free_top_level(data_->top);
        data_->top_places_instances = true;
        return true;
    }
    // What the top level is built from, freed with the build's scratch.
    PlacedInstance* const placed = static_cast<PlacedInstance*>(
        gfx_detail::scratch_block_alloc(std::size_t(count) * sizeof(PlacedInstance)));
    gfx_detail::InstanceBounds* const bounds = static_cast<gfx_detail::InstanceBounds*>(
        gfx_detail::scratch_block_alloc(std::size_t(count) * sizeof(gfx_detail::InstanceBounds)));
    bool built = false;
    if (placed != nullptr && bounds != nullptr) {
        unsigned int n = 0;
        for (unsigned int i = 0; i < data_->instance_count; ++i) {
            const SceneInstance& instance = data_->instance(i);
            if (!placed_in_top(instance))
                continue;
            const SceneMesh& mesh = *data_->mesh(instance.mesh);
            PlacedInstance& p = placed[n];
            std::memcpy(p.inverse, instance.inverse, sizeof p.inverse);
            p.mesh = &mesh.view;
            p.instance = i;
            bounds[n] = instance.bounds;
            ++n;
        }
        built = gfx_detail::build_top_level(placed, bounds, count, threads, data_->top);
    }
    gfx_detail::large_block_free(placed);
    gfx_detail::large_block_free(bounds);
    if (!built)
        gfx_detail::free_top_level(data_->top);
    data_->top_places_instances = built;
    return built;
}

bool gfxRTWideScene::refit(unsigned int threads) {
    if (data_ == nullptr)
        return false;
    if (!data_->top_places_instances)
        return commit(threads);
    const auto move = [this](PlacedInstance& placed) -> const gfx_detail::InstanceBounds& {
        const SceneInstance& instance = data_->instance(placed.instance);
        std::memcpy(placed.inverse, instance.inverse, sizeof placed.inverse);
        return instance.bounds;
    };
    gfx_detail::refit_top_level(data_->top, move);
    return true;
}

double gfxRTWideScene::top_level_growth() const {
    if (data_ == nullptr || data_->top.built_cost <= 0.0)
        return 1.0;
    return gfx_detail::top_level_cost(data_->top) / data_->top.built_cost;
}

bool gfxRTWideScene::instance_bounds(unsigned int instance, float lo[3], float hi[3]) const {
    if (data_ == nullptr || instance >= data_->instance_count)
        return false;
    const SceneInstance& placed = data_->instance(instance);
    const SceneMesh& mesh = *data_->mesh(placed.mesh);
    if (mesh.view.nodes == nullptr)
        return false;
    gfx_detail::carried_hull_box(placed.transform, mesh.hull, lo, hi);
    return true;
}

bool gfxRTWideScene::bounds(float lo[3], float hi[3]) const {
    float least[3], most[3];
    bool any = false;
    for (unsigned int i = 0; data_ != nullptr && i < data_->instance_count; ++i) {
        float box_lo[3], box_hi[3];
        if (!data_->instance(i).enabled || !instance_bounds(i, box_lo, box_hi))
            continue;
        for (int a = 0; a < 3; ++a) {
            least[a] = any ? std::fmin(least[a], box_lo[a]) : box_lo[a];
            most[a] = any ? std::fmax(most[a], box_hi[a]) : box_hi[a];
        }
        any = true;
    }
    if (any)
        for (int a = 0; a < 3; ++a) {
            lo[a] = least[a];
            hi[a] = most[a];
        }
    return any;
}

unsigned int gfxRTWideScene::mesh_count() const {
    return data_ != nullptr ? data_->mesh_count : 0;
}

unsigned int gfxRTWideScene::instance_count() const {
    return data_ != nullptr ? data_->instance_count : 0;
}

const gfxRTWideBVH& gfxRTWideScene::mesh(unsigned int mesh) const {
    return data_->mesh(mesh)->tree;
}

unsigned int gfxRTWideScene::instance_mesh(unsigned int instance) const {
    return data_->instance(instance).mesh;
}

bool gfxRTWideScene::enabled(unsigned int instance) const {
    return data_ != nullptr && instance < data_->instance_count &&
           data_->instance(instance).enabled;
}

const float* gfxRTWideScene::transform(unsigned int instance) const {
    return data_->instance(instance).transform;
}

const float* gfxRTWideScene::inverse_transform(unsigned int instance) const {
    return data_->instance(instance).inverse;
}

namespace {
const WideSceneView kNothing{nullptr, {0, 0, 0}, {0, 0, 0}, nullptr};
}

bool gfxRTWideScene::intersect1(const float origin[3], const float direction[3], float max_distance,
                                gfxRTWideSceneHit& hit) const {
    return gfx_detail::wide_kernels().scene_intersect1(data_ != nullptr ? data_->view() : kNothing,
                                                       origin, direction, max_distance, hit);
}

bool gfxRTWideScene::occluded1(const float origin[3], const float direction[3],
                               float max_distance) const {
    return gfx_detail::wide_kernels().scene_occluded1(data_ != nullptr ? data_->view() : kNothing,
                                                      origin, direction, max_distance);
}

void gfxRTWideScene::intersect4(RayPacket& rays, HitPacket& hits, __m128i& hit_index,
                                __m128i& hit_instance, const RenderState& state,
                                float max_distance) const {
    gfx_detail::wide_kernels().scene_intersect4(data_ != nullptr ? data_->view() : kNothing, rays,
                                                hits, hit_index, hit_instance, state, max_distance);
}

void gfxRTWideScene::intersect_packets(const RayPacket* rays, HitPacket* hits, __m128i* hit_index,
                                       __m128i* hit_instance, unsigned int count,
                                       const RenderState& state, float max_distance) const {
    if (count == 0 || rays == nullptr || hits == nullptr || hit_index == nullptr ||
        hit_instance == nullptr)
        return;
    gfx_detail::wide_kernels().scene_intersect_packets(data_ != nullptr ? data_->view() : kNothing,
                                                       rays, hits, hit_index, hit_instance, count,
                                                       state, max_distance);
}

int gfxRTWideScene::occluded4(const RayPacket& rays, __m128 max_distance) const {
    return gfx_detail::wide_kernels().scene_occluded4(data_ != nullptr ? data_->view() : kNothing,
                                                      rays, max_distance);
}

void gfxRTWideScene::intersect_batch(const float* origins, const float* directions,
                                     const float* max_distances, unsigned int count, float* t,
                                     int* index, int* instance, float* u, float* v,
                                     unsigned int threads) const {
    if (count == 0 || origins == nullptr || directions == nullptr || t == nullptr ||
        index == nullptr)
        return;
    const gfx_detail::WideSceneBatch batch{origins, directions, max_distances, t, index, instance,
                                           u,       v,          nullptr};
    const WideSceneView view = data_ != nullptr ? data_->view() : kNothing;
    gfx_detail::trace_kernel_in_chunks(gfx_detail::wide_kernels().scene_intersect_range, view,
                                       batch, count, threads);
}

void gfxRTWideScene::occluded_batch(const float* origins, const float* directions,
                                    const float* max_distances, unsigned int count,
                                    unsigned char* occluded, unsigned int threads) const {
    if (count == 0 || origins == nullptr || directions == nullptr || occluded == nullptr)
        return;
    const gfx_detail::WideSceneBatch batch{origins, directions, max_distances, nullptr, nullptr,
                                           nullptr, nullptr,    nullptr,       occluded};
    const WideSceneView view = data_ != nullptr ? data_->view() : kNothing;
    gfx_detail::trace_kernel_in_chunks(gfx_detail::wide_kernels().scene_occluded_range, view, batch,
                                       count, threads);
}

std::size_t gfxRTWideScene::memory_bytes() const {
    if (data_ == nullptr)
        return 0;
    std::size_t bytes = std::size_t(data_->instance_count) * sizeof(SceneInstance) +
                        std::size_t(data_->top.node_count) * sizeof(gfx_detail::WideNode) +
                        std::size_t(data_->top.placed_count) * sizeof(PlacedInstance);
    for (unsigned int i = 0; i < data_->mesh_count; ++i)
        bytes += data_->mesh(i)->tree.memory_bytes();
    return bytes;
}
