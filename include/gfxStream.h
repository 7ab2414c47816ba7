// The interfaces through which built structures are saved and restored.
//
// A structure is written as a flat sequence of typed values and read back in
// the same order with the matching operations. The host derives concrete
// readers and writers and decides how values are encoded and stored; the
// library only defines the order and the type of every value.
#ifndef GFX_STREAM_H
#define GFX_STREAM_H

#include "PlxSystem.h"
#include "gfxExport.h"

class GFX_API gfxStreamReader {
public:
    gfxStreamReader() {}
    gfxStreamReader(const gfxStreamReader&) {}
    // Readers carry no state of the library's: assignment copies nothing.
    gfxStreamReader& operator=(const gfxStreamReader&) { return *this; }
    virtual ~gfxStreamReader();

    // Each returns the next value, which was written with the matching
    // gfxStreamWriter operation. There is no error result: a reader that runs
    // out of data returns whatever it chooses, and a token that matches
    // nothing makes the surrounding unstream fail.
    virtual int read_int() = 0;
    virtual unsigned int read_uint() = 0;
    virtual float read_float() = 0;
    virtual double read_double() = 0;
    virtual PlxUnicodeString read_string() = 0;
};

class GFX_API gfxStreamWriter {
public:
    gfxStreamWriter() {}
    gfxStreamWriter(const gfxStreamWriter&) {}
    gfxStreamWriter& operator=(const gfxStreamWriter&) { return *this; }
    virtual ~gfxStreamWriter();

    // Each appends one value. The library never asks a writer how it fared.
    virtual void write_int(int value) = 0;
    virtual void write_uint(unsigned int value) = 0;
    virtual void write_float(float value) = 0;
    virtual void write_double(double value) = 0;
    virtual void write_string(const PlxUnicodeString& token) = 0;
};

#endif // GFX_STREAM_H
