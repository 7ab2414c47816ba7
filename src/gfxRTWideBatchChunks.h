// The rays of a batch shared among a task pool's workers in chunks, for the
// wide BVH's and the wide scene's batch queries.
#ifndef GFX_RT_WIDE_BATCH_CHUNKS_H
#define GFX_RT_WIDE_BATCH_CHUNKS_H

namespace gfx_detail {

// Rays per chunk: enough to cover a task's start.
const unsigned int BATCH_CHUNK_RAYS = 4096;

// Traces the rays [begin, end) of one batch; called once per chunk, from
// any worker. worker (below batch_workers) is the worker's number: no two
// chunks that run at once share it, so it may pick per-worker memory.
class RayRangeTracer {
public:
    virtual void trace(unsigned int begin, unsigned int end, unsigned int worker) const = 0;

protected:
    ~RayRangeTracer() = default;
};

// The chunks of count rays.
unsigned int batch_chunks(unsigned int count);
// The workers trace_in_chunks starts for count rays and threads (at least 1).
unsigned int batch_workers(unsigned int count, unsigned int threads);

// Traces count rays on the caller's thread, or on a pool of threads workers
// (at most gfxRTWideBVH::MAX_BUILD_THREADS) taking chunks in order. Chunks a
// failed allocation leaves without a task run on the caller, as worker 0,
// before the pool starts.
void trace_in_chunks(const RayRangeTracer& tracer, unsigned int count, unsigned int threads);

// A tracer calling trace(begin, end) for each chunk, for batches that need no
// per-worker memory.
template <typename Trace> class RangeTracer final : public RayRangeTracer {
public:
    explicit RangeTracer(const Trace& trace) : trace_(trace) {}
    void trace(unsigned int begin, unsigned int end, unsigned int) const override {
        trace_(begin, end);
    }

private:
    const Trace& trace_;
};

// trace_in_chunks with trace(begin, end) for each chunk.
template <typename Trace>
void trace_ranges_in_chunks(const Trace& trace, unsigned int count, unsigned int threads) {
    trace_in_chunks(RangeTracer<Trace>(trace), count, threads);
}

// trace_in_chunks with a range kernel of the table: range(view, batch, begin,
// end) for each chunk.
template <typename View, typename Batch>
void trace_kernel_in_chunks(void (*range)(const View&, const Batch&, unsigned int, unsigned int),
                            const View& view, const Batch& batch, unsigned int count,
                            unsigned int threads) {
    trace_ranges_in_chunks(
        [&](unsigned int begin, unsigned int end) { range(view, batch, begin, end); }, count,
        threads);
}

} // namespace gfx_detail

#endif // GFX_RT_WIDE_BATCH_CHUNKS_H
