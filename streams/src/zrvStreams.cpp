#include "zrvStreams.h"

#include "zrvCrc32.h"
#include "zrvTaggedValues.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zrv {
namespace streams {

namespace {

const unsigned char BYTE_ORDER_MARK[2] = {0x02, 0x01}; // 0x0102, little-endian

void store_u16(unsigned char* p, unsigned int v) {
    p[0] = (unsigned char)(v);
    p[1] = (unsigned char)(v >> 8);
}
void store_u32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = (unsigned char)(v >> (8 * i));
}
void store_u64(unsigned char* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = (unsigned char)(v >> (8 * i));
}
unsigned int load_u16(const unsigned char* p) {
    return p[0] | (unsigned(p[1]) << 8);
}
std::uint32_t load_u32(const unsigned char* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}
std::uint64_t load_u64(const unsigned char* p) {
    return std::uint64_t(load_u32(p)) | (std::uint64_t(load_u32(p + 4)) << 32);
}

template <typename T> std::uint32_t bits_of(T value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    return bits;
}

template <typename T> T from_bits(std::uint32_t bits) {
    T value;
    std::memcpy(&value, &bits, 4);
    return value;
}

const char* tag_name(unsigned int tag) {
    switch (tag) {
    case TAG_INT:
        return "an int";
    case TAG_UINT:
        return "a uint";
    case TAG_FLOAT:
        return "a float";
    case TAG_DOUBLE:
        return "a double";
    case TAG_STRING:
        return "a string";
    }
    return "an unknown tag";
}

std::string system_error(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

} // namespace

// ---- writing ----

void Writer::fail(const std::string& message) {
    if (error_.empty())
        error_ = message.empty() ? "write failed" : message;
}

void Writer::put(Tag tag, const void* bytes, std::size_t size) {
    if (!error_.empty())
        return;
    try {
        const std::size_t at = buffer_.size();
        buffer_.resize(at + 1 + size);
        buffer_[at] = tag;
        std::memcpy(buffer_.data() + at + 1, bytes, size);
    } catch (const std::bad_alloc&) {
        fail("out of memory");
        return;
    }
    if (buffer_.size() >= SPILL_SIZE)
        spill();
}

void Writer::write_int(int value) {
    unsigned char bytes[4];
    store_u32(bytes, std::uint32_t(value));
    put(TAG_INT, bytes, 4);
}

void Writer::write_uint(unsigned int value) {
    unsigned char bytes[4];
    store_u32(bytes, value);
    put(TAG_UINT, bytes, 4);
}

void Writer::write_float(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    unsigned char bytes[4];
    store_u32(bytes, bits);
    put(TAG_FLOAT, bytes, 4);
}

void Writer::write_double(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, 8);
    unsigned char bytes[8];
    store_u64(bytes, bits);
    put(TAG_DOUBLE, bytes, 8);
}

template <typename T> void Writer::put_run(Tag tag, const T* values, std::size_t count) {
    // In pieces, so that a file writer spills about as often as with single
    // values.
    const std::size_t piece = SPILL_SIZE / 5;
    while (count > 0 && error_.empty()) {
        const std::size_t n = count < piece ? count : piece;
        const std::size_t at = buffer_.size();
        try {
            buffer_.resize(at + 5 * n);
        } catch (const std::bad_alloc&) {
            fail("out of memory");
            return;
        }
        unsigned char* p = buffer_.data() + at;
        for (std::size_t i = 0; i < n; ++i, p += 5) {
            p[0] = tag;
            store_u32(p + 1, bits_of(values[i]));
        }
        values += n;
        count -= n;
        if (buffer_.size() >= SPILL_SIZE)
            spill();
    }
}

void Writer::write_ints(const int* values, std::size_t count) {
    put_run(TAG_INT, values, count);
}

void Writer::write_uints(const unsigned int* values, std::size_t count) {
    put_run(TAG_UINT, values, count);
}

void Writer::write_floats(const float* values, std::size_t count) {
    put_run(TAG_FLOAT, values, count);
}

void Writer::write_string(const PlxUnicodeString& token) {
    const char* text = token.ConvertToChar();
    const std::size_t length = text != nullptr ? std::strlen(text) : 0;
    if (length > MAX_STRING_LENGTH) {
        fail("a string of " + std::to_string(length) + " bytes exceeds the limit of " +
             std::to_string(MAX_STRING_LENGTH));
        return;
    }
    unsigned char bytes[4 + MAX_STRING_LENGTH];
    store_u32(bytes, std::uint32_t(length));
    if (length > 0)
        std::memcpy(bytes + 4, text, length);
    put(TAG_STRING, bytes, 4 + length);
}

void Writer::encode_header(unsigned char header[HEADER_SIZE], std::uint64_t size,
                           std::uint32_t crc) {
    std::memcpy(header, MAGIC, 8);
    store_u16(header + 8, FORMAT_VERSION);
    std::memcpy(header + 10, BYTE_ORDER_MARK, 2);
    store_u32(header + 12, 0);
    store_u64(header + 16, size);
    store_u32(header + 24, crc);
}

std::vector<unsigned char> MemoryWriter::image() const {
    std::vector<unsigned char> out(HEADER_SIZE + buffer_.size());
    encode_header(out.data(), buffer_.size(), crc32_update(0, buffer_.data(), buffer_.size()));
    if (!buffer_.empty())
        std::memcpy(out.data() + HEADER_SIZE, buffer_.data(), buffer_.size());
    return out;
}

FileWriter::FileWriter(const std::string& path) : path_(path) {
    std::string pattern = path + ".tmp-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0) {
        fail(system_error("cannot create a temporary file for", path));
        return;
    }
    temporary_path_ = name.data();
    // mkstemp makes the file readable by its owner only; the finished file
    // gets what a newly created file gets under the current umask.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    file_ = fdopen(fd, "wb");
    if (file_ == nullptr) {
        fail(system_error("cannot open", temporary_path_));
        close(fd);
        discard();
        return;
    }
    // Room for the header, written last.
    const unsigned char placeholder[HEADER_SIZE] = {};
    if (std::fwrite(placeholder, 1, HEADER_SIZE, file_) != HEADER_SIZE)
        fail(system_error("cannot write", temporary_path_));
    crc_ = 0;
}

FileWriter::~FileWriter() {
    if (!committed_)
        discard();
}

void FileWriter::discard() {
    if (file_ != nullptr)
        std::fclose(file_);
    file_ = nullptr;
    if (!temporary_path_.empty())
        std::remove(temporary_path_.c_str());
    temporary_path_.clear();
}

void FileWriter::spill() {
    if (file_ == nullptr || !ok() || buffer_.empty())
        return;
    crc_ = crc32_update(crc_, buffer_.data(), buffer_.size());
    if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size())
        fail(system_error("cannot write", temporary_path_));
    spilled_ += buffer_.size();
    buffer_.clear();
}

bool FileWriter::commit() {
    if (committed_) {
        fail("the stream was committed already");
        return false;
    }
    spill();
    if (ok() && file_ != nullptr) {
        unsigned char header[HEADER_SIZE];
        encode_header(header, spilled_, crc_);
        if (std::fseek(file_, 0, SEEK_SET) != 0 ||
            std::fwrite(header, 1, HEADER_SIZE, file_) != HEADER_SIZE || std::fflush(file_) != 0 ||
            fsync(fileno(file_)) != 0)
            fail(system_error("cannot write", temporary_path_));
    }
    if (ok() && file_ != nullptr) {
        const int closed = std::fclose(file_);
        file_ = nullptr;
        if (closed != 0)
            fail(system_error("cannot close", temporary_path_));
        else if (std::rename(temporary_path_.c_str(), path_.c_str()) != 0)
            fail(system_error("cannot rename the temporary file to", path_));
        else
            committed_ = true;
    }
    if (!committed_)
        discard();
    committed_ = true; // nothing more is written either way
    return ok();
}

// ---- reading ----

namespace {
const std::size_t kHugePage = std::size_t(2) << 20;
// The most bytes one value takes: a string's tag, length and text.
const std::size_t kLargestValue = 1 + 4 + MAX_STRING_LENGTH;
// Room before a file reader's chunk for the start of a value that the last
// chunk ended inside, so that every chunk is read to the same aligned place.
const std::size_t kValueRoom = 2048;
} // namespace

void* allocate_image(std::size_t bytes) {
    if (bytes < kHugePage)
        return ::operator new(bytes);
    void* const image = ::operator new(bytes, std::align_val_t(kHugePage));
    madvise(image, bytes & ~(kHugePage - 1), MADV_HUGEPAGE); // a hint only
    return image;
}

void free_image(void* image, std::size_t bytes) {
    if (bytes < kHugePage)
        ::operator delete(image);
    else
        ::operator delete(image, std::align_val_t(kHugePage));
}

const char* const Reader::ERROR_TOKEN = "\x01<stream error>";

void Reader::fail(std::uint64_t offset, const std::string& message) {
    if (error_.empty())
        error_ = "byte " + std::to_string(offset) + ": " + message;
}

void Reader::refuse(std::uint64_t offset, const std::string& message) {
    settle();
    fail(offset, message);
}

bool Reader::check_header(std::uint64_t size) {
    const unsigned char* image = window_;
    if (size < HEADER_SIZE) {
        fail(size, "the stream ends inside its " + std::to_string(HEADER_SIZE) + "-byte header");
        return false;
    }
    if (std::memcmp(image, MAGIC, 8) != 0) {
        fail(0, "not a saved stream (wrong magic)");
        return false;
    }
    const unsigned int version = load_u16(image + 8);
    if (version != FORMAT_VERSION) {
        fail(8, "format version " + std::to_string(version) + ", this reader reads version " +
                    std::to_string(FORMAT_VERSION));
        return false;
    }
    if (std::memcmp(image + 10, BYTE_ORDER_MARK, 2) != 0) {
        fail(10, "unknown byte order");
        return false;
    }
    if (load_u32(image + 12) != 0) {
        fail(12, "unknown header flags");
        return false;
    }
    const std::uint64_t payload = load_u64(image + 16);
    if (payload != size - HEADER_SIZE) {
        fail(size, "the header announces " + std::to_string(payload) + " bytes of values, " +
                       std::to_string(size - HEADER_SIZE) + " follow it");
        return false;
    }
    expected_crc_ = load_u32(image + 24);
    size_ = size;
    at_ = HEADER_SIZE;
    return true;
}

void Reader::check_crc(std::uint32_t payload_crc) {
    if (payload_crc != expected_crc_)
        fail(24, "the values are damaged (CRC-32 mismatch)");
}

bool Reader::verify() {
    if (ok())
        settle();
    return ok();
}

bool Reader::advance(std::size_t needed) {
    return ok() && window_size_ - at_ >= needed;
}

// Every value passes here: the common case is kept small enough to be
// inlined into the read operations; the end of the window and the errors go
// to take_across.
inline const unsigned char* Reader::take(Tag tag, std::size_t size) {
    const unsigned char* p = window_ + at_;
    if (!error_.empty() || window_size_ - at_ < 1 + size || *p != tag)
        return take_across(tag, size);
    at_ += 1 + size;
    return p + 1;
}

const unsigned char* Reader::take_across(Tag tag, std::size_t size) {
    if (!error_.empty())
        return nullptr;
    if (window_size_ - at_ < 1 + size && advance(1 + size) && window_[at_] == tag) {
        const unsigned char* p = window_ + at_;
        at_ += 1 + size;
        return p + 1;
    }
    if (!error_.empty())
        return nullptr;
    // The window now holds the rest of the data, or this whole value.
    const std::size_t left = window_size_ - at_;
    const unsigned char* p = window_ + at_;
    if (left == 0)
        refuse(position(), std::string("read ") + tag_name(tag) + " past the end");
    else if (*p != tag)
        refuse(position(),
               std::string("read ") + tag_name(tag) + " where the stream holds " + tag_name(*p));
    else
        refuse(position(), std::string("the stream ends inside ") + tag_name(tag));
    return nullptr;
}

int Reader::read_int() {
    const unsigned char* p = take(TAG_INT, 4);
    return p != nullptr ? int(load_u32(p)) : 0;
}

unsigned int Reader::read_uint() {
    const unsigned char* p = take(TAG_UINT, 4);
    return p != nullptr ? load_u32(p) : 0u;
}

float Reader::read_float() {
    const unsigned char* p = take(TAG_FLOAT, 4);
    if (p == nullptr)
        return 0.0f;
    const std::uint32_t bits = load_u32(p);
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
}

double Reader::read_double() {
    const unsigned char* p = take(TAG_DOUBLE, 8);
    if (p == nullptr)
        return 0.0;
    const std::uint64_t bits = load_u64(p);
    double value;
    std::memcpy(&value, &bits, 8);
    return value;
}

template <typename T> void Reader::take_run(Tag tag, T* values, std::size_t count) {
    // Pieces that lie wholly in the window are copied while their tags are
    // compared; a piece with a tag that differs, and what the data cannot
    // hold, go value by value, to fail exactly where single reads would.
    const std::size_t piece = 1024;
    std::size_t done = 0;
    bool differ = false;
    while (done < count && !differ && error_.empty() && (window_size_ - at_ >= 5 || advance(5))) {
        const std::size_t whole = (window_size_ - at_) / 5;
        const std::size_t end = count - done < whole ? count : done + whole;
        const unsigned char* p = window_ + at_;
        while (done < end) {
            const std::size_t n = end - done < piece ? end - done : piece;
            if (!untag_values(p, n, tag, values + done)) {
                differ = true;
                break;
            }
            p += 5 * n;
            at_ += 5 * n;
            done += n;
        }
    }
    for (; done < count; ++done) {
        const unsigned char* p = take(tag, 4);
        values[done] = p != nullptr ? from_bits<T>(load_u32(p)) : T(0);
    }
}

void Reader::read_ints(int* values, std::size_t count) {
    take_run(TAG_INT, values, count);
}

void Reader::read_uints(unsigned int* values, std::size_t count) {
    take_run(TAG_UINT, values, count);
}

void Reader::read_floats(float* values, std::size_t count) {
    take_run(TAG_FLOAT, values, count);
}

PlxUnicodeString Reader::read_string() {
    const std::uint64_t start = position();
    const unsigned char* p = take(TAG_STRING, 4);
    if (p == nullptr)
        return PlxUnicodeString(ERROR_TOKEN);
    const std::uint32_t length = load_u32(p);
    if (length > MAX_STRING_LENGTH) {
        refuse(start, "a string of " + std::to_string(length) + " bytes exceeds the limit of " +
                          std::to_string(MAX_STRING_LENGTH));
        return PlxUnicodeString(ERROR_TOKEN);
    }
    if (window_size_ - at_ < length && !advance(length)) {
        refuse(start, "the stream ends inside a string");
        return PlxUnicodeString(ERROR_TOKEN);
    }
    const unsigned char* text = window_ + at_;
    if (std::memchr(text, 0, length) != nullptr) {
        refuse(start, "a string holds a zero byte");
        return PlxUnicodeString(ERROR_TOKEN);
    }
    at_ += length;
    char copy[MAX_STRING_LENGTH + 1];
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return PlxUnicodeString(copy);
}

MemoryReader::MemoryReader(const void* image, std::size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(image);
    try {
        if (bytes != nullptr)
            data_.assign(bytes, bytes + size);
    } catch (const std::bad_alloc&) {
        fail(0, "out of memory");
        return;
    }
    window_ = data_.data();
    window_size_ = data_.size();
    if (check_header(data_.size()))
        check_crc(crc32_update(0, data_.data() + HEADER_SIZE, data_.size() - HEADER_SIZE));
}

FileReader::FileReader(const std::string& path, std::size_t chunk_size)
    : path_(path), chunk_size_(std::max(chunk_size, HEADER_SIZE)) {
    file_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file_ < 0) {
        fail(0, system_error("cannot open", path));
        return;
    }
    struct stat status;
    if (fstat(file_, &status) != 0) {
        fail(0, system_error("cannot read", path));
        return;
    }
    buffer_ = static_cast<unsigned char*>(::operator new(kValueRoom + chunk_size_ + kLargestValue,
                                                         std::align_val_t(64), std::nothrow));
    if (buffer_ == nullptr) {
        fail(0, "out of memory");
        return;
    }
    // The header and the values of the first chunk.
    const std::uint64_t size = std::uint64_t(status.st_size);
    const std::size_t first = size < chunk_size_ ? std::size_t(size) : chunk_size_;
    window_ = buffer_ + kValueRoom;
    if (!read_at(0, buffer_ + kValueRoom, first))
        return;
    window_size_ = first;
    read_offset_ = first;
    if (!check_header(size))
        return;
    crc_ = crc32_update(0, window_ + HEADER_SIZE, first - HEADER_SIZE);
    settle_at_end();
}

FileReader::~FileReader() {
    if (file_ >= 0)
        close(file_);
    if (buffer_ != nullptr)
        ::operator delete(buffer_, std::align_val_t(64));
}

bool FileReader::read_at(std::uint64_t offset, unsigned char* to, std::size_t size) {
    while (size > 0) {
        const ssize_t got = pread(file_, to, size, off_t(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            fail(offset, system_error("cannot read", path_));
            return false;
        }
        if (got == 0) {
            fail(offset, "cannot read " + path_ + ": it ends before its announced size");
            return false;
        }
        to += got;
        offset += std::uint64_t(got);
        size -= std::size_t(got);
    }
    return true;
}

void FileReader::settle_at_end() {
    if (!settled_ && read_offset_ == size_) {
        settled_ = true;
        check_crc(crc_);
    }
}

bool FileReader::advance(std::size_t needed) {
    if (!ok())
        return false;
    const std::size_t kept = window_size_ - at_;
    if (kept >= needed)
        return true;
    // What is left of the window goes just before the place every chunk is
    // read to; chunks follow until the window holds needed bytes.
    unsigned char* const front = buffer_ + kValueRoom - kept;
    std::memmove(front, window_ + at_, kept);
    window_offset_ += at_;
    window_ = front;
    window_size_ = kept;
    at_ = 0;
    while (window_size_ < needed && read_offset_ < size_) {
        const std::uint64_t left = size_ - read_offset_;
        const std::size_t n = left < chunk_size_ ? std::size_t(left) : chunk_size_;
        unsigned char* const chunk = front + window_size_;
        if (!read_at(read_offset_, chunk, n))
            return false;
        if (!settled_)
            crc_ = crc32_update(crc_, chunk, n);
        read_offset_ += n;
        window_size_ += n;
    }
    settle_at_end();
    return ok() && window_size_ >= needed;
}

void FileReader::settle() {
    if (settled_ || !ok())
        return;
    // The rest of the file through a chunk of its own: the window stays.
    unsigned char* const scratch = new (std::nothrow) unsigned char[chunk_size_];
    if (scratch == nullptr) {
        fail(read_offset_, "out of memory");
        return;
    }
    std::uint32_t crc = crc_;
    bool read = true;
    for (std::uint64_t at = read_offset_; read && at < size_;) {
        const std::size_t n = size_ - at < chunk_size_ ? std::size_t(size_ - at) : chunk_size_;
        read = read_at(at, scratch, n);
        crc = crc32_update(crc, scratch, n);
        at += n;
    }
    delete[] scratch;
    if (read) {
        settled_ = true;
        check_crc(crc);
    }
}

} // namespace streams
} // namespace zrv
