// A gfxRTBVH_KDTree's ownership of its KD-trees and the services' codes (its
// hits are checked against brute force in bvh_oracle_test).
#include "RecordingStream.h"
#include "gfxRTAccelerationStructureServices.h"
#include "zrvSceneShapes.h"

#include <gtest/gtest.h>

namespace {

// Counts its destructions, to check that the BVH deletes each tree once.
class CountedKDTree : public gfxRTKDTree {
public:
    CountedKDTree() : gfxRTKDTree(1) {}
    ~CountedKDTree() override { ++destroyed; }
    static int destroyed;
};
int CountedKDTree::destroyed = 0;

TEST(TwoLevel, AddTreeOwnershipAndServiceCodes) {
    CountedKDTree::destroyed = 0;
    const std::vector<triAccel> tris = zrv::scenes::uv_sphere({0, 0, 0}, 1, 8, 4);
    {
        gfxRTBVH_KDTree bvh;
        EXPECT_EQ(gfxRTAccelerationStructureServices::CompileBVHTree(&bvh, 2), 0);
        CountedKDTree* trees[3] = {new CountedKDTree, new CountedKDTree, new CountedKDTree};
        for (CountedKDTree* t : trees)
            t->create_tree_from_triAccel_list(tris.data(), unsigned(tris.size()));
        bvh.addTree(nullptr);
        bvh.addTree(trees[0]);
        bvh.addTree(trees[0]);
        bvh.addTree(trees[1]);
        bvh.addTree(trees[0]);
        EXPECT_EQ(bvh.get_number_of_objects(), 2u);
        EXPECT_EQ(gfxRTAccelerationStructureServices::CompileBVHTree(&bvh, 1), 0);
        EXPECT_EQ(bvh.get_object_intersection_cost(1), float(tris.size()));
        EXPECT_EQ(bvh.get_object_intersection_cost(2), 0.0f);
        // A tree added after the build leaves the order short: not streamed.
        bvh.addTree(trees[2]);
        RecordingWriter writer;
        EXPECT_FALSE(bvh.stream(writer));
        EXPECT_TRUE(writer.items.empty());
        EXPECT_EQ(CountedKDTree::destroyed, 0);
    }
    EXPECT_EQ(CountedKDTree::destroyed, 3);
    EXPECT_EQ(gfxRTAccelerationStructureServices::CompileBVHTree(nullptr, 2), 1);
}

} // namespace
