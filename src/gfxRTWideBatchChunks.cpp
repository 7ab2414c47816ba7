#include "gfxRTWideBatchChunks.h"

#include "ZrvGfxConcurrency.h"
#include "gfxRTWideBVH.h"

#include <new>

namespace gfx_detail {

namespace {

// Rays per task of a batch: enough to cover a task's start.
const unsigned int kBatchChunk = 4096;

class ChunkTask : public ZrvGfxRunnableTask {
public:
    ChunkTask(const RayRangeTracer& tracer, unsigned int begin, unsigned int end)
        : tracer_(tracer), begin_(begin), end_(end) {}
    void run(unsigned int) override { tracer_.trace(begin_, end_); }

private:
    const RayRangeTracer& tracer_;
    unsigned int begin_, end_;
};

} // namespace

void trace_in_chunks(const RayRangeTracer& tracer, unsigned int count, unsigned int threads) {
    const unsigned int chunks = (count + kBatchChunk - 1) / kBatchChunk;
    if (threads > gfxRTWideBVH::MAX_BUILD_THREADS)
        threads = gfxRTWideBVH::MAX_BUILD_THREADS;
    if (threads > chunks)
        threads = chunks;
    ZrvGfxTaskManager* pool = threads > 1 ? new (std::nothrow) ZrvGfxTaskManager(threads) : nullptr;
    for (unsigned int c = 0; c < chunks; ++c) {
        const unsigned int begin = c * kBatchChunk;
        const unsigned int end = count - begin < kBatchChunk ? count : begin + kBatchChunk;
        ChunkTask* task =
            pool != nullptr ? new (std::nothrow) ChunkTask(tracer, begin, end) : nullptr;
        if (task != nullptr)
            pool->add_task(task);
        else
            tracer.trace(begin, end);
    }
    if (pool != nullptr) {
        pool->run_tasks_and_wait();
        delete pool;
    }
}

} // namespace gfx_detail
