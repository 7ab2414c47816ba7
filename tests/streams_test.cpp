// The companion binary streams: the exact encoding, the checks made when a
// stream is opened, the error state of readers and the file writer's
// temporary file.
#include "zrvStreams.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace zrv::streams;
using Bytes = std::vector<unsigned char>;

void write_sample(Writer& writer) {
    writer.write_int(-2);
    writer.write_uint(0x01020304u);
    writer.write_float(1.5f);
    writer.write_double(-0.25);
    writer.write_string(PlxUnicodeString("ab"));
}

const Bytes SAMPLE_PAYLOAD = {1, 0xFE, 0xFF, 0xFF, 0xFF,                      // int -2
                              2, 4,    3,    2,    1,                         // uint
                              3, 0,    0,    0xC0, 0x3F,                      // float 1.5
                              4, 0,    0,    0,    0,    0,   0,  0xD0, 0xBF, // double -0.25
                              5, 2,    0,    0,    0,    'a', 'b'};           // string "ab"

// Replaces the payload of image and fixes size and CRC, as a writer would.
Bytes with_payload(Bytes image, const Bytes& payload) {
    image.resize(HEADER_SIZE);
    image.insert(image.end(), payload.begin(), payload.end());
    const std::uint64_t size = payload.size();
    for (int i = 0; i < 8; ++i)
        image[16 + i] = (unsigned char)(size >> (8 * i));
    const std::uint32_t crc = std::uint32_t(crc32(0, payload.data(), uInt(payload.size())));
    for (int i = 0; i < 4; ++i)
        image[24 + i] = (unsigned char)(crc >> (8 * i));
    return image;
}

std::string temporary_directory() {
    char pattern[] = "/tmp/zrv-streams-XXXXXX";
    const char* dir = mkdtemp(pattern);
    return dir != nullptr ? dir : "/tmp";
}

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

// The header (magic, version, byte order, flags, payload size, CRC-32 of the
// payload) and the tagged little-endian values.
TEST(Streams, EncodingIsPinnedByteForByte) {
    MemoryWriter writer;
    write_sample(writer);
    ASSERT_TRUE(writer.ok());
    const Bytes header = {'Z', 'R', 'V', 'S', 'T', 'R', 'M', 0x1A, 1, 0, 2, 1, 0, 0, 0, 0};
    Bytes expected = header;
    expected.resize(HEADER_SIZE);
    EXPECT_EQ(writer.image(), with_payload(expected, SAMPLE_PAYLOAD));
}

// Reads the value of the sample's k-th kind (int, uint, float, double,
// string); true when it came back as zero or the error token.
const std::function<bool(Reader&)> READ_AS[] = {
    [](Reader& r) { return r.read_int() == 0; },
    [](Reader& r) { return r.read_uint() == 0u; },
    [](Reader& r) { return r.read_float() == 0.0f; },
    [](Reader& r) { return r.read_double() == 0.0; },
    [](Reader& r) {
        return std::strcmp(r.read_string().ConvertToChar(), Reader::ERROR_TOKEN) == 0;
    },
};

// Each wrong read: the error names the offset, then every read gives zero
// or the error token, whatever follows in the stream.
TEST(Streams, AWrongReadIsStickyAndReportsItsOffset) {
    MemoryWriter writer;
    write_sample(writer);
    const Bytes image = writer.image();
    const struct {
        int reads_before; // correct reads first
        int wrong;        // the kind read instead
        const char* error;
    } cases[] = {
        {0, 1, "byte 28: read a uint where the stream holds an int"},
        {1, 4, "byte 33: read a string where the stream holds a uint"},
        {3, 2, "byte 43: read a float where the stream holds a double"},
        {4, 0, "byte 52: read an int where the stream holds a string"},
        {5, 3, "byte 59: read a double past the end"},
    };
    for (const auto& c : cases) {
        MemoryReader reader(image.data(), image.size());
        for (int k = 0; k < c.reads_before; ++k)
            EXPECT_FALSE(READ_AS[k](reader)) << k;
        ASSERT_TRUE(reader.ok()) << reader.error();
        EXPECT_TRUE(READ_AS[c.wrong](reader)) << c.error;
        EXPECT_EQ(reader.error(), c.error);
        EXPECT_EQ(reader.remaining(), 0u);
        // Sticky: the values that follow are not handed out any more.
        EXPECT_TRUE(READ_AS[1](reader) && READ_AS[3](reader) && READ_AS[4](reader)) << c.error;
        EXPECT_EQ(reader.error(), c.error);
    }
}

TEST(Streams, DamagedImagesAreRefusedWhenOpened) {
    MemoryWriter writer;
    write_sample(writer);
    const Bytes good = writer.image();
    const auto edit = [&](std::size_t at, unsigned char value) {
        Bytes b = good;
        b[at] = value;
        return b;
    };
    const Bytes truncated(good.begin(), good.end() - 1);
    Bytes longer = good;
    longer.push_back(0);
    const struct {
        const char* name;
        Bytes image;
        const char* error;
    } cases[] = {
        {"empty", {}, "byte 0: the stream ends inside its 28-byte header"},
        {"header only in part", Bytes(good.begin(), good.begin() + 20),
         "byte 20: the stream ends inside its 28-byte header"},
        {"magic", edit(0, 'z'), "byte 0: not a saved stream (wrong magic)"},
        {"version", edit(8, 2), "byte 8: format version 2, this reader reads version 1"},
        {"byte order", edit(10, 1), "byte 10: unknown byte order"},
        {"flags", edit(14, 1), "byte 12: unknown header flags"},
        {"truncated", truncated, "byte 58: the header announces 31 bytes of values, 30 follow it"},
        {"trailing byte", longer, "byte 60: the header announces 31 bytes of values, 32 follow it"},
        {"flipped bit", edit(40, good[40] ^ 0x10),
         "byte 24: the values are damaged (CRC-32 mismatch)"},
        {"string too long", with_payload(good, {5, 0x01, 0x04, 0, 0}), nullptr},
        {"string past the end", with_payload(good, {5, 9, 0, 0, 0, 'a'}), nullptr},
        {"zero in a string", with_payload(good, {5, 2, 0, 0, 0, 'a', 0}), nullptr},
    };
    for (const auto& c : cases) {
        MemoryReader reader(c.image.data(), c.image.size());
        if (c.error != nullptr) {
            EXPECT_EQ(reader.error(), c.error) << c.name;
            EXPECT_EQ(reader.read_int(), 0) << c.name;
            continue;
        }
        // Framing intact, the string itself is refused when read.
        ASSERT_TRUE(reader.ok()) << c.name << ": " << reader.error();
        EXPECT_STREQ(reader.read_string().ConvertToChar(), Reader::ERROR_TOKEN) << c.name;
        EXPECT_EQ(reader.error().rfind("byte 28: ", 0), 0u) << reader.error();
    }
}

TEST(Streams, WriterRefusesStringsBeyondTheLimit) {
    MemoryWriter writer;
    writer.write_string(PlxUnicodeString(std::string(MAX_STRING_LENGTH, 'x').c_str()));
    EXPECT_TRUE(writer.ok());
    writer.write_string(PlxUnicodeString(std::string(MAX_STRING_LENGTH + 1, 'x').c_str()));
    EXPECT_FALSE(writer.ok());
    writer.write_uint(1); // ignored after the error
    EXPECT_EQ(writer.payload_size(), 1u + 4 + MAX_STRING_LENGTH);
}

TEST(Streams, FileWriterReplacesTheFileOnlyOnCommit) {
    const std::string dir = temporary_directory();
    const std::string path = dir + "/tree.zrv";
    // The file writer writes the bytes of the memory writer.
    MemoryWriter memory;
    write_sample(memory);
    {
        FileWriter file(path);
        write_sample(file);
        ASSERT_TRUE(file.commit()) << file.error();
        std::ifstream in(path, std::ios::binary);
        EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
                  memory.image());
    }
    {
        FileWriter abandoned(path);
        abandoned.write_uint(7);
        ASSERT_TRUE(abandoned.ok());
        EXPECT_EQ(files_in(dir).size(), 2u); // the old file and the temporary one
    }
    EXPECT_EQ(files_in(dir), std::vector<std::string>{"tree.zrv"});
    EXPECT_EQ(FileReader(path).remaining(), SAMPLE_PAYLOAD.size()); // the old file

    // Large enough to pass through the buffer several times.
    {
        FileWriter writer(path);
        for (unsigned i = 0; i < 100000; ++i)
            writer.write_uint(i);
        ASSERT_TRUE(writer.commit()) << writer.error();
        EXPECT_FALSE(writer.commit());
    }
    EXPECT_EQ(files_in(dir), std::vector<std::string>{"tree.zrv"});
    FileReader reader(path);
    ASSERT_TRUE(reader.ok()) << reader.error();
    EXPECT_EQ(reader.remaining(), 500000u);
    unsigned mismatches = 0;
    for (unsigned i = 0; i < 100000; ++i)
        mismatches += reader.read_uint() != i;
    EXPECT_EQ(mismatches, 0u);
    EXPECT_TRUE(reader.at_end());
    std::remove(path.c_str());
    rmdir(dir.c_str());

    FileWriter nowhere(dir + "/missing/tree.zrv");
    EXPECT_FALSE(nowhere.ok());
    EXPECT_FALSE(nowhere.commit());
    FileReader missing(dir + "/missing/tree.zrv");
    EXPECT_EQ(missing.error().rfind("byte 0: cannot open ", 0), 0u) << missing.error();
}

} // namespace
