// Run operations that a gfxStreamReader or gfxStreamWriter may offer beside
// its single-value ones, so that long runs of values of one type cross the
// interface in one call instead of one virtual call per value.
//
// A reader or writer that implements them derives from both classes. The
// library finds them with dynamic_cast on the reader or writer it was given,
// once per stream or unstream, and falls back to the single operations when
// they are absent, so every host stream keeps working. A run holds exactly
// the values that count single operations would read or write, in the same
// order and encoding: a run read that meets the end of the data or a value of
// another type behaves as the single read at that place would, and so do all
// the reads after it.
#ifndef GFX_STREAM_RUNS_H
#define GFX_STREAM_RUNS_H

#include "gfxExport.h"

#include <cstddef>

class GFX_API gfxStreamRunReader {
public:
    virtual ~gfxStreamRunReader();

    // Each fills values[0, count) as count calls of read_int, read_uint or
    // read_float would.
    virtual void read_ints(int* values, std::size_t count) = 0;
    virtual void read_uints(unsigned int* values, std::size_t count) = 0;
    virtual void read_floats(float* values, std::size_t count) = 0;
};

class GFX_API gfxStreamRunWriter {
public:
    virtual ~gfxStreamRunWriter();

    // Each appends values[0, count) as count calls of write_int, write_uint
    // or write_float would.
    virtual void write_ints(const int* values, std::size_t count) = 0;
    virtual void write_uints(const unsigned int* values, std::size_t count) = 0;
    virtual void write_floats(const float* values, std::size_t count) = 0;
};

#endif // GFX_STREAM_RUNS_H
