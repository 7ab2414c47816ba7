// Many wide BVHs built at once: a scene of many small meshes spreads them
// over the workers, where a build each would spend more on starting its own
// workers than on building.
#include "gfxRTWideBVH.h"

#include "gfxPoolJobs.h"

#include <atomic>

namespace {

// Meshes below this many triangles are built one per worker, side by side;
// larger ones take every worker, one after another.
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
    const auto alone = [&](unsigned int j) {
        return threads == 1 || counts[j] < kSharedBuildTriangles;
    };
    bool built = true;
    unsigned int side_by_side = 0;
    for (unsigned int j = 0; j < count && built; ++j) {
        if (alone(j))
            ++side_by_side;
        else
            built = trees[j].build(triangles[j], counts[j], threads);
    }
    if (built && side_by_side > 0) {
        std::atomic<bool> all{true};
        const auto job = [&](unsigned int j) {
            if (alone(j) && !trees[j].build(triangles[j], counts[j], 1))
                all.store(false, std::memory_order_relaxed);
        };
        // Workers for the small meshes alone; the jobs of the others do nothing.
        gfx_detail::run_jobs_on(threads < side_by_side ? threads : side_by_side, count, job);
        built = all.load();
    }
    if (!built)
        for (unsigned int j = 0; j < count; ++j)
            trees[j].clear();
    return built;
}
