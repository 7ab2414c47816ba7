#include "BenchMeshes.h"

#include "zrvScenes.h"

#include <map>
#include <memory>

namespace zrv {
namespace bench {

const std::vector<triAccel>& benchmark_mesh(std::size_t nominal) {
    // Meshes are made on first use; the benchmark thread is the only caller.
    static std::map<std::size_t, std::unique_ptr<std::vector<triAccel>>> meshes;
    std::unique_ptr<std::vector<triAccel>>& mesh = meshes[nominal];
    if (!mesh)
        mesh.reset(new std::vector<triAccel>(zrv::scenes::benchmark_mesh(nominal)));
    return *mesh;
}

std::string size_label(std::size_t nominal) {
    if (nominal % 1000000 == 0)
        return std::to_string(nominal / 1000000) + "M";
    if (nominal % 1000 == 0)
        return std::to_string(nominal / 1000) + "k";
    return std::to_string(nominal);
}

} // namespace bench
} // namespace zrv
