// The rays of a batch shared among a task pool's workers in chunks, for the
// wide BVH's and the wide scene's batch queries.
#ifndef GFX_RT_WIDE_BATCH_CHUNKS_H
#define GFX_RT_WIDE_BATCH_CHUNKS_H

namespace gfx_detail {

// Traces the rays [begin, end) of one batch; called once per chunk, from
// any worker.
class RayRangeTracer {
public:
    virtual void trace(unsigned int begin, unsigned int end) const = 0;

protected:
    ~RayRangeTracer() = default;
};

// Traces count rays on the caller's thread, or on a pool of threads workers
// (at most gfxRTWideBVH::MAX_BUILD_THREADS) taking chunks in order. Chunks a
// failed allocation leaves without a task run on the caller.
void trace_in_chunks(const RayRangeTracer& tracer, unsigned int count, unsigned int threads);

} // namespace gfx_detail

#endif // GFX_RT_WIDE_BATCH_CHUNKS_H
