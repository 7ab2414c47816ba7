#include "OracleScenes.h"

#include "zrvScenes.h"
#include "zrvSceneShapes.h"

namespace {

using zrv::scenes::Bounds;

std::vector<triAccel> spheres() {
    zrv::scenes::Mesh mesh;
    mesh.append(zrv::scenes::uv_sphere({0, 0, 0}, 1.0f, 48, 24));
    mesh.append(zrv::scenes::uv_sphere({1.5f, 0.2f, -0.3f}, 0.6f, 12, 6));
    mesh.append(zrv::scenes::uv_sphere({-1.2f, 0.9f, 0.4f}, 0.35f, 24, 12));
    return mesh.finalize();
}

std::vector<triAccel> tori() {
    zrv::scenes::Mesh mesh;
    mesh.append(zrv::scenes::torus({0, 0, 0}, 1.0f, 0.3f, 64, 24));
    mesh.append(zrv::scenes::torus({0.5f, 0.5f, 0}, 0.7f, 0.1f, 32, 8),
                zrv::scenes::Transform::rotation({1, 0, 0}, 1.2f));
    return mesh.finalize();
}

std::vector<triAccel> soup() {
    return zrv::scenes::random_triangle_soup(3000, Bounds{{-1, -1, -1}, {1, 1, 1}}, 0.4f, 7);
}

std::vector<triAccel> box_grid() {
    // Boxes touching their neighbours: shared face planes everywhere.
    return zrv::scenes::box_grid({-1, -1, -1}, 5, 5, 5, 0.4f, 0.4f);
}

std::vector<triAccel> degenerate() {
    zrv::scenes::Mesh mesh;
    mesh.append(zrv::scenes::degenerate_scene(150, 11));
    mesh.append(zrv::scenes::uv_sphere({0, 0, 0}, 0.5f, 16, 8));
    return mesh.finalize();
}

std::vector<triAccel> organic() {
    return zrv::scenes::organic_blob({0.3f, -0.2f, 0.1f}, 1.0f, 4, 23);
}

} // namespace

const OracleScene ORACLE_SCENES[6] = {
    {"spheres", spheres},       {"tori", tori},      {"soup", soup}, {"box_grid", box_grid},
    {"degenerate", degenerate}, {"organic", organic}};
