#include "VRMLReader.h"

#ifdef ZRV_HAVE_COIN
#include <Inventor/SoDB.h>
#include <Inventor/SoInput.h>
#include <Inventor/VRMLnodes/SoVRMLCoordinate.h>
#include <Inventor/VRMLnodes/SoVRMLGroup.h>
#include <Inventor/VRMLnodes/SoVRMLIndexedFaceSet.h>
#include <Inventor/VRMLnodes/SoVRMLShape.h>
#include <Inventor/errors/SoReadError.h>
#include <Inventor/nodes/SoSeparator.h>

// Reads text and counts the points and coordIndex entries of
// DEF KDTree Group { children [ Shape { geometry IndexedFaceSet { ... } } ] }.
ParsedVRML parse_vrml(const std::string& text) {
    SoDB::init();
    ParsedVRML result;
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

bool vrml_parser_available() {
    return true;
}

void finish_vrml_parser() {
    SoDB::finish();
}
#else
bool vrml_parser_available() {
    return false;
}

ParsedVRML parse_vrml(const std::string&) {
    return ParsedVRML();
}

void finish_vrml_parser() {}
#endif
