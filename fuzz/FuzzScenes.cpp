#include "FuzzScenes.h"

#include "OracleScenes.h"
#include "zrvStreams.h"

#include <zlib.h>

#include <cstring>

namespace zrv {
namespace fuzz {

const std::vector<triAccel>& host_triangles() {
    static const std::vector<triAccel> triangles = [] {
        std::vector<triAccel> all;
        for (const OracleScene& scene : ORACLE_SCENES) {
            const std::vector<triAccel> t = scene.make();
            const std::size_t n = t.size() < TRIANGLES_PER_SCENE ? t.size() : TRIANGLES_PER_SCENE;
            all.insert(all.end(), t.begin(), t.begin() + n);
            all.resize(all.size() + (TRIANGLES_PER_SCENE - n), t.front());
        }
        return all;
    }();
    return triangles;
}

std::vector<unsigned char> framed(const unsigned char* payload, std::size_t size) {
    streams::MemoryWriter empty;
    std::vector<unsigned char> image = empty.image();
    image.insert(image.end(), payload, payload + size);
    const std::uint64_t length = size;
    for (int i = 0; i < 8; ++i)
        image[16 + i] = (unsigned char)(length >> (8 * i));
    const std::uint32_t crc = std::uint32_t(crc32(0, size > 0 ? payload : Z_NULL, uInt(size)));
    for (int i = 0; i < 4; ++i)
        image[24 + i] = (unsigned char)(crc >> (8 * i));
    return image;
}

} // namespace fuzz
} // namespace zrv
