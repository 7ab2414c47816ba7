#include "gfxSplitCandidateSort.h"

#include <cmath>
#include <cstdlib>
#include <new>

namespace gfx_detail {

namespace {

// Maps a float to an unsigned key with the same order; -0.0 and +0.0 map to
// one key because they compare equal.
inline std::uint32_t position_key(float position) {
    std::uint32_t bits;
    std::memcpy(&bits, &position, 4);
    if ((bits & 0x7FFFFFFFu) == 0)
        bits = 0;
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

// Key order = candidate order: position, then type (bits 30-31 of the low
// word), then object index (bits 0-29).
inline std::uint64_t candidate_key(const gfxSplitCandidate& c) {
    return (std::uint64_t(position_key(c.position)) << 32) | (std::uint64_t(c.type) << 30) |
           c.object_index;
}

// Only the position: equal positions keep their relative order.
inline std::uint64_t position_only_key(const gfxSplitCandidate& c) {
    return position_key(c.position);
}

const int DIGIT_BITS = 11;
const std::uint32_t BUCKETS = 1u << DIGIT_BITS;
const int MAX_DIGITS = 6; // 66 bits cover a 64-bit key
// 36 bits cover the 34 of a position and a type.
const int POSITION_TYPE_DIGITS = 3;
const int POSITION_TYPE_DIGIT_BITS = 12;

// Turns the counts of a histogram into the first slot of each bucket.
inline void counts_to_offsets(std::uint32_t* histogram, std::uint32_t buckets) {
    std::uint32_t sum = 0;
    for (std::uint32_t b = 0; b < buckets; ++b) {
        const std::uint32_t n = histogram[b];
        histogram[b] = sum;
        sum += n;
    }
}

// Stable LSD radix sort of list by key(candidate) over its lowest
// DIGITS * 11 bits, carrying the whole candidate along so that every position
// keeps its exact bits (the sign of a zero included).
template <int DIGITS, std::uint64_t (*KEY)(const gfxSplitCandidate&)>
void radix_sort(gfxSplitCandidate* list, std::uint64_t* keys, std::uint64_t* key_scratch,
                gfxSplitCandidate* list_scratch, unsigned int count) {
    static_assert(sizeof(gfxSplitCandidate) == 8, "candidates move as 8-byte words");
    static_assert(DIGITS <= MAX_DIGITS, "key width");
    std::uint32_t histograms[DIGITS][BUCKETS] = {};
    for (unsigned int i = 0; i < count; ++i) {
        keys[i] = KEY(list[i]);
        for (int d = 0; d < DIGITS; ++d)
            ++histograms[d][(keys[i] >> (d * DIGIT_BITS)) & (BUCKETS - 1)];
    }
    std::uint64_t* from_keys = keys;
    std::uint64_t* to_keys = key_scratch;
    gfxSplitCandidate* from = list;
    gfxSplitCandidate* to = list_scratch;
    for (int d = 0; d < DIGITS; ++d) {
        std::uint32_t* histogram = histograms[d];
        if (histogram[(from_keys[0] >> (d * DIGIT_BITS)) & (BUCKETS - 1)] == count)
            continue; // every key has the same digit here
        counts_to_offsets(histogram, BUCKETS);
        for (unsigned int i = 0; i < count; ++i) {
            const std::uint32_t slot =
                histogram[(from_keys[i] >> (d * DIGIT_BITS)) & (BUCKETS - 1)]++;
            to_keys[slot] = from_keys[i];
            to[slot] = from[i];
        }
        std::swap(from_keys, to_keys);
        std::swap(from, to);
    }
    if (from != list)
        std::memcpy(list, from, std::size_t(count) * sizeof(gfxSplitCandidate));
}

// Position, then type: the candidate order for lists whose equal (position,
// type) pairs already stand in object order, which a stable sort keeps.
inline std::uint64_t position_type_key(const gfxSplitCandidate& c) {
    return (std::uint64_t(position_key(c.position)) << 2) | c.type;
}

// Stable LSD radix sort of list by key(candidate) over its lowest
// DIGITS * BITS bits, the key computed afresh from the candidate in every
// pass instead of being carried along.
template <int DIGITS, int BITS, std::uint64_t (*KEY)(const gfxSplitCandidate&)>
void radix_sort_recomputing_keys(gfxSplitCandidate* list, gfxSplitCandidate* scratch,
                                 unsigned int count) {
    const std::uint32_t buckets = 1u << BITS;
    std::uint32_t histograms[DIGITS][buckets] = {};
    for (unsigned int i = 0; i < count; ++i) {
        const std::uint64_t key = KEY(list[i]);
        for (int d = 0; d < DIGITS; ++d)
            ++histograms[d][(key >> (d * BITS)) & (buckets - 1)];
    }
    gfxSplitCandidate* from = list;
    gfxSplitCandidate* to = scratch;
    for (int d = 0; d < DIGITS; ++d) {
        std::uint32_t* histogram = histograms[d];
        if (histogram[(KEY(from[0]) >> (d * BITS)) & (buckets - 1)] == count)
            continue; // every key has the same digit here
        counts_to_offsets(histogram, buckets);
        for (unsigned int i = 0; i < count; ++i) {
            const gfxSplitCandidate c = from[i];
            to[histogram[(KEY(c) >> (d * BITS)) & (buckets - 1)]++] = c;
        }
        std::swap(from, to);
    }
    if (from != list)
        std::memcpy(list, from, std::size_t(count) * sizeof(gfxSplitCandidate));
}

// Sorts with scratch memory for the radix sort; false when it cannot be had.
template <int DIGITS, std::uint64_t (*KEY)(const gfxSplitCandidate&)>
bool radix_sort(gfxSplitCandidate* list, unsigned int count) {
    std::uint64_t* keys = new (std::nothrow) std::uint64_t[2 * std::size_t(count)];
    gfxSplitCandidate* scratch = new (std::nothrow) gfxSplitCandidate[count];
    const bool ok = keys != nullptr && scratch != nullptr;
    if (ok)
        radix_sort<DIGITS, KEY>(list, keys, keys + count, scratch, count);
    delete[] keys;
    delete[] scratch;
    return ok;
}

} // namespace

int compare_split_candidate_positions(const void* a, const void* b) {
    const float x = static_cast<const gfxSplitCandidate*>(a)->position;
    const float y = static_cast<const gfxSplitCandidate*>(b)->position;
    if (x < y)
        return -1;
    if (x > y)
        return 1;
    return 0;
}

bool sort_split_candidates_by_position(gfxSplitCandidate* list, unsigned int count) {
    if (count < 2)
        return true;
    // NaN positions get keys of their own bits: an arbitrary but fixed place,
    // which is all an order that cannot compare them promises.
    return radix_sort<3, position_only_key>(list, count);
}

bool sort_split_candidates(gfxSplitCandidate* list, unsigned int count) {
    if (count < 2)
        return true;
    bool in_object_order = true;
    for (unsigned int i = 0; i < count; ++i) {
        if (std::isnan(list[i].position)) {
            std::qsort(list, count, sizeof(gfxSplitCandidate), compare_split_candidates);
            return true;
        }
        if (i > 0 && list[i].object_index < list[i - 1].object_index)
            in_object_order = false;
    }
    if (count < 64) {
        std::qsort(list, count, sizeof(gfxSplitCandidate), compare_split_candidates);
        return true;
    }
    if (!in_object_order)
        return radix_sort<MAX_DIGITS, candidate_key>(list, count);
    // Made object by object: a stable sort on position and type alone puts
    // equal ones in object order, as the full key would (every candidate has
    // its own (position, type, object), so the sorted order is the same).
    gfxSplitCandidate* scratch = new (std::nothrow) gfxSplitCandidate[count];
    if (scratch == nullptr)
        return false;
    radix_sort_recomputing_keys<POSITION_TYPE_DIGITS, POSITION_TYPE_DIGIT_BITS, position_type_key>(
        list, scratch, count);
    delete[] scratch;
    return true;
}

} // namespace gfx_detail
