// Runs of four-byte values as the streams encode them, a tag byte before
// each: the values' bytes copied out and every tag compared at once, with
// byte shuffles where the processor has them (SSSE3, chosen when the library
// is loaded).
#ifndef ZRV_TAGGED_VALUES_H
#define ZRV_TAGGED_VALUES_H

#include <cstddef>

namespace zrv {
namespace streams {

// Copies the four bytes after each of the count tags at data (five bytes a
// value) to values[0, count). False when a tag is not tag: values then hold
// what the bytes were, tags or not.
bool untag_values(const unsigned char* data, std::size_t count, unsigned char tag, void* values);

} // namespace streams
} // namespace zrv

#endif // ZRV_TAGGED_VALUES_H
