// What the fuzz targets and their seed writer share: the host's triangle
// array that saved trees are loaded over, and the framing of a payload.
#ifndef ZRV_FUZZ_SCENES_H
#define ZRV_FUZZ_SCENES_H

#include "gfxRayTracing.h"

#include <cstddef>
#include <vector>

namespace zrv {
namespace fuzz {

// Triangles per test scene in the host array.
const unsigned int TRIANGLES_PER_SCENE = 200;

// The first TRIANGLES_PER_SCENE triangles of every test scene, one scene
// after the other. Trees of the seed corpus are built over one scene's
// slice, so their indices are valid in the whole array.
const std::vector<triAccel>& host_triangles();

// count records of the host array (repeated as needed) with every vertex
// moved a little: what a loaded tree of count triangles is refitted to.
std::vector<triAccel> moved_host_triangles(unsigned int count);

// A stream image (header and CRC) around payload, so that mutated values
// reach the loader instead of failing the CRC check.
std::vector<unsigned char> framed(const unsigned char* payload, std::size_t size);

// Four rays as a packet, every lane active: origins and directions hold x,
// y and z of ray 0, then of ray 1, and so on.
RayPacket packet_of(const float* origins, const float* directions);
// Hits of nothing yet, up to 1e30.
HitPacket no_hits();

} // namespace fuzz
} // namespace zrv

#endif // ZRV_FUZZ_SCENES_H
