// The load-time choice between the versions of the hot paths.
#include "gfxKernelDispatch.h"
#include "gfxRTHotPaths.h"
#include "gfxRTWideKernels.h"

#include <cpuid.h>
#include <cstdlib>
#include <cstring>

namespace gfx_detail {
// Constant-initialised, so that code running before the choice below (other
// libraries' static constructors) finds the baseline version.
const HotPaths* selected_hot_paths = &sse2::table;
const WideKernels* selected_wide_kernels = &sse2::wide_kernels;
} // namespace gfx_detail

namespace {

bool bit(unsigned int word, unsigned int n) {
    return ((word >> n) & 1u) != 0;
}

// Whether the operating system saves every register state in components
// (bits of XCR0) across context switches. Asked only after CPUID has
// reported OSXSAVE.
bool os_saves_state(unsigned int components) {
    unsigned int xcr0_low = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    return (xcr0_low & components) == components;
}

// x86-64-v3: the x86-64-v2 set (SSE3, SSSE3, SSE4.1, SSE4.2, POPCNT, CX16)
// plus AVX, AVX2, BMI1, BMI2, F16C, FMA, LZCNT and MOVBE, and an operating
// system that saves the YMM registers.
bool has_x86_64_v3() {
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_max(0, nullptr) < 7)
        return false;
    __cpuid(1, eax, ebx, ecx, edx);
    const unsigned int leaf1_bits[] = {0, 9, 12, 13, 19, 20, 22, 23, 27, 28, 29};
    for (unsigned int n : leaf1_bits)
        if (!bit(ecx, n))
            return false;
    if (!os_saves_state(0x6u)) // XMM and YMM
        return false;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    if (!bit(ebx, 3) || !bit(ebx, 5) || !bit(ebx, 8)) // BMI1, AVX2, BMI2
        return false;
    if (unsigned(__get_cpuid_max(0x80000000u, nullptr)) < 0x80000001u)
        return false;
    __cpuid(0x80000001u, eax, ebx, ecx, edx);
    return bit(ecx, 5); // LZCNT
}

// x86-64-v4: x86-64-v3 plus AVX512F, AVX512BW, AVX512CD, AVX512DQ and
// AVX512VL, and an operating system that saves the mask and ZMM registers.
bool has_x86_64_v4() {
    if (!has_x86_64_v3())
        return false;
    if (!os_saves_state(0xE6u)) // XMM, YMM, opmask, ZMM_Hi256, Hi16_ZMM
        return false;
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    const unsigned int leaf7_bits[] = {16, 17, 28, 30, 31}; // F, DQ, CD, BW, VL
    for (unsigned int n : leaf7_bits)
        if (!bit(ebx, n))
            return false;
    return true;
}

// Whether the x86-64-v4 version is the faster one here. On an Intel Xeon it
// traced the ray sets up to 5 % faster than the x86-64-v3 version, and none
// slower (its 32 registers keep more of the ray's terms out of memory); on
// AMD's Zen 4 it ran random rays 3 to 7 % slower, so AMD's keep x86-64-v3.
bool prefers_x86_64_v4() {
    unsigned int eax = 0, vendor[3] = {0, 0, 0};
    __cpuid(0, eax, vendor[0], vendor[2], vendor[1]); // ebx, edx, ecx
    return std::memcmp(vendor, "GenuineIntel", sizeof vendor) == 0;
}

bool forced_baseline() {
    const char* value = std::getenv("ZRV_FORCE_BASELINE");
    return value != nullptr && value[0] != '\0' && !(value[0] == '0' && value[1] == '\0');
}

// x86-64-v4 runs the x86-64-v3 version of the hot paths other than the wide
// BVH's, whose packets and tests are four lanes wide.
const gfx_detail::HotPaths* table_of(gfxKernelLevel level) {
    return level == GFX_KERNELS_SSE2 ? &gfx_detail::sse2::table : &gfx_detail::x86_64_v3::table;
}

const gfx_detail::WideKernels* wide_kernels_of(gfxKernelLevel level) {
    return level == GFX_KERNELS_X86_64_V4   ? &gfx_detail::x86_64_v4::wide_kernels
           : level == GFX_KERNELS_X86_64_V3 ? &gfx_detail::x86_64_v3::wide_kernels
                                            : &gfx_detail::sse2::wide_kernels;
}

void use_level(gfxKernelLevel level) {
    __atomic_store_n(&gfx_detail::selected_hot_paths, table_of(level), __ATOMIC_RELEASE);
    __atomic_store_n(&gfx_detail::selected_wide_kernels, wide_kernels_of(level), __ATOMIC_RELEASE);
}

// The choice, made when the library is loaded.
const bool chosen_at_load = [] {
    if (forced_baseline())
        return true;
    if (has_x86_64_v4() && prefers_x86_64_v4())
        use_level(GFX_KERNELS_X86_64_V4);
    else if (has_x86_64_v3())
        use_level(GFX_KERNELS_X86_64_V3);
    return true;
}();

} // namespace

gfxKernelLevel gfxGetKernelLevel() {
    const gfx_detail::WideKernels* const wide = &gfx_detail::wide_kernels();
    return wide == wide_kernels_of(GFX_KERNELS_X86_64_V4)   ? GFX_KERNELS_X86_64_V4
           : wide == wide_kernels_of(GFX_KERNELS_X86_64_V3) ? GFX_KERNELS_X86_64_V3
                                                            : GFX_KERNELS_SSE2;
}

bool gfxIsKernelLevelSupported(gfxKernelLevel level) {
    switch (level) {
    case GFX_KERNELS_SSE2:
        return true;
    case GFX_KERNELS_X86_64_V3:
        return has_x86_64_v3();
    case GFX_KERNELS_X86_64_V4:
        return has_x86_64_v4();
    }
    return false;
}

bool gfxSetKernelLevel(gfxKernelLevel level) {
    if (!gfxIsKernelLevelSupported(level))
        return false;
    use_level(level);
    return true;
}
