// The result arrays of a ray batch. Fresh memory costs a page fault at the
// first write of each 4 KiB page, and on a virtual machine a fault costs
// microseconds: the four arrays of a million nearest hits (16 MiB) took
// longer to fault in than to trace through a small scene. Large results
// therefore get memory of their own, backed by huge pages where the system
// offers them and populated in one call; small ones come from numpy.
#ifndef ZRV_PY_RESULT_ARRAYS_H
#define ZRV_PY_RESULT_ARRAYS_H

#include <pybind11/numpy.h>

#include <cstddef>

namespace zrv {
namespace python {

// Uninitialised memory of bytes, owned by the returned capsule (which
// releases it), or an empty capsule below the size worth it or when the
// system refuses.
pybind11::capsule large_result_block(std::size_t bytes, void*& memory);

// A writable (count,) array of T that owns its memory.
template <typename T> pybind11::array_t<T> result_array(std::size_t count) {
    void* memory = nullptr;
    pybind11::capsule owner = large_result_block(count * sizeof(T), memory);
    if (!memory)
        return pybind11::array_t<T>(pybind11::ssize_t(count));
    return pybind11::array_t<T>(pybind11::ssize_t(count), static_cast<T*>(memory), owner);
}

} // namespace python
} // namespace zrv

#endif // ZRV_PY_RESULT_ARRAYS_H
