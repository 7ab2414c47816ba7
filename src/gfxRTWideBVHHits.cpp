// The wide BVH's every-hit queries: counts and lists.
#include "gfxRTWideBVH.h"

#include "gfxRTWideBVHAccess.h"
#include "gfxRTWideBatchChunks.h"
#include "gfxRTWideHitLists.h"
#include "gfxRTWideKernels.h"

namespace {

class TreeHitLister : public gfx_detail::HitRangeLister {
public:
    TreeHitLister(const gfx_detail::WideTree& tree, const gfx_detail::WideHitBatch& batch)
        : tree_(tree), batch_(batch) {}
    bool list(unsigned int begin, unsigned int end, gfx_detail::HitBuffer& out) const override {
        return gfx_detail::wide_kernels().list_range(tree_, batch_, begin, end, out);
    }

private:
    const gfx_detail::WideTree& tree_;
    const gfx_detail::WideHitBatch& batch_;
};

} // namespace

void gfxRTWideBVH::count_batch(const float* origins, const float* directions,
                               const float* max_distances, unsigned int count, unsigned int* counts,
                               unsigned int threads) const {
    if (count == 0 || origins == nullptr || directions == nullptr || counts == nullptr)
        return;
    const gfx_detail::WideHitBatch batch{origins, directions, max_distances, counts};
    gfx_detail::trace_kernel_in_chunks(gfx_detail::wide_kernels().count_range,
                                       gfxRTWideBVHAccess::view(*this), batch, count, threads);
}

bool gfxRTWideBVH::list_batch(const float* origins, const float* directions,
                              const float* max_distances, unsigned int count,
                              gfxRTWideHitList& list, unsigned int threads) const {
    if (origins == nullptr || directions == nullptr)
        count = 0;
    const gfx_detail::WideTree tree = gfxRTWideBVHAccess::view(*this);
    const gfx_detail::WideHitBatch batch{origins, directions, max_distances, nullptr};
    return gfx_detail::collect_hit_list(TreeHitLister(tree, batch), count, threads, list);
}
