// A growable heap owned by one thread, without locking: the candidate lists of
// a seed build come from here instead of the shared process heap.
//
// Blocks are carved from large chunks and recycled through free lists by size
// class (powers of two), so a build that keeps taking and giving back lists of
// similar sizes settles into reusing the same memory. Destroying the heap
// releases every chunk at once.
#ifndef GFX_PRIVATE_HEAP_H
#define GFX_PRIVATE_HEAP_H

#include <cstddef>

namespace gfx_detail {

class PrivateHeap {
public:
    PrivateHeap();
    ~PrivateHeap();
    PrivateHeap(const PrivateHeap&) = delete;
    PrivateHeap& operator=(const PrivateHeap&) = delete;

    // Null when the memory cannot be had.
    void* allocate(std::size_t bytes);
    void release(void* block);

private:
    struct Chunk;
    struct FreeBlock;
    static const int CLASS_COUNT = 48;

    void* carve(std::size_t block_bytes);

    Chunk* chunks_;
    char* cursor_;    // next free byte of the newest chunk
    char* chunk_end_; // end of the newest chunk
    FreeBlock* free_lists_[CLASS_COUNT];
};

} // namespace gfx_detail

#endif // GFX_PRIVATE_HEAP_H
