// The hot paths for baseline x86-64 (SSE2).
#define GFX_HOT_PATHS_NAMESPACE sse2
#include "gfxRTHotPaths.inc"
