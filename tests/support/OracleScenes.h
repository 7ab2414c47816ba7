// The generated scenes that traversal results are checked on: curved
// meshes, a random soup, coplanar boxes, degenerate triangles and an
// irregular organic surface.
#ifndef ZRV_TEST_ORACLE_SCENES_H
#define ZRV_TEST_ORACLE_SCENES_H

#include "gfxRayTracing.h"

#include <vector>

struct OracleScene {
    const char* name;
    std::vector<triAccel> (*make)();
};

extern const OracleScene ORACLE_SCENES[6];

#endif // ZRV_TEST_ORACLE_SCENES_H
