#include "zrvTaggedValues.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ZRV_TAGGED_SHUFFLES 1
#endif

namespace zrv {
namespace streams {

namespace {

// One value at a time: the tail of a run, and processors without shuffles.
unsigned int untag_each(const unsigned char* data, std::size_t count, unsigned char tag,
                        unsigned char* values) {
    unsigned int differ = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* p = data + 5 * i;
        differ |= p[0] ^ tag;
        // Little-endian in the stream, native in values.
        const std::uint32_t value = std::uint32_t(p[1]) | (std::uint32_t(p[2]) << 8) |
                                    (std::uint32_t(p[3]) << 16) | (std::uint32_t(p[4]) << 24);
        std::memcpy(values + 4 * i, &value, 4);
    }
    return differ;
}

#ifdef ZRV_TAGGED_SHUFFLES

const bool SHUFFLES = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));

// Three values from each 16 bytes loaded (the sixteenth is the next tag),
// stored as 16 bytes whose last four the next store or the tail overwrites:
// the loop stops while four values of room are left.
__attribute__((target("ssse3"))) bool untag_shuffled(const unsigned char* data, std::size_t count,
                                                     unsigned char tag, unsigned char* values) {
    const __m128i gather = _mm_setr_epi8(1, 2, 3, 4, 6, 7, 8, 9, 11, 12, 13, 14, -1, -1, -1, -1);
    const __m128i tags = _mm_set1_epi8(char(tag));
    int same = 0x0421; // the tags' places among the 16 bytes
    std::size_t i = 0;
    for (; i + 4 <= count; i += 3) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 5 * i));
        same &= _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, tags));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(values + 4 * i),
                         _mm_shuffle_epi8(bytes, gather));
    }
    return same == 0x0421 && untag_each(data + 5 * i, count - i, tag, values + 4 * i) == 0;
}

#endif // ZRV_TAGGED_SHUFFLES

} // namespace

bool untag_values(const unsigned char* data, std::size_t count, unsigned char tag, void* values) {
    unsigned char* const out = static_cast<unsigned char*>(values);
#ifdef ZRV_TAGGED_SHUFFLES
    if (SHUFFLES)
        return untag_shuffled(data, count, tag, out);
#endif
    return untag_each(data, count, tag, out) == 0;
}

} // namespace streams
} // namespace zrv
