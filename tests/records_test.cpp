// Byte layouts that hosts and saved data depend on, beyond the static checks
// in the public headers.
#include "gfxKDTreeCompileState.h"
#include "gfxRTKDTree.h"
#include "gfxRayTracing.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

namespace {

TEST(Records, ShadowRaysIsBitZeroOfTheFlagsWord) {
    RenderState state;
    std::memset(&state, 0, sizeof(state));
    state.thread_index = 0x01020304u;
    state.shadow_rays = 1;
    unsigned char bytes[sizeof(RenderState)];
    std::memcpy(bytes, &state, sizeof(state));
    EXPECT_EQ(bytes[4], 1u);
    EXPECT_EQ(bytes[5] | bytes[6] | bytes[7], 0u);
    EXPECT_EQ(bytes[0], 0x04u); // thread_index first, little endian
}

TEST(Records, PacketsAreSixteenByteAlignedStructureOfArrays) {
    EXPECT_EQ(alignof(RayPacket), 16u);
    EXPECT_EQ(alignof(HitPacket), 16u);
    EXPECT_EQ(alignof(sse_vec), 16u);
    EXPECT_EQ(offsetof(RayPacket, origin) % 16, 0u);
    EXPECT_EQ(offsetof(sse_vec, y), 16u);
    EXPECT_EQ(offsetof(sse_vec, z), 32u);
    // Packets on the stack and in arrays keep the alignment.
    RayPacket packets[3];
    for (const RayPacket& p : packets)
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&p) % 16, 0u);
}

TEST(Records, TrianglesAreSixteenWordsInHostOrder) {
    triAccel t;
    std::memset(&t, 0, sizeof(t));
    t.vertex1[2] = 1.0f;
    t.triangle_id = 7;
    t.casts_shadow = 9;
    std::uint32_t words[16];
    std::memcpy(words, &t, sizeof(t));
    EXPECT_EQ(words[5], 0x3F800000u); // vertex1.z is word 5
    EXPECT_EQ(words[12], 7u);         // triangle_id follows the normal
    EXPECT_EQ(words[15], 9u);         // casts_shadow is the last word
    triAccel array[2];
    EXPECT_EQ(reinterpret_cast<char*>(&array[1]) - reinterpret_cast<char*>(&array[0]), 64);
}

TEST(Records, TreeRecordsKeepTheirFieldOrder) {
    EXPECT_EQ(sizeof(KDTreeBBox), 24u);
    EXPECT_EQ(offsetof(KDTreeBBox, bbmax), 12u);
    const KDTreeBBox box(1, 2, 3, 4, 5, 6);
    EXPECT_EQ(box.bbmin[2], 3.0f);
    EXPECT_EQ(box.bbmax[0], 4.0f);
    EXPECT_LT(offsetof(KDTreeStatistic, number_of_empty_cells),
              offsetof(KDTreeStatistic, average_objects_per_cell));
    EXPECT_LT(offsetof(KDTreeStatistic, average_objects_per_cell),
              offsetof(KDTreeStatistic, max_objects_in_cell));
    EXPECT_LT(offsetof(KDTreeStatistic, max_objects_in_cell),
              offsetof(KDTreeStatistic, number_of_leaves));
    EXPECT_LT(offsetof(KDTreeStatistic, number_of_leaves), offsetof(KDTreeStatistic, tree_depth));
    EXPECT_LT(offsetof(KDTreeStatistic, tree_depth), offsetof(KDTreeStatistic, compile_time_sec));
    EXPECT_LT(offsetof(KDTreeStatistic, compile_time_sec),
              offsetof(KDTreeStatistic, number_of_objects));
    EXPECT_LT(offsetof(KDTreeStatistic, number_of_objects), offsetof(KDTreeStatistic, valid));
    EXPECT_EQ(sizeof(gfxSplitCandidate), 8u);
}

TEST(Records, SeedRecordsOwnCopiesOfTheirLists) {
    gfxSplitCandidate x[2] = {}, y[1] = {}, z[2] = {};
    x[1].position = 2.5f;
    x[1].object_index = 3;
    gfxSplitCandidate* lists[3] = {x, y, z};
    const unsigned sizes[3] = {2, 1, 2};
    const KDTreeBBox box(0, 0, 0, 1, 1, 1);
    gfxKDTreeCompileState state(4, 24, lists, sizes, &box, 3,
                                gfxSplitCandidateMemoryManager::MODEL_MEDIUM);
    x[1].position = -1.0f; // the record must not see later changes
    EXPECT_TRUE(state.valid);
    ASSERT_NE(state.lists[0], x);
    EXPECT_EQ(state.lists[0][1].position, 2.5f);
    EXPECT_EQ(state.lists[0][1].object_index, 3u);
    EXPECT_EQ(state.list_sizes[1], 1u);
    ASSERT_NE(state.bbox, &box);
    EXPECT_EQ(state.bbox->bbmax[1], 1.0f);
    EXPECT_EQ(state.model_size, gfxSplitCandidateMemoryManager::MODEL_MEDIUM);
    gfxKDTreeCompileState without_box(0, 8, lists, sizes, nullptr, 1,
                                      gfxSplitCandidateMemoryManager::MODEL_SMALL);
    EXPECT_EQ(without_box.bbox, nullptr);
}

} // namespace
