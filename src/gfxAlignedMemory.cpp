// Each block is carved out of a plain heap block. A small header right in
// front of the aligned address remembers where the heap block starts and how
// many bytes the caller asked for, so that realloc needs no old size.
#include "gfxAlignedMemory.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace {

struct BlockHeader {
    void* base;       // what operator new returned
    std::size_t size; // bytes requested by the caller
};

// Every block is aligned to at least this much so the header in front of it
// is itself properly aligned.
constexpr std::size_t kMinimumAlignment = 16;
static_assert(sizeof(BlockHeader) <= kMinimumAlignment, "header must fit the minimum alignment");

BlockHeader* HeaderOf(void* block) {
    return static_cast<BlockHeader*>(block) - 1;
}

// Blocks of this size and more shrink in place.
constexpr std::size_t kShrinkInPlaceSize = std::size_t(4) << 20;

// A large block that shrinks keeps its place: the whole pages past the new
// end go back to the system instead of the contents moving to a new block
// (a builder's node array, allocated for the worst case, typically keeps a
// third of it).
bool shrink_in_place(void* block, unsigned int new_size, unsigned int alignment) {
#if defined(__linux__) && defined(MADV_DONTNEED)
    BlockHeader* header = HeaderOf(block);
    if (header->size < kShrinkInPlaceSize || new_size > header->size || alignment == 0 ||
        reinterpret_cast<std::uintptr_t>(block) % alignment != 0)
        return false;
    const std::uintptr_t page = 4096;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + new_size + page - 1) & ~(page - 1);
    const std::uintptr_t last = (start + header->size) & ~(page - 1);
    if (last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    header->size = new_size;
    return true;
#else
    (void)block;
    (void)new_size;
    (void)alignment;
    return false;
#endif
}

} // namespace

void* gfx_aligned_malloc(unsigned int size, unsigned int alignment) {
    if (alignment == 0 || (alignment & (alignment - 1)) != 0)
        return nullptr;
    const std::size_t effective =
        alignment < kMinimumAlignment ? kMinimumAlignment : std::size_t(alignment);
    // Room for the header plus the worst-case distance to the next aligned address.
    // Through the replaceable nothrow operator new, so that a host (or a test)
    // that routes or limits the process's allocations sees these blocks too.
    void* base =
        ::operator new(std::size_t(size) + sizeof(BlockHeader) + effective - 1, std::nothrow);
    if (base == nullptr)
        return nullptr;
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(base) + sizeof(BlockHeader);
    const std::uintptr_t aligned = (first + effective - 1) & ~std::uintptr_t(effective - 1);
    void* block = reinterpret_cast<void*>(aligned);
    BlockHeader* header = HeaderOf(block);
    header->base = base;
    header->size = size;
    return block;
}

void* gfx_aligned_realloc(void* block, unsigned int /*old_size*/, unsigned int new_size,
                          unsigned int alignment) {
    if (block == nullptr)
        return gfx_aligned_malloc(new_size, alignment);
    if (shrink_in_place(block, new_size, alignment))
        return block;
    void* moved = gfx_aligned_malloc(new_size, alignment);
    if (moved == nullptr)
        return nullptr;
    const std::size_t kept = HeaderOf(block)->size;
    std::memcpy(moved, block, kept < new_size ? kept : std::size_t(new_size));
    gfx_aligned_free(block);
    return moved;
}

void gfx_aligned_free(void* block) {
    if (block != nullptr)
        ::operator delete(HeaderOf(block)->base);
}

namespace gfx_detail {

void advise_huge_pages(void* block, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const std::uintptr_t huge = std::uintptr_t(2) << 20;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + huge - 1) & ~(huge - 1);
    const std::uintptr_t last = (start + bytes) & ~(huge - 1);
    if (block != nullptr && last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)block;
    (void)bytes;
#endif
}

} // namespace gfx_detail
