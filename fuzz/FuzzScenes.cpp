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

std::vector<triAccel> moved_host_triangles(unsigned int count) {
    const std::vector<triAccel>& host = host_triangles();
    std::vector<triAccel> moved(count);
    for (unsigned int i = 0; i < count; ++i) {
        moved[i] = host[i % host.size()];
        for (float* vertex : {moved[i].vertex0, moved[i].vertex1, moved[i].vertex2})
            vertex[1] += 0.01f * vertex[0];
    }
    return moved;
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

RayPacket packet_of(const float* origins, const float* directions) {
    auto row = [](const float* rays, int axis) {
        return _mm_setr_ps(rays[axis], rays[3 + axis], rays[6 + axis], rays[9 + axis]);
    };
    RayPacket packet;
    packet.origin = {row(origins, 0), row(origins, 1), row(origins, 2)};
    packet.direction = {row(directions, 0), row(directions, 1), row(directions, 2)};
    packet.active_mask = 15;
    return packet;
}

HitPacket no_hits() {
    return HitPacket{_mm_set1_ps(1e30f), _mm_setzero_ps(), _mm_setzero_ps(), _mm_set1_epi32(-1)};
}

} // namespace fuzz
} // namespace zrv
