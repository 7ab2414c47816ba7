// The KD-tree report's VRML fragment, under a VRML97 header, is read by a real
// VRML parser (Coin3D's, where it is installed).
#include "TextJournal.h"
#include "gfxRTKDTree.h"
#include "zrvSceneShapes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifdef ZRV_HAVE_COIN
#include <Inventor/SoDB.h>
#include <Inventor/SoInput.h>
#include <Inventor/VRMLnodes/SoVRMLCoordinate.h>
#include <Inventor/VRMLnodes/SoVRMLGroup.h>
#include <Inventor/VRMLnodes/SoVRMLIndexedFaceSet.h>
#include <Inventor/VRMLnodes/SoVRMLShape.h>
#include <Inventor/errors/SoReadError.h>
#include <Inventor/nodes/SoSeparator.h>

namespace {

struct Parsed {
    bool accepted = false;
    int read_errors = 0; // complaints of the reader, even when it went on
    int points = -1, indices = -1;
};

// Reads text and counts the points and coordIndex entries of
// DEF KDTree Group { children [ Shape { geometry IndexedFaceSet { ... } } ] }.
Parsed parse_vrml(const std::string& text) {
    SoDB::init();
    Parsed result;
    SoReadError::setHandlerCallback(
        [](const SoError*, void* count) { ++*static_cast<int*>(count); }, &result.read_errors);
    SoInput input;
    input.setBuffer(text.data(), text.size());
    SoSeparator* root = SoDB::readAll(&input);
    if (root == nullptr)
        return result;
    root->ref();
    result.accepted = true;
    auto* group = dynamic_cast<SoVRMLGroup*>(SoNode::getByName("KDTree"));
    auto* shape = group != nullptr && group->getNumChildren() == 1
                      ? dynamic_cast<SoVRMLShape*>(group->getChild(0))
                      : nullptr;
    auto* faces = shape ? dynamic_cast<SoVRMLIndexedFaceSet*>(shape->geometry.getValue()) : nullptr;
    auto* coordinate = faces ? dynamic_cast<SoVRMLCoordinate*>(faces->coord.getValue()) : nullptr;
    if (coordinate != nullptr) {
        result.indices = faces->coordIndex.getNum();
        result.points = coordinate->point.getNum();
    }
    root->unref();
    return result;
}

TEST(KDTreeVRML, FragmentIsAcceptedByAVRMLParser) {
    const std::vector<triAccel> tris = zrv::scenes::torus({0, 0, 0}, 1, 0.3f, 24, 12);
    gfxRTKDTree tree(1);
    ASSERT_TRUE(tree.create_tree_from_triAccel_list(tris.data(), unsigned(tris.size())));
    TextJournal journal;
    tree.debug(journal, false, 0);
    // The lines from "DEF KDTree" up to the line before "End of VRML code.".
    const std::string& text = journal.text;
    const size_t begin = text.find("DEF KDTree"), end = text.find("End of VRML code.");
    ASSERT_LT(begin, end);
    ASSERT_NE(end, std::string::npos);
    const std::string vrml =
        "#VRML V2.0 utf8\n" + text.substr(begin, text.rfind('\n', end) + 1 - begin);
    int planes = 0;
    for (size_t at = vrml.find("-1,"); at != std::string::npos; at = vrml.find("-1,", at + 1))
        ++planes;
    ASSERT_GT(planes, 8);

    const Parsed parsed = parse_vrml(vrml);
    EXPECT_TRUE(parsed.accepted);
    EXPECT_EQ(parsed.read_errors, 0);
    EXPECT_EQ(parsed.points, 4 * planes);
    EXPECT_EQ(parsed.indices, 5 * planes);
    // The parser does reject a damaged fragment.
    const Parsed damaged = parse_vrml(vrml.substr(0, vrml.rfind("}}]}")));
    EXPECT_FALSE(damaged.accepted);
    EXPECT_GT(damaged.read_errors, 0);
    SoDB::finish(); // releases the reader's own globals
}

} // namespace
#else
TEST(KDTreeVRML, FragmentIsAcceptedByAVRMLParser) {
    GTEST_SKIP() << "Coin3D (Debian package libcoin-dev) is not installed: no VRML parser";
}
#endif
