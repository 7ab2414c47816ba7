#include "zrvCrc32.h"

#include <zlib.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define ZRV_CRC32_FOLDING 1
#endif

namespace zrv {
namespace streams {

namespace {

// zlib's crc32 takes lengths of 32 bits: longer blocks go in pieces.
std::uint32_t zlib_crc(std::uint32_t crc, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const uInt piece = size > 0x40000000u ? 0x40000000u : uInt(size);
        crc = std::uint32_t(crc32(crc, data, piece));
        data += piece;
        size -= piece;
    }
    return crc;
}

#ifdef ZRV_CRC32_FOLDING

// Processors with PCLMULQDQ and SSE4.1 (CPUID leaf 1, ECX bits 1 and 19),
// asked once.
bool has_folding() {
    unsigned int eax, ebx, ecx, edx;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0)
        return false;
    return (ecx & (1u << 1)) != 0 && (ecx & (1u << 19)) != 0;
}

// lane moved 128 bits on (by the constants k) and added to next.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold_into(__m128i lane, __m128i next,
                                                                  __m128i k) {
    const __m128i low = _mm_clmulepi64_si128(lane, k, 0x00);
    const __m128i high = _mm_clmulepi64_si128(lane, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(high, next), low);
}

// Folds four 128-bit lanes over the data by carry-less multiplication by
// x^(512+64) and x^512 mod P (and by x^(128+64), x^128 for one lane), then
// reduces the last 128 bits to the CRC with Barrett's method. The constants
// are those powers of x reduced modulo the polynomial, bit-reflected. crc is
// the raw register (not inverted); size is at least 64 and a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t
fold(std::uint32_t crc, const unsigned char* data, std::size_t size) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);

    __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
    __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16));
    __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 32));
    __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 48));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(int(crc)));
    data += 64;
    size -= 64;
    while (size >= 64) {
        const __m128i y1 = _mm_clmulepi64_si128(x1, k1k2, 0x00);
        const __m128i y2 = _mm_clmulepi64_si128(x2, k1k2, 0x00);
        const __m128i y3 = _mm_clmulepi64_si128(x3, k1k2, 0x00);
        const __m128i y4 = _mm_clmulepi64_si128(x4, k1k2, 0x00);
        x1 = _mm_clmulepi64_si128(x1, k1k2, 0x11);
        x2 = _mm_clmulepi64_si128(x2, k1k2, 0x11);
        x3 = _mm_clmulepi64_si128(x3, k1k2, 0x11);
        x4 = _mm_clmulepi64_si128(x4, k1k2, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, y1),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(data)));
        x2 = _mm_xor_si128(_mm_xor_si128(x2, y2),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16)));
        x3 = _mm_xor_si128(_mm_xor_si128(x3, y3),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 32)));
        x4 = _mm_xor_si128(_mm_xor_si128(x4, y4),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 48)));
        data += 64;
        size -= 64;
    }
    // Four lanes into one, then the remaining 16-byte blocks.
    x1 = fold_into(x1, x2, k3k4);
    x1 = fold_into(x1, x3, k3k4);
    x1 = fold_into(x1, x4, k3k4);
    for (; size >= 16; data += 16, size -= 16)
        x1 = fold_into(x1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(data)), k3k4);
    // 128 bits to 64, then to 32 by Barrett reduction.
    x2 = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_and_si128(x1, low32);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, k5, 0x00), x2);
    x2 = _mm_and_si128(x1, low32);
    x2 = _mm_clmulepi64_si128(x2, poly, 0x10);
    x2 = _mm_and_si128(x2, low32);
    x2 = _mm_clmulepi64_si128(x2, poly, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return std::uint32_t(_mm_extract_epi32(x1, 1));
}

const bool FOLDING = has_folding();

#endif // ZRV_CRC32_FOLDING

} // namespace

std::uint32_t crc32_update(std::uint32_t crc, const unsigned char* data, std::size_t size) {
#ifdef ZRV_CRC32_FOLDING
    if (FOLDING && size >= 64) {
        const std::size_t folded = size & ~std::size_t(15);
        crc = ~fold(~crc, data, folded);
        data += folded;
        size -= folded;
    }
#endif
    return zlib_crc(crc, data, size);
}

} // namespace streams
} // namespace zrv
