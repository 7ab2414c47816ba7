// Saving and loading the wide scene: a reloaded scene writes the same values
// and traces bit for bit as the brute force; every damaged stream is refused
// with its reason and leaves an empty scene.
#include "AllocationFaults.h"
#include "RecordingStream.h"
#include "WideSceneOracle.h"

#include "gfxRTWideScene.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

namespace {

typedef std::vector<StreamItem> Items;

// Loads items with their own length as the budget; the reason, or "" when
// the scene was accepted.
std::string load(gfxRTWideScene& scene, const Items& items) {
    ReplayReader reader(items);
    PlxUnicodeString reason;
    if (scene.unstream(reader, items.size(), &reason))
        return "";
    EXPECT_EQ(scene.mesh_count(), 0u);
    EXPECT_EQ(scene.instance_count(), 0u);
    EXPECT_EQ(scene.memory_bytes(), 0u);
    return reason.ConvertToChar();
}

TEST(WideSceneStream, ReloadedSceneTracesAsTheBruteForce) {
    const SceneLayout layout = random_instanced_scene(7);
    gfxRTWideScene built;
    build_scene(layout, built, 2);
    const Items items = streamed_items(built);
    // Loading replaces what the scene held.
    gfxRTWideScene loaded;
    build_scene(random_instanced_scene(8), loaded, 1);
    ASSERT_EQ(load(loaded, items), "");
    EXPECT_TRUE(streamed_items(loaded) == items);
    ASSERT_EQ(loaded.instance_count(), built.instance_count());
    for (unsigned int i = 0; i < loaded.instance_count(); ++i) {
        EXPECT_EQ(loaded.instance_mesh(i), built.instance_mesh(i));
        EXPECT_EQ(0, std::memcmp(loaded.inverse_transform(i), built.inverse_transform(i),
                                 12 * sizeof(float)));
    }
    EXPECT_EQ(loaded.memory_bytes(), built.memory_bytes());
    const WideRays rays = scene_rays(layout, 1000, 71);
    expect_scene_oracle(loaded, layout, rays, scene_packets(layout, rays, 72), "reloaded");
}

TEST(WideSceneStream, EmptySceneRoundTrips) {
    gfxRTWideScene empty, loaded;
    const Items items = streamed_items(empty);
    EXPECT_EQ(items.size(), 5u); // tokens, no mesh, no instance, end
    ASSERT_EQ(load(loaded, items), "");
    EXPECT_EQ(loaded.mesh_count(), 0u);
}

class WideSceneStreamDamage : public ::testing::Test {
protected:
    void SetUp() override {
        layout_ = random_instanced_scene(9);
        build_scene(layout_, scene_, 1);
        items_ = streamed_items(scene_);
        // The instances close the stream: a count, then a mesh and twelve
        // entries each, then the end token.
        instances_at_ = items_.size() - 2 - 13 * scene_.instance_count();
        ASSERT_EQ(items_[instances_at_].u, scene_.instance_count());
    }
    std::string damaged(std::size_t at, const StreamItem& item) {
        Items items = items_;
        items[at] = item;
        gfxRTWideScene target;
        return load(target, items);
    }

    SceneLayout layout_;
    gfxRTWideScene scene_;
    Items items_;
    std::size_t instances_at_ = 0;
};

TEST_F(WideSceneStreamDamage, EveryKindOfDamageIsRefusedWithItsReason) {
    const std::size_t first_instance = instances_at_ + 1;
    EXPECT_EQ(damaged(0, StreamItem::String("gfxRTBVH")),
              "the stream does not hold a wide scene (its first token does not match)");
    EXPECT_EQ(damaged(1, StreamItem::String("gfxRTWideScene version 2")),
              "the wide scene is of a version this library does not read");
    EXPECT_EQ(damaged(2, StreamItem::Uint(4000000000u)),
              "the wide scene's mesh count 4000000000 is out of range");
    EXPECT_EQ(damaged(3, StreamItem::String("nothing")),
              "mesh 0: the stream does not hold a wide BVH (its first token does not match)");
    EXPECT_EQ(damaged(instances_at_, StreamItem::Uint(1u << 25)),
              "the wide scene's instance count 33554432 is out of range");
    EXPECT_EQ(damaged(first_instance, StreamItem::Uint(unsigned(layout_.meshes.size()))),
              "instance 0: no such mesh");
    EXPECT_EQ(damaged(first_instance + 1 + 13 * 2,
                      StreamItem::Float(std::numeric_limits<float>::quiet_NaN())),
              "instance 2: the transform is missing or has a NaN or infinite entry");
    // Instance 1's first row copied onto its second: parallel rows.
    Items singular = items_;
    const std::size_t second = first_instance + 13 + 1;
    for (int c = 0; c < 4; ++c)
        singular[second + 4 + c] = singular[second + c];
    gfxRTWideScene target;
    EXPECT_EQ(load(target, singular), "instance 1: the transform is singular");
    EXPECT_EQ(damaged(items_.size() - 1, StreamItem::String("gfxRTWideScene")),
              "the wide scene does not end where its counts say");
    Items truncated(items_.begin(), items_.end() - 1);
    EXPECT_EQ(load(target, truncated), "the wide scene does not end where its counts say");
}

TEST_F(WideSceneStreamDamage, EveryFailedAllocationIsARefusal) {
    int failures = 0;
    for (int skip = 0;; ++skip) {
        // Blocks of the scene and its trees; the test reader's short token
        // strings are left alone (a failed one is a token that does not
        // match, refused as such).
        AllocationFaultRule rule;
        rule.thread = AllocationFaultRule::ARMING_THREAD;
        rule.min_bytes = 64;
        rule.skip = skip;
        gfxRTWideScene target;
        std::string reason;
        int injected = 0;
        {
            AllocationFaults faults(rule);
            reason = load(target, items_);
            injected = faults.injected();
        }
        if (injected == 0) {
            EXPECT_EQ(reason, "");
            EXPECT_TRUE(streamed_items(target) == items_);
            break;
        }
        ++failures;
        EXPECT_NE(reason.find("out of memory"), std::string::npos) << reason;
    }
    EXPECT_GT(failures, 5);
}

} // namespace
