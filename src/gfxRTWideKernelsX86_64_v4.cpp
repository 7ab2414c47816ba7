// The wide BVH's traversals for x86-64-v4 (AVX-512: the same eight-lane tests
// with 32 vector registers and mask registers), compiled with
// -march=x86-64-v4 and run only where the processor has it.
#define GFX_HOT_PATHS_NAMESPACE x86_64_v4
#include "gfxRTWideKernels.inc"
