// Aligned heap blocks for data read by SSE code and for node arrays.
// Blocks from these functions must be released with gfx_aligned_free only.
#ifndef GFX_ALIGNED_MEMORY_H
#define GFX_ALIGNED_MEMORY_H

#include "gfxExport.h"

// A block of at least size bytes at a multiple of alignment (a power of two);
// null when the request cannot be met.
GFX_API void* gfx_aligned_malloc(unsigned int size, unsigned int alignment);

// Resizes block to new_size bytes at the given alignment, keeping the contents
// up to the smaller size; the block may move. old_size is informational and
// ignored. On failure returns null and block stays valid and owned by the
// caller. A null block behaves like gfx_aligned_malloc.
GFX_API void* gfx_aligned_realloc(void* block, unsigned int old_size, unsigned int new_size,
                                  unsigned int alignment);

// Releases a block from this allocator; null is ignored.
GFX_API void gfx_aligned_free(void* block);

#endif // GFX_ALIGNED_MEMORY_H
