#include "zrvPyResultArrays.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace zrv {
namespace python {

namespace {

// The huge page size of x86-64; smaller results are left to numpy.
const std::size_t HUGE_PAGE = std::size_t(2) << 20;

struct Mapping {
    void* address;
    std::size_t bytes;
};

void unmap(void* mapping) {
    const Mapping* block = static_cast<const Mapping*>(mapping);
    munmap(block->address, block->bytes);
    delete block;
}

} // namespace

pybind11::capsule large_result_block(std::size_t bytes, void*& memory) {
    memory = nullptr;
    if (bytes < HUGE_PAGE)
        return pybind11::capsule();
    // Whole huge pages, aligned: map one more and unmap what sticks out.
    const std::size_t size = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    void* const mapped =
        mmap(nullptr, size + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return pybind11::capsule();
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    if (aligned > start)
        munmap(mapped, aligned - start);
    if (start + HUGE_PAGE > aligned)
        munmap(reinterpret_cast<void*>(aligned + size), start + HUGE_PAGE - aligned);
    Mapping* const block = new (std::nothrow) Mapping{reinterpret_cast<void*>(aligned), size};
    if (!block) {
        munmap(reinterpret_cast<void*>(aligned), size);
        return pybind11::capsule();
    }
    // Hints: without huge pages the populating still saves a fault per page.
#ifdef MADV_HUGEPAGE
    madvise(block->address, size, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
    madvise(block->address, size, MADV_POPULATE_WRITE);
#endif
    memory = block->address;
    return pybind11::capsule(block, unmap);
}

} // namespace python
} // namespace zrv
