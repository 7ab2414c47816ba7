// Asks for huge pages behind large arrays that a build fills front to back
// right after allocating them (the BVH builder's records and nodes): their
// first touch then costs a few faults instead of one per 4 KiB page. Arrays
// touched sparsely or grown piecemeal do better with small pages.
#ifndef GFX_HUGE_PAGES_H
#define GFX_HUGE_PAGES_H

#include <cstddef>

namespace gfx_detail {

// A hint only: nothing changes where the system does not offer huge pages on
// request. Covers the whole 2 MiB pages inside [block, block + bytes).
void advise_huge_pages(void* block, std::size_t bytes);

} // namespace gfx_detail

#endif // GFX_HUGE_PAGES_H
