// Built KD-trees pinned byte for byte: a digest of the node array, of the
// object array (as triangle indices) and of the statistics of serial and
// compiled builds of a few scenes. The digests were taken from the build
// before its sweep and list split were reworked for speed; any change to the
// tree a build makes changes them.
#include "KDTreeTestUtil.h"
#include "OracleScenes.h"
#include "gfxRTAccelerationStructureServices.h"
#include "zrvScenes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// 64-bit FNV-1a over bytes.
class Digest {
public:
    void add(const void* data, std::size_t size) {
        const unsigned char* bytes = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) {
            value_ ^= bytes[i];
            value_ *= 0x100000001b3ull;
        }
    }
    template <typename T> void add_value(T v) { add(&v, sizeof v); }
    std::uint64_t value() const { return value_; }

private:
    std::uint64_t value_ = 0xcbf29ce484222325ull;
};

// The digest of a built tree: nodes, leaf objects as indices into triangles,
// and every statistic but the build time.
std::uint64_t tree_digest(const InspectableKDTree& tree, const std::vector<triAccel>& triangles) {
    Digest d;
    d.add_value(tree.get_number_of_nodes());
    d.add(tree.node_array() + 8, 8 * std::size_t(tree.get_number_of_nodes()));
    const triAccel** objects = tree.get_triAccel_array();
    d.add_value(tree.next_free_object());
    for (unsigned int i = 0; i < tree.next_free_object(); ++i)
        d.add_value(std::uint32_t(objects[i] - triangles.data()));
    const KDTreeStatistic& s = *tree.get_statistic();
    d.add_value(s.number_of_empty_cells);
    d.add_value(s.average_objects_per_cell);
    d.add_value(s.max_objects_in_cell);
    d.add_value(s.number_of_leaves);
    d.add_value(s.tree_depth);
    d.add_value(s.number_of_objects);
    d.add_value(s.valid);
    return d.value();
}

std::string hex(std::uint64_t v) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%016llxull", static_cast<unsigned long long>(v));
    return text;
}

struct GoldenScene {
    const char* name;
    std::vector<triAccel> (*make)();
    std::uint64_t serial;   // create_tree_from_triAccel_list
    std::uint64_t compiled; // CompileKDTree with two threads
};

std::vector<triAccel> mesh_10k() {
    return zrv::scenes::benchmark_mesh(10000);
}
std::vector<triAccel> mesh_100k() {
    return zrv::scenes::benchmark_mesh(100000);
}

std::vector<triAccel> oracle_scene(const char* name) {
    for (const OracleScene& scene : ORACLE_SCENES)
        if (std::strcmp(scene.name, name) == 0)
            return scene.make();
    return {};
}
std::vector<triAccel> spheres() {
    return oracle_scene("spheres");
}
std::vector<triAccel> soup() {
    return oracle_scene("soup");
}
std::vector<triAccel> box_grid() {
    return oracle_scene("box_grid");
}
std::vector<triAccel> degenerate() {
    return oracle_scene("degenerate");
}

const GoldenScene GOLDEN_SCENES[] = {
    {"spheres", spheres, 0x9731269f0ea7b5e4ull, 0x3039d02e6de45f30ull},
    {"soup", soup, 0x6c2f9f79f29f73d9ull, 0x60d6a2ea365256a0ull},
    {"box_grid", box_grid, 0xb64e37b8f3ce8c04ull, 0xc790d9b816d48bf2ull},
    {"degenerate", degenerate, 0x34294efe3e66764aull, 0x380bab6bfb54d87eull},
    {"mesh_10k", mesh_10k, 0x78092d7f91280ec4ull, 0x133895788e6879ebull},
    {"mesh_100k", mesh_100k, 0x948e611dff6bf011ull, 0xcbe43eac93da783aull},
};

class KDTreeGolden : public ::testing::TestWithParam<GoldenScene> {};

TEST_P(KDTreeGolden, SerialBuildIsUnchanged) {
    const GoldenScene& scene = GetParam();
    const std::vector<triAccel> triangles = scene.make();
    InspectableKDTree tree;
    ASSERT_TRUE(tree.create_tree_from_triAccel_list(triangles.data(), unsigned(triangles.size())));
    EXPECT_EQ(hex(tree_digest(tree, triangles)), hex(scene.serial)) << scene.name;
}

TEST_P(KDTreeGolden, CompiledBuildIsUnchanged) {
    const GoldenScene& scene = GetParam();
    const std::vector<triAccel> triangles = scene.make();
    InspectableKDTree tree(2);
    ASSERT_EQ(gfxRTAccelerationStructureServices::CompileKDTree(&tree, 2, triangles.data(),
                                                                unsigned(triangles.size())),
              0);
    EXPECT_EQ(hex(tree_digest(tree, triangles)), hex(scene.compiled)) << scene.name;
}

INSTANTIATE_TEST_SUITE_P(Scenes, KDTreeGolden, ::testing::ValuesIn(GOLDEN_SCENES),
                         [](const ::testing::TestParamInfo<GoldenScene>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
