// The KD-tree report's VRML fragment, wrapped in a VRML97 header, is read by
// a real VRML parser (Coin3D's, where it is installed).
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
#include <Inventor/VRMLnodes/SoVRMLShape.h>
#include <Inventor/errors/SoReadError.h>
#include <Inventor/VRMLnodes/SoVRMLIndexedFaceSet.h>
#include <Inventor/nodes/SoSeparator.h>
#endif

namespace {

// The lines of a report from "DEF KDTree" up to the line before "End of VRML code.".
std::string vrml_fragment(const std::string& report) {
    const size_t begin = report.find("DEF KDTree");
    const size_t end = report.find("End of VRML code.");
    if (begin == std::string::npos || end == std::string::npos)
        return std::string();
    return report.substr(begin, report.rfind('\n', end) + 1 - begin);
}

#ifdef ZRV_HAVE_COIN
struct Parsed {
    bool accepted = false;
    int read_errors = 0; // complaints of the reader, even when it went on
    int points = -1;
    int indices = -1;
};

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
    // DEF KDTree Group { children [ Shape { geometry IndexedFaceSet { coord ... } } ] }
    SoNode* group = SoNode::getByName("KDTree");
    SoNode* shape = nullptr;
    if (group != nullptr && group->isOfType(SoVRMLGroup::getClassTypeId()) &&
        static_cast<SoVRMLGroup*>(group)->getNumChildren() == 1)
        shape = static_cast<SoVRMLGroup*>(group)->getChild(0);
    SoNode* geometry = nullptr;
    if (shape != nullptr && shape->isOfType(SoVRMLShape::getClassTypeId()))
        geometry = static_cast<SoVRMLShape*>(shape)->geometry.getValue();
    if (geometry != nullptr && geometry->isOfType(SoVRMLIndexedFaceSet::getClassTypeId())) {
        auto* faces = static_cast<SoVRMLIndexedFaceSet*>(geometry);
        result.indices = faces->coordIndex.getNum();
        SoNode* coordinate = faces->coord.getValue();
        if (coordinate != nullptr && coordinate->isOfType(SoVRMLCoordinate::getClassTypeId()))
            result.points = static_cast<SoVRMLCoordinate*>(coordinate)->point.getNum();
    }
    root->unref();
    return result;
}
#endif

TEST(KDTreeVRML, FragmentIsAcceptedByAVRMLParser) {
#ifndef ZRV_HAVE_COIN
    GTEST_SKIP() << "Coin3D (Debian package libcoin-dev) is not installed: no VRML parser";
#else
    const std::vector<triAccel> tris = zrv::scenes::torus({0, 0, 0}, 1, 0.3f, 24, 12);
    gfxRTKDTree tree(1);
    ASSERT_TRUE(tree.create_tree_from_triAccel_list(tris.data(), unsigned(tris.size())));
    TextJournal journal;
    tree.debug(journal, false, 0);
    const std::string fragment = vrml_fragment(journal.text);
    ASSERT_FALSE(fragment.empty());
    int planes = 0;
    for (size_t at = fragment.find("-1,"); at != std::string::npos;
         at = fragment.find("-1,", at + 1))
        ++planes;
    ASSERT_GT(planes, 8);

    const std::string header = "#VRML V2.0 utf8\n";
    const Parsed parsed = parse_vrml(header + fragment);
    EXPECT_TRUE(parsed.accepted);
    EXPECT_EQ(parsed.read_errors, 0);
    EXPECT_EQ(parsed.points, 4 * planes);
    EXPECT_EQ(parsed.indices, 5 * planes);

    // The parser does reject a damaged fragment.
    const std::string cut = fragment.substr(0, fragment.rfind("}}]}"));
    const Parsed damaged = parse_vrml(header + cut);
    EXPECT_FALSE(damaged.accepted);
    EXPECT_GT(damaged.read_errors, 0);
    SoDB::finish(); // releases the reader's own globals
#endif
}

} // namespace
