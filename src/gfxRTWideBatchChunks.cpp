#include "gfxRTWideBatchChunks.h"

#include "ZrvGfxConcurrency.h"
#include "gfxRTWideBVH.h"

#include <new>

namespace gfx_detail {

namespace {

class ChunkTask : public ZrvGfxRunnableTask {
public:
    ChunkTask(const RayRangeTracer& tracer, unsigned int begin, unsigned int end)
        : tracer_(tracer), begin_(begin), end_(end) {}
    void run(unsigned int worker) override { tracer_.trace(begin_, end_, worker); }

private:
    const RayRangeTracer& tracer_;
    unsigned int begin_, end_;
};

} // namespace

unsigned int batch_chunks(unsigned int count) {
    return count / BATCH_CHUNK_RAYS + (count % BATCH_CHUNK_RAYS != 0 ? 1u : 0u);
}

unsigned int batch_workers(unsigned int count, unsigned int threads) {
    const unsigned int chunks = batch_chunks(count);
    if (threads > gfxRTWideBVH::MAX_BUILD_THREADS)
        threads = gfxRTWideBVH::MAX_BUILD_THREADS;
    if (threads > chunks)
        threads = chunks;
    return threads > 1 ? threads : 1;
}

void trace_in_chunks(const RayRangeTracer& tracer, unsigned int count, unsigned int threads) {
    const unsigned int chunks = batch_chunks(count);
    threads = batch_workers(count, threads);
    ZrvGfxTaskManager* pool = threads > 1 ? new (std::nothrow) ZrvGfxTaskManager(threads) : nullptr;
    for (unsigned int c = 0; c < chunks; ++c) {
        const unsigned int begin = c * BATCH_CHUNK_RAYS;
        const unsigned int end =
            count - begin < BATCH_CHUNK_RAYS ? count : begin + BATCH_CHUNK_RAYS;
        ChunkTask* task =
            pool != nullptr ? new (std::nothrow) ChunkTask(tracer, begin, end) : nullptr;
        if (task != nullptr)
            pool->add_task(task);
        else
            tracer.trace(begin, end, 0);
    }
    if (pool != nullptr) {
        pool->run_tasks_and_wait();
        delete pool;
    }
}

} // namespace gfx_detail
