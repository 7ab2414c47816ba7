// Binary streams for saving and loading the library's structures: a file
// writer and reader, and an in-memory pair with the same encoding.
//
// Encoding (all numbers little-endian):
//   header, HEADER_SIZE bytes: the 8-byte MAGIC, the format version (16 bits),
//   the byte-order mark 0x0102 (16 bits), 32 bits of flags (none defined
//   yet: zero), the payload size (64 bits) and the CRC-32 of the payload;
//   payload: one value after another, each a one-byte tag followed by its
//   bytes: int and uint 4 bytes, float 4 bytes, double 8 bytes, string a
//   32-bit length (at most MAX_STRING_LENGTH) and that many bytes.
//
// A reader checks the header when it opens its data, so that a truncated file
// or one of another kind is reported before any structure is read. A memory
// reader checks the CRC then too. A file reader does not hold the whole
// file: it reads it in chunks into one buffer and adds each chunk to the CRC
// while the chunk is in the cache, so its verdict on the CRC comes when it
// reads the last chunk, before any value in that chunk is handed out, and
// thus before the last value of the data. A host that stops reading earlier
// asks verify() for the verdict.
//
// A read with the wrong operation, past the end, or of a malformed string
// puts the reader in its error state: the message names the byte offset, and
// every later read returns zero or a string that matches no token, so that
// the unstream that is running fails at its next token. Damaged values are
// reported as such: before a read fails, the reader settles the CRC.
//
// Readers and writers also take runs of ints, uints and floats in one call
// (gfxStreamRuns.h), with exactly the bytes and checks of the single values.
#ifndef ZRV_STREAMS_H
#define ZRV_STREAMS_H

#include "gfxStream.h"
#include "gfxStreamRuns.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace zrv {
namespace streams {

const unsigned char MAGIC[8] = {'Z', 'R', 'V', 'S', 'T', 'R', 'M', 0x1A};
const unsigned int FORMAT_VERSION = 1;
const std::size_t HEADER_SIZE = 28;
const unsigned int MAX_STRING_LENGTH = 1024;

enum Tag : unsigned char {
    TAG_INT = 1,
    TAG_UINT = 2,
    TAG_FLOAT = 3,
    TAG_DOUBLE = 4,
    TAG_STRING = 5
};

// Encodes values into the payload. A writer that fails (a string too long,
// memory, the file) keeps its first error and ignores what follows.
class Writer : public gfxStreamWriter, public gfxStreamRunWriter {
public:
    void write_int(int value) override;
    void write_uint(unsigned int value) override;
    void write_float(float value) override;
    void write_double(double value) override;
    void write_string(const PlxUnicodeString& token) override;
    void write_ints(const int* values, std::size_t count) override;
    void write_uints(const unsigned int* values, std::size_t count) override;
    void write_floats(const float* values, std::size_t count) override;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    // Payload bytes written so far.
    std::uint64_t payload_size() const { return spilled_ + buffer_.size(); }

protected:
    Writer() = default;
    // Called when the buffer has grown past SPILL_SIZE; a file writer writes
    // the buffer out and clears it.
    virtual void spill() {}
    void fail(const std::string& message);
    // The header for a payload of size bytes with the given CRC-32.
    static void encode_header(unsigned char header[HEADER_SIZE], std::uint64_t size,
                              std::uint32_t crc);

    static const std::size_t SPILL_SIZE = 1 << 16;
    std::vector<unsigned char> buffer_;
    std::uint64_t spilled_ = 0;
    std::string error_;

private:
    void put(Tag tag, const void* bytes, std::size_t size);
    // Four-byte values: each its tag and its bits.
    template <typename T> void put_run(Tag tag, const T* values, std::size_t count);
};

// Keeps the whole stream in memory.
class MemoryWriter : public Writer {
public:
    // Header and payload, as a FileWriter would have written them.
    std::vector<unsigned char> image() const;
};

// Writes path through a temporary file beside it, which commit() renames to
// path. Without a successful commit path is left untouched and the temporary
// file is removed.
class FileWriter : public Writer {
public:
    explicit FileWriter(const std::string& path);
    ~FileWriter() override;
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // Completes the header, flushes, and replaces path. False (see error())
    // when anything failed since construction.
    bool commit();

private:
    void spill() override;
    void discard();

    std::string path_;
    std::string temporary_path_;
    std::FILE* file_ = nullptr;
    std::uint32_t crc_ = 0;
    bool committed_ = false;
};

// Holds a reader's image, without zero-filling it first. Images of 2 MiB and more sit on 2 MiB
// boundaries with a request for huge pages: an image is written once front to back as soon as it is
// allocated, and with 4 KiB pages that first touch costs a page fault per page, which took most of
// the time of loading a large tree. Throws std::bad_alloc when memory runs out, as std::allocator
// does.
void* allocate_image(std::size_t bytes);
void free_image(void* image, std::size_t bytes);

template <typename T> struct ImageAllocator {
    typedef T value_type;
    ImageAllocator() = default;
    template <typename U> ImageAllocator(const ImageAllocator<U>&) {}
    T* allocate(std::size_t n) { return static_cast<T*>(allocate_image(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) { free_image(p, n * sizeof(T)); }
    // resize() leaves new bytes as they are: they are read into at once.
    template <typename U> void construct(U* p) { ::new (static_cast<void*>(p)) U; }
    template <typename U, typename... Args> void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    template <typename U> bool operator==(const ImageAllocator<U>&) const { return true; }
    template <typename U> bool operator!=(const ImageAllocator<U>&) const { return false; }
};

// Reads a stream whose header was checked when opened. A reader that was
// never opened, or whose header failed the checks, is in its error state
// from the start.
class Reader : public gfxStreamReader, public gfxStreamRunReader {
public:
    int read_int() override;
    unsigned int read_uint() override;
    float read_float() override;
    double read_double() override;
    PlxUnicodeString read_string() override;
    void read_ints(int* values, std::size_t count) override;
    void read_uints(unsigned int* values, std::size_t count) override;
    void read_floats(float* values, std::size_t count) override;

    bool ok() const { return error_.empty(); }
    // The first error, beginning with the byte offset where it was found.
    const std::string& error() const { return error_; }
    // Payload bytes not read yet: a bound on the values still to come.
    std::uint64_t remaining() const { return ok() ? size_ - position() : 0; }
    bool at_end() const { return ok() && position() == size_; }
    // Settles the CRC now, reading the rest of the data if the reader has not
    // yet, without moving to another value; ok() after that.
    bool verify();

    // What read_string returns in the error state: it matches no token.
    static const char* const ERROR_TOKEN;

protected:
    Reader() = default;
    // Checks the header at the front of the data (of size bytes in all), with
    // which the window_ must begin; the reader then stands at the first value.
    bool check_header(std::uint64_t size);
    // The verdict on the payload's CRC, when it is known.
    void check_crc(std::uint32_t payload_crc);
    void fail(std::uint64_t offset, const std::string& message);
    // fail, once the CRC is settled: damaged values are reported as such.
    void refuse(std::uint64_t offset, const std::string& message);

    // Makes the window begin at the next value and hold at least needed bytes
    // (fewer at the end of the data). False when it cannot, or on an error.
    virtual bool advance(std::size_t needed);
    // Reads the rest of the data for the CRC's verdict, if that is pending.
    virtual void settle() {}

    // The data at hand: window_[0, window_size_) are the bytes from
    // window_offset_ on; at_ is the next value's index in the window.
    const unsigned char* window_ = nullptr;
    std::size_t window_size_ = 0;
    std::size_t at_ = 0;
    std::uint64_t window_offset_ = 0;
    std::uint64_t size_ = 0; // of the data, header included
    std::uint32_t expected_crc_ = 0;

private:
    std::uint64_t position() const { return window_offset_ + at_; }
    // The value's bytes after its tag, or null (and the error state).
    const unsigned char* take(Tag tag, std::size_t size);
    // Puts the reader in its error state for the value take could not read,
    // or, where the window only ended before the data did, takes it.
    const unsigned char* take_across(Tag tag, std::size_t size);
    // Four-byte values: whole pieces whose tags all match at once, the rest
    // (and the error) through take.
    template <typename T> void take_run(Tag tag, T* values, std::size_t count);

    std::string error_;
};

class MemoryReader : public Reader {
public:
    // Copies image, a header and payload as MemoryWriter::image() made them,
    // and checks its CRC.
    MemoryReader(const void* image, std::size_t size);
    MemoryReader(const MemoryReader&) = delete; // the window points into data_
    MemoryReader& operator=(const MemoryReader&) = delete;

private:
    std::vector<unsigned char, ImageAllocator<unsigned char>> data_; // header and payload
};

class FileReader : public Reader {
public:
    // Bytes read at a time: a chunk stays in the processor's second-level
    // cache while it is added to the CRC and its values are read.
    static constexpr std::size_t CHUNK_SIZE = std::size_t(256) << 10;

    // chunk_size is at least HEADER_SIZE.
    explicit FileReader(const std::string& path, std::size_t chunk_size = CHUNK_SIZE);
    ~FileReader() override;
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

private:
    bool advance(std::size_t needed) override;
    void settle() override;
    // Reads size bytes at offset into to. False (and the error) when the file
    // gives fewer.
    bool read_at(std::uint64_t offset, unsigned char* to, std::size_t size);
    // The CRC's verdict once the last chunk is read.
    void settle_at_end();

    std::string path_;
    int file_ = -1;
    std::size_t chunk_size_;
    unsigned char* buffer_ = nullptr; // a chunk and the end of a value before it
    std::uint64_t read_offset_ = 0;   // of the next byte to read
    std::uint32_t crc_ = 0;           // of the payload bytes before read_offset_
    bool settled_ = false;            // the CRC's verdict is in
};

} // namespace streams
} // namespace zrv

#endif // ZRV_STREAMS_H
