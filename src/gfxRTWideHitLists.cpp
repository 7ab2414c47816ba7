#include "gfxRTWideHitLists.h"

#include "gfxLargeBlocks.h"
#include "gfxRTWideBatchChunks.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

namespace gfx_detail {

namespace {

// A first buffer's entries: a few thousand hits cost one allocation.
const std::size_t kFirstCapacity = 1024;
// Rays with more hits than this are sorted with std::sort.
const std::size_t kInsertionSortLimit = 32;

bool hit_before(const HitEntry& a, const HitEntry& b) {
    if (a.t != b.t)
        return a.t < b.t;
    if (a.instance != b.instance)
        return a.instance < b.instance;
    return a.index < b.index;
}

// Where a chunk's hits went: entries [first, first + count) of a worker's
// buffer.
struct ChunkHits {
    unsigned int worker;
    std::size_t first;
    std::size_t count;
};

class ChunkLister : public RayRangeTracer {
public:
    ChunkLister(const HitRangeLister& lister, HitBuffer* buffers, ChunkHits* chunks)
        : lister_(lister), buffers_(buffers), chunks_(chunks), failed_(false) {}

    void trace(unsigned int begin, unsigned int end, unsigned int worker) const override {
        if (failed_.load(std::memory_order_relaxed))
            return;
        HitBuffer& buffer = buffers_[worker];
        ChunkHits& chunk = chunks_[begin / BATCH_CHUNK_RAYS];
        chunk.worker = worker;
        chunk.first = buffer.size;
        if (!lister_.list(begin, end, buffer))
            failed_.store(true, std::memory_order_relaxed);
        chunk.count = buffer.size - chunk.first;
    }

    bool failed() const { return failed_.load(std::memory_order_relaxed); }

private:
    const HitRangeLister& lister_;
    HitBuffer* buffers_;
    ChunkHits* chunks_;
    mutable std::atomic<bool> failed_;
};

} // namespace

bool grow_hit_buffer(HitBuffer& buffer) {
    const std::size_t capacity =
        buffer.capacity < kFirstCapacity ? kFirstCapacity : 2 * buffer.capacity;
    if (capacity > std::size_t(-1) / sizeof(HitEntry))
        return false;
    HitEntry* const grown = static_cast<HitEntry*>(large_block_alloc(capacity * sizeof(HitEntry)));
    if (grown == nullptr)
        return false;
    if (buffer.size != 0)
        std::memcpy(grown, buffer.entries, buffer.size * sizeof(HitEntry));
    large_block_free(buffer.entries);
    buffer.entries = grown;
    buffer.capacity = capacity;
    return true;
}

void release_hit_buffer(HitBuffer& buffer) {
    large_block_free(buffer.entries);
    buffer = HitBuffer();
}

void sort_ray_hits(HitEntry* hits, std::size_t count) {
    if (count > kInsertionSortLimit) {
        std::sort(hits, hits + count, hit_before);
        return;
    }
    for (std::size_t i = 1; i < count; ++i) {
        const HitEntry key = hits[i];
        std::size_t j = i;
        for (; j > 0 && hit_before(key, hits[j - 1]); --j)
            hits[j] = hits[j - 1];
        hits[j] = key;
    }
}

bool order_group_hits(HitBuffer& buffer, std::size_t first, std::uint32_t first_ray,
                      unsigned int rays) {
    const std::size_t count = buffer.size - first;
    if (count < 2)
        return true;
    // The room past the last entry holds the hits distributed by ray.
    while (buffer.capacity - buffer.size < count)
        if (!grow_hit_buffer(buffer))
            return false;
    HitEntry* const hits = buffer.entries + first;
    HitEntry* const scratch = buffer.entries + buffer.size;
    std::size_t start[HIT_GROUP_MAX_RAYS + 1] = {};
    for (std::size_t i = 0; i < count; ++i)
        ++start[hits[i].ray - first_ray + 1];
    std::size_t next[HIT_GROUP_MAX_RAYS];
    for (unsigned int r = 0; r < rays; ++r) {
        start[r + 1] += start[r];
        next[r] = start[r];
    }
    for (std::size_t i = 0; i < count; ++i)
        scratch[next[hits[i].ray - first_ray]++] = hits[i];
    std::memcpy(hits, scratch, count * sizeof(HitEntry));
    for (unsigned int r = 0; r < rays; ++r)
        if (start[r + 1] - start[r] > 1)
            sort_ray_hits(hits + start[r], start[r + 1] - start[r]);
    return true;
}

bool collect_hit_list(const HitRangeLister& lister, unsigned int count, unsigned int threads,
                      gfxRTWideHitList& list) {
    gfxRTWideHitListRelease(list);
    if (count == 0)
        return true;
    const unsigned int workers = batch_workers(count, threads);
    HitBuffer* const buffers = new (std::nothrow) HitBuffer[workers];
    ChunkHits* const chunks = new (std::nothrow) ChunkHits[batch_chunks(count)];
    bool listed = false;
    std::size_t total = 0;
    if (buffers != nullptr && chunks != nullptr) {
        const ChunkLister chunk_lister(lister, buffers, chunks);
        trace_in_chunks(chunk_lister, count, workers);
        listed = !chunk_lister.failed();
        for (unsigned int w = 0; w < workers; ++w)
            total += buffers[w].size;
    }
    // One block for the six arrays, each four bytes an entry.
    void* const block =
        listed && total != 0 ? large_block_alloc(total * 6 * sizeof(float)) : nullptr;
    if (listed && (block != nullptr || total == 0)) {
        float* const t = static_cast<float*>(block);
        float* const u = t + total;
        float* const v = u + total;
        int* const index = reinterpret_cast<int*>(v + total);
        int* const instance = index + total;
        unsigned int* const ray = reinterpret_cast<unsigned int*>(instance + total);
        std::size_t k = 0;
        for (unsigned int c = 0; c < batch_chunks(count); ++c) {
            const HitEntry* const hits = buffers[chunks[c].worker].entries + chunks[c].first;
            for (std::size_t i = 0; i < chunks[c].count; ++i, ++k) {
                t[k] = hits[i].t;
                u[k] = hits[i].u;
                v[k] = hits[i].v;
                index[k] = hits[i].index;
                instance[k] = hits[i].instance;
                ray[k] = hits[i].ray;
            }
        }
        if (total != 0)
            list = gfxRTWideHitList{total, ray, t, index, instance, u, v, block};
    } else {
        listed = false;
    }
    if (buffers != nullptr)
        for (unsigned int w = 0; w < workers; ++w)
            release_hit_buffer(buffers[w]);
    delete[] buffers;
    delete[] chunks;
    return listed;
}

} // namespace gfx_detail

void gfxRTWideHitListRelease(gfxRTWideHitList& list) {
    gfx_detail::large_block_free(list.block);
    list = gfxRTWideHitList();
}
