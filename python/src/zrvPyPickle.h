// A Scene's pickled state: its triangles and its saved tree as bytes. The
// tree is read back through the checked loaders, tied to the triangles by
// their hash as a saved file is, so unpickling never rebuilds a tree and a
// damaged state raises ValueError with the loader's reason.
//
// State: (token, version, triangles, tree), where triangles is one mesh's
// (corners float32 (n, 3, 3), face rows int32 (n,), dropped_non_finite,
// dropped_degenerate), or for instances a list of them, one per mesh.
#ifndef ZRV_PY_PICKLE_H
#define ZRV_PY_PICKLE_H

#include "zrvPyInstancedScene.h"
#include "zrvPyScene.h"

#include <pybind11/pybind11.h>

#include <memory>

namespace zrv {
namespace python {

pybind11::tuple scene_state(const Scene& scene, const TriangleRecords& counts);
pybind11::tuple instances_state(const InstancedScene& scene);

// What a state restores: one of the two scenes, with its meshes' counts.
struct RestoredScene {
    std::unique_ptr<Scene> scene;
    std::unique_ptr<InstancedScene> instances;
    TriangleRecords counts; // the one mesh's dropped faces (records left empty)
};
RestoredScene restore_state(const pybind11::tuple& state);

} // namespace python
} // namespace zrv

#endif // ZRV_PY_PICKLE_H
