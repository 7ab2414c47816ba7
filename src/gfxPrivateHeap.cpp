#include "gfxPrivateHeap.h"

#include <cstdint>
#include <cstdlib>

namespace gfx_detail {

namespace {

// Every block starts with its size class, padded so that the payload keeps the
// 16-byte alignment of malloc.
const std::size_t HEADER_BYTES = 16;
const std::size_t MIN_CHUNK_BYTES = std::size_t(1) << 20;

int size_class(std::size_t bytes) {
    int c = 4; // 16 bytes is the smallest block
    while ((std::size_t(1) << c) < bytes)
        ++c;
    return c;
}

} // namespace

struct PrivateHeap::Chunk {
    Chunk* next;
    std::size_t bytes;
};

struct PrivateHeap::FreeBlock {
    FreeBlock* next;
};

PrivateHeap::PrivateHeap() : chunks_(nullptr), cursor_(nullptr), chunk_end_(nullptr) {
    for (FreeBlock*& list : free_lists_)
        list = nullptr;
}

PrivateHeap::~PrivateHeap() {
    while (chunks_ != nullptr) {
        Chunk* next = chunks_->next;
        std::free(chunks_);
        chunks_ = next;
    }
}

void* PrivateHeap::carve(std::size_t block_bytes) {
    if (cursor_ == nullptr || std::size_t(chunk_end_ - cursor_) < block_bytes) {
        const std::size_t payload = block_bytes > MIN_CHUNK_BYTES ? block_bytes : MIN_CHUNK_BYTES;
        Chunk* chunk = static_cast<Chunk*>(std::malloc(HEADER_BYTES + payload));
        if (chunk == nullptr)
            return nullptr;
        chunk->next = chunks_;
        chunk->bytes = payload;
        chunks_ = chunk;
        cursor_ = reinterpret_cast<char*>(chunk) + HEADER_BYTES;
        chunk_end_ = cursor_ + payload;
    }
    char* block = cursor_;
    cursor_ += block_bytes;
    return block;
}

void* PrivateHeap::allocate(std::size_t bytes) {
    const int c = size_class(bytes + HEADER_BYTES);
    if (c >= CLASS_COUNT)
        return nullptr;
    char* block;
    if (free_lists_[c] != nullptr) {
        block = reinterpret_cast<char*>(free_lists_[c]);
        free_lists_[c] = free_lists_[c]->next;
    } else {
        block = static_cast<char*>(carve(std::size_t(1) << c));
        if (block == nullptr)
            return nullptr;
    }
    *reinterpret_cast<std::int32_t*>(block) = c;
    return block + HEADER_BYTES;
}

void PrivateHeap::release(void* payload) {
    if (payload == nullptr)
        return;
    char* block = static_cast<char*>(payload) - HEADER_BYTES;
    const int c = *reinterpret_cast<std::int32_t*>(block);
    FreeBlock* freed = reinterpret_cast<FreeBlock*>(block);
    freed->next = free_lists_[c];
    free_lists_[c] = freed;
}

} // namespace gfx_detail
