// Cache-line aligned blocks of any size_t length, for the wide BVH's arrays
// (the library's aligned blocks count their size in 32 bits). They come from
// the replaceable nothrow operator new, so a host that replaces it, or a
// test that makes it fail, sees every allocation.
#ifndef GFX_LARGE_BLOCKS_H
#define GFX_LARGE_BLOCKS_H

#include <cstddef>

namespace gfx_detail {

// 64-byte aligned; null when bytes is 0 or memory runs out.
void* large_block_alloc(std::size_t bytes);
// Accepts null.
void large_block_free(void* block);

} // namespace gfx_detail

#endif // GFX_LARGE_BLOCKS_H
