// Byte layouts hosts depend on, beyond the headers' static checks.
#include "gfxRayTracing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// RenderState: thread_index first, then a flags word with shadow_rays in bit
// 0. triAccel: sixteen words, vertex1.z in word 5, triangle_id after the
// normal, casts_shadow last.
TEST(Records, HostVisibleLayouts) {
    RenderState state;
    std::memset(&state, 0, sizeof(state));
    state.thread_index = 0x01020304u;
    state.shadow_rays = 1;
    triAccel t[2];
    std::memset(&t, 0, sizeof(t));
    t[0].vertex1[2] = 1.0f;
    t[0].triangle_id = 7;
    t[0].casts_shadow = 9;
    std::vector<std::uint32_t> words(1 + sizeof(RenderState) / 4 + sizeof(t) / 4, 0);
    std::memcpy(words.data(), &state, sizeof(state));
    std::memcpy(words.data() + 2, &t, sizeof(t));
    EXPECT_EQ(std::vector<std::uint32_t>(words.begin(), words.begin() + 18),
              (std::vector<std::uint32_t>{0x01020304u, 1, 0, 0, 0, 0, 0, 0x3F800000u, 0, 0, 0, 0, 0,
                                          0, 7, 0, 0, 9}));
    EXPECT_EQ(words.size(), 35u);
}

} // namespace
