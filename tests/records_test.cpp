// Byte layouts that hosts and saved data depend on, beyond the static checks
// in the public headers.
#include "gfxRTKDTree.h"
#include "gfxRayTracing.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

TEST(Records, HostVisibleLayouts) {
    RenderState state = {0x01020304u, 1};
    std::vector<unsigned char> bytes(sizeof(RenderState));
    std::memcpy(bytes.data(), &state, sizeof(state));
    // thread_index first, little endian; shadow_rays is bit 0 of the flags word.
    EXPECT_EQ(bytes, (std::vector<unsigned char>{4, 3, 2, 1, 1, 0, 0, 0}));
    EXPECT_EQ(offsetof(RayPacket, origin) % 16 + offsetof(sse_vec, z), 32u);
    // Triangles are sixteen words in host order: vertex1.z is word 5,
    // triangle_id follows the normal, casts_shadow is the last word.
    triAccel t[2];
    std::memset(&t, 0, sizeof(t));
    t[0].vertex1[2] = 1.0f;
    t[0].triangle_id = 7;
    t[0].casts_shadow = 9;
    std::uint32_t words[32];
    std::memcpy(words, &t, sizeof(t));
    EXPECT_EQ(std::vector<std::uint32_t>(words + 5, words + 16),
              (std::vector<std::uint32_t>{0x3F800000u, 0, 0, 0, 0, 0, 0, 7, 0, 0, 9}));
    EXPECT_EQ(sizeof(t) + sizeof(KDTreeBBox) + offsetof(KDTreeBBox, bbmax), 128u + 24 + 12);
}

} // namespace
