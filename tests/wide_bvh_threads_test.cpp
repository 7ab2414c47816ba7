// The wide BVH on several threads: builds on 1 to 64 workers give the same
// tree, and any number of threads query one tree at once.
#include "AllocationFaults.h"
#include "RecordingStream.h"
#include "WideOracleCheck.h"

#include "gfxRTWideBVH.h"
#include "zrvSceneMesh.h"
#include "zrvScenes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <thread>

namespace {

WideRays random_rays(const std::vector<triAccel>& tris, int count, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-2.0f, 2.0f);
    std::uniform_int_distribution<std::size_t> pick(0, tris.size() - 1);
    WideRays rays;
    for (int i = 0; i < count; ++i) {
        const float o[3] = {u(rng), u(rng), u(rng)};
        const triAccel& t = tris[pick(rng)];
        const float d[3] = {t.vertex0[0] - o[0], t.vertex0[1] - o[1] + 0.01f * u(rng),
                            t.vertex0[2] - o[2]};
        rays.add(o, d, std::numeric_limits<float>::infinity());
    }
    return rays;
}

TEST(WideBVHThreads, EveryWorkerCountBuildsTheSameTree) {
    // Large enough for the builder to hand subtrees to its pool.
    const std::vector<triAccel> tris = zrv::scenes::benchmark_mesh(60000);
    const WideRays rays = random_rays(tris, 20000, 1);
    gfxRTWideBVH serial;
    ASSERT_TRUE(serial.build(tris.data(), unsigned(tris.size()), 1));
    const std::vector<std::string> expected = tree_answers(serial).batch(rays, 1);
    for (unsigned int threads : {2u, 4u, 64u, 1000u}) {
        gfxRTWideBVH tree;
        ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), threads));
        const gfxRTWideBVHStatistics a = serial.statistics(), b = tree.statistics();
        EXPECT_EQ(a.nodes, b.nodes);
        EXPECT_EQ(a.leaves, b.leaves);
        EXPECT_EQ(a.blocks, b.blocks);
        EXPECT_EQ(a.depth, b.depth);
        expect_texts(tree_answers(tree).batch(rays, threads), expected,
                     std::to_string(threads) + " threads");
    }
}

// A refit on a pool of workers (the mesh large enough for one) gives the
// tree a refit on one thread gives: the same saved values, whatever the
// number of workers.
TEST(WideBVHThreads, EveryWorkerCountRefitsTheSameTree) {
    const std::vector<triAccel> tris = zrv::scenes::benchmark_mesh(270000);
    std::vector<triAccel> moved = tris;
    for (triAccel& t : moved) {
        for (float* v : {t.vertex0, t.vertex1, t.vertex2}) {
            v[1] += 0.2f * std::sin(3.0f * v[0]);
            v[2] *= 1.5f;
        }
        zrv::scenes::compute_normal(t);
    }
    std::string serial;
    for (unsigned int threads : {1u, 2u, 64u}) {
        gfxRTWideBVH tree;
        ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), threads));
        ASSERT_TRUE(tree.refit(moved.data(), unsigned(moved.size()), threads));
        std::string saved;
        for (const StreamItem& item : streamed_items(tree))
            saved += describe(item) + " ";
        if (threads == 1)
            serial = saved;
        EXPECT_TRUE(saved == serial) << threads << " threads";
    }
}

// Trees built at once, the small ones side by side on the workers and the
// large one on all of them (on eight threads, with fewer small meshes than
// workers, each on all of them), are those build() makes one at a time: the
// same saved values. A failed build, or no memory, leaves every tree empty.
TEST(WideBVHThreads, BuildEachMakesTheTreesBuildMakes) {
    std::vector<std::vector<triAccel>> meshes;
    for (std::size_t n : {3000u, 100u, 70000u, 18u, 20000u, 5000u, 900u})
        meshes.push_back(zrv::scenes::benchmark_mesh(n));
    meshes.insert(meshes.begin() + 2, std::vector<triAccel>()); // an empty mesh
    const unsigned int count = unsigned(meshes.size());
    std::vector<const triAccel*> triangles;
    std::vector<unsigned int> counts;
    for (const std::vector<triAccel>& mesh : meshes) {
        triangles.push_back(mesh.data());
        counts.push_back(unsigned(mesh.size()));
    }
    std::vector<std::vector<StreamItem>> expected(count);
    for (unsigned int j = 0; j < count; ++j) {
        gfxRTWideBVH one;
        ASSERT_TRUE(one.build(triangles[j], counts[j], 1));
        RecordingWriter writer;
        ASSERT_TRUE(one.stream(writer));
        expected[j] = writer.items;
    }
    for (unsigned int threads : {1u, 2u, 4u, 8u}) {
        std::vector<gfxRTWideBVH> trees(count);
        ASSERT_TRUE(gfxRTWideBVH::build_each(trees.data(), triangles.data(), counts.data(), count,
                                             threads));
        for (unsigned int j = 0; j < count; ++j) {
            RecordingWriter writer;
            ASSERT_TRUE(trees[j].stream(writer));
            EXPECT_TRUE(writer.items == expected[j])
                << "mesh " << j << ", " << threads << " threads";
        }
        // A mesh that cannot be built (no records for its count) fails them all.
        const triAccel* const missing = triangles[5];
        triangles[5] = nullptr;
        EXPECT_FALSE(gfxRTWideBVH::build_each(trees.data(), triangles.data(), counts.data(), count,
                                              threads));
        triangles[5] = missing;
        for (const gfxRTWideBVH& tree : trees)
            EXPECT_EQ(tree.memory_bytes(), 0u);
    }
    EXPECT_TRUE(gfxRTWideBVH::build_each(nullptr, nullptr, nullptr, 0, 2));
    EXPECT_FALSE(gfxRTWideBVH::build_each(nullptr, triangles.data(), counts.data(), count, 2));
    int failures = 0;
    for (int skip = 0;; skip += 7) {
        AllocationFaultRule rule;
        rule.skip = skip;
        std::vector<gfxRTWideBVH> trees(count);
        bool built;
        int injected;
        {
            AllocationFaults faults(rule);
            built =
                gfxRTWideBVH::build_each(trees.data(), triangles.data(), counts.data(), count, 2);
            injected = faults.injected();
        }
        if (injected == 0) {
            ASSERT_TRUE(built);
            break;
        }
        ++failures;
        if (!built) {
            for (const gfxRTWideBVH& tree : trees)
                ASSERT_EQ(tree.memory_bytes(), 0u) << "failure " << skip;
        }
    }
    EXPECT_GT(failures, 3);
}

// A tree larger than the caches, whose batches and packets interleave their
// rays, queried from four threads at once: every call gives what intersect1
// and occluded1 (one ray at a time) give. Then batches that pass over runs of
// rays that can hit nothing (zero direction, no reach) and rays cut short, so
// that their interleaved rays finish unevenly and start at any time.
TEST(WideBVHThreads, InterleavedQueriesOnALargeTreeEqualOneRayAtATime) {
    const std::vector<triAccel> tris = zrv::scenes::benchmark_mesh(300000);
    gfxRTWideBVH tree;
    ASSERT_TRUE(tree.build(tris.data(), unsigned(tris.size()), 2));
    ASSERT_GT(tree.memory_bytes(), std::size_t(16) << 20);
    const WideRays rays = random_rays(tris, 8000, 2);
    const std::vector<std::string> expected =
        answers_of(one_ray_at_a_time(tree_answers(tree)), rays, 1);
    std::vector<int> index(rays.size()), occluded(rays.size());
    for (unsigned int i = 0; i < rays.size(); ++i) {
        gfxRTWideHit hit;
        tree.intersect1(&rays.origins[3 * i], &rays.directions[3 * i], rays.limits[i], hit);
        index[i] = hit.index;
        occluded[i] = tree.occluded1(&rays.origins[3 * i], &rays.directions[3 * i], rays.limits[i]);
    }
    const std::vector<RayPacket> packets = packets_of(rays);
    std::vector<int> ok(4, 0);
    std::vector<std::thread> threads;
    for (int k = 0; k < 4; ++k) {
        threads.emplace_back([&, k] {
            bool good = tree_answers(tree).batch(rays, k % 2 ? 2 : 1) == expected;
            for (std::size_t p = std::size_t(k); p < packets.size(); p += 4) {
                RayPacket rp = packets[p];
                HitPacket h{_mm_set1_ps(1e30f), _mm_setzero_ps(), _mm_setzero_ps(),
                            _mm_set1_epi32(-1)};
                __m128i lanes;
                tree.intersect4(rp, h, lanes, RenderState{0, 0}, 1e30f);
                alignas(16) int got[4];
                _mm_store_si128(reinterpret_cast<__m128i*>(got), lanes);
                const int blocked = tree.occluded4(rp, _mm_set1_ps(1e30f));
                for (std::size_t l = 0; l < 4; ++l)
                    good = good && got[l] == index[4 * p + l] &&
                           ((blocked >> l) & 1) == occluded[4 * p + l];
            }
            ok[std::size_t(k)] = good ? 1 : 0;
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(ok, std::vector<int>(4, 1));

    const WideRays random = random_rays(tris, 4000, 3);
    WideRays some;
    const float zero[3] = {0.0f, 0.0f, 0.0f};
    for (unsigned int i = 0; i < random.size(); ++i) {
        const float* const d = i % 97 < 20 ? zero : &random.directions[3 * i];
        const float limit = i % 89 < 17 ? 0.0f : i % 3 == 0 ? 0.5f : random.limits[i];
        some.add(&random.origins[3 * i], d, limit);
    }
    const std::vector<std::string> want =
        answers_of(one_ray_at_a_time(tree_answers(tree)), some, 1);
    const long misses = std::count_if(want.begin(), want.end(), [](const std::string& a) {
        return a.rfind("index -1 ", 0) == 0;
    });
    EXPECT_GT(misses, 1000); // the rays that cannot hit
    EXPECT_LT(misses, 3000);
    for (unsigned int threads : {1u, 2u})
        expect_texts(tree_answers(tree).batch(some, threads), want, "rays that cannot hit");
}

} // namespace
