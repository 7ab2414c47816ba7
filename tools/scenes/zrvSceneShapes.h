// Procedural shapes as triangle lists (ids 0..n-1, filled as described in
// zrvSceneMesh.h). The y axis points up. Closed shapes have their front
// sides ((v1 - v0) x (v2 - v0)) facing outwards, surfaces facing up.
// Neighbouring triangles share bit-identical vertices, so meshes are
// watertight. Equal arguments give bit-identical lists.
#ifndef ZRV_SCENE_SHAPES_H
#define ZRV_SCENE_SHAPES_H

#include "zrvSceneMesh.h"

#include <cstdint>
#include <vector>

namespace zrv {
namespace scenes {

// Latitude-longitude sphere: `segments` (at least 3) around the y axis and
// `rings` (at least 2) bands from pole to pole, fans at the poles.
// 2 * segments * (rings - 1) triangles.
std::vector<triAccel> uv_sphere(const Vec3& center, float radius, unsigned int segments,
                                unsigned int rings);

// Torus around the y axis: tube of minor_radius around a circle of
// major_radius in the plane y = center.y. 2 * major_segments * minor_segments
// triangles (each count at least 3).
std::vector<triAccel> torus(const Vec3& center, float major_radius, float minor_radius,
                            unsigned int major_segments, unsigned int minor_segments);

// Tube of tube_radius around the (p, q) torus knot
//   c(t) = radius / 2 * ((2 + cos q t) cos p t, (2 + cos q t) sin p t, sin q t),
// t in [0, 2 pi), which lies in |x|, |y| <= 1.5 radius, |z| <= 0.5 radius.
// 2 * segments_along * segments_around triangles (each count at least 3).
std::vector<triAccel> torus_knot(const Vec3& center, float radius, float tube_radius,
                                 unsigned int p, unsigned int q, unsigned int segments_along,
                                 unsigned int segments_around);

// Square of size x size in the plane y = center.y, split into n x n quads
// (n at least 1): 2 n^2 triangles facing +y.
std::vector<triAccel> ground_grid(const Vec3& center, float size, unsigned int n);

// Height field over a size x size square around center: fractal (fBm) value
// noise of amplitude up to `height` above or below center.y, sampled on
// (n + 1)^2 points (n at least 1). 2 n^2 triangles facing up.
std::vector<triAccel> fractal_terrain(const Vec3& center, float size, float height, unsigned int n,
                                      std::uint64_t seed);

// nx * ny * nz axis-aligned cubes of edge box_size; cube (i, j, k) has its
// minimum corner at origin + spacing * (i, j, k). 12 triangles per cube,
// cube after cube, faces in the order -x, +x, -y, +y, -z, +z. Equal rows of
// cubes share their face planes, which makes many coplanar triangles.
std::vector<triAccel> box_grid(const Vec3& origin, unsigned int nx, unsigned int ny,
                               unsigned int nz, float box_size, float spacing);

// `count` triangles with vertices inside `box` and no edge longer than
// max_edge_length: a first corner uniform in the box, the other two within
// max_edge_length / 2 of it (clamped into the box).
std::vector<triAccel> random_triangle_soup(unsigned int count, const Bounds& box,
                                           float max_edge_length, std::uint64_t seed);

// A lumpy closed surface like a scanned organic model: an icosahedron
// subdivided `subdivisions` times (20 * 4^subdivisions triangles), pushed
// out and in by a few random smooth lobes, its vertices jittered along the
// surface so that triangle sizes and shapes vary as in a real scan.
std::vector<triAccel> organic_blob(const Vec3& center, float radius, unsigned int subdivisions,
                                   std::uint64_t seed);

// Triangles per group of degenerate_scene().
const unsigned int DEGENERATE_GROUP_SIZE = 10;

// Groups of DEGENERATE_GROUP_SIZE triangles at random grid-aligned places in
// [-50, 50]^3, each holding, in this order: a normal triangle A; a single
// point (three equal vertices); vertex0 == vertex1; vertex1 == vertex2;
// three distinct collinear vertices; an exact duplicate of A; A with its
// vertices rotated; a triangle in a plane z = const; a sliver of length 4 whose
// apex lies two float steps off its base line; a normal triangle sharing an edge with A.
std::vector<triAccel> degenerate_scene(unsigned int groups, std::uint64_t seed);

} // namespace scenes
} // namespace zrv

#endif // ZRV_SCENE_SHAPES_H
