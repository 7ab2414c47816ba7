// Cache-line aligned blocks of any size_t length, for the wide BVH's arrays
// (the library's aligned blocks count their size in 32 bits). They come from
// the replaceable nothrow operator new, so a host that replaces it, or a
// test that makes it fail, sees every allocation.
#ifndef GFX_LARGE_BLOCKS_H
#define GFX_LARGE_BLOCKS_H

#include <cstddef>

namespace gfx_detail {

// 64-byte aligned; null when bytes is 0 or memory runs out. Backed by huge
// pages where the system offers them: for arrays that queries read at random
// for as long as a structure lives, whose walks then miss the TLB far less
// (random rays on the 1M tree: 10 % faster with its nodes and blocks on huge
// pages; the nodes alone give as much).
void* large_block_alloc(std::size_t bytes);
// The same on the system's small pages: for a build's scratch, filled and
// read in order and freed when the build ends. Its first touch is most of
// what it costs, and on virtual machines that hand freed memory back to
// their host, a huge page touched for the first time after that costs about
// ten times what its small pages do.
void* scratch_block_alloc(std::size_t bytes);
// Frees a block of either kind; accepts null.
void large_block_free(void* block);

} // namespace gfx_detail

#endif // GFX_LARGE_BLOCKS_H
