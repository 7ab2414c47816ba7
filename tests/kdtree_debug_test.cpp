// The KD-tree report: exact text, depth limit, unbuilt and corrupt trees.
#include "RecordingStream.h"
#include "TextJournal.h"
#include "gfxAlignedMemory.h"
#include "gfxRTKDTree.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Node {
    std::uint32_t word0;
    float split; // the report does not read a leaf's second word
};
const Node LEAF = {0x80000000u, 0.0f};
// The inner node at offset own, splitting axis at p, children at pair and pair + 8.
Node inner(unsigned int own, unsigned int pair, unsigned int axis, float p) {
    return {pair - own + axis, p};
}

// A tree whose nodes (nodes[k] at offset 8 + 8k), box and statistics are set by hand.
class HandTree : public gfxRTKDTree {
public:
    HandTree(const std::vector<Node>& nodes, const KDTreeBBox& box) : gfxRTKDTree(1) {
        node_array_size_ = unsigned(8 + 8 * nodes.size());
        node_array_ = static_cast<unsigned char*>(gfx_aligned_malloc(node_array_size_, 32));
        std::memset(node_array_, 0, node_array_size_);
        for (size_t k = 0; k < nodes.size(); ++k)
            std::memcpy(node_array_ + 8 + 8 * k, &nodes[k], 8);
        number_of_nodes_ = unsigned(nodes.size());
        scene_bbox_ = box;
    }
    using gfxRTKDTree::debug_node;
    using gfxRTKDTree::number_of_nodes_;
    using gfxRTKDTree::statistic_;
};

// Root x at 0.5 over (0,0,0)-(1,2,3); its lower child splits y at 1.25, its
// upper child z at 2; four leaves.
HandTree three_axis_tree() {
    return HandTree({inner(8, 16, 0, 0.5f), inner(16, 32, 1, 1.25f), inner(24, 48, 2, 2.0f), LEAF,
                     LEAF, LEAF, LEAF},
                    KDTreeBBox(0, 0, 0, 1, 2, 3));
}

std::string report(const gfxRTKDTree& tree, int indent, bool verbose = false) {
    TextJournal journal;
    tree.debug(journal, verbose, indent);
    return journal.text;
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST(KDTreeReport, ExactTextAtAnIndentation) {
    HandTree tree = three_axis_tree();
    KDTreeStatistic& s = tree.statistic_;
    s.number_of_empty_cells = 1;
    s.number_of_leaves = 4;
    s.average_objects_per_cell = 1.5;
    s.max_objects_in_cell = 3;
    s.compile_time_sec = 0.25;
    s.tree_depth = 3;
    auto at = [](int level) { return std::string(2 + 3 * level, ' '); };
    const std::string expected =
        at(0) + "Tree statistics:\n" + at(1) + "number of nodes: 7\n" + at(1) +
        "number of empty cells: 1\n" + at(1) + "number of leaves: 4\n" + at(1) +
        "average objects per cell: 1.500000\n" + at(1) + "max number of objects in cell: 3\n" +
        at(1) + "compile time in sec: 0.250000\n" + at(1) + "tree depth: 3\n\n" + at(0) +
        "Insert planes into VRML file:\n" + at(1) + "DEF KDTree Group { children [\n" + at(2) +
        "Shape {\n" + at(3) + "appearance Appearance {\n" + at(4) + "material Material {\n" +
        at(5) + "ambientIntensity 1.000000\n" + at(5) +
        "diffuseColor     1.000000 0.000000 1.000000\n" + at(5) +
        "specularColor    1.000000 0.000000 1.000000\n" + at(5) + "shininess        0.0\n" + at(5) +
        "transparency     0.500000 }\n" + at(4) + "}\n" + at(4) + "geometry IndexedFaceSet {\n" +
        at(5) + "coord Coordinate {\n" + at(6) + "point [\n" +
        // root: x = 0.5 over the box; lower child: y = 1.25 over x in [0, 0.5];
        // upper child: z = 2 over x in [0.5, 1]
        at(7) + "0.500000 0.000000 0.000000,\n" + at(7) + "0.500000 0.000000 3.000000,\n" + at(7) +
        "0.500000 2.000000 3.000000,\n" + at(7) + "0.500000 2.000000 0.000000,\n" + at(7) +
        "0.000000 1.250000 0.000000,\n" + at(7) + "0.000000 1.250000 3.000000,\n" + at(7) +
        "0.500000 1.250000 3.000000,\n" + at(7) + "0.500000 1.250000 0.000000,\n" + at(7) +
        "0.500000 0.000000 2.000000,\n" + at(7) + "1.000000 0.000000 2.000000,\n" + at(7) +
        "1.000000 2.000000 2.000000,\n" + at(7) + "0.500000 2.000000 2.000000,\n" + at(6) + "]\n" +
        at(5) + "}\n" + at(5) + "coordIndex [\n" + at(6) + "0, 1, 2, 3, -1,\n" + at(6) +
        "4, 5, 6, 7, -1,\n" + at(6) + "8, 9, 10, 11, -1,\n" + at(5) + "]\n" + at(5) +
        "convex TRUE\n" + at(5) + "solid  FALSE\n" + at(5) + "ccw    TRUE\n" + at(4) + "}}]}\n" +
        at(1) + "End of VRML code.\n";
    EXPECT_EQ(report(tree, 2), expected);
    EXPECT_EQ(report(tree, 2, true), expected); // verbose changes nothing
}

// The stream of a chain of inner levels over the unit box: node 0 splits
// into nodes 1 and 2, each odd node into the next odd node and a leaf, the
// last inner node into two leaves (2 * levels + 1 nodes, one null entry).
std::vector<StreamItem> chain_stream(unsigned int levels) {
    std::vector<StreamItem> items = stream_items_from_text(
        "s:BEGIN:gfxRTKDTree s:version=1 u:" + std::to_string(16 * levels + 16) +
        " u:" + std::to_string(2 * levels + 1) +
        " u:0 u:1 s:BEGIN:KDTreeBBox f:0 f:0 f:0 f:1 f:1 f:1 s:END:KDTreeBBox "
        "s:BEGIN:KDTreeProperties u:2 u:9 f:0.2 f:0.5 d:1e9 d:0 s:END:KDTreeProperties "
        "s:BEGIN:KDTreeStatistic u:0 d:0 u:0 u:0 u:0 u:0 u:0 s:END:KDTreeStatistic");
    for (unsigned int k = 0; k <= 2 * levels; ++k) {
        const bool inner = k == 0 || (k % 2 == 1 && k + 3 <= 2 * levels);
        items.push_back(StreamItem::Uint(inner ? (k == 0 ? 8u : 16u) + k % 3 : LEAF.word0));
        items.push_back(inner ? StreamItem::Float(0.5f) : StreamItem::Uint(0));
    }
    items.insert(items.end(), {StreamItem::Int(-1), StreamItem::String("END:gfxRTKDTree")});
    return items;
}

TEST(KDTreeReport, DepthLimitCorruptTreesAndMissingCells) {
    // Eight complete levels, breadth first (node n at 8 + 8n, children at
    // 16(n + 1)): planes for the first seven only.
    std::vector<Node> nodes;
    for (unsigned int n = 0; n < 255; ++n)
        nodes.push_back(inner(8 + 8 * n, 16 * (n + 1), n % 3, 0.5f));
    nodes.resize(511, LEAF);
    const HandTree deep(nodes, KDTreeBBox(0, 0, 0, 1, 1, 1));
    // Two of seven nodes claimed: the visits of nodes 40 and 24 exceed the count.
    HandTree understated = three_axis_tree();
    understated.number_of_nodes_ = 2;
    // A children pair beyond the node array: both children are refused.
    const HandTree outside({inner(8, 64, 0, 0.5f), LEAF, LEAF}, KDTreeBBox(0, 0, 0, 1, 1, 1));
    // Chains read by the stream reader, which does not check depth: the report
    // follows 256 inner levels, refuses the next one, and a 200,001-node chain
    // does not overflow the stack (under ASan).
    const triAccel triangle = {};
    std::unique_ptr<gfxRTKDTree> chains[3];
    const unsigned int levels[3] = {256, 257, 100000};
    for (int i = 0; i < 3; ++i) {
        chains[i].reset(new gfxRTKDTree(1));
        chains[i]->set_first_triangle(&triangle);
        ReplayReader reader(chain_stream(levels[i]));
        ASSERT_TRUE(chains[i]->unstream(reader) && reader.faults().empty()) << levels[i];
    }
    const struct {
        const gfxRTKDTree& tree;
        size_t planes, refused;
    } cases[] = {{deep, 127, 0},     {understated, 2, 2}, {outside, 1, 2},
                 {*chains[0], 7, 0}, {*chains[1], 7, 1},  {*chains[2], 7, 1}};
    for (const auto& c : cases) {
        const std::string text = report(c.tree, 0);
        EXPECT_EQ(occurrences(text, "\nInvalid node_counter\n"), c.refused) << &c - cases;
        EXPECT_EQ(occurrences(text, ", -1,\n"), c.planes) << &c - cases;
        EXPECT_EQ(occurrences(text, ",\n"), 5 * c.planes) << &c - cases; // corners, index lines
        EXPECT_EQ(text.substr(text.size() - 21), "   End of VRML code.\n") << &c - cases;
    }
    EXPECT_EQ(report(gfxRTKDTree(1), 0), "");
    EXPECT_EQ(report(HandTree({}, KDTreeBBox(0, 0, 0, 1, 1, 1)), 0), "");
    // A missing cell is reported at the corners' indentation.
    TextJournal journal;
    unsigned int visits = 0, planes = 0, depth = 0;
    three_axis_tree().debug_node(8, visits, nullptr, planes, depth, journal, false, 5);
    EXPECT_EQ(journal.text, "     bbox is NULL\n");
}

} // namespace
