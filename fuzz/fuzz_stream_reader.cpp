// Fuzzes the binary stream reader. The first input byte chooses how the rest
// is used: as a whole image (header checks), or as values framed with a
// valid header and CRC (value decoding). Reads, single or in runs, follow the
// input, and every value read is written again, which must give back the
// bytes consumed. A file reader with small chunks (the last byte chooses
// their size) must read the same values and meet the same error.
#include "FuzzScenes.h"
#include "zrvStreams.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

using zrv::streams::FileReader;
using zrv::streams::HEADER_SIZE;
using zrv::streams::MemoryReader;
using zrv::streams::MemoryWriter;
using zrv::streams::Reader;

namespace {

// Reads image through reader as data says; what the values write again.
std::vector<unsigned char> replay(Reader& reader, const std::vector<unsigned char>& image,
                                  const std::uint8_t* data, std::size_t size) {
    MemoryWriter echo;
    std::size_t choice = 0;
    for (int reads = 0; reads < 4096 && reader.ok() && !reader.at_end(); ++reads) {
        // Mostly the operation the next tag calls for, sometimes another.
        const unsigned char next = image[image.size() - reader.remaining()];
        const unsigned char pick = data[choice++ % size];
        const unsigned int operation = (pick & 0xF0) == 0xF0 ? pick % 5 : (next + 4u) % 5;
        // Sometimes a run of up to 16 values of the operation's type.
        const std::size_t run = (pick & 0xF0) == 0xE0 ? (pick & 0x0F) + 1u : 0;
        if (run != 0 && operation < 3) {
            std::uint32_t values[16];
            if (operation == 0) {
                reader.read_ints(reinterpret_cast<int*>(values), run);
                echo.write_ints(reinterpret_cast<const int*>(values), run);
            } else if (operation == 1) {
                reader.read_uints(values, run);
                echo.write_uints(values, run);
            } else {
                reader.read_floats(reinterpret_cast<float*>(values), run);
                echo.write_floats(reinterpret_cast<const float*>(values), run);
            }
            continue;
        }
        switch (operation) {
        case 0:
            echo.write_int(reader.read_int());
            break;
        case 1:
            echo.write_uint(reader.read_uint());
            break;
        case 2:
            echo.write_float(reader.read_float());
            break;
        case 3:
            echo.write_double(reader.read_double());
            break;
        case 4:
            echo.write_string(reader.read_string());
            break;
        }
    }
    return echo.image();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::vector<unsigned char> image =
        (data[0] & 1) ? zrv::fuzz::framed(data + 1, size - 1)
                      : std::vector<unsigned char>(data + 1, data + size);
    MemoryReader reader(image.data(), image.size());
    const bool opened = reader.ok();
    const std::uint64_t start = reader.remaining();
    const std::vector<unsigned char> again = replay(reader, image, data, size);

    static const std::string path = "/tmp/zrv-fuzz-stream-" + std::to_string(getpid());
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(image.data(), 1, image.size(), file) != image.size())
        __builtin_trap();
    std::fclose(file);
    FileReader chunks(path, HEADER_SIZE + data[size - 1] % 64);
    std::remove(path.c_str()); // the reader keeps it open
    const std::vector<unsigned char> chunks_again = replay(chunks, image, data, size);
    // A memory reader checks the CRC when opened, a file reader on its last
    // chunk: the values agree when the image is sound, the errors always.
    if ((opened && chunks_again != again) || chunks.verify() != reader.ok() ||
        chunks.error() != reader.error())
        __builtin_trap();

    if (reader.ok()) {
        const std::size_t consumed = std::size_t(start - reader.remaining());
        if (again.size() != HEADER_SIZE + consumed ||
            std::memcmp(again.data() + HEADER_SIZE, image.data() + HEADER_SIZE, consumed) != 0)
            __builtin_trap();
    } else {
        // In the error state every read gives zero or the error token.
        if (reader.read_uint() != 0 || reader.read_int() != 0 || reader.read_double() != 0.0 ||
            reader.read_string() != Reader::ERROR_TOKEN || reader.error().empty())
            __builtin_trap();
    }
    return 0;
}
