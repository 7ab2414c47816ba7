// The wide BVH's traversals for x86-64-v3 (AVX2: eight child boxes in one
// test), compiled with -march=x86-64-v3 and run only where the processor has it.
#define GFX_HOT_PATHS_NAMESPACE x86_64_v3
#include "gfxRTWideKernels.inc"
