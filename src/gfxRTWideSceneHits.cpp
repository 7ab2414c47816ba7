// The wide scene's every-hit queries: counts and lists.
#include "gfxRTWideScene.h"

#include "gfxRTWideBatchChunks.h"
#include "gfxRTWideHitLists.h"
#include "gfxRTWideKernels.h"
#include "gfxRTWideSceneData.h"

using gfx_detail::WideSceneView;

namespace {

class SceneHitLister : public gfx_detail::HitRangeLister {
public:
    SceneHitLister(const WideSceneView& scene, const gfx_detail::WideHitBatch& batch)
        : scene_(scene), batch_(batch) {}
    bool list(unsigned int begin, unsigned int end, gfx_detail::HitBuffer& out) const override {
        return gfx_detail::wide_kernels().scene_list_range(scene_, batch_, begin, end, out);
    }

private:
    const WideSceneView& scene_;
    const gfx_detail::WideHitBatch& batch_;
};

const WideSceneView kNothing{nullptr, {0, 0, 0}, {0, 0, 0}, nullptr};

} // namespace

void gfxRTWideScene::count_batch(const float* origins, const float* directions,
                                 const float* max_distances, unsigned int count,
                                 unsigned int* counts, unsigned int threads) const {
    if (count == 0 || origins == nullptr || directions == nullptr || counts == nullptr)
        return;
    const WideSceneView view = data_ != nullptr ? data_->view() : kNothing;
    const gfx_detail::WideHitBatch batch{origins, directions, max_distances, counts};
    gfx_detail::trace_kernel_in_chunks(gfx_detail::wide_kernels().scene_count_range, view, batch,
                                       count, threads);
}

bool gfxRTWideScene::list_batch(const float* origins, const float* directions,
                                const float* max_distances, unsigned int count,
                                gfxRTWideHitList& list, unsigned int threads) const {
    if (origins == nullptr || directions == nullptr)
        count = 0;
    const WideSceneView view = data_ != nullptr ? data_->view() : kNothing;
    const gfx_detail::WideHitBatch batch{origins, directions, max_distances, nullptr};
    return gfx_detail::collect_hit_list(SceneHitLister(view, batch), count, threads, list);
}
