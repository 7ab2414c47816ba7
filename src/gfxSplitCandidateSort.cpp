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
    return (std::uint64_t(position_key(c.position)) << 32) |
           (std::uint64_t(c.type) << 30) | c.object_index;
}

const int DIGIT_BITS = 11;
const int DIGITS = 6; // 66 bits cover the key
const std::uint32_t BUCKETS = 1u << DIGIT_BITS;

// Sorts the keys of list, carrying the whole candidate along so that every
// position keeps its exact bits (the sign of a zero included).
void radix_sort(gfxSplitCandidate* list, std::uint64_t* keys, std::uint64_t* key_scratch,
                gfxSplitCandidate* list_scratch, unsigned int count) {
    static_assert(sizeof(gfxSplitCandidate) == 8, "candidates move as 8-byte words");
    std::uint32_t histograms[DIGITS][BUCKETS] = {};
    for (unsigned int i = 0; i < count; ++i) {
        keys[i] = candidate_key(list[i]);
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
        std::uint32_t sum = 0;
        for (std::uint32_t b = 0; b < BUCKETS; ++b) {
            const std::uint32_t n = histogram[b];
            histogram[b] = sum;
            sum += n;
        }
        for (unsigned int i = 0; i < count; ++i) {
            const std::uint32_t slot = histogram[(from_keys[i] >> (d * DIGIT_BITS)) & (BUCKETS - 1)]++;
            to_keys[slot] = from_keys[i];
            to[slot] = from[i];
        }
        std::swap(from_keys, to_keys);
        std::swap(from, to);
    }
    if (from != list)
        std::memcpy(list, from, std::size_t(count) * sizeof(gfxSplitCandidate));
}

} // namespace

bool sort_split_candidates(gfxSplitCandidate* list, unsigned int count) {
    if (count < 2)
        return true;
    for (unsigned int i = 0; i < count; ++i) {
        if (std::isnan(list[i].position)) {
            std::qsort(list, count, sizeof(gfxSplitCandidate), compare_split_candidates);
            return true;
        }
    }
    if (count < 64) {
        std::qsort(list, count, sizeof(gfxSplitCandidate), compare_split_candidates);
        return true;
    }
    std::uint64_t* keys = new (std::nothrow) std::uint64_t[2 * std::size_t(count)];
    gfxSplitCandidate* scratch = new (std::nothrow) gfxSplitCandidate[count];
    const bool ok = keys != nullptr && scratch != nullptr;
    if (ok)
        radix_sort(list, keys, keys + count, scratch, count);
    delete[] keys;
    delete[] scratch;
    return ok;
}

} // namespace gfx_detail
