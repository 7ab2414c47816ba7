// Byte layouts that hosts and saved data depend on, beyond the static checks
// in the public headers.
#include "gfxKDTreeCompileState.h"
#include "gfxRTKDTree.h"
#include "gfxRayTracing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <vector>
#include <cstring>

namespace {

TEST(Records, HostVisibleLayouts) {
    RenderState state;
    std::memset(&state, 0, sizeof(state));
    state.thread_index = 0x01020304u;
    state.shadow_rays = 1;
    std::vector<unsigned char> bytes(sizeof(RenderState));
    std::memcpy(bytes.data(), &state, sizeof(state));
    // thread_index first, little endian; shadow_rays is bit 0 of the flags word.
    EXPECT_EQ(bytes, (std::vector<unsigned char>{4, 3, 2, 1, 1, 0, 0, 0}));

    // Packets are 16-byte aligned structures of arrays.
    EXPECT_EQ(alignof(RayPacket) + alignof(HitPacket) + alignof(sse_vec), 48u);
    EXPECT_EQ(offsetof(RayPacket, origin) % 16 + offsetof(sse_vec, y), 16u);
    EXPECT_EQ(offsetof(sse_vec, z), 32u);

    // Triangles are sixteen words in host order.
    triAccel t[2];
    std::memset(&t, 0, sizeof(t));
    t[0].vertex1[2] = 1.0f;
    t[0].triangle_id = 7;
    t[0].casts_shadow = 9;
    std::uint32_t words[32];
    std::memcpy(words, &t, sizeof(t));
    EXPECT_EQ(words[5], 0x3F800000u); // vertex1.z is word 5
    EXPECT_EQ(words[12], 7u);         // triangle_id follows the normal
    EXPECT_EQ(words[15], 9u);         // casts_shadow is the last word
    EXPECT_EQ(sizeof(t), 128u);

    // Tree records keep their field order.
    EXPECT_EQ(sizeof(KDTreeBBox), 24u);
    EXPECT_EQ(offsetof(KDTreeBBox, bbmax), 12u);
    const std::size_t statistic[] = {offsetof(KDTreeStatistic, number_of_empty_cells),
                                     offsetof(KDTreeStatistic, average_objects_per_cell),
                                     offsetof(KDTreeStatistic, max_objects_in_cell),
                                     offsetof(KDTreeStatistic, number_of_leaves),
                                     offsetof(KDTreeStatistic, tree_depth),
                                     offsetof(KDTreeStatistic, compile_time_sec),
                                     offsetof(KDTreeStatistic, number_of_objects),
                                     offsetof(KDTreeStatistic, valid)};
    EXPECT_TRUE(std::is_sorted(std::begin(statistic), std::end(statistic)));
    EXPECT_EQ(sizeof(gfxSplitCandidate), 8u);
}

} // namespace
