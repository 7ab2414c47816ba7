// Which compiled version of the tracing and building kernels runs. The
// library carries a baseline SSE2 version and an x86-64-v3 (AVX2, FMA, BMI2)
// version of the KD, BVH, wide BVH and wide scene traversals, the triangle and box
// tests, the BVH binning and the KD build's SAH sweep and list split, and an
// x86-64-v4 (AVX-512) version of the wide BVH and wide scene traversals, which
// runs the x86-64-v3 version of the rest; all give the same bits and the same
// trees. When the library is loaded it picks the x86-64-v3 version if the
// processor and the operating system support it, and the x86-64-v4 version
// instead on the processors where it measured faster (Intel's), unless the
// environment variable ZRV_FORCE_BASELINE is set to a value other than "0" or
// "".
#ifndef GFX_KERNEL_DISPATCH_H
#define GFX_KERNEL_DISPATCH_H

#include "gfxExport.h"

enum gfxKernelLevel { GFX_KERNELS_SSE2 = 0, GFX_KERNELS_X86_64_V3 = 1, GFX_KERNELS_X86_64_V4 = 2 };

// The version in use.
GFX_API gfxKernelLevel gfxGetKernelLevel();
// Whether this processor can run the version.
GFX_API bool gfxIsKernelLevelSupported(gfxKernelLevel level);
// Switches to the version (for tests and measurements); false, with nothing
// changed, when the processor cannot run it. Not to be called while another
// thread traces or builds.
GFX_API bool gfxSetKernelLevel(gfxKernelLevel level);

#endif // GFX_KERNEL_DISPATCH_H
