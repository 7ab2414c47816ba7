// Built KD-trees pinned byte for byte: digests of the nodes, leaf objects and
// statistics of serial and compiled builds, taken before the build's rework.
#include "KDTreeTestUtil.h"
#include "OracleScenes.h"
#include "gfxRTAccelerationStructureServices.h"
#include "zrvScenes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

struct Digest { // 64-bit FNV-1a
    std::uint64_t value = 0xcbf29ce484222325ull;
    template <typename T> void add(const T* data, std::size_t count = 1) {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < count * sizeof(T); ++i)
            value = (value ^ bytes[i]) * 0x100000001b3ull;
    }
};

// Nodes, leaf objects as triangle indices, every statistic but the time.
std::uint64_t tree_digest(const InspectableKDTree& tree, const std::vector<triAccel>& triangles) {
    Digest d;
    const unsigned int nodes = tree.get_number_of_nodes(), objects = tree.next_free_object();
    d.add(&nodes);
    d.add(tree.node_array() + 8, 8 * std::size_t(nodes));
    d.add(&objects);
    for (unsigned int i = 0; i < objects; ++i) {
        const std::uint32_t index = std::uint32_t(tree.get_triAccel_array()[i] - triangles.data());
        d.add(&index);
    }
    const KDTreeStatistic& s = *tree.get_statistic();
    d.add(&s.number_of_empty_cells);
    d.add(&s.average_objects_per_cell);
    d.add(&s.max_objects_in_cell);
    d.add(&s.number_of_leaves);
    d.add(&s.tree_depth);
    d.add(&s.number_of_objects);
    d.add(&s.valid);
    return d.value;
}

struct GoldenScene {
    const char* name;
    std::vector<triAccel> (*make)();
    std::uint64_t serial;   // create_tree_from_triAccel_list
    std::uint64_t compiled; // CompileKDTree with two threads
};

const GoldenScene GOLDEN_SCENES[] = {
    {"spheres", ORACLE_SCENES[0].make, 0x9731269f0ea7b5e4ull, 0x3039d02e6de45f30ull},
    {"soup", ORACLE_SCENES[2].make, 0x6c2f9f79f29f73d9ull, 0x60d6a2ea365256a0ull},
    {"box_grid", ORACLE_SCENES[3].make, 0xb64e37b8f3ce8c04ull, 0xc790d9b816d48bf2ull},
    {"degenerate", ORACLE_SCENES[4].make, 0x34294efe3e66764aull, 0x380bab6bfb54d87eull},
    {"mesh_10k", [] { return zrv::scenes::benchmark_mesh(10000); }, 0x78092d7f91280ec4ull,
     0x133895788e6879ebull},
    {"mesh_100k", [] { return zrv::scenes::benchmark_mesh(100000); }, 0x948e611dff6bf011ull,
     0xcbe43eac93da783aull},
};

class KDTreeGolden : public ::testing::TestWithParam<GoldenScene> {};

TEST_P(KDTreeGolden, SerialAndCompiledBuildsAreUnchanged) {
    const std::vector<triAccel> triangles = GetParam().make();
    const unsigned int count = unsigned(triangles.size());
    InspectableKDTree serial, compiled(2);
    ASSERT_TRUE(serial.create_tree_from_triAccel_list(triangles.data(), count));
    EXPECT_EQ(tree_digest(serial, triangles), GetParam().serial);
    ASSERT_EQ(
        gfxRTAccelerationStructureServices::CompileKDTree(&compiled, 2, triangles.data(), count),
        0);
    EXPECT_EQ(tree_digest(compiled, triangles), GetParam().compiled);
}

INSTANTIATE_TEST_SUITE_P(Scenes, KDTreeGolden, ::testing::ValuesIn(GOLDEN_SCENES), SceneName());

} // namespace
