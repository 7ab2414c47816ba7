// The KD-tree report: statistics, the VRML97 split-plane fragment, and how it
// copes with unbuilt and corrupt trees.
#include "PacketTestUtil.h"
#include "TextJournal.h"
#include "gfxAlignedMemory.h"
#include "gfxRTKDTree.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Node {
    std::uint32_t word0;
    float word1; // split position, or the bit pattern of a leaf's count
};

Node inner(unsigned int own, unsigned int pair, unsigned int axis, float p) {
    return {pair - own + axis, p};
}

Node leaf(unsigned int first, unsigned int count) {
    float bits;
    std::memcpy(&bits, &count, 4);
    return {0x80000000u | first, bits};
}

// A tree whose nodes, box and statistics are set by hand.
class HandTree : public gfxRTKDTree {
public:
    HandTree() : gfxRTKDTree(1) {}

    // nodes[k] goes to offset 8 + 8k.
    void set_nodes(const std::vector<Node>& nodes, const KDTreeBBox& box) {
        gfx_aligned_free(node_array_);
        node_array_size_ = unsigned(8 + 8 * nodes.size());
        node_array_ = static_cast<unsigned char*>(gfx_aligned_malloc(node_array_size_, 32));
        std::memset(node_array_, 0, 8);
        for (size_t k = 0; k < nodes.size(); ++k) {
            std::memcpy(node_array_ + 8 + 8 * k, &nodes[k].word0, 4);
            std::memcpy(node_array_ + 12 + 8 * k, &nodes[k].word1, 4);
        }
        number_of_nodes_ = unsigned(nodes.size());
        scene_bbox_ = box;
    }
    KDTreeStatistic& statistic() { return statistic_; }
    void claim_node_count(unsigned int count) { number_of_nodes_ = count; }
    void planes_of(unsigned int offset, const KDTreeBBox* box, gfxJournal& journal,
                   int indent) const {
        unsigned int nodes = 0, planes = 0, depth = 0;
        debug_node(offset, nodes, box, planes, depth, journal, false, indent);
    }
};

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

std::string report(const gfxRTKDTree& tree, int indent, bool flag = false) {
    TextJournal journal;
    tree.debug(journal, flag, indent);
    return journal.text;
}

// Lines of text that start with `prefix` blanks followed by a non-blank.
std::vector<std::string> lines_indented_by(const std::string& text, size_t prefix) {
    std::vector<std::string> result;
    TextJournal j;
    j.text = text;
    for (const std::string& line : j.lines())
        if (line.size() > prefix && line.find_first_not_of(' ') == prefix)
            result.push_back(line.substr(prefix));
    return result;
}

// The coordIndex entries of a report written at indentation 0.
std::vector<std::string> index_lines_of(const std::string& text) {
    std::vector<std::string> result;
    for (const std::string& line : lines_indented_by(text, 18))
        if (line.size() > 3 && line.compare(line.size() - 3, 3, "-1,") == 0)
            result.push_back(line);
    return result;
}

// The fragment between the statistics and the planes, at indentation i.
std::string vrml_head(int i) {
    auto pad = [i](int k) { return std::string(i + 3 * k, ' '); };
    return pad(0) + "Insert planes into VRML file:\n" + pad(1) + "DEF KDTree Group { children [\n" +
           pad(2) + "Shape {\n" + pad(3) + "appearance Appearance {\n" + pad(4) +
           "material Material {\n" + pad(5) + "ambientIntensity 1.000000\n" + pad(5) +
           "diffuseColor     1.000000 0.000000 1.000000\n" + pad(5) +
           "specularColor    1.000000 0.000000 1.000000\n" + pad(5) + "shininess        0.0\n" +
           pad(5) + "transparency     0.500000 }\n" + pad(4) + "}\n" + pad(4) +
           "geometry IndexedFaceSet {\n" + pad(5) + "coord Coordinate {\n" + pad(6) + "point [\n";
}

std::string vrml_tail(int i, const std::string& coord_index_lines) {
    auto pad = [i](int k) { return std::string(i + 3 * k, ' '); };
    return pad(6) + "]\n" + pad(5) + "}\n" + pad(5) + "coordIndex [\n" + coord_index_lines +
           pad(5) + "]\n" + pad(5) + "convex TRUE\n" + pad(5) + "solid  FALSE\n" + pad(5) +
           "ccw    TRUE\n" + pad(4) + "}}]}\n" + pad(1) + "End of VRML code.\n";
}

// A triangle whose vertex bounds are [x0, x1] x [0, 1] x [0, 1].
triAccel slab(float x0, float x1, int id) {
    const float a[3] = {x0, 0, 0}, b[3] = {x1, 1, 0}, c[3] = {x0, 1, 1};
    return make_triangle(a, b, c, id);
}

TEST(KDTreeReport, BuiltTreeLineByLine) {
    // Split once on x at 3: leaves of two and one triangles.
    const std::vector<triAccel> tris = {slab(0, 1, 0), slab(2, 3, 1), slab(4, 5, 2)};
    gfxRTKDTree tree(1);
    ASSERT_TRUE(tree.create_tree_from_triAccel_list(tris.data(), 3));
    char seconds[64];
    std::snprintf(seconds, sizeof seconds, "%.6lf", tree.get_statistic()->compile_time_sec);

    const std::string corner = std::string(21, ' ');
    const std::string expected =
        std::string("Tree statistics:\n") +
        "   number of nodes: 3\n"
        "   number of empty cells: 0\n"
        "   number of leaves: 2\n"
        "   average objects per cell: 1.500000\n"
        "   max number of objects in cell: 2\n"
        "   compile time in sec: " +
        seconds +
        "\n"
        "   tree depth: 2\n\n" +
        vrml_head(0) + corner + "3.000000 0.000000 0.000000,\n" + corner +
        "3.000000 0.000000 1.000000,\n" + corner + "3.000000 1.000000 1.000000,\n" + corner +
        "3.000000 1.000000 0.000000,\n" + vrml_tail(0, std::string(18, ' ') + "0, 1, 2, 3, -1,\n");
    TextJournal expected_lines;
    expected_lines.text = expected;
    TextJournal journal;
    tree.debug(journal, false, 0);
    EXPECT_EQ(journal.lines(), expected_lines.lines());
    EXPECT_EQ(journal.text, expected);
    EXPECT_EQ(report(tree, 0, true), expected); // the flag changes nothing
}

// Root x at 0.5 over (0,0,0)-(1,2,3); its lower child splits y at 1.25, its
// upper child z at 2; four leaves.
HandTree& three_axis_tree(HandTree& tree) {
    tree.set_nodes({inner(8, 16, 0, 0.5f), inner(16, 32, 1, 1.25f), inner(24, 48, 2, 2.0f),
                    leaf(0, 1), leaf(1, 0), leaf(1, 3), leaf(4, 2)},
                   KDTreeBBox(0, 0, 0, 1, 2, 3));
    KDTreeStatistic& s = tree.statistic();
    s.number_of_empty_cells = 1;
    s.number_of_leaves = 4;
    s.average_objects_per_cell = 1.5;
    s.max_objects_in_cell = 3;
    s.compile_time_sec = 0.25;
    s.tree_depth = 3;
    return tree;
}

TEST(KDTreeReport, HandBuiltTreeAtAnIndentation) {
    HandTree tree;
    three_axis_tree(tree);
    const std::string c(2 + 21, ' '), k(2 + 18, ' ');
    const std::string expected =
        "  Tree statistics:\n"
        "     number of nodes: 7\n"
        "     number of empty cells: 1\n"
        "     number of leaves: 4\n"
        "     average objects per cell: 1.500000\n"
        "     max number of objects in cell: 3\n"
        "     compile time in sec: 0.250000\n"
        "     tree depth: 3\n\n" +
        vrml_head(2) +
        // root, x = 0.5 over the whole box
        c + "0.500000 0.000000 0.000000,\n" + c + "0.500000 0.000000 3.000000,\n" + c +
        "0.500000 2.000000 3.000000,\n" + c + "0.500000 2.000000 0.000000,\n" +
        // lower child, y = 1.25 over x in [0, 0.5]
        c + "0.000000 1.250000 0.000000,\n" + c + "0.000000 1.250000 3.000000,\n" + c +
        "0.500000 1.250000 3.000000,\n" + c + "0.500000 1.250000 0.000000,\n" +
        // upper child, z = 2 over x in [0.5, 1]
        c + "0.500000 0.000000 2.000000,\n" + c + "1.000000 0.000000 2.000000,\n" + c +
        "1.000000 2.000000 2.000000,\n" + c + "0.500000 2.000000 2.000000,\n" +
        vrml_tail(2, k + "0, 1, 2, 3, -1,\n" + k + "4, 5, 6, 7, -1,\n" + k + "8, 9, 10, 11, -1,\n");
    EXPECT_EQ(report(tree, 2), expected);
}

TEST(KDTreeReport, SingleSplitCornersPerAxis) {
    struct Case {
        unsigned int axis;
        float p;
        std::vector<std::string> corners;
    };
    const Case cases[] = {
        {0, 0.5f, {"0.50 0.00 0.00,", "0.50 0.00 3.00,", "0.50 2.00 3.00,", "0.50 2.00 0.00,"}},
        {1, 1.5f, {"0.00 1.50 0.00,", "0.00 1.50 3.00,", "1.00 1.50 3.00,", "1.00 1.50 0.00,"}},
        {2, 2.5f, {"0.00 0.00 2.50,", "1.00 0.00 2.50,", "1.00 2.00 2.50,", "0.00 2.00 2.50,"}},
    };
    for (const Case& c : cases) {
        HandTree tree;
        tree.set_nodes({inner(8, 16, c.axis, c.p), leaf(0, 1), leaf(1, 1)},
                       KDTreeBBox(0, 0, 0, 1, 2, 3));
        TextJournal journal;
        journal.set_precision(2); // corners follow the journal's format
        tree.debug(journal, false, 0);
        EXPECT_EQ(lines_indented_by(journal.text, 21), c.corners) << "axis " << c.axis;
        const std::vector<std::string> index_lines = {"0, 1, 2, 3, -1,"};
        EXPECT_EQ(index_lines_of(journal.text), index_lines) << "axis " << c.axis;
    }
    // With the default format, the first corner of the x split.
    HandTree tree;
    tree.set_nodes({inner(8, 16, 0, 0.5f), leaf(0, 1), leaf(1, 1)}, KDTreeBBox(0, 0, 0, 1, 2, 3));
    EXPECT_EQ(lines_indented_by(report(tree, 0), 21)[0], "0.500000 0.000000 0.000000,");
}

// A complete tree with `levels` levels of inner nodes in breadth-first order,
// splitting its cells in the middle along x, y, z in turn.
void complete_tree(HandTree& tree, unsigned int levels) {
    const unsigned int inner_count = (1u << levels) - 1;
    std::vector<Node> nodes;
    std::vector<KDTreeBBox> cells = {KDTreeBBox(0, 0, 0, 1, 1, 1)};
    for (unsigned int n = 0; n < inner_count; ++n) {
        unsigned int depth = 0;
        while ((2u << depth) - 1 <= n)
            ++depth;
        const unsigned int axis = depth % 3;
        const KDTreeBBox cell = cells[n];
        const float p = 0.5f * (cell.bbmin[axis] + cell.bbmax[axis]);
        nodes.push_back(inner(8 + 8 * n, 16 * (n + 1), axis, p));
        KDTreeBBox lower = cell, upper = cell;
        lower.bbmax[axis] = p;
        upper.bbmin[axis] = p;
        cells.push_back(lower);
        cells.push_back(upper);
    }
    for (unsigned int k = 0; k <= inner_count; ++k)
        nodes.push_back(leaf(k, 1));
    tree.set_nodes(nodes, KDTreeBBox(0, 0, 0, 1, 1, 1));
}

TEST(KDTreeReport, PlanesOnlyForTheFirstSevenLevels) {
    const struct { unsigned int levels, planes; } cases[] = {{1, 1}, {7, 127}, {8, 127}, {9, 127}};
    for (const auto& c : cases) {
        HandTree tree;
        complete_tree(tree, c.levels);
        const std::string text = report(tree, 0);
        EXPECT_EQ(text.find("Invalid"), std::string::npos) << c.levels;
        EXPECT_EQ(lines_indented_by(text, 21).size(), 4 * c.planes) << c.levels;
        const std::vector<std::string> index_lines = index_lines_of(text);
        ASSERT_EQ(index_lines.size(), c.planes) << c.levels;
        char last[64];
        std::snprintf(last, sizeof last, "%u, %u, %u, %u, -1,", 4 * c.planes - 4, 4 * c.planes - 3,
                      4 * c.planes - 2, 4 * c.planes - 1);
        EXPECT_EQ(index_lines.back(), last) << c.levels;
    }
    // Depth first, lower child first: the second plane halves the lower x
    // cell in y, the third halves its lower y cell in z.
    HandTree tree;
    complete_tree(tree, 8);
    const std::vector<std::string> corners = lines_indented_by(report(tree, 0), 21);
    EXPECT_EQ(corners[4], "0.000000 0.500000 0.000000,");
    EXPECT_EQ(corners[6], "0.500000 0.500000 1.000000,");
    EXPECT_EQ(corners[8], "0.000000 0.000000 0.500000,");
    EXPECT_EQ(corners[10], "0.500000 0.500000 0.500000,");
}

TEST(KDTreeReport, EmptyAndLeafOnlyTrees) {
    gfxRTKDTree unbuilt(1);
    EXPECT_EQ(report(unbuilt, 0), "");

    const std::vector<triAccel> tris = {slab(0, 1, 0), slab(2, 3, 1), slab(4, 5, 2)};
    gfxRTKDTree reset_tree(1);
    ASSERT_TRUE(reset_tree.create_tree_from_triAccel_list(tris.data(), 3));
    reset_tree.reset(0);
    EXPECT_EQ(report(reset_tree, 0), "");

    // A root leaf: the statistics, and a fragment without points or planes.
    gfxRTKDTree single(1);
    ASSERT_TRUE(single.create_tree_from_triAccel_list(tris.data(), 1));
    const std::string text = report(single, 0);
    EXPECT_NE(text.find("   number of nodes: 1\n"), std::string::npos);
    EXPECT_NE(text.find("   tree depth: 1\n\n"), std::string::npos);
    EXPECT_NE(text.find(std::string(18, ' ') + "point [\n" + std::string(18, ' ') + "]\n"),
              std::string::npos);
    EXPECT_NE(text.find(std::string(15, ' ') + "coordIndex [\n" + std::string(15, ' ') + "]\n"),
              std::string::npos);
}

TEST(KDTreeReport, CorruptTreesAndMissingCells) {
    // Four nodes claimed for seven: the fourth visit (node 40) and the fifth
    // (node 24) find the counter exceeded; the rest is still written.
    HandTree understated;
    three_axis_tree(understated).claim_node_count(2);
    std::string text = report(understated, 0);
    const std::string invalid = "Invalid node_counter\n";
    EXPECT_EQ(occurrences(text, invalid), 2u);
    EXPECT_EQ(lines_indented_by(text, 21).size(), 8u); // planes of nodes 8 and 16
    EXPECT_NE(text.find("   End of VRML code.\n"), std::string::npos);

    // A children pair beyond the node array: the root's plane, then both
    // children are refused.
    HandTree outside;
    outside.set_nodes({inner(8, 64, 0, 0.5f), leaf(0, 1), leaf(1, 1)},
                      KDTreeBBox(0, 0, 0, 1, 1, 1));
    text = report(outside, 0);
    EXPECT_EQ(lines_indented_by(text, 21).size(), 4u);
    EXPECT_NE(text.find(std::string(21, ' ') + "0.500000 1.000000 0.000000,\n" + invalid + invalid +
                        std::string(18, ' ') + "]\n"),
              std::string::npos)
        << text;

    // A missing cell is reported at the corners' indentation.
    HandTree tree;
    three_axis_tree(tree);
    TextJournal journal;
    tree.planes_of(8, nullptr, journal, 5);
    EXPECT_EQ(journal.text, "     bbox is NULL\n");
}

} // namespace
