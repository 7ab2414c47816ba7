// The companion streams: exact encoding, checks when opened or reading strings,
// files read in chunks.
#include "StreamFiles.h"
#include "zrvStreams.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace zrv::streams;
using Bytes = std::vector<unsigned char>;

Bytes sample_image() {
    MemoryWriter writer;
    writer.write_int(-2);
    writer.write_uint(0x01020304u);
    writer.write_float(1.5f);
    writer.write_double(-0.25);
    writer.write_string(PlxUnicodeString("ab"));
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

// Runs of uints, ints and floats: run writes give the bytes of single writes,
// and the CRC is zlib's for lengths around the folding's 16- and 64-byte blocks.
Bytes mixed_image(bool runs, std::size_t count, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<unsigned int> bits(count);
    for (unsigned int& b : bits)
        b = random();
    std::vector<int> ints(bits.begin(), bits.end());
    std::vector<float> floats(count);
    for (std::size_t i = 0; i < count; ++i)
        std::memcpy(&floats[i], &bits[i], 4);
    MemoryWriter writer;
    if (runs) {
        writer.write_uints(bits.data(), count);
        writer.write_ints(ints.data(), count / 2);
        writer.write_floats(floats.data(), count / 3);
    } else {
        for (std::size_t i = 0; i < count; ++i)
            writer.write_uint(bits[i]);
        for (std::size_t i = 0; i < count / 2; ++i)
            writer.write_int(ints[i]);
        for (std::size_t i = 0; i < count / 3; ++i)
            writer.write_float(floats[i]);
    }
    return writer.image();
}

TEST(Streams, RunWritesGiveTheBytesAndCRCOfSingleWrites) {
    for (std::size_t count : {0, 1, 5, 12, 13, 40, 100, 2000, 30000}) {
        SCOPED_TRACE(count);
        const Bytes image = mixed_image(true, count, unsigned(count));
        EXPECT_EQ(image, mixed_image(false, count, unsigned(count)));
        const Bytes payload(image.begin() + HEADER_SIZE, image.end());
        EXPECT_EQ(image, with_payload(image, payload)); // zlib's CRC in the header
    }
}

// Run reads give the values and the error (text and offset) of single
// reads, through every cut of the data and a wrong tag at every value; the
// last read goes past the end.
TEST(Streams, RunReadsFailAsSingleReadsDo) {
    const std::size_t count = 60, ints = count / 2, floats = count / 3 + 1;
    const Bytes image = mixed_image(false, count, 7);
    const Bytes payload(image.begin() + HEADER_SIZE, image.end());
    std::vector<Bytes> damaged;
    for (std::size_t at = 0; at <= payload.size(); ++at) {
        damaged.push_back(with_payload(image, Bytes(payload.begin(), payload.begin() + at)));
        if (at % 5 == 0 && at < payload.size()) {
            Bytes retagged = payload;
            retagged[at] = retagged[at] == 2 ? 1 : 2;
            damaged.push_back(with_payload(image, retagged));
        }
    }
    for (const Bytes& data : damaged) {
        MemoryReader single(data.data(), data.size()), runs(data.data(), data.size());
        std::vector<std::uint32_t> expected, got(count + ints + floats);
        for (std::size_t i = 0; i < count; ++i)
            expected.push_back(single.read_uint());
        for (std::size_t i = 0; i < ints; ++i)
            expected.push_back(std::uint32_t(single.read_int()));
        for (std::size_t i = 0; i < floats; ++i) {
            const float f = single.read_float();
            expected.push_back(0);
            std::memcpy(&expected.back(), &f, 4);
        }
        // Files read in chunks that end inside values, as runs.
        const std::unique_ptr<FileReader> files[2] = {open_image(data, 28), open_image(data, 47)};
        for (Reader* reader : {static_cast<Reader*>(&runs), static_cast<Reader*>(files[0].get()),
                               static_cast<Reader*>(files[1].get())}) {
            reader->read_uints(got.data(), 3);
            reader->read_uints(got.data() + 3, count - 3);
            reader->read_ints(reinterpret_cast<int*>(got.data() + count), ints);
            reader->read_floats(reinterpret_cast<float*>(got.data() + count + ints), floats);
            ASSERT_EQ(got, expected) << single.error();
            ASSERT_EQ(reader->error(), single.error());
            ASSERT_FALSE(reader->ok());
        }
    }
    EXPECT_EQ(damaged.back(), image);
}

// Strings up to the longest, doubles and runs, read from a file in chunks
// smaller and larger than a value: the values written, and the end.
TEST(Streams, FileReadersReadValuesAcrossChunks) {
    MemoryWriter writer;
    std::vector<unsigned int> run(60 * 7);
    for (std::size_t k = 0; k < 60; ++k) {
        writer.write_string(
            PlxUnicodeString(std::string(k * 97 % 1025, char('a' + k % 26)).c_str()));
        writer.write_double(double(k) / 3);
        for (std::size_t i = 0; i < k * 7; ++i)
            run[i] = unsigned(k * 1000 + i);
        writer.write_uints(run.data(), k * 7);
    }
    const Bytes image = writer.image();
    for (std::size_t chunk :
         {std::size_t(28), std::size_t(1000), std::size_t(4099), FileReader::CHUNK_SIZE}) {
        SCOPED_TRACE(chunk);
        const std::unique_ptr<FileReader> reader = open_image(image, chunk);
        for (std::size_t k = 0; k < 60; ++k) {
            ASSERT_EQ(std::string(reader->read_string().ConvertToChar()),
                      std::string(k * 97 % 1025, char('a' + k % 26)));
            ASSERT_EQ(reader->read_double(), double(k) / 3);
            reader->read_uints(run.data(), k * 7);
            for (std::size_t i = 0; i < k * 7; ++i)
                ASSERT_EQ(run[i], k * 1000 + i);
        }
        EXPECT_TRUE(reader->at_end()) << reader->error();
    }
}

// A damaged byte in the first or last chunk, in a value or a tag, is reported
// before the last chunk's values are handed out; verify() settles it at once
// and leaves a sound file where it was.
TEST(Streams, FileReadersSettleTheCRCBeforeTheLastChunk) {
    const std::size_t count = 3000, chunk = 4096;
    const Bytes image = mixed_image(false, count, 11);
    ASSERT_GT(image.size(), 3 * chunk);
    const std::string damage = "byte 24: the values are damaged (CRC-32 mismatch)";
    for (std::size_t at : {HEADER_SIZE + 5 * 7 + 2, HEADER_SIZE + 5 * 9, image.size() - 1}) {
        SCOPED_TRACE(at);
        Bytes damaged = image;
        damaged[at] ^= 0x04;
        const std::unique_ptr<FileReader> early = open_image(damaged, chunk);
        EXPECT_FALSE(early->verify());
        EXPECT_EQ(early->error(), damage);
        const std::unique_ptr<FileReader> reader = open_image(damaged, chunk);
        ASSERT_TRUE(reader->ok());
        std::vector<unsigned int> values(count);
        std::vector<float> floats(count / 3);
        reader->read_uints(values.data(), count);
        reader->read_ints(reinterpret_cast<int*>(values.data()), count / 2);
        reader->read_floats(floats.data(), count / 3);
        EXPECT_EQ(reader->error(), damage);
        EXPECT_EQ(floats.back(), 0.0f);
    }
    const std::unique_ptr<FileReader> sound = open_image(image, chunk);
    MemoryReader memory(image.data(), image.size());
    EXPECT_TRUE(sound->verify());
    for (std::size_t i = 0; i < count; ++i)
        ASSERT_EQ(sound->read_uint(), memory.read_uint());
}

} // namespace
