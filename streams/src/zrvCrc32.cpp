#include "zrvCrc32.h"

#include <zlib.h>

#if defined(__x86_64__) || defined(__i386__)
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

// What the processor offers, asked once.
enum Folding { NO_FOLDING, FOLD_128, FOLD_512 };

Folding folding() {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("pclmul") || !__builtin_cpu_supports("sse4.1"))
        return NO_FOLDING;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("vpclmulqdq"))
        return FOLD_512;
    return FOLD_128;
}

// lane moved 128 bits on (by the constants k) and added to next.
__attribute__((target("pclmul,sse4.1"))) inline __m128i fold_into(__m128i lane, __m128i next,
                                                                  __m128i k) {
    const __m128i low = _mm_clmulepi64_si128(lane, k, 0x00);
    const __m128i high = _mm_clmulepi64_si128(lane, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(high, next), low);
}

// The constants: x^(512+64) and x^512, x^(128+64) and x^128, x^64 modulo
// the polynomial, then the polynomial and its Barrett quotient, all
// bit-reflected.
const long long K1 = 0x0154442bd4, K2 = 0x01c6e41596, K3 = 0x01751997d0, K4 = 0x00ccaa009e,
                K5 = 0x0163cd6124, POLY = 0x01db710641, MU = 0x01f7011641;

// Folds four 128-bit lanes, which have taken in the data up to data, into
// one and then the rest of the data (a multiple of 16 bytes), and reduces
// the last 128 bits to the CRC with Barrett's method.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t finish(__m128i x1, __m128i x2, __m128i x3,
                                                              __m128i x4, const unsigned char* data,
                                                              std::size_t size) {
    const __m128i k3k4 = _mm_set_epi64x(K4, K3);
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
    x1 = fold_into(x1, x2, k3k4);
    x1 = fold_into(x1, x3, k3k4);
    x1 = fold_into(x1, x4, k3k4);
    for (; size >= 16; data += 16, size -= 16)
        x1 = fold_into(x1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(data)), k3k4);
    // 128 bits to 64, then to 32.
    __m128i x2b = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2b);
    x2b = _mm_srli_si128(x1, 4);
    x1 = _mm_and_si128(x1, low32);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, _mm_set_epi64x(0, K5), 0x00), x2b);
    const __m128i poly = _mm_set_epi64x(MU, POLY);
    x2b = _mm_and_si128(x1, low32);
    x2b = _mm_clmulepi64_si128(x2b, poly, 0x10);
    x2b = _mm_and_si128(x2b, low32);
    x2b = _mm_clmulepi64_si128(x2b, poly, 0x00);
    x1 = _mm_xor_si128(x1, x2b);
    return std::uint32_t(_mm_extract_epi32(x1, 1));
}

// Four 128-bit lanes move over the data 64 bytes at a time: each lane is
// multiplied (carry-less) by x^(512+64) and x^512 modulo the polynomial and
// the next 16 bytes are added. crc is the raw register (not inverted); size
// is at least 64 and a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t
fold(std::uint32_t crc, const unsigned char* data, std::size_t size) {
    const __m128i k1k2 = _mm_set_epi64x(K2, K1);
    __m128i x[4];
    for (int i = 0; i < 4; ++i)
        x[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i));
    x[0] = _mm_xor_si128(x[0], _mm_cvtsi32_si128(int(crc)));
    for (data += 64, size -= 64; size >= 64; data += 64, size -= 64)
        for (int i = 0; i < 4; ++i)
            x[i] = fold_into(x[i], _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)),
                             k1k2);
    return finish(x[0], x[1], x[2], x[3], data, size);
}

// The same four lanes in one 512-bit register, on processors with
// VPCLMULQDQ and AVX-512: a quarter of the multiplications.
__attribute__((target("avx512f,avx512vl,vpclmulqdq,pclmul,sse4.1"))) std::uint32_t
fold_512(std::uint32_t crc, const unsigned char* data, std::size_t size) {
    const __m512i k1k2 = _mm512_set_epi64(K2, K1, K2, K1, K2, K1, K2, K1);
    __m512i x = _mm512_xor_si512(_mm512_loadu_si512(data),
                                 _mm512_zextsi128_si512(_mm_cvtsi32_si128(int(crc))));
    for (data += 64, size -= 64; size >= 64; data += 64, size -= 64) {
        const __m512i low = _mm512_clmulepi64_epi128(x, k1k2, 0x00);
        const __m512i high = _mm512_clmulepi64_epi128(x, k1k2, 0x11);
        x = _mm512_ternarylogic_epi64(low, high, _mm512_loadu_si512(data), 0x96); // a ^ b ^ c
    }
    alignas(64) __m128i lanes[4];
    _mm512_store_si512(lanes, x);
    return finish(lanes[0], lanes[1], lanes[2], lanes[3], data, size);
}

const Folding FOLDING = folding();

#endif // ZRV_CRC32_FOLDING

} // namespace

std::uint32_t crc32_update(std::uint32_t crc, const unsigned char* data, std::size_t size) {
#ifdef ZRV_CRC32_FOLDING
    if (FOLDING != NO_FOLDING && size >= 64) {
        const std::size_t folded = size & ~std::size_t(15);
        crc = ~(FOLDING == FOLD_512 ? fold_512 : fold)(~crc, data, folded);
        data += folded;
        size -= folded;
    }
#endif
    return zlib_crc(crc, data, size);
}

} // namespace streams
} // namespace zrv
