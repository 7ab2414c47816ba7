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

// Disabled instances are listed after the instances, in a stream of the next
// version; a scene without any keeps the first version's layout.
TEST(WideSceneStream, DisabledInstancesRoundTrip) {
    SceneLayout layout = random_instanced_scene(10);
    gfxRTWideScene built;
    build_scene(layout, built, 1);
    const Items all_enabled = streamed_items(built);
    EXPECT_EQ(all_enabled[1].s, "gfxRTWideScene version 1");
    const unsigned int disabled[] = {0, 5, built.instance_count() - 1};
    for (unsigned int k : disabled) {
        layout.instances[k].enabled = false;
        ASSERT_EQ(built.set_enabled(k, false), GFX_WIDE_INSTANCE_DONE);
    }
    ASSERT_TRUE(built.commit(1));
    const Items items = streamed_items(built);
    ASSERT_EQ(items.size(), all_enabled.size() + 4);
    EXPECT_EQ(items[1].s, "gfxRTWideScene version 2");
    const std::size_t list_at = items.size() - 5;
    EXPECT_EQ(items[list_at].u, 3u);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(items[list_at + 1 + k].u, disabled[k]);

    gfxRTWideScene loaded;
    ASSERT_EQ(load(loaded, items), "");
    EXPECT_TRUE(streamed_items(loaded) == items);
    for (unsigned int k = 0; k < loaded.instance_count(); ++k)
        EXPECT_EQ(loaded.enabled(k), layout.instances[k].enabled) << k;
    const WideRays rays = scene_rays(layout, 600, 73);
    expect_scene_oracle(loaded, layout, rays, {}, "reloaded with disabled instances");

    // A damaged list is refused.
    const auto with = [&](std::size_t at, unsigned int value) {
        Items damaged = items;
        damaged[at] = StreamItem::Uint(value);
        gfxRTWideScene target;
        return load(target, damaged);
    };
    const unsigned int count = built.instance_count();
    EXPECT_EQ(with(list_at, 0), "the wide scene's disabled instance count 0 is out of range");
    EXPECT_EQ(with(list_at, count + 1), "the wide scene's disabled instance count " +
                                            std::to_string(count + 1) + " is out of range");
    EXPECT_EQ(with(list_at + 2, 0), // twice
              "the wide scene's disabled instance 0 (entry 1) is out of order or out of range");
    EXPECT_EQ(with(list_at + 3, 4),
              "the wide scene's disabled instance 4 (entry 2) is out of order or out of range");
    EXPECT_EQ(with(list_at + 3, count), "the wide scene's disabled instance " +
                                            std::to_string(count) +
                                            " (entry 2) is out of order or out of range");
    // The first version has no list: its end token is where the list starts.
    Items first_version = items;
    first_version[1] = StreamItem::String("gfxRTWideScene version 1");
    gfxRTWideScene target;
    EXPECT_EQ(load(target, first_version), "the wide scene does not end where its counts say");
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
    EXPECT_EQ(damaged(1, StreamItem::String("gfxRTWideScene version 3")),
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
