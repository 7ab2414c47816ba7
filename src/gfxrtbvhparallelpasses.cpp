#include "gfxrtbvhparallelpasses.h"

#include "gfxRTHotPaths.h"

#include <emmintrin.h>

#include <cmath>
#include <new>

namespace {

const int BIN_COUNT = gfxRTBVHBuilder::BIN_COUNT;
// Integer costs whose magnitudes add up to at most this have exact single
// precision sums in any grouping.
const double EXACT_COST_TOTAL = 16777216.0;

class PassTask : public ZrvGfxRunnableTask {
public:
    PassTask(gfxRTBVHParallelPasses* passes, int chunk) : passes_(passes), chunk_(chunk) {}
    void run(unsigned int) override { passes_->run_chunk(chunk_); }

private:
    gfxRTBVHParallelPasses* passes_;
    int chunk_;
};

int block_count(int begin, int end) {
    return (end - begin + gfxRTBVHParallelPasses::BLOCK_SIZE - 1) /
           gfxRTBVHParallelPasses::BLOCK_SIZE;
}

// Entries of bins[0, count) below bin, sixteen at a time.
int count_lower(const unsigned char* bins, int count, int bin) {
    const __m128i limit = _mm_set1_epi8(char(bin));
    const __m128i zero = _mm_setzero_si128();
    int lower = 0;
    int p = 0;
    while (p + 16 <= count) {
        // Byte counters take at most 255 steps.
        const int stop = count - p > 255 * 16 ? p + 255 * 16 : count;
        __m128i counters = zero;
        for (; p + 16 <= stop; p += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bins + p));
            counters = _mm_sub_epi8(counters, _mm_cmplt_epi8(v, limit));
        }
        const __m128i sums = _mm_sad_epu8(counters, zero);
        lower += _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
    }
    for (; p < count; ++p)
        lower += bins[p] < bin;
    return lower;
}

} // namespace

struct gfxRTBVHParallelPasses::Chunk {
    int begin, end; // positions, or pair ranks for the partition
    BVHBBox box, centroid_box;
    float bin_costs[BIN_COUNT];
    BVHBBox bin_boxes[BIN_COUNT];
    bool exact;
    double cost_magnitude;
};

gfxRTBVHParallelPasses::gfxRTBVHParallelPasses(ZrvGfxTaskManager& pool, const gfxRTBVH& tree,
                                               BVHBuildObject* objects, unsigned char* bins,
                                               int* order, unsigned int number_of_objects)
    : pool_(pool), tree_(tree), objects_(objects), bins_(bins), order_(order),
      number_of_objects_(number_of_objects),
      chunk_count_(pool.worker_count() < gfxRTBVH::MAX_BUILD_THREADS ? pool.worker_count()
                                                                     : gfxRTBVH::MAX_BUILD_THREADS),
      chunks_(new (std::nothrow) Chunk[chunk_count_]),
      block_lower_(new (std::nothrow) int[block_count(0, int(number_of_objects))]), checked_(false),
      exact_(false), binned_(false), root_bounds_(false), pass_(BOUND), begin_(0), end_(0),
      axis_(0), low_(0.0), factor_(0.0), partition_bin_(0), pair_count_(0) {}

gfxRTBVHParallelPasses::~gfxRTBVHParallelPasses() {
    delete[] chunks_;
    delete[] block_lower_;
}

bool gfxRTBVHParallelPasses::run_pass(Pass pass, int begin, int end) {
    if (chunks_ == nullptr || block_lower_ == nullptr)
        return false;
    // Position passes cut whole blocks; the partition cuts its pairs evenly.
    const long long items = pass == PARTITION ? pair_count_ : end - begin;
    const long long per_chunk =
        (block_count(begin, end) + chunk_count_ - 1) / chunk_count_ * (long long)BLOCK_SIZE;
    PassTask* tasks[gfxRTBVH::MAX_BUILD_THREADS] = {};
    unsigned int task_count = 0;
    bool made = true;
    for (unsigned int c = 0; c < chunk_count_; ++c) {
        Chunk& chunk = chunks_[c];
        const long long first = pass == PARTITION ? items * c / chunk_count_ : per_chunk * c;
        const long long last =
            pass == PARTITION ? items * (c + 1) / chunk_count_ : per_chunk * (c + 1);
        chunk.begin = int(first < items ? first : items);
        chunk.end = int(last < items ? last : items);
        if (pass != PARTITION) {
            chunk.begin += begin;
            chunk.end += begin;
        }
        if (chunk.begin < chunk.end && made) {
            tasks[task_count] = new (std::nothrow) PassTask(this, int(c));
            made = tasks[task_count++] != nullptr;
        }
    }
    if (!made) {
        for (unsigned int t = 0; t < task_count; ++t)
            delete tasks[t];
        return false;
    }
    pass_ = pass;
    begin_ = begin;
    end_ = end;
    for (unsigned int t = 0; t < task_count; ++t)
        pool_.add_task(tasks[t]);
    pool_.run_tasks_and_wait();
    return true;
}

void gfxRTBVHParallelPasses::run_chunk(int chunk) {
    Chunk& c = chunks_[chunk];
    switch (pass_) {
    case OBJECTS:
        for (int p = c.begin; p < c.end; ++p)
            make_build_object(tree_, unsigned(p), objects_[p]);
        bound_chunk(c, true);
        break;
    case CHECK_AND_BOUND:
        bound_chunk(c, true);
        break;
    case BOUND:
        bound_chunk(c, false);
        break;
    case BIN:
        bin_chunk(c);
        break;
    case PARTITION:
        partition_chunk(c);
        break;
    }
}

bool gfxRTBVHParallelPasses::compute_build_objects() {
    if (!run_pass(OBJECTS, 0, int(number_of_objects_)))
        return false;
    combine_bounds(true, root_box_, root_centroid_box_);
    root_bounds_ = exact_;
    return true;
}

bool gfxRTBVHParallelPasses::compute_bounds(int begin, int end, BVHBBox& box,
                                            BVHBBox& centroid_box) {
    const bool root = begin == 0 && end == int(number_of_objects_);
    if (root && root_bounds_) {
        root_bounds_ = false;
        box = root_box_;
        centroid_box = root_centroid_box_;
        return true;
    }
    // The records are checked by the first pass, which covers the root.
    const bool check = !checked_;
    if (check && !root)
        checked_ = true;
    if (!exact_ && !(check && root))
        return false;
    if (!run_pass(check ? CHECK_AND_BOUND : BOUND, begin, end)) {
        checked_ = true;
        return false;
    }
    combine_bounds(check, box, centroid_box);
    return exact_;
}

void gfxRTBVHParallelPasses::combine_bounds(bool checked, BVHBBox& box, BVHBBox& centroid_box) {
    double cost_magnitude = 0.0;
    bool exact = true;
    box = BVHBBox();
    centroid_box = BVHBBox();
    for (unsigned int c = 0; c < chunk_count_; ++c) {
        const Chunk& chunk = chunks_[c];
        if (chunk.begin >= chunk.end)
            continue;
        box.grow(chunk.box.bbmin, chunk.box.bbmax);
        centroid_box.grow(chunk.centroid_box.bbmin, chunk.centroid_box.bbmax);
        exact = exact && chunk.exact;
        cost_magnitude += chunk.cost_magnitude;
    }
    if (checked) {
        checked_ = true;
        exact_ = exact && cost_magnitude <= EXACT_COST_TOTAL;
    }
}

void gfxRTBVHParallelPasses::bound_chunk(Chunk& chunk, bool check) const {
    BVHBBox box, centroid_box;
    __m128 unordered = _mm_setzero_ps();
    bool integral = true;
    double magnitude = 0.0;
    for (int p = chunk.begin; p < chunk.end; ++p) {
        const BVHBuildObject& o = objects_[p];
        box.grow(o.bbmin, o.bbmax);
        centroid_box.grow(o.centroid, o.centroid);
        if (check) {
            unordered = _mm_or_ps(unordered, _mm_cmpunord_ps(o.bbmin, o.bbmax));
            unordered = _mm_or_ps(unordered, _mm_cmpunord_ps(o.centroid, o.centroid));
            const float cost = reinterpret_cast<const float*>(&o.centroid)[3];
            if (std::fabs(cost) <= float(EXACT_COST_TOTAL) && float(int(cost)) == cost)
                magnitude += std::fabs(double(cost));
            else
                integral = false;
        }
    }
    chunk.box = box;
    chunk.centroid_box = centroid_box;
    // The fourth lanes of boxes are never used; that of the centre is the cost.
    chunk.exact = integral && (_mm_movemask_ps(unordered) & 7) == 0;
    chunk.cost_magnitude = magnitude;
}

bool gfxRTBVHParallelPasses::bin_objects(int begin, int end, int axis, double low, double factor,
                                         float* bin_costs, BVHBBox* bin_boxes) {
    binned_ = false;
    if (!exact_)
        return false;
    axis_ = axis;
    low_ = low;
    factor_ = factor;
    if (!run_pass(BIN, begin, end))
        return false;
    for (unsigned int c = 0; c < chunk_count_; ++c) {
        const Chunk& chunk = chunks_[c];
        if (chunk.begin >= chunk.end)
            continue;
        for (int b = 0; b < BIN_COUNT; ++b) {
            bin_costs[b] += chunk.bin_costs[b];
            bin_boxes[b].grow(chunk.bin_boxes[b].bbmin, chunk.bin_boxes[b].bbmax);
        }
    }
    binned_ = true;
    return true;
}

void gfxRTBVHParallelPasses::bin_chunk(Chunk& chunk) const {
    // The chunk's halves go side by side: combined in order, like chunks.
    float second_costs[BIN_COUNT];
    BVHBBox second_boxes[BIN_COUNT];
    for (int b = 0; b < BIN_COUNT; ++b) {
        chunk.bin_costs[b] = 0.0f;
        chunk.bin_boxes[b] = BVHBBox();
        second_costs[b] = 0.0f;
    }
    gfx_detail::hot_paths().bin_objects_halves(
        objects_, bins_, chunk.begin, chunk.begin + (chunk.end - chunk.begin) / 2, chunk.end, axis_,
        low_, factor_, chunk.bin_costs, chunk.bin_boxes, second_costs, second_boxes);
    for (int b = 0; b < BIN_COUNT; ++b) {
        chunk.bin_costs[b] += second_costs[b];
        chunk.bin_boxes[b].grow(second_boxes[b].bbmin, second_boxes[b].bbmax);
    }
}

void gfxRTBVHParallelPasses::count_lower_per_block() {
    const int blocks = block_count(begin_, end_);
    for (int k = 0; k < blocks; ++k) {
        const int start = begin_ + k * BLOCK_SIZE;
        const int size = end_ - start < BLOCK_SIZE ? end_ - start : BLOCK_SIZE;
        block_lower_[k] = count_lower(bins_ + start, size, partition_bin_);
    }
}

bool gfxRTBVHParallelPasses::partition_objects(int begin, int end, int bin, int& split) {
    // Needs the bins of this very range.
    if (!binned_ || begin != begin_ || end != end_)
        return false;
    binned_ = false;
    partition_bin_ = bin;
    count_lower_per_block();
    const int blocks = block_count(begin, end);
    int lower = 0;
    for (int k = 0; k < blocks; ++k)
        lower += block_lower_[k];
    const int mid = begin + lower;
    // Upper-bin objects below mid, each to be swapped with a lower-bin one
    // above it.
    int pairs = 0;
    int start = begin;
    for (int k = 0; start + BLOCK_SIZE <= mid; ++k, start += BLOCK_SIZE)
        pairs += BLOCK_SIZE - block_lower_[k];
    pairs += (mid - start) - count_lower(bins_ + start, mid - start, bin);
    pair_count_ = pairs;
    if (pairs > 0 && !run_pass(PARTITION, begin, end))
        return false;
    split = mid;
    return true;
}

int gfxRTBVHParallelPasses::upper_from_left(int rank) const {
    int start = begin_;
    for (int k = 0;; ++k, start += BLOCK_SIZE) {
        const int size = end_ - start < BLOCK_SIZE ? end_ - start : BLOCK_SIZE;
        const int upper = size - block_lower_[k];
        if (rank < upper)
            break;
        rank -= upper;
    }
    for (int p = start;; ++p)
        if (bins_[p] >= partition_bin_ && rank-- == 0)
            return p;
}

int gfxRTBVHParallelPasses::lower_from_right(int rank) const {
    int k = block_count(begin_, end_) - 1;
    for (;; --k) {
        if (rank < block_lower_[k])
            break;
        rank -= block_lower_[k];
    }
    const int stop = begin_ + k * BLOCK_SIZE + BLOCK_SIZE;
    for (int p = (stop < end_ ? stop : end_) - 1;; --p)
        if (bins_[p] < partition_bin_ && rank-- == 0)
            return p;
}

void gfxRTBVHParallelPasses::partition_chunk(const Chunk& chunk) const {
    // Pairs chunk.begin to chunk.end - 1, in the order the two-ended scan
    // meets them. Bins are only read: the swapped positions' bins are not
    // needed again.
    int i = upper_from_left(chunk.begin);
    int j = lower_from_right(chunk.begin);
    for (int pair = chunk.begin;;) {
        swap_build_objects(order_, objects_, i, j);
        if (++pair == chunk.end)
            return;
        do
            ++i;
        while (bins_[i] < partition_bin_);
        do
            --j;
        while (bins_[j] >= partition_bin_);
    }
}
