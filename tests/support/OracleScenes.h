// The generated scenes that traversal results are checked on: curved
// meshes, a random soup, coplanar boxes, degenerate triangles and an
// irregular organic surface.
#ifndef ZRV_TEST_ORACLE_SCENES_H
#define ZRV_TEST_ORACLE_SCENES_H

#include "gfxRayTracing.h"

#include <gtest/gtest.h>

#include <vector>

struct OracleScene {
    const char* name;
    std::vector<triAccel> (*make)();
};

extern const OracleScene ORACLE_SCENES[6];

// Names the instances of a suite parameterised by scenes after the scenes.
struct SceneName {
    template <typename Scene>
    std::string operator()(const ::testing::TestParamInfo<Scene>& info) const {
        return info.param.name;
    }
};

#endif // ZRV_TEST_ORACLE_SCENES_H
