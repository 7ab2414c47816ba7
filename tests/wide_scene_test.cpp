// The instanced wide scene against a brute force over every instance's
// triangles in object space (WideSceneOracle.h): t, u, v, triangle and
// instance equal bit for bit for every query, thread count and kernel
// version; animation against scenes built from scratch; refused
// transforms; failed allocations.
#include "AllocationFaults.h"
#include "PacketTestUtil.h"
#include "RecordingStream.h"
#include "WideOracle.h"
#include "WideSceneOracle.h"

#include "gfxRTWideScene.h"
#include "zrvSceneMesh.h"
#include "zrvSceneShapes.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>

namespace {

class WideSceneOracle : public ::testing::TestWithParam<unsigned int> {};

TEST_P(WideSceneOracle, EveryQueryEqualsTheBruteForce) {
    const SceneLayout layout = random_instanced_scene(GetParam());
    WideRays rays = scene_rays(layout, 2000, GetParam() + 100);
    append(rays, scene_camera_rays(layout, GetParam() + 300));
    const std::vector<RayPacket> packets = scene_packets(layout, rays, GetParam() + 200);
    for (unsigned int threads : {1u, 4u}) {
        gfxRTWideScene scene;
        build_scene(layout, scene, threads);
        expect_scene_oracle(scene, layout, rays, packets,
                            "seed " + std::to_string(GetParam()) + " on " +
                                std::to_string(threads));
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, WideSceneOracle, ::testing::Values(1u, 2u, 3u));

// Hits about the least distance the kernel accepts, in instances: the world
// ray's t is the carried ray's, and the top level's boxes start their
// entries where the meshes' do.
TEST(WideSceneEdges, HitsAtTheLeastDistanceEqualTheBruteForce) {
    const SceneLayout layout = random_instanced_scene(4);
    const WideRays rays = least_distance_rays(world_triangles(layout), 1500, 21);
    std::vector<RayPacket> packets = packets_of(rays);
    append(packets, parallel_packets(rays));
    gfxRTWideScene scene;
    build_scene(layout, scene, 2);
    expect_scene_oracle(scene, layout, rays, packets, "least distance");
}

// Every query of one scene against another's answers one ray at a time.
void expect_same_results(const gfxRTWideScene& a, const gfxRTWideScene& b, const WideRays& rays,
                         const std::string& where) {
    WideAnswers one_at_a_time = scene_answers(b);
    one_at_a_time.batch = nullptr;
    expect_answers(scene_answers(a), one_at_a_time, rays, {}, 2, 0.0f, 0.0f, where);
}

TEST(WideSceneAnimation, EachCommitEqualsASceneBuiltFromScratch) {
    SceneLayout layout = random_instanced_scene(4);
    gfxRTWideScene animated;
    build_scene(layout, animated, 1);
    const WideRays rays = scene_rays(layout, 1500, 44);
    std::mt19937 rng(17);
    for (int step = 0; step < 6; ++step) {
        const SceneLayout before = layout;
        for (std::size_t i = step % 3; i < layout.instances.size(); i += 3) {
            random_transform(rng, 3.0f, layout.instances[i].transform);
            ASSERT_EQ(animated.set_transform(unsigned(i), layout.instances[i].transform),
                      GFX_WIDE_INSTANCE_DONE);
        }
        // Until the commit, queries see the scene as it was.
        gfxRTWideScene old_scene;
        build_scene(before, old_scene, 1);
        expect_same_results(animated, old_scene, rays, "before commit " + std::to_string(step));
        ASSERT_TRUE(animated.commit(step % 2 == 0 ? 1u : 3u));
        gfxRTWideScene fresh;
        build_scene(layout, fresh, 1);
        expect_same_results(animated, fresh, rays, "step " + std::to_string(step));
    }
    // Instances added after a commit: the next one outgrows the arrays of
    // the last top level.
    const std::size_t placed = layout.instances.size();
    for (std::size_t added = 0; added < 2 * placed; ++added) {
        SceneLayout::Placement p{layout.instances[added % placed].mesh, {}};
        random_transform(rng, 3.0f, p.transform);
        ASSERT_EQ(animated.add_instance(p.mesh, p.transform), GFX_WIDE_INSTANCE_DONE);
        layout.instances.push_back(p);
    }
    ASSERT_TRUE(animated.commit(1));
    gfxRTWideScene grown;
    build_scene(layout, grown, 1);
    expect_same_results(animated, grown, rays, "instances added");
    expect_scene_oracle(animated, layout, scene_rays(layout, 500, 45), {}, "animated");
}

// Refits keep the top level's tree, whose boxes then stretch over the moves:
// the answers stay those of a scene built from scratch.
TEST(WideSceneAnimation, EachRefitEqualsASceneBuiltFromScratch) {
    // One well-shaped mesh placed far apart, so that the top level's boxes
    // cull (a mesh's slivers widen them over the whole scene).
    SceneLayout layout;
    layout.meshes.push_back(random_instanced_scene(12).meshes[0]);
    std::mt19937 rng(18);
    for (int i = 0; i < 40; ++i) {
        SceneLayout::Placement p{0, {}};
        random_transform(rng, 12.0f, p.transform);
        layout.instances.push_back(p);
    }
    gfxRTWideScene animated;
    build_scene(layout, animated, 1);
    EXPECT_EQ(animated.top_level_growth(), 1.0);
    const SceneLayout committed = layout;
    const WideRays rays = scene_rays(layout, 1500, 46);
    AllocationFaultRule every;
    every.thread = AllocationFaultRule::ARMING_THREAD;
    every.failures = 1 << 30;
    for (int step = 0; step < 4; ++step) {
        for (std::size_t i = step % 3; i < layout.instances.size(); i += 3) {
            random_transform(rng, 12.0f, layout.instances[i].transform);
            ASSERT_EQ(animated.set_transform(unsigned(i), layout.instances[i].transform),
                      GFX_WIDE_INSTANCE_DONE);
        }
        {
            // The tree is kept: nothing is allocated.
            AllocationFaults faults(every);
            ASSERT_TRUE(animated.refit(1));
            EXPECT_EQ(faults.injected(), 0);
        }
        gfxRTWideScene fresh;
        build_scene(layout, fresh, 1);
        expect_same_results(animated, fresh, rays, "refit " + std::to_string(step));
    }
    // Instances placed anew keep the tree's old grouping: it fits worse.
    const double aged = animated.top_level_growth();
    EXPECT_GT(aged, 1.2);
    // Moved back, the boxes are those it was built over.
    for (std::size_t i = 0; i < layout.instances.size(); ++i)
        ASSERT_EQ(animated.set_transform(unsigned(i), committed.instances[i].transform),
                  GFX_WIDE_INSTANCE_DONE);
    ASSERT_TRUE(animated.refit(1));
    EXPECT_EQ(animated.top_level_growth(), 1.0);
    layout = committed;
    for (std::size_t i = 0; i < layout.instances.size(); i += 2) {
        random_transform(rng, 12.0f, layout.instances[i].transform);
        ASSERT_EQ(animated.set_transform(unsigned(i), layout.instances[i].transform),
                  GFX_WIDE_INSTANCE_DONE);
    }
    ASSERT_TRUE(animated.refit(1));
    const double before_carry = animated.top_level_growth();
    EXPECT_GT(before_carry, 1.0);
    // Everything carried far off, out of the box the tree was built in: the
    // scene's box, which sets every ray's widening, moves too.
    for (std::size_t i = 0; i < layout.instances.size(); ++i) {
        layout.instances[i].transform[3] += 200.0f;
        layout.instances[i].transform[7] -= 100.0f;
        ASSERT_EQ(animated.set_transform(unsigned(i), layout.instances[i].transform),
                  GFX_WIDE_INSTANCE_DONE);
    }
    ASSERT_TRUE(animated.refit(1));
    // The measure does not depend on where the scene lies, only on its fit
    // (the boxes' padding grows a little with the distance), nor on its
    // size: every box twice as large, the scene's box too.
    EXPECT_NEAR(animated.top_level_growth(), before_carry, 1e-3 * before_carry);
    for (std::size_t i = 0; i < layout.instances.size(); ++i) {
        for (float& entry : layout.instances[i].transform)
            entry *= 2.0f;
        ASSERT_EQ(animated.set_transform(unsigned(i), layout.instances[i].transform),
                  GFX_WIDE_INSTANCE_DONE);
    }
    ASSERT_TRUE(animated.refit(1));
    EXPECT_NEAR(animated.top_level_growth(), before_carry, 1e-3 * before_carry);
    const WideRays carried_rays = scene_rays(layout, 1500, 50);
    expect_scene_oracle(animated, layout, carried_rays, {}, "carried off");
    // Instances disabled or added change what the top level places: refit
    // then commits.
    layout.instances[1].enabled = false;
    ASSERT_EQ(animated.set_enabled(1, false), GFX_WIDE_INSTANCE_DONE);
    ASSERT_TRUE(animated.refit(2));
    EXPECT_EQ(animated.top_level_growth(), 1.0); // committed
    gfxRTWideScene hidden;
    build_scene(layout, hidden, 1);
    expect_same_results(animated, hidden, carried_rays, "refit after disabling");
    SceneLayout::Placement added{0, {}};
    random_transform(rng, 12.0f, added.transform);
    ASSERT_EQ(animated.add_instance(added.mesh, added.transform), GFX_WIDE_INSTANCE_DONE);
    layout.instances.push_back(added);
    ASSERT_TRUE(animated.refit(1));
    const WideRays more = scene_rays(layout, 600, 47);
    expect_scene_oracle(animated, layout, more, scene_packets(layout, more, 49), "refitted");
}

// Many entries at once, on workers, equal set_transform entry by entry
// (the later of two for one instance winning); a refused entry, an index
// out of range or no memory moves nothing.
TEST(WideSceneAnimation, SetTransformsEqualsSetTransformInOrder) {
    const SceneLayout layout = random_instanced_scene(13);
    const unsigned int placed = unsigned(layout.instances.size());
    std::mt19937 rng(20);
    std::vector<unsigned int> instances(3000);
    std::vector<float> transforms(12 * instances.size());
    for (std::size_t j = 0; j < instances.size(); ++j) {
        instances[j] = unsigned(rng() % placed);
        random_transform(rng, 3.0f, &transforms[12 * j]);
    }
    gfxRTWideScene at_once, in_order;
    build_scene(layout, at_once, 1);
    build_scene(layout, in_order, 1);
    const auto same_placements = [&](const gfxRTWideScene& a, const gfxRTWideScene& b) {
        for (unsigned int i = 0; i < placed; ++i)
            if (std::memcmp(a.transform(i), b.transform(i), 12 * sizeof(float)) != 0 ||
                std::memcmp(a.inverse_transform(i), b.inverse_transform(i), 12 * sizeof(float)))
                return false;
        return true;
    };
    unsigned int refused = 7;
    std::vector<float> bad = transforms;
    bad[12 * 1500 + 5] = std::numeric_limits<float>::infinity();
    EXPECT_EQ(at_once.set_transforms(instances.data(), bad.data(), 3000, 4, &refused),
              GFX_WIDE_INSTANCE_NON_FINITE_TRANSFORM);
    EXPECT_EQ(refused, 1500u);
    std::vector<unsigned int> beyond = instances;
    beyond[2000] = placed;
    EXPECT_EQ(at_once.set_transforms(beyond.data(), transforms.data(), 3000, 4, &refused),
              GFX_WIDE_INSTANCE_NO_SUCH_INSTANCE);
    EXPECT_EQ(refused, 2000u);
    {
        AllocationFaultRule every;
        every.thread = AllocationFaultRule::ARMING_THREAD;
        every.failures = 1 << 30;
        AllocationFaults faults(every);
        EXPECT_EQ(at_once.set_transforms(instances.data(), transforms.data(), 3000, 4),
                  GFX_WIDE_INSTANCE_OUT_OF_MEMORY);
    }
    EXPECT_TRUE(same_placements(at_once, in_order)); // nothing moved

    ASSERT_EQ(at_once.set_transforms(instances.data(), transforms.data(), 3000, 4),
              GFX_WIDE_INSTANCE_DONE);
    for (std::size_t j = 0; j < instances.size(); ++j)
        ASSERT_EQ(in_order.set_transform(instances[j], &transforms[12 * j]),
                  GFX_WIDE_INSTANCE_DONE);
    EXPECT_TRUE(same_placements(at_once, in_order));
    ASSERT_TRUE(at_once.commit(1));
    ASSERT_TRUE(in_order.commit(1));
    expect_same_results(at_once, in_order, scene_rays(layout, 800, 21), "moved at once");
}

TEST(WideSceneAnimation, CommittedInversesAreThoseOfTheLastCommit) {
    const SceneLayout layout = random_instanced_scene(5);
    gfxRTWideScene scene;
    build_scene(layout, scene, 1);
    const float moved[12] = {2, 0, 0, 1, 0, 2, 0, 2, 0, 0, 2, 3};
    ASSERT_EQ(scene.set_transform(0, moved), GFX_WIDE_INSTANCE_DONE);
    float inverse[12];
    ASSERT_TRUE(gfxRTWideScene::invert_transform(moved, inverse));
    EXPECT_EQ(0, std::memcmp(scene.transform(0), moved, sizeof moved));
    EXPECT_EQ(0, std::memcmp(scene.inverse_transform(0), inverse, sizeof inverse));
    const float expected_inverse[12] = {0.5f, 0, 0, -0.5f, 0, 0.5f, 0, -1, 0, 0, 0.5f, -1.5f};
    EXPECT_EQ(0, std::memcmp(inverse, expected_inverse, sizeof inverse));
}

// Every third instance disabled, among them one of each pair placed twice
// (3 and 4, 8 and 9), so that their ties go to the enabled copy.
SceneLayout with_every_third_disabled(SceneLayout layout) {
    for (std::size_t k = 0; k < layout.instances.size(); k += 3)
        layout.instances[k].enabled = false;
    return layout;
}

TEST(WideSceneEnabled, DisabledInstancesAreNeverReached) {
    const SceneLayout all = random_instanced_scene(6);
    SceneLayout layout = with_every_third_disabled(all);
    WideRays rays = scene_rays(layout, 1500, 61);
    append(rays, scene_camera_rays(layout, 62));
    const std::vector<RayPacket> packets = scene_packets(layout, rays, 63);
    gfxRTWideScene scene;
    build_scene(layout, scene, 2);
    for (unsigned int k = 0; k < scene.instance_count(); ++k)
        EXPECT_EQ(scene.enabled(k), k % 3 != 0) << k;
    EXPECT_FALSE(scene.enabled(scene.instance_count()));
    EXPECT_EQ(scene.set_enabled(scene.instance_count(), true), GFX_WIDE_INSTANCE_NO_SUCH_INSTANCE);
    expect_scene_oracle(scene, layout, rays, packets, "every third disabled");

    // Disabled instances still move; enabled again, they answer where they
    // were moved to, as a scene built with every instance.
    SceneLayout moved = all;
    std::mt19937 rng(19);
    for (std::size_t k = 0; k < moved.instances.size(); k += 3) {
        random_transform(rng, 3.0f, moved.instances[k].transform);
        ASSERT_EQ(scene.set_transform(unsigned(k), moved.instances[k].transform),
                  GFX_WIDE_INSTANCE_DONE);
    }
    ASSERT_TRUE(scene.commit(1));
    expect_scene_oracle(scene, with_every_third_disabled(moved), scene_rays(layout, 300, 64), {},
                        "moved while disabled");
    for (unsigned int k = 0; k < scene.instance_count(); k += 3)
        ASSERT_EQ(scene.set_enabled(k, true), GFX_WIDE_INSTANCE_DONE);
    ASSERT_TRUE(scene.commit(3));
    gfxRTWideScene fresh;
    build_scene(moved, fresh, 1);
    expect_same_results(scene, fresh, rays, "enabled again");

    // With none enabled there is nothing to hit.
    for (unsigned int k = 0; k < scene.instance_count(); ++k)
        ASSERT_EQ(scene.set_enabled(k, false), GFX_WIDE_INSTANCE_DONE);
    ASSERT_TRUE(scene.commit(1));
    for (SceneLayout::Placement& p : moved.instances)
        p.enabled = false;
    expect_scene_oracle(scene, moved, scene_rays(layout, 300, 65), {}, "none enabled");
}

TEST(WideSceneTransforms, InverseIsTheDoublePrecisionInverseRounded) {
    std::mt19937 rng(3);
    for (int i = 0; i < 200; ++i) {
        float m[12], inverse[12];
        random_transform(rng, 10.0f, m);
        ASSERT_TRUE(gfxRTWideScene::invert_transform(m, inverse));
        // Within a few float roundings of the identity, both ways round.
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 4; ++c) {
                double sum = c == 3 ? double(inverse[4 * r + 3]) : 0.0;
                for (int k = 0; k < 3; ++k)
                    sum += double(inverse[4 * r + k]) * m[4 * k + c];
                EXPECT_NEAR(sum, r == c ? 1.0 : 0.0, 1e-5) << i;
            }
    }
}

TEST(WideSceneTransforms, CarryRayRoundsEveryOperation) {
    const float m[12] = {0.1f, 0.7f,  -1.3f, 5.5f, 2.2f, -0.3f,
                         0.9f, -4.1f, 0.6f,  0.6f, 0.4f, 1e-3f};
    const float o[3] = {3.3f, -7.1f, 0.2f}, d[3] = {-0.4f, 0.8f, 1.9f};
    float oo[3], od[3];
    gfxRTWideScene::carry_ray(m, o, d, oo, od);
    for (int r = 0; r < 3; ++r) {
        volatile float p0 = m[4 * r] * o[0], p1 = m[4 * r + 1] * o[1], p2 = m[4 * r + 2] * o[2];
        volatile float s = p0 + p1;
        volatile float s2 = s + p2;
        volatile float x = s2 + m[4 * r + 3];
        EXPECT_EQ(oo[r], x);
        volatile float q0 = m[4 * r] * d[0], q1 = m[4 * r + 1] * d[1], q2 = m[4 * r + 2] * d[2];
        volatile float e = q0 + q1;
        volatile float y = e + q2;
        EXPECT_EQ(od[r], y);
    }
}

TEST(WideSceneTransforms, RefusedTransformsAndTheirResults) {
    gfxRTWideScene scene;
    const std::vector<triAccel> mesh = random_instanced_scene(1).meshes[0];
    ASSERT_EQ(scene.add_mesh(mesh.data(), unsigned(mesh.size()), 1), 0);
    const float identity[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* name;
        float m[12];
        gfxRTWideInstanceResult result;
    };
    const gfxRTWideInstanceResult non_finite = GFX_WIDE_INSTANCE_NON_FINITE_TRANSFORM,
                                  singular = GFX_WIDE_INSTANCE_SINGULAR_TRANSFORM,
                                  done = GFX_WIDE_INSTANCE_DONE;
    const Case cases[] = {
        {"NaN entry", {1, 0, 0, nan, 0, 1, 0, 0, 0, 0, 1, 0}, non_finite},
        {"infinite entry", {1, 0, 0, 0, 0, inf, 0, 0, 0, 0, 1, 0}, non_finite},
        {"zero row", {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}, singular},
        {"parallel rows", {1, 2, 3, 0, 2, 4, 6, 0, 0, 0, 1, 0}, singular},
        // Rows apart by 2^-25 of their length: parallel within float's precision.
        {"nearly parallel rows", {1, 0, 0, 0, 1, 1.0f / 33554432.0f, 0, 0, 0, 0, 1, 0}, singular},
        // Finite, but its inverse is not.
        {"inverse overflows", {1e-39f, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}, singular},
        // Apart by 2^-23: kept.
        {"thin but invertible", {1, 0, 0, 0, 1, 1.0f / 8388608.0f, 0, 0, 0, 0, 1, 0}, done},
        {"tiny scale", {1e-30f, 0, 0, 0, 0, 1e-30f, 0, 0, 0, 0, 1e-30f, 0}, done},
    };
    unsigned int placed = 0;
    for (const Case& c : cases) {
        float inverse[12];
        std::fill(inverse, inverse + 12, 42.0f);
        EXPECT_EQ(scene.add_instance(0, c.m), c.result) << c.name;
        EXPECT_EQ(gfxRTWideScene::invert_transform(c.m, inverse), c.result == done) << c.name;
        EXPECT_EQ(gfxRTWideScene::check_transform(c.m, inverse), c.result) << c.name;
        if (c.result == done) {
            ++placed;
            continue;
        }
        for (float x : inverse)
            EXPECT_EQ(x, 42.0f) << c.name << ": a refused inverse is not written";
        ASSERT_EQ(scene.add_instance(0, identity), done);
        ++placed;
        EXPECT_EQ(scene.set_transform(placed - 1, c.m), c.result) << c.name;
        EXPECT_EQ(0, std::memcmp(scene.transform(placed - 1), identity, sizeof identity))
            << c.name << ": a refused transform changes nothing";
    }
    EXPECT_EQ(scene.instance_count(), placed);
    EXPECT_EQ(scene.add_instance(0, nullptr), non_finite);
    EXPECT_EQ(scene.set_transform(0, nullptr), non_finite);
    EXPECT_EQ(scene.add_instance(1, identity), GFX_WIDE_INSTANCE_NO_SUCH_MESH);
    EXPECT_EQ(scene.set_transform(placed, identity), GFX_WIDE_INSTANCE_NO_SUCH_INSTANCE);
    EXPECT_EQ(scene.instance_count(), placed);
    EXPECT_TRUE(scene.commit(1));
}

TEST(WideSceneTransforms, ResultTexts) {
    EXPECT_STREQ(gfxRTWideInstanceResultText(GFX_WIDE_INSTANCE_DONE), "done");
    EXPECT_STREQ(gfxRTWideInstanceResultText(GFX_WIDE_INSTANCE_NO_SUCH_MESH), "no such mesh");
    EXPECT_STREQ(gfxRTWideInstanceResultText(GFX_WIDE_INSTANCE_NO_SUCH_INSTANCE),
                 "no such instance");
    EXPECT_STREQ(gfxRTWideInstanceResultText(GFX_WIDE_INSTANCE_NON_FINITE_TRANSFORM),
                 "the transform is missing or has a NaN or infinite entry");
    EXPECT_STREQ(gfxRTWideInstanceResultText(GFX_WIDE_INSTANCE_SINGULAR_TRANSFORM),
                 "the transform is singular");
    EXPECT_STREQ(gfxRTWideInstanceResultText(GFX_WIDE_INSTANCE_TOO_MANY), "too many instances");
    EXPECT_STREQ(gfxRTWideInstanceResultText(GFX_WIDE_INSTANCE_OUT_OF_MEMORY), "out of memory");
    EXPECT_STREQ(gfxRTWideInstanceResultText(gfxRTWideInstanceResult(99)), "unknown result");
}

TEST(WideSceneEmpty, ScenesWithNothingToHitMissEveryRay) {
    const SceneLayout layout = random_instanced_scene(6);
    const WideRays rays = scene_rays(layout, 200, 7);
    gfxRTWideScene uncommitted, empty_meshes;
    ASSERT_EQ(uncommitted.add_mesh(layout.meshes[0].data(), unsigned(layout.meshes[0].size()), 1),
              0);
    const float identity[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    ASSERT_EQ(uncommitted.add_instance(0, identity), GFX_WIDE_INSTANCE_DONE);
    ASSERT_EQ(empty_meshes.add_mesh(nullptr, 0, 1), 0);
    ASSERT_EQ(empty_meshes.add_instance(0, identity), GFX_WIDE_INSTANCE_DONE);
    ASSERT_TRUE(empty_meshes.commit(1));
    // Every query as over a layout with no instance, the rays limited to 5.
    WideRays at_five;
    for (unsigned int i = 0; i < rays.size(); ++i)
        at_five.add(&rays.origins[3 * i], &rays.directions[3 * i], 5.0f);
    for (const gfxRTWideScene* scene : {&uncommitted, &empty_meshes})
        expect_scene_oracle(*scene, SceneLayout(), at_five, {}, "nothing to hit");
    EXPECT_EQ(empty_meshes.mesh(0).statistics().triangles, 0u);
    EXPECT_EQ(uncommitted.instance_mesh(0), 0u);
}

// The batches write nothing when an array they need is missing; without
// the optional ones (instance, u, v) they fill t and index as intersect1.
TEST(WideSceneBatches, MissingArraysAreNotWritten) {
    const SceneLayout layout = random_instanced_scene(5);
    gfxRTWideScene scene;
    build_scene(layout, scene, 1);
    const WideRays rays = scene_rays(layout, 300, 14);
    const unsigned int n = rays.size();
    const float *o = rays.origins.data(), *d = rays.directions.data(), *l = rays.limits.data();
    std::vector<float> t(n, 7.0f), u(n, 7.0f), v(n, 7.0f);
    std::vector<int> index(n, 7), instance(n, 7);
    std::vector<unsigned char> occluded(n, 7);
    scene.intersect_batch(nullptr, d, l, n, t.data(), index.data(), instance.data(), u.data(),
                          v.data(), 2);
    scene.intersect_batch(o, nullptr, l, n, t.data(), index.data(), instance.data(), u.data(),
                          v.data(), 2);
    scene.intersect_batch(o, d, l, n, nullptr, index.data(), instance.data(), u.data(), v.data(),
                          2);
    scene.intersect_batch(o, d, l, n, t.data(), nullptr, instance.data(), u.data(), v.data(), 2);
    scene.occluded_batch(nullptr, d, l, n, occluded.data(), 2);
    scene.occluded_batch(o, nullptr, l, n, occluded.data(), 2);
    for (unsigned int i = 0; i < n; ++i) {
        ASSERT_EQ(t[i] + u[i] + v[i], 21.0f) << "ray " << i;
        ASSERT_EQ(index[i] + instance[i] + occluded[i], 21) << "ray " << i;
    }
    scene.intersect_batch(o, d, l, n, t.data(), index.data(), nullptr, nullptr, nullptr, 2);
    int hits = 0;
    for (unsigned int i = 0; i < n; ++i) {
        gfxRTWideSceneHit hit;
        hits += scene.intersect1(o + 3 * i, d + 3 * i, l[i], hit);
        ASSERT_EQ(bits_of(t[i]), bits_of(hit.t)) << "ray " << i;
        ASSERT_EQ(index[i], hit.index) << "ray " << i;
    }
    EXPECT_GT(hits, int(n) / 4);
}

TEST(WideSceneAllocation, EveryFailedAllocationIsAResult) {
    const SceneLayout layout = random_instanced_scene(8);
    const WideRays rays = scene_rays(layout, 300, 9);
    gfxRTWideScene reference;
    build_scene(layout, reference, 1);
    int failures = 0;
    for (int skip = 0;; ++skip) {
        gfxRTWideScene scene;
        AllocationFaultRule rule;
        rule.thread = AllocationFaultRule::ARMING_THREAD;
        rule.skip = skip;
        bool complete = true;
        int injected = 0;
        {
            AllocationFaults faults(rule);
            for (const std::vector<triAccel>& mesh : layout.meshes)
                if (scene.add_mesh(mesh.data(), unsigned(mesh.size()), 1) < 0)
                    complete = false;
            for (const SceneLayout::Placement& p : layout.instances) {
                const gfxRTWideInstanceResult r =
                    complete ? scene.add_instance(p.mesh, p.transform) : GFX_WIDE_INSTANCE_DONE;
                if (r != GFX_WIDE_INSTANCE_DONE) {
                    EXPECT_EQ(r, GFX_WIDE_INSTANCE_OUT_OF_MEMORY);
                    complete = false;
                }
            }
            if (complete && !scene.commit(1)) {
                complete = false;
                // A failed commit traces nothing.
                for (unsigned int i = 0; i < rays.size(); ++i) {
                    gfxRTWideSceneHit hit;
                    EXPECT_FALSE(scene.intersect1(&rays.origins[3 * i], &rays.directions[3 * i],
                                                  rays.limits[i], hit));
                }
            }
            injected = faults.injected();
        }
        if (injected == 0) {
            ASSERT_TRUE(complete);
            expect_same_results(scene, reference, rays, "after all allocations");
            break;
        }
        ++failures;
        if (!complete && scene.mesh_count() == layout.meshes.size() &&
            scene.instance_count() == layout.instances.size()) {
            // Only the commit failed: the next one succeeds.
            ASSERT_TRUE(scene.commit(1));
            expect_same_results(scene, reference, rays,
                                "commit after failure " + std::to_string(skip));
        }
    }
    EXPECT_GT(failures, 5);
}

TEST(WideSceneAllocation, ASceneMadeWithoutMemoryAnswersEveryCallWithAResult) {
    AllocationFaultRule every;
    every.thread = AllocationFaultRule::ARMING_THREAD;
    every.failures = 1 << 30;
    std::unique_ptr<gfxRTWideScene> scene;
    {
        AllocationFaults faults(every);
        scene.reset(new gfxRTWideScene);
        EXPECT_EQ(faults.injected(), 1);
    }
    const SceneLayout layout = random_instanced_scene(6);
    EXPECT_EQ(scene->add_mesh(layout.meshes[0].data(), unsigned(layout.meshes[0].size()), 1), -1);
    EXPECT_EQ(scene->add_instance(0, layout.instances[0].transform),
              GFX_WIDE_INSTANCE_OUT_OF_MEMORY);
    EXPECT_EQ(scene->set_transform(0, layout.instances[0].transform),
              GFX_WIDE_INSTANCE_NO_SUCH_INSTANCE);
    EXPECT_EQ(scene->set_enabled(0, true), GFX_WIDE_INSTANCE_NO_SUCH_INSTANCE);
    EXPECT_FALSE(scene->enabled(0));
    EXPECT_FALSE(scene->reserve_instances(1));
    EXPECT_FALSE(scene->commit(1));
    EXPECT_FALSE(scene->refit_mesh(0, nullptr, 0, 1));
    RecordingWriter writer;
    EXPECT_FALSE(scene->stream(writer));
    EXPECT_EQ(scene->mesh_count() + scene->instance_count(), 0u);
    EXPECT_EQ(scene->memory_bytes(), 0u);
    WideRays rays = scene_rays(layout, 100, 8);
    for (float& limit : rays.limits)
        limit = 5.0f;
    expect_scene_oracle(*scene, SceneLayout(), rays, {}, "no memory");
}

TEST(WideSceneAllocation, ReservedInstancesAreAddedWithoutAllocating) {
    const SceneLayout layout = random_instanced_scene(8);
    const unsigned int count = unsigned(layout.instances.size());
    gfxRTWideScene scene;
    for (const std::vector<triAccel>& mesh : layout.meshes)
        ASSERT_GE(scene.add_mesh(mesh.data(), unsigned(mesh.size()), 1), 0);
    AllocationFaultRule every;
    every.thread = AllocationFaultRule::ARMING_THREAD;
    every.failures = 1 << 30;
    {
        AllocationFaults faults(every);
        EXPECT_FALSE(scene.reserve_instances(count));
        EXPECT_EQ(faults.injected(), 1);
    }
    EXPECT_FALSE(scene.reserve_instances(gfxRTWideScene::MAX_INSTANCES + 1));
    ASSERT_TRUE(scene.reserve_instances(count));
    {
        AllocationFaults faults(every);
        for (const SceneLayout::Placement& p : layout.instances)
            ASSERT_EQ(scene.add_instance(p.mesh, p.transform), GFX_WIDE_INSTANCE_DONE);
        EXPECT_EQ(faults.injected(), 0);
    }
    ASSERT_EQ(scene.instance_count(), count);
    ASSERT_TRUE(scene.commit(1));
    gfxRTWideScene reference;
    build_scene(layout, reference, 1);
    expect_same_results(scene, reference, scene_rays(layout, 300, 10), "reserved");
}

// Trees the host built are taken over all or none: a failed allocation
// leaves every tree, and the scene, as they were.
TEST(WideSceneAllocation, MeshesBuiltByTheHostAreAddedAllOrNone) {
    const SceneLayout layout = random_instanced_scene(8);
    const unsigned int count = unsigned(layout.meshes.size());
    ASSERT_GE(count, 3u);
    std::vector<gfxRTWideBVH> trees(count);
    std::vector<std::size_t> bytes(count);
    for (unsigned int m = 1; m < count; ++m) {
        ASSERT_TRUE(trees[m].build(layout.meshes[m].data(), unsigned(layout.meshes[m].size()), 2));
        bytes[m] = trees[m].memory_bytes();
    }
    gfxRTWideScene scene;
    ASSERT_EQ(scene.add_mesh(layout.meshes[0].data(), unsigned(layout.meshes[0].size()), 1), 0);
    EXPECT_EQ(scene.add_meshes(&trees[1], gfxRTWideScene::MAX_MESHES), -1);
    EXPECT_EQ(scene.add_meshes(nullptr, 1), -1);
    EXPECT_EQ(scene.add_meshes(nullptr, 0), 1);
    int failures = 0;
    for (int skip = 0;; ++skip) {
        AllocationFaultRule rule;
        rule.thread = AllocationFaultRule::ARMING_THREAD;
        rule.skip = skip;
        int first, injected;
        {
            AllocationFaults faults(rule);
            first = scene.add_meshes(&trees[1], count - 1);
            injected = faults.injected();
        }
        if (injected == 0) {
            ASSERT_EQ(first, 1);
            break;
        }
        ++failures;
        ASSERT_EQ(first, -1);
        ASSERT_EQ(scene.mesh_count(), 1u);
        for (unsigned int m = 1; m < count; ++m)
            ASSERT_EQ(trees[m].memory_bytes(), bytes[m]) << "mesh " << m << ", failure " << skip;
    }
    EXPECT_EQ(failures, int(count - 1)); // one per mesh; the room for them was there
    for (unsigned int m = 1; m < count; ++m)
        EXPECT_EQ(trees[m].memory_bytes(), 0u);
    for (const SceneLayout::Placement& p : layout.instances)
        ASSERT_EQ(scene.add_instance(p.mesh, p.transform), GFX_WIDE_INSTANCE_DONE);
    ASSERT_TRUE(scene.commit(2));
    const WideRays rays = scene_rays(layout, 1500, 12);
    expect_scene_oracle(scene, layout, rays, scene_packets(layout, rays, 13), "host-built meshes");

    // The meshes' records given at once: built side by side, the same scene.
    std::vector<const triAccel*> triangles;
    std::vector<unsigned int> counts;
    for (const std::vector<triAccel>& mesh : layout.meshes) {
        triangles.push_back(mesh.data());
        counts.push_back(unsigned(mesh.size()));
    }
    gfxRTWideScene together;
    const triAccel* const missing = triangles[1];
    triangles[1] = nullptr;
    EXPECT_EQ(together.add_meshes(triangles.data(), counts.data(), count, 2), -1);
    EXPECT_EQ(together.mesh_count(), 0u);
    triangles[1] = missing;
    ASSERT_EQ(together.add_meshes(triangles.data(), counts.data(), count, 2), 0);
    for (const SceneLayout::Placement& p : layout.instances)
        ASSERT_EQ(together.add_instance(p.mesh, p.transform), GFX_WIDE_INSTANCE_DONE);
    ASSERT_TRUE(together.commit(1));
    expect_same_results(together, scene, rays, "meshes built side by side");
}

// A commit after moves builds in the last top level's arrays: a failed
// allocation there also leaves a scene that traces nothing, not the
// placements before the moves.
TEST(WideSceneAllocation, AFailedCommitAfterMovesTracesNothing) {
    SceneLayout layout = random_instanced_scene(8);
    const WideRays rays = scene_rays(layout, 300, 10);
    gfxRTWideScene scene;
    build_scene(layout, scene, 1);
    std::mt19937 rng(23);
    int failures = 0;
    for (int skip = 0;; ++skip) {
        for (std::size_t i = 0; i < layout.instances.size(); i += 2) {
            random_transform(rng, 3.0f, layout.instances[i].transform);
            ASSERT_EQ(scene.set_transform(unsigned(i), layout.instances[i].transform),
                      GFX_WIDE_INSTANCE_DONE);
        }
        AllocationFaultRule rule;
        rule.thread = AllocationFaultRule::ARMING_THREAD;
        rule.skip = skip;
        bool committed;
        {
            AllocationFaults faults(rule);
            committed = scene.commit(1);
            EXPECT_EQ(committed, faults.injected() == 0);
        }
        if (committed)
            break;
        ++failures;
        for (unsigned int i = 0; i < rays.size(); ++i) {
            gfxRTWideSceneHit hit;
            EXPECT_FALSE(scene.intersect1(&rays.origins[3 * i], &rays.directions[3 * i],
                                          rays.limits[i], hit))
                << "ray " << i << " after failure " << skip;
        }
        ASSERT_TRUE(scene.commit(1));
    }
    EXPECT_GE(failures, 4); // what the top level is built from, and the build's scratch
    gfxRTWideScene fresh;
    build_scene(layout, fresh, 1);
    expect_same_results(scene, fresh, rays, "after the failures");
}

} // namespace

namespace {

// A tetrahedron and a rectangle of two triangles around the origin: no edge
// shorter than about a unit, so no ray the test aims steeply is grazing.
// The mesh's extent is off centre along every axis, so that a bounding
// plane taken the wrong way round cuts it.
std::vector<triAccel> large_triangles() {
    const zrv::scenes::Vec3 p[4] = {
        {0, 1.2f, 0}, {-1, -0.6f, -0.7f}, {1.1f, -0.5f, -0.6f}, {0, -0.4f, 1.3f}};
    zrv::scenes::Mesh mesh;
    for (const auto& f : {std::array<int, 3>{0, 1, 2}, {0, 2, 3}, {0, 3, 1}, {1, 3, 2}})
        mesh.add_triangle(p[f[0]], p[f[1]], p[f[2]]);
    mesh.add_quad({-2, -2, 3}, {2.6f, -2, 3}, {2.6f, 2.3f, 3.5f}, {-2, 2.3f, 3.5f});
    return mesh.finalize();
}

// Whether the carried ray passes within half a degree of a triangle's plane
// in the instance's space: the kernel's grazing exception.
bool grazes(const SceneLayout& layout, const float* origin, const float* direction) {
    for (const SceneLayout::Placement& p : layout.instances) {
        float inverse[12], o[3], d[3];
        gfxRTWideScene::invert_transform(p.transform, inverse);
        gfxRTWideScene::carry_ray(inverse, origin, direction, o, d);
        for (const triAccel& t : layout.meshes[p.mesh]) {
            const double dn = double(d[0]) * t.normal[0] + double(d[1]) * t.normal[1] +
                              double(d[2]) * t.normal[2];
            const double dd = double(d[0]) * d[0] + double(d[1]) * d[1] + double(d[2]) * d[2];
            const double nn = double(t.normal[0]) * t.normal[0] +
                              double(t.normal[1]) * t.normal[1] + double(t.normal[2]) * t.normal[2];
            if (dn * dn < 1e-4 * dd * nn)
                return true;
        }
    }
    return false;
}

// Scenes of one instance, scaled by a thousandth to a thousand, sheared,
// mirrored and placed up to ten thousand times its size from the origin,
// hit from five to fifty times its size away at points of its triangles
// (their corners touch the faces of the mesh's hull): the instance's box
// in the top level must keep every hit the brute force makes, however
// large the rounding of the carried rays at that distance.
TEST(WideSceneBounds, ExtremePlacementsEqualTheBruteForce) {
    std::mt19937 rng(23);
    const float scales[] = {1e-3f, 0.02f, 1.0f, 37.0f, 1e3f};
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f), weight(0.0f, 1.0f);
    int checked = 0;
    for (int s = 0; s < 40; ++s) {
        SceneLayout layout;
        layout.meshes.push_back(large_triangles());
        SceneLayout::Placement p{0, {}};
        random_transform(rng, 1.0f, p.transform);
        const float scale = scales[s % 5];
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c)
                p.transform[4 * r + c] *= scale;
            p.transform[4 * r + 3] = scale * 1e4f * unit(rng);
        }
        if (s % 4 == 1) // a strong shear
            p.transform[1] += 3.0f * p.transform[0];
        layout.instances.push_back(p);
        gfxRTWideScene scene;
        build_scene(layout, scene, 1);
        WideRays rays;
        for (int i = 0; i < 200; ++i) {
            const triAccel& t = layout.meshes[0][rng() % layout.meshes[0].size()];
            // Barycentric weights over the triangle, and on its corners and
            // edges, where the mesh's box has its faces.
            float a = weight(rng), b = weight(rng);
            if (a + b > 1.0f) {
                a = 1.0f - a;
                b = 1.0f - b;
            }
            if (i % 4 == 0) {
                a = float(rng() % 2);
                b = a == 0.0f ? float(rng() % 2) : 0.0f;
            } else if (i % 4 == 1) {
                b = 0.0f;
            }
            // Corners also just outside the triangle, where the kernel's
            // rounding from far away may still take the ray as hitting it.
            const float beyond = i % 8 == 0 ? 0.0f : i % 8 == 4 ? 1e-3f : 1e-2f;
            float local[3], target[3];
            for (int k = 0; k < 3; ++k) {
                local[k] = t.vertex0[k] + a * (t.vertex1[k] - t.vertex0[k]) +
                           b * (t.vertex2[k] - t.vertex0[k]);
                if (i % 4 == 0)
                    local[k] +=
                        beyond * (3.0f * local[k] - t.vertex0[k] - t.vertex1[k] - t.vertex2[k]);
            }
            for (int r = 0; r < 3; ++r)
                target[r] = p.transform[4 * r] * local[0] + p.transform[4 * r + 1] * local[1] +
                            p.transform[4 * r + 2] * local[2] + p.transform[4 * r + 3];
            const float distance = scale * (i % 3 == 0 ? 5.0f : i % 3 == 1 ? 50.0f : 500.0f);
            float o[3], d[3];
            for (int k = 0; k < 3; ++k)
                o[k] = target[k] + distance * unit(rng);
            for (int k = 0; k < 3; ++k)
                d[k] = target[k] - o[k];
            if (grazes(layout, o, d))
                continue;
            rays.add(o, d, i % 3 == 0 ? 1.5f : std::numeric_limits<float>::infinity());
        }
        checked += int(rays.size());
        expect_scene_oracle(scene, layout, rays, {}, "placement " + std::to_string(s));
        if (HasFailure())
            return;
    }
    EXPECT_GT(checked, 6000);
}

// Where instance k of layout puts its kept triangles: the box of their
// vertices carried by its transform in double (world), and of the carried
// corners of their own box (crude), which holds the mesh's hull carried.
struct PlacedBoxes {
    double world_lo[3], world_hi[3], crude_lo[3], crude_hi[3];
    bool any = false;
};

PlacedBoxes placed_boxes(const SceneLayout& layout, std::size_t k) {
    const float* m = layout.instances[k].transform;
    const auto carry = [m](const double* v, int r) {
        return double(m[4 * r]) * v[0] + double(m[4 * r + 1]) * v[1] + double(m[4 * r + 2]) * v[2] +
               double(m[4 * r + 3]);
    };
    PlacedBoxes b;
    double lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (int a = 0; a < 3; ++a) {
        b.world_lo[a] = b.crude_lo[a] = HUGE_VAL;
        b.world_hi[a] = b.crude_hi[a] = -HUGE_VAL;
    }
    for (const triAccel& t : layout.meshes[layout.instances[k].mesh]) {
        if (!oracle_triangle_is_valid(t))
            continue;
        b.any = true;
        for (const float* v : {t.vertex0, t.vertex1, t.vertex2}) {
            const double p[3] = {v[0], v[1], v[2]};
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::fmin(lo[a], p[a]);
                hi[a] = std::fmax(hi[a], p[a]);
                b.world_lo[a] = std::fmin(b.world_lo[a], carry(p, a));
                b.world_hi[a] = std::fmax(b.world_hi[a], carry(p, a));
            }
        }
    }
    for (int c = 0; c < 8 && b.any; ++c) {
        const double corner[3] = {c & 1 ? hi[0] : lo[0], c & 2 ? hi[1] : lo[1],
                                  c & 4 ? hi[2] : lo[2]};
        for (int a = 0; a < 3; ++a) {
            b.crude_lo[a] = std::fmin(b.crude_lo[a], carry(corner, a));
            b.crude_hi[a] = std::fmax(b.crude_hi[a], carry(corner, a));
        }
    }
    return b;
}

// Convex solids whose hulls have few corners, each an extreme vertex along
// some direction: 4 (tetrahedron), 6 (octahedron, with a pair after the
// four-wide steps) and 7 (a pentagonal bipyramid, its last corner repeated).
std::vector<std::vector<triAccel>> few_cornered_solids() {
    std::vector<std::vector<triAccel>> solids;
    const auto solid = [&](const std::vector<std::array<float, 3>>& v, const int(*faces)[3],
                           int count) {
        zrv::scenes::Mesh mesh;
        for (int f = 0; f < count; ++f)
            mesh.add_triangle({v[faces[f][0]][0], v[faces[f][0]][1], v[faces[f][0]][2]},
                              {v[faces[f][1]][0], v[faces[f][1]][1], v[faces[f][1]][2]},
                              {v[faces[f][2]][0], v[faces[f][2]][1], v[faces[f][2]][2]});
        solids.push_back(mesh.finalize());
    };
    const int tetrahedron[4][3] = {{0, 1, 2}, {0, 3, 1}, {1, 3, 2}, {2, 3, 0}};
    solid({{1, 1, 1}, {1, -1, -1}, {-1, 1, -1}, {-1, -1, 1}}, tetrahedron, 4);
    const int octahedron[8][3] = {{0, 2, 4}, {2, 1, 4}, {1, 3, 4}, {3, 0, 4},
                                  {2, 0, 5}, {1, 2, 5}, {3, 1, 5}, {0, 3, 5}};
    solid({{2, 0, 0}, {-1, 0, 0}, {0, 3, 0}, {0, -1, 0}, {0, 0, 1.5f}, {0, 0, -2}}, octahedron, 8);
    std::vector<std::array<float, 3>> bipyramid = {{0, 0, 2}, {0, 0, -1}};
    int faces[10][3];
    for (int k = 0; k < 5; ++k) {
        const float angle = 1.2566371f * float(k);
        bipyramid.push_back({std::cos(angle), std::sin(angle), 0.0f});
        const int here = 2 + k, next = 2 + (k + 1) % 5;
        faces[2 * k][0] = here, faces[2 * k][1] = next, faces[2 * k][2] = 0;
        faces[2 * k + 1][0] = next, faces[2 * k + 1][1] = here, faces[2 * k + 1][2] = 1;
    }
    solid(bipyramid, faces, 10);
    return solids;
}

// An instance's world box holds its triangles, lies within the carried box
// of its mesh's box but for the hull's rounding, and has the same bits from
// every kernel version. The scene's box is the union of the enabled
// instances' boxes, following moves and switches at once.
TEST(WideSceneBounds, InstanceBoxesHoldTheirTrianglesAndTheSceneBoxTheirUnion) {
    SceneLayout layout = random_instanced_scene(6);
    layout.instances[3].enabled = false;
    // Solids whose hull corners each decide a side of some instance's box.
    std::mt19937 rng(61);
    for (const std::vector<triAccel>& solid : few_cornered_solids()) {
        layout.meshes.push_back(solid);
        for (int i = 0; i < 12; ++i) {
            layout.instances.push_back({unsigned(layout.meshes.size() - 1), {}});
            random_transform(rng, 10.0f, layout.instances.back().transform);
        }
    }
    gfxRTWideScene scene;
    float lo[3] = {7, 7, 7}, hi[3] = {7, 7, 7};
    EXPECT_FALSE(scene.bounds(lo, hi));
    EXPECT_FALSE(scene.instance_bounds(0, lo, hi));
    EXPECT_EQ(lo[0] + lo[1] + lo[2] + hi[0] + hi[1] + hi[2], 42.0f);
    build_scene(layout, scene, 2);
    const std::size_t n = layout.instances.size();
    std::vector<std::array<float, 6>> first_boxes(n);
    bool first_level = true;
    unsigned int narrower_boxes = 0, placed = 0;
    for_each_kernel_level([&](const std::string& level) {
        for (std::size_t k = 0; k < n; ++k) {
            // Placed again under this kernel version.
            ASSERT_EQ(scene.set_transform(unsigned(k), layout.instances[k].transform),
                      GFX_WIDE_INSTANCE_DONE);
            const PlacedBoxes want = placed_boxes(layout, k);
            ASSERT_EQ(scene.instance_bounds(unsigned(k), lo, hi), want.any) << k << level;
            if (!want.any)
                continue;
            double extent = 0.0;
            for (int a = 0; a < 3; ++a)
                extent = std::fmax(extent, want.crude_hi[a] - want.crude_lo[a]);
            // The hull's planes lie 2^-20 of the mesh's largest coordinate
            // out, and its corners merge within twice that: these meshes lie
            // about their origins, so a little of their carried extent.
            const double slack = 1e-5 * extent;
            bool narrower = false;
            for (int a = 0; a < 3; ++a) {
                EXPECT_LE(lo[a], want.world_lo[a]) << k << level;
                EXPECT_GE(hi[a], want.world_hi[a]) << k << level;
                EXPECT_GE(lo[a], want.crude_lo[a] - slack) << k << level;
                EXPECT_LE(hi[a], want.crude_hi[a] + slack) << k << level;
                narrower = narrower || hi[a] - lo[a] < 0.9 * (want.crude_hi[a] - want.crude_lo[a]);
            }
            narrower_boxes += narrower ? 1 : 0;
            ++placed;
            const std::array<float, 6> box = {lo[0], lo[1], lo[2], hi[0], hi[1], hi[2]};
            if (first_level)
                first_boxes[k] = box;
            else
                EXPECT_TRUE(box == first_boxes[k]) << k << level;
        }
        first_level = false;
    });
    // Rotated instances are bounded through their mesh's hull: most boxes
    // are narrower than the carried box of the mesh's box along some axis.
    EXPECT_GE(4 * narrower_boxes, 3 * placed) << narrower_boxes << " of " << placed;
    const auto expect_union = [&](const std::string& when) {
        double want_lo[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL};
        double want_hi[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
        for (std::size_t k = 0; k < n; ++k)
            if (layout.instances[k].enabled && scene.instance_bounds(unsigned(k), lo, hi))
                for (int a = 0; a < 3; ++a) {
                    want_lo[a] = std::fmin(want_lo[a], lo[a]);
                    want_hi[a] = std::fmax(want_hi[a], hi[a]);
                }
        ASSERT_TRUE(scene.bounds(lo, hi)) << when;
        for (int a = 0; a < 3; ++a) {
            EXPECT_EQ(lo[a], want_lo[a]) << when;
            EXPECT_EQ(hi[a], want_hi[a]) << when;
        }
    };
    expect_union("built");
    // The disabled instance moved far off counts only once enabled.
    float far[12];
    std::memcpy(far, layout.instances[3].transform, sizeof far);
    far[3] += 1000.0f;
    ASSERT_EQ(scene.set_transform(3, far), GFX_WIDE_INSTANCE_DONE);
    expect_union("disabled moved");
    ASSERT_TRUE(scene.bounds(lo, hi));
    EXPECT_LT(hi[0], 900.0f);
    ASSERT_EQ(scene.set_enabled(3, true), GFX_WIDE_INSTANCE_DONE);
    layout.instances[3].enabled = true;
    expect_union("enabled");
    ASSERT_TRUE(scene.bounds(lo, hi));
    EXPECT_GT(hi[0], 900.0f);
}

// The scene of layout against its brute force, every query, with rays and
// packets of the seed.
void expect_layout_exact(const SceneLayout& layout, unsigned int seed) {
    gfxRTWideScene scene;
    build_scene(layout, scene, 1);
    ASSERT_EQ(scene.instance_count(), layout.instances.size());
    const WideRays rays = scene_rays(layout, 600, seed);
    expect_scene_oracle(scene, layout, rays, scene_packets(layout, rays, seed),
                        std::to_string(layout.instances.size()) + " instances");
}

// Instances stretched beyond float's range along x among ordinary ones:
// their world boxes are unbounded on both sides there, and the top level
// must still hold each of them once.
TEST(WideSceneBounds, InstancesBeyondFloatRangeEqualTheBruteForce) {
    std::mt19937 rng(29);
    for (unsigned int count : {2u, 3u, 5u, 8u, 13u}) {
        SceneLayout layout;
        layout.meshes.push_back(large_triangles());
        for (unsigned int i = 0; i < count; ++i) {
            SceneLayout::Placement p{0, {}};
            random_transform(rng, 10.0f, p.transform);
            if (i % 2 == 0) { // x scaled by 2e38: the mesh spans x in [-2, 2.6]
                p.transform[0] = 2e38f;
                p.transform[1] = p.transform[2] = p.transform[4] = p.transform[8] = 0.0f;
            }
            layout.instances.push_back(p);
        }
        expect_layout_exact(layout, count);
    }
}

// Instances shrunk to 1e-30 and flattened along one world axis to near
// float's least normal scale: their slop overflows to infinity while a
// ray's squared reach of the scene underflows, and the product of the two
// must widen the instance's box without bound, not cull it.
TEST(WideSceneBounds, InstancesAtFloatsLeastScaleEqualTheBruteForce) {
    std::mt19937 rng(31);
    for (unsigned int count : {1u, 4u}) {
        SceneLayout layout;
        layout.meshes.push_back(large_triangles());
        for (unsigned int i = 0; i < count; ++i) {
            SceneLayout::Placement p{0, {}};
            random_transform(rng, 3.0f, p.transform);
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 4; ++c)
                    p.transform[4 * r + c] *= r == 2 ? 1.2e-38f : 1e-30f;
            layout.instances.push_back(p);
        }
        expect_layout_exact(layout, count);
    }
}

// Camera packets whose lanes share their signs in the world but not once an
// instance turned a quarter about y carries them: the lanes' directions
// straddle the world's plane x = z, which is the instance's plane x = 0.
// Bounds of their inverse directions would not hold all of their box tests.
TEST(WideScenePackets, CameraPacketsWhoseSignsPartInAnInstanceEqualTheBruteForce) {
    SceneLayout layout;
    zrv::scenes::Mesh shapes;
    shapes.append(zrv::scenes::uv_sphere({0, 0, 0}, 1.0f, 24, 12));
    shapes.append(zrv::scenes::box_grid({-1, -1, -1}, 4, 4, 4, 0.3f, 0.55f));
    layout.meshes.push_back(shapes.finalize());
    const float c = std::sqrt(0.5f);
    layout.instances.push_back({0, {c, 0, c, 0, 0, 1, 0, 0, -c, 0, c, 0}});
    std::mt19937 rng(31);
    std::uniform_real_distribution<float> inside(-1.2f, 1.2f), slope(0.05f, 1.0f),
        spread(0.005f, 0.08f);
    WideRays lanes; // four to a packet, from one origin
    for (int i = 0; i < 1500; ++i) {
        const float along = rng() % 2 ? 1.0f : -1.0f, up = rng() % 2 ? slope(rng) : -slope(rng);
        const float e = spread(rng), part[4] = {e, -e, 0.5f * e, -0.5f * e};
        float o[3];
        for (float& x : o)
            x = inside(rng);
        for (float p : part) {
            const float d[3] = {along * (1.0f + p), up, along * (1.0f - p)};
            lanes.add(o, d, 1e30f);
        }
    }
    gfxRTWideScene scene;
    build_scene(layout, scene, 1);
    expect_scene_oracle(scene, layout, scene_rays(layout, 200, 32), packets_of(lanes),
                        "turned instance");
}

// One camera group whose packets meet different depths: instance A, near
// and small, is hit by one packet only; B is hit far away by every other
// packet, but a triangle set aside starts its box before C, which lies
// between. The top level visits A, then B, then C, so a packet whose cull
// were taken from another packet's nearer hits would skip C and keep B's
// far hit.
TEST(WideScenePackets, EachPacketOfAGroupCullsByItsOwnHits) {
    zrv::scenes::Mesh square, stretched;
    square.add_quad({-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0});
    stretched.add_quad({-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0});
    stretched.add_triangle({-1, -1, -0.8f}, {-0.9f, -1, -0.8f}, {-1, -0.9f, -0.8f});
    SceneLayout layout;
    layout.meshes = {square.finalize(), stretched.finalize()};
    layout.instances.push_back({0, {0.005f, 0, 0, 0.01f, 0, 0.005f, 0, 0.01f, 0, 0, 1, 1}}); // A
    layout.instances.push_back({1, {5, 0, 0, 0, 0, 5, 0, 0, 0, 0, 10, 10}});                 // B
    layout.instances.push_back({0, {0.1f, 0, 0, 0.2f, 0, 0.1f, 0, 0.05f, 0, 0, 1, 5}});      // C
    WideRays lanes;
    const float origin[3] = {0, 0, 0};
    for (int near = 0; near < 4; ++near)
        for (int p = 0; p < 4; ++p)
            for (int l = 0; l < 4; ++l) {
                const float e = (l & 1 ? 0.001f : -0.001f), f = (l & 2 ? 0.001f : -0.001f);
                const float x = p == near ? 0.01f : 0.04f + 0.002f * float(p);
                const float d[3] = {x + e, 0.01f + f, 1.0f};
                lanes.add(origin, d, 1e30f);
            }
    gfxRTWideScene scene;
    build_scene(layout, scene, 1);
    gfxRTWideSceneHit hit; // ray 4, the first lane of the second packet, ends on C
    ASSERT_TRUE(scene.intersect1(origin, &lanes.directions[3 * 4], 1e30f, hit));
    EXPECT_EQ(hit.instance, 2);
    EXPECT_NEAR(hit.t, 5.0f, 0.1f);
    expect_scene_oracle(scene, layout, lanes, packets_of(lanes), "packets at different depths");
}

} // namespace
