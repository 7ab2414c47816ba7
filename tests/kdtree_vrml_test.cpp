// The KD-tree report's VRML fragment, under a VRML97 header, is read by a real
// VRML parser (Coin3D's, where it is installed).
#include "TextJournal.h"
#include "VRMLReader.h"
#include "gfxRTKDTree.h"
#include "zrvSceneShapes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(KDTreeVRML, FragmentIsAcceptedByAVRMLParser) {
    if (!vrml_parser_available())
        GTEST_SKIP() << "Coin3D (Debian package libcoin-dev) is not installed: no VRML parser";
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

    const ParsedVRML parsed = parse_vrml(vrml);
    EXPECT_TRUE(parsed.accepted);
    EXPECT_EQ(parsed.read_errors, 0);
    EXPECT_EQ(parsed.points, 4 * planes);
    EXPECT_EQ(parsed.indices, 5 * planes);
    // The parser does reject a damaged fragment.
    const ParsedVRML damaged = parse_vrml(vrml.substr(0, vrml.rfind("}}]}")));
    EXPECT_FALSE(damaged.accepted);
    EXPECT_GT(damaged.read_errors, 0);
    finish_vrml_parser();
}

} // namespace
