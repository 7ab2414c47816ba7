// The companion streams: exact encoding, checks when opened or reading strings.
#include "zrvStreams.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <string>
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

Bytes sample_image() {
    MemoryWriter writer;
    write_sample(writer);
    return writer.image();
}

// Replaces the payload of image and fixes size and CRC, as a writer would.
Bytes with_payload(Bytes image, const Bytes& payload) {
    image.resize(HEADER_SIZE);
    image.insert(image.end(), payload.begin(), payload.end());
    const std::uint64_t size = payload.size();
    const std::uint64_t crc = crc32(0, payload.data(), uInt(payload.size()));
    for (int i = 0; i < 12; ++i) // size, then CRC, little endian
        image[16 + i] = (unsigned char)(i < 8 ? size >> (8 * i) : crc >> (8 * (i - 8)));
    return image;
}

// The header (magic, version, byte order, flags, payload size, CRC-32 of the
// payload) and the tagged little-endian values.
TEST(Streams, EncodingIsPinnedByteForByte) {
    Bytes header = {'Z', 'R', 'V', 'S', 'T', 'R', 'M', 0x1A, 1, 0, 2, 1, 0, 0, 0, 0};
    header.resize(HEADER_SIZE);
    const Bytes payload = {1, 0xFE, 0xFF, 0xFF, 0xFF,                      // int -2
                           2, 4,    3,    2,    1,                         // uint
                           3, 0,    0,    0xC0, 0x3F,                      // float 1.5
                           4, 0,    0,    0,    0,    0,   0,  0xD0, 0xBF, // double -0.25
                           5, 2,    0,    0,    0,    'a', 'b'};           // string "ab"
    EXPECT_EQ(sample_image(), with_payload(header, payload));
}

TEST(Streams, DamagedImagesAreRefusedWhenOpened) {
    const Bytes good = sample_image();
    const auto edit = [&](std::size_t at, unsigned char value) {
        Bytes b = good;
        b[at] = value;
        return b;
    };
    Bytes longer = good;
    longer.push_back(0);
    const struct {
        Bytes image;
        const char* error; // null: opened, the string is refused when read
    } cases[] = {
        {Bytes(good.begin(), good.begin() + 20),
         "byte 20: the stream ends inside its 28-byte header"},
        {edit(0, 'z'), "byte 0: not a saved stream (wrong magic)"},
        {edit(8, 2), "byte 8: format version 2, this reader reads version 1"},
        {longer, "byte 60: the header announces 31 bytes of values, 32 follow it"},
        {edit(40, good[40] ^ 0x10), "byte 24: the values are damaged (CRC-32 mismatch)"},
        {with_payload(good, {5, 2, 0, 0, 0, 'a', 0}), nullptr},
    };
    for (const auto& c : cases) {
        MemoryReader reader(c.image.data(), c.image.size());
        if (c.error != nullptr) {
            EXPECT_EQ(reader.error(), c.error);
            EXPECT_EQ(reader.read_int(), 0);
            continue;
        }
        ASSERT_TRUE(reader.ok()) << reader.error();
        EXPECT_STREQ(reader.read_string().ConvertToChar(), Reader::ERROR_TOKEN);
        EXPECT_EQ(reader.error().rfind("byte 28: ", 0), 0u) << reader.error();
    }
}

} // namespace
