// The wide BVH's traversals for baseline x86-64 (SSE2).
#define GFX_HOT_PATHS_NAMESPACE sse2
#include "gfxRTWideKernels.inc"
