#include "zrvSceneShapes.h"

#include "zrvSceneRandom.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <utility>

namespace zrv {
namespace scenes {

namespace {

const double PI = 3.14159265358979323846;

struct Dvec {
    double x, y, z;
};

Dvec operator+(const Dvec& a, const Dvec& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Dvec operator-(const Dvec& a, const Dvec& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
Dvec operator*(double s, const Dvec& a) {
    return {s * a.x, s * a.y, s * a.z};
}
Dvec cross(const Dvec& a, const Dvec& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
Dvec normalized(const Dvec& a) {
    const double length = std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z);
    return (1.0 / length) * a;
}

Vec3 to_float(const Dvec& a) {
    return Vec3{float(a.x), float(a.y), float(a.z)};
}
Dvec to_double(const Vec3& a) {
    return Dvec{a.x, a.y, a.z};
}

// A closed tube or band sampled as rows x columns vertices, both directions
// wrapping around; quad (i, j) joins rows i, i+1 and columns j, j+1.
// Front sides face the way in which row-direction x column-direction points.
void add_wrapped_grid(Mesh& mesh, const std::vector<Vec3>& vertices, unsigned int rows,
                      unsigned int columns) {
    for (unsigned int i = 0; i < rows; ++i) {
        const unsigned int next_row = (i + 1) % rows;
        for (unsigned int j = 0; j < columns; ++j) {
            const unsigned int next_column = (j + 1) % columns;
            mesh.add_quad(vertices[i * columns + j], vertices[next_row * columns + j],
                          vertices[next_row * columns + next_column],
                          vertices[i * columns + next_column]);
        }
    }
}

// An open (n + 1) x (n + 1) vertex grid; vertex (i, j) at index i * (n + 1) + j
// with i along x and j along z. Front sides face +y when y is up.
void add_height_grid(Mesh& mesh, const std::vector<Vec3>& vertices, unsigned int n) {
    const unsigned int stride = n + 1;
    for (unsigned int i = 0; i < n; ++i)
        for (unsigned int j = 0; j < n; ++j)
            mesh.add_quad(vertices[i * stride + j], vertices[i * stride + j + 1],
                          vertices[(i + 1) * stride + j + 1], vertices[(i + 1) * stride + j]);
}

// Value noise in [-1, 1] on the integer lattice, smoothly interpolated.
double lattice_value(std::int64_t ix, std::int64_t iz, std::uint64_t seed) {
    const std::uint64_t key =
        mix64(seed ^ mix64(std::uint64_t(ix) * 0x9E3779B97F4A7C15ull + std::uint64_t(iz)));
    return double(key >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}

double value_noise(double x, double z, std::uint64_t seed) {
    const double fx = std::floor(x), fz = std::floor(z);
    const std::int64_t ix = std::int64_t(fx), iz = std::int64_t(fz);
    const double tx = x - fx, tz = z - fz;
    const double sx = tx * tx * (3.0 - 2.0 * tx), sz = tz * tz * (3.0 - 2.0 * tz);
    const double v00 = lattice_value(ix, iz, seed), v10 = lattice_value(ix + 1, iz, seed);
    const double v01 = lattice_value(ix, iz + 1, seed), v11 = lattice_value(ix + 1, iz + 1, seed);
    const double near_row = v00 + (v10 - v00) * sx, far_row = v01 + (v11 - v01) * sx;
    return near_row + (far_row - near_row) * sz;
}

// Fractal sum of octaves, normalised to [-1, 1].
double fbm(double x, double z, std::uint64_t seed) {
    const int octaves = 7;
    double sum = 0.0, amplitude = 1.0, total_amplitude = 0.0, frequency = 1.0;
    for (int octave = 0; octave < octaves; ++octave) {
        sum += amplitude * value_noise(x * frequency, z * frequency, seed + std::uint64_t(octave));
        total_amplitude += amplitude;
        amplitude *= 0.5;
        frequency *= 2.0;
    }
    return sum / total_amplitude;
}

// Multiples of 1/8 survive float arithmetic exactly, so degenerate cases
// built from them stay exactly degenerate.
double grid_coordinate(SplitMix64& random) {
    return double(random.below(801)) / 8.0 - 50.0;
}

} // namespace

std::vector<triAccel> uv_sphere(const Vec3& center, float radius, unsigned int segments,
                                unsigned int rings) {
    segments = std::max(segments, 3u);
    rings = std::max(rings, 2u);
    const Dvec c = to_double(center);
    const double r = radius;
    // Ring i = 1 .. rings-1 at polar angle pi * i / rings, segment j at
    // azimuth 2 pi j / segments, measured from +x towards +z.
    std::vector<Vec3> ring_vertices;
    ring_vertices.reserve(std::size_t(rings - 1) * segments);
    for (unsigned int i = 1; i < rings; ++i) {
        const double polar = PI * i / rings;
        const double ring_radius = r * std::sin(polar), height = r * std::cos(polar);
        for (unsigned int j = 0; j < segments; ++j) {
            const double azimuth = 2.0 * PI * j / segments;
            ring_vertices.push_back(to_float(c + Dvec{ring_radius * std::cos(azimuth), height,
                                                      ring_radius * std::sin(azimuth)}));
        }
    }
    const Vec3 north = to_float(c + Dvec{0.0, r, 0.0});
    const Vec3 south = to_float(c - Dvec{0.0, r, 0.0});
    auto at = [&](unsigned int ring, unsigned int segment) {
        return ring_vertices[std::size_t(ring - 1) * segments + segment % segments];
    };

    Mesh mesh;
    mesh.reserve(std::size_t(2) * segments * (rings - 1));
    for (unsigned int j = 0; j < segments; ++j)
        mesh.add_triangle(north, at(1, j + 1), at(1, j));
    for (unsigned int i = 1; i + 1 < rings; ++i)
        for (unsigned int j = 0; j < segments; ++j)
            mesh.add_quad(at(i, j), at(i, j + 1), at(i + 1, j + 1), at(i + 1, j));
    for (unsigned int j = 0; j < segments; ++j)
        mesh.add_triangle(south, at(rings - 1, j), at(rings - 1, j + 1));
    return mesh.finalize();
}

std::vector<triAccel> torus(const Vec3& center, float major_radius, float minor_radius,
                            unsigned int major_segments, unsigned int minor_segments) {
    major_segments = std::max(major_segments, 3u);
    minor_segments = std::max(minor_segments, 3u);
    const Dvec c = to_double(center);
    std::vector<Vec3> vertices;
    vertices.reserve(std::size_t(major_segments) * minor_segments);
    for (unsigned int i = 0; i < major_segments; ++i) {
        const double around_axis = 2.0 * PI * i / major_segments;
        const Dvec radial{std::cos(around_axis), 0.0, std::sin(around_axis)};
        for (unsigned int j = 0; j < minor_segments; ++j) {
            const double around_tube = 2.0 * PI * j / minor_segments;
            const double distance = major_radius + minor_radius * std::cos(around_tube);
            vertices.push_back(to_float(c + distance * radial +
                                        Dvec{0.0, minor_radius * std::sin(around_tube), 0.0}));
        }
    }
    Mesh mesh;
    mesh.reserve(std::size_t(2) * major_segments * minor_segments);
    // Rows run around the y axis from +x towards +z; columns running from the
    // outside over the top would make front sides face into the tube, so
    // they run the other way round.
    std::vector<Vec3> reversed(vertices.size());
    for (unsigned int i = 0; i < major_segments; ++i)
        for (unsigned int j = 0; j < minor_segments; ++j)
            reversed[std::size_t(i) * minor_segments + j] =
                vertices[std::size_t(i) * minor_segments + (minor_segments - j) % minor_segments];
    add_wrapped_grid(mesh, reversed, major_segments, minor_segments);
    return mesh.finalize();
}

std::vector<triAccel> torus_knot(const Vec3& center, float radius, float tube_radius,
                                 unsigned int p, unsigned int q, unsigned int segments_along,
                                 unsigned int segments_around) {
    segments_along = std::max(segments_along, 3u);
    segments_around = std::max(segments_around, 3u);
    const Dvec c = to_double(center);
    const double R = 0.5 * radius, P = p, Q = q;
    std::vector<double> cos_around(segments_around), sin_around(segments_around);
    for (unsigned int j = 0; j < segments_around; ++j) {
        const double angle = 2.0 * PI * j / segments_around;
        cos_around[j] = std::cos(angle);
        sin_around[j] = std::sin(angle);
    }
    std::vector<Vec3> vertices;
    vertices.reserve(std::size_t(segments_along) * segments_around);
    for (unsigned int i = 0; i < segments_along; ++i) {
        const double t = 2.0 * PI * i / segments_along;
        const double cp = std::cos(P * t), sp = std::sin(P * t);
        const double cq = std::cos(Q * t), sq = std::sin(Q * t);
        const Dvec point{R * (2.0 + cq) * cp, R * (2.0 + cq) * sp, R * sq};
        const Dvec tangent{R * (-Q * sq * cp - (2.0 + cq) * P * sp),
                           R * (-Q * sq * sp + (2.0 + cq) * P * cp), R * Q * cq};
        // Frame from the tangent and the direction away from the knot's
        // centre, which is never parallel to the tangent.
        const Dvec unit_tangent = normalized(tangent);
        const Dvec binormal = normalized(cross(unit_tangent, point));
        const Dvec normal = cross(binormal, unit_tangent);
        for (unsigned int j = 0; j < segments_around; ++j)
            vertices.push_back(to_float(
                c + point + tube_radius * (cos_around[j] * normal + sin_around[j] * binormal)));
    }
    Mesh mesh;
    mesh.reserve(std::size_t(2) * segments_along * segments_around);
    // Rows follow the tangent, columns turn from normal to binormal; tangent x
    // (binormal direction) = -normal, so swap the column order to face out.
    std::vector<Vec3> outward(vertices.size());
    for (unsigned int i = 0; i < segments_along; ++i)
        for (unsigned int j = 0; j < segments_around; ++j)
            outward[std::size_t(i) * segments_around + j] =
                vertices[std::size_t(i) * segments_around +
                         (segments_around - j) % segments_around];
    add_wrapped_grid(mesh, outward, segments_along, segments_around);
    return mesh.finalize();
}

std::vector<triAccel> ground_grid(const Vec3& center, float size, unsigned int n) {
    n = std::max(n, 1u);
    std::vector<Vec3> vertices;
    vertices.reserve(std::size_t(n + 1) * (n + 1));
    const double start_x = double(center.x) - 0.5 * size, start_z = double(center.z) - 0.5 * size;
    for (unsigned int i = 0; i <= n; ++i)
        for (unsigned int j = 0; j <= n; ++j)
            vertices.push_back(Vec3{float(start_x + double(size) * i / n), center.y,
                                    float(start_z + double(size) * j / n)});
    Mesh mesh;
    mesh.reserve(std::size_t(2) * n * n);
    add_height_grid(mesh, vertices, n);
    return mesh.finalize();
}

std::vector<triAccel> fractal_terrain(const Vec3& center, float size, float height, unsigned int n,
                                      std::uint64_t seed) {
    n = std::max(n, 1u);
    // About six lattice cells of the coarsest octave across the patch.
    const double features_across = 6.0;
    std::vector<Vec3> vertices;
    vertices.reserve(std::size_t(n + 1) * (n + 1));
    const double start_x = double(center.x) - 0.5 * size, start_z = double(center.z) - 0.5 * size;
    for (unsigned int i = 0; i <= n; ++i) {
        for (unsigned int j = 0; j <= n; ++j) {
            const double u = double(i) / n, w = double(j) / n;
            const double elevation = fbm(u * features_across, w * features_across, seed);
            vertices.push_back(Vec3{float(start_x + double(size) * u),
                                    float(double(center.y) + double(height) * elevation),
                                    float(start_z + double(size) * w)});
        }
    }
    Mesh mesh;
    mesh.reserve(std::size_t(2) * n * n);
    add_height_grid(mesh, vertices, n);
    return mesh.finalize();
}

std::vector<triAccel> box_grid(const Vec3& origin, unsigned int nx, unsigned int ny,
                               unsigned int nz, float box_size, float spacing) {
    Mesh mesh;
    mesh.reserve(std::size_t(12) * nx * ny * nz);
    for (unsigned int i = 0; i < nx; ++i) {
        for (unsigned int j = 0; j < ny; ++j) {
            for (unsigned int k = 0; k < nz; ++k) {
                const float x0 = float(double(origin.x) + double(spacing) * i);
                const float y0 = float(double(origin.y) + double(spacing) * j);
                const float z0 = float(double(origin.z) + double(spacing) * k);
                const float x1 = float(double(x0) + box_size);
                const float y1 = float(double(y0) + box_size);
                const float z1 = float(double(z0) + box_size);
                // Corners indexed by bits: 1 = max x, 2 = max y, 4 = max z.
                const Vec3 corner[8] = {{x0, y0, z0}, {x1, y0, z0}, {x0, y1, z0}, {x1, y1, z0},
                                        {x0, y0, z1}, {x1, y0, z1}, {x0, y1, z1}, {x1, y1, z1}};
                mesh.add_quad(corner[0], corner[4], corner[6], corner[2]); // -x
                mesh.add_quad(corner[1], corner[3], corner[7], corner[5]); // +x
                mesh.add_quad(corner[0], corner[1], corner[5], corner[4]); // -y
                mesh.add_quad(corner[2], corner[6], corner[7], corner[3]); // +y
                mesh.add_quad(corner[0], corner[2], corner[3], corner[1]); // -z
                mesh.add_quad(corner[4], corner[5], corner[7], corner[6]); // +z
            }
        }
    }
    return mesh.finalize();
}

std::vector<triAccel> random_triangle_soup(unsigned int count, const Bounds& box,
                                           float max_edge_length, std::uint64_t seed) {
    SplitMix64 random(seed);
    // Offsets within a cube of half-diagonal max_edge_length / 2 keep every
    // edge at most max_edge_length long; clamping into the box only shortens.
    const double half_side = 0.5 * max_edge_length / std::sqrt(3.0);
    auto clamp_into_box = [&box](double value, int axis) {
        return float(std::min(std::max(value, double(box.min[axis])), double(box.max[axis])));
    };
    Mesh mesh;
    mesh.reserve(count);
    for (unsigned int i = 0; i < count; ++i) {
        double first[3];
        for (int axis = 0; axis < 3; ++axis)
            first[axis] = random.uniform(box.min[axis], box.max[axis]);
        Vec3 corners[3];
        for (int corner = 0; corner < 3; ++corner) {
            float coordinates[3];
            for (int axis = 0; axis < 3; ++axis) {
                const double offset = corner == 0 ? 0.0 : random.uniform(-half_side, half_side);
                coordinates[axis] = clamp_into_box(first[axis] + offset, axis);
            }
            corners[corner] = Vec3{coordinates[0], coordinates[1], coordinates[2]};
        }
        mesh.add_triangle(corners[0], corners[1], corners[2]);
    }
    return mesh.finalize();
}

std::vector<triAccel> organic_blob(const Vec3& center, float radius, unsigned int subdivisions,
                                   std::uint64_t seed) {
    // The icosahedron: 12 vertices on the unit sphere, 20 outward faces.
    const double g = (1.0 + std::sqrt(5.0)) / 2.0;
    std::vector<Dvec> points = {{-1, g, 0}, {1, g, 0}, {-1, -g, 0}, {1, -g, 0},
                                {0, -1, g}, {0, 1, g}, {0, -1, -g}, {0, 1, -g},
                                {g, 0, -1}, {g, 0, 1}, {-g, 0, -1}, {-g, 0, 1}};
    for (Dvec& p : points)
        p = normalized(p);
    std::vector<unsigned int> faces = {0, 11, 5, 0, 5,  1,  0,  1,  7,  0,  7, 10, 0, 10, 11,
                                       1, 5,  9, 5, 11, 4,  11, 10, 2,  10, 7, 6,  7, 1,  8,
                                       3, 9,  4, 3, 4,  2,  3,  2,  6,  3,  6, 8,  3, 8,  9,
                                       4, 9,  5, 2, 4,  11, 6,  2,  10, 8,  6, 7,  9, 8,  1};
    // Each subdivision splits every face in four; shared edges share their
    // midpoint, so the surface stays closed.
    for (unsigned int level = 0; level < subdivisions; ++level) {
        std::map<std::pair<unsigned int, unsigned int>, unsigned int> midpoints;
        auto midpoint = [&](unsigned int a, unsigned int b) {
            const auto key = std::make_pair(std::min(a, b), std::max(a, b));
            const auto found = midpoints.find(key);
            if (found != midpoints.end())
                return found->second;
            points.push_back(normalized(0.5 * (points[a] + points[b])));
            return midpoints[key] = unsigned(points.size() - 1);
        };
        std::vector<unsigned int> finer;
        finer.reserve(faces.size() * 4);
        for (std::size_t f = 0; f < faces.size(); f += 3) {
            const unsigned int a = faces[f], b = faces[f + 1], c = faces[f + 2];
            const unsigned int ab = midpoint(a, b), bc = midpoint(b, c), ca = midpoint(c, a);
            const unsigned int split[12] = {a, ab, ca, b, bc, ab, c, ca, bc, ab, bc, ca};
            finer.insert(finer.end(), split, split + 12);
        }
        faces.swap(finer);
    }

    SplitMix64 random(seed);
    struct Lobe {
        Dvec direction;
        double height, sharpness;
    };
    std::vector<Lobe> lobes(9);
    for (Lobe& lobe : lobes) {
        lobe.direction =
            normalized(Dvec{random.uniform(-1, 1), random.uniform(-1, 1), random.uniform(-1, 1)});
        lobe.height = random.uniform(-0.25, 0.45);
        lobe.sharpness = random.uniform(2.0, 9.0);
    }
    // Jitter along the surface by up to a third of the finest edge length.
    const double jitter = 0.33 * 1.1 / double(1u << subdivisions);
    std::vector<Vec3> vertices;
    vertices.reserve(points.size());
    for (const Dvec& p : points) {
        const Dvec tangent = cross(p, std::fabs(p.y) < 0.9 ? Dvec{0, 1, 0} : Dvec{1, 0, 0});
        const Dvec t1 = normalized(tangent), t2 = cross(p, t1);
        const Dvec moved = normalized(p + random.uniform(-jitter, jitter) * t1 +
                                      random.uniform(-jitter, jitter) * t2);
        double r = 1.0;
        for (const Lobe& lobe : lobes) {
            const double cosine = moved.x * lobe.direction.x + moved.y * lobe.direction.y +
                                  moved.z * lobe.direction.z;
            r += lobe.height * std::exp(lobe.sharpness * (cosine - 1.0));
        }
        vertices.push_back(to_float(to_double(center) + (double(radius) * r) * moved));
    }
    Mesh mesh;
    mesh.reserve(faces.size() / 3);
    for (std::size_t f = 0; f < faces.size(); f += 3)
        mesh.add_triangle(vertices[faces[f]], vertices[faces[f + 1]], vertices[faces[f + 2]]);
    return mesh.finalize();
}

std::vector<triAccel> degenerate_scene(unsigned int groups, std::uint64_t seed) {
    SplitMix64 random(seed);
    Mesh mesh;
    mesh.reserve(std::size_t(DEGENERATE_GROUP_SIZE) * groups);
    for (unsigned int group = 0; group < groups; ++group) {
        const Vec3 base{float(grid_coordinate(random)), float(grid_coordinate(random)),
                        float(grid_coordinate(random))};
        auto at = [&base](float dx, float dy, float dz) {
            return Vec3{base.x + dx, base.y + dy, base.z + dz};
        };
        const Vec3 a0 = base, a1 = at(2.0f, 0.5f, 0.25f), a2 = at(0.5f, 1.5f, -0.75f);
        mesh.add_triangle(a0, a1, a2);
        mesh.add_triangle(a1, a1, a1);
        mesh.add_triangle(a0, a0, a2);
        mesh.add_triangle(a0, a2, a2);
        mesh.add_triangle(at(-1.0f, 0.5f, 2.0f), at(0.0f, 1.0f, 2.5f), at(2.0f, 2.0f, 3.5f));
        mesh.add_triangle(a0, a1, a2);
        mesh.add_triangle(a1, a2, a0);
        mesh.add_triangle(at(0.0f, 0.0f, 1.0f), at(1.5f, 0.25f, 1.0f), at(0.75f, 2.0f, 1.0f));
        const Vec3 sliver_start = at(0.0f, -1.0f, 0.0f), sliver_end = at(4.0f, -1.0f, 0.0f);
        Vec3 sliver_apex = at(2.0f, -1.0f, 0.0f);
        sliver_apex.y = std::nextafter(std::nextafter(sliver_apex.y, 1e30f), 1e30f);
        mesh.add_triangle(sliver_start, sliver_end, sliver_apex);
        mesh.add_triangle(a1, a0, at(1.0f, -1.5f, 0.5f));
    }
    return mesh.finalize();
}

} // namespace scenes
} // namespace zrv
