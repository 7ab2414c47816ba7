// Many wide BVHs built at once: a scene of many small meshes spreads them
// over the workers, where a build each would spend more on starting its own
// workers than on building.
#include "gfxRTWideBVH.h"

#include "gfxPoolJobs.h"

#include <atomic>

namespace {

// Meshes below this many triangles are built one per worker, side by side,
// when there are enough of them; larger ones take every worker, one after
// another.
const unsigned int kSharedBuildTriangles = 1u << 16;

} // namespace

bool gfxRTWideBVH::build_each(gfxRTWideBVH* trees, const triAccel* const* triangles,
                              const unsigned int* counts, unsigned int count,
                              unsigned int threads) {
    if (count == 0)
        return true;
    if (trees == nullptr || triangles == nullptr || counts == nullptr)
        return false;
    if (threads == 0)
        threads = 1;
    if (threads > MAX_BUILD_THREADS)
        threads = MAX_BUILD_THREADS;
    // Side by side only when the small meshes keep every worker busy: one
    // or two meshes of tens of thousands of triangles build faster on all
    // the workers, which a build hands subtrees to.
    unsigned int small = 0;
    for (unsigned int j = 0; j < count; ++j)
        small += counts[j] < kSharedBuildTriangles ? 1u : 0u;
    const bool side_by_side = threads > 1 && small >= threads;
    const auto alone = [&](unsigned int j) {
        return side_by_side && counts[j] < kSharedBuildTriangles;
    };
    bool built = true;
    for (unsigned int j = 0; j < count && built; ++j)
        if (!alone(j))
            built = trees[j].build(triangles[j], counts[j], threads);
    if (built && side_by_side) {
        std::atomic<bool> all{true};
        const auto job = [&](unsigned int j) {
            if (alone(j) && !trees[j].build(triangles[j], counts[j], 1))
                all.store(false, std::memory_order_relaxed);
        };
        // The jobs of the larger meshes, built above, do nothing.
        gfx_detail::run_jobs_on(threads, count, job);
        built = all.load();
    }
    if (!built)
        for (unsigned int j = 0; j < count; ++j)
            trees[j].clear();
    return built;
}
