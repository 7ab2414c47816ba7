// Reading VRML97 text with a real parser (Coin3D's, where it is installed).
#ifndef ZRV_TEST_VRML_READER_H
#define ZRV_TEST_VRML_READER_H

#include <string>

struct ParsedVRML {
    bool accepted = false;
    int read_errors = 0; // complaints of the reader, even when it went on
    // Of the IndexedFaceSet in DEF KDTree Group { children [ Shape { ... } ] }:
    int points = -1, indices = -1;
};

// False when no VRML parser was built in.
bool vrml_parser_available();
ParsedVRML parse_vrml(const std::string& text);
// Releases the parser's own globals (once, at the end of a test program).
void finish_vrml_parser();

#endif // ZRV_TEST_VRML_READER_H
