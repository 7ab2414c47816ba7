#include "TwoLevelBuild.h"

#include <thread>

namespace zrv {
namespace bench {

bool build_two_level(const std::vector<triAccel>& mesh, std::size_t parts, unsigned int threads,
                     TwoLevelTree& out) {
    if (threads < 1)
        threads = 1;
    out.parts.assign(parts, std::vector<triAccel>());
    for (std::size_t i = 0; i < mesh.size(); ++i)
        out.parts[i * parts / mesh.size()].push_back(mesh[i]);
    std::vector<std::unique_ptr<gfxRTKDTree>> trees(parts);
    std::vector<char> built(parts, 0);
    // Thread k builds parts k, k + threads, ...
    auto build_share = [&](unsigned int k) {
        for (std::size_t i = k; i < parts; i += threads) {
            trees[i].reset(new gfxRTKDTree(TRACE_SLOTS));
            built[i] = trees[i]->create_tree_from_triAccel_list(out.parts[i].data(),
                                                                unsigned(out.parts[i].size()));
        }
    };
    std::vector<std::thread> workers;
    for (unsigned int k = 1; k < threads; ++k)
        workers.emplace_back(build_share, k);
    build_share(0);
    for (std::thread& worker : workers)
        worker.join();
    out.bvh.reset(new gfxRTBVH_KDTree);
    bool ok = true;
    for (std::size_t i = 0; i < parts; ++i) {
        ok = ok && built[i];
        out.bvh->addTree(trees[i].release()); // the BVH owns its trees
    }
    return out.bvh->build_tree(threads) && ok;
}

} // namespace bench
} // namespace zrv
