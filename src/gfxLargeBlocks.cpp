#include "gfxLargeBlocks.h"

#include "gfxHugePages.h"

#include <cstdint>
#include <new>

namespace gfx_detail {

namespace {
const std::size_t kAlignment = 64;
// Where the block from operator new starts, stored just below the aligned one.
void*& base_of(void* block) {
    return static_cast<void**>(block)[-1];
}
} // namespace

void* scratch_block_alloc(std::size_t bytes) {
    if (bytes == 0 || bytes > ~std::size_t(0) - 2 * kAlignment)
        return nullptr;
    void* const base = ::operator new(bytes + kAlignment + sizeof(void*), std::nothrow);
    if (base == nullptr)
        return nullptr;
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(base) + sizeof(void*);
    void* const block =
        reinterpret_cast<void*>((first + kAlignment - 1) & ~std::uintptr_t(kAlignment - 1));
    base_of(block) = base;
    return block;
}

void* large_block_alloc(std::size_t bytes) {
    void* const block = scratch_block_alloc(bytes);
    advise_huge_pages(block, bytes);
    return block;
}

void large_block_free(void* block) {
    if (block != nullptr)
        ::operator delete(base_of(block), std::nothrow);
}

} // namespace gfx_detail
