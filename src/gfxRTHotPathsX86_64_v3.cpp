// The hot paths for x86-64-v3 (AVX2, FMA, BMI1/2, MOVBE, F16C), compiled with
// -march=x86-64-v3 and run only on processors that have it.
#define GFX_HOT_PATHS_NAMESPACE x86_64_v3
#include "gfxRTHotPaths.inc"
