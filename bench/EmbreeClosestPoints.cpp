#include "EmbreeClosestPoints.h"

#include "ChunkedWork.h"

#include <cmath>
#include <limits>

namespace zrv {
namespace bench {

namespace {

struct Vec {
    float x, y, z;
};

Vec operator-(const Vec& a, const Vec& b) {
    return Vec{a.x - b.x, a.y - b.y, a.z - b.z};
}
Vec operator+(const Vec& a, const Vec& b) {
    return Vec{a.x + b.x, a.y + b.y, a.z + b.z};
}
Vec operator*(float s, const Vec& a) {
    return Vec{s * a.x, s * a.y, s * a.z};
}
float dot(const Vec& a, const Vec& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

// The point of triangle abc nearest to p, by the Voronoi regions of its
// vertices and edges (Ericson, Real-Time Collision Detection, 5.1.5), as
// Embree's closest-point tutorial computes it.
Vec closest_point_on_triangle(const Vec& p, const Vec& a, const Vec& b, const Vec& c) {
    const Vec ab = b - a, ac = c - a, ap = p - a;
    const float d1 = dot(ab, ap), d2 = dot(ac, ap);
    if (d1 <= 0.0f && d2 <= 0.0f)
        return a;
    const Vec bp = p - b;
    const float d3 = dot(ab, bp), d4 = dot(ac, bp);
    if (d3 >= 0.0f && d4 <= d3)
        return b;
    const Vec cp = p - c;
    const float d5 = dot(ab, cp), d6 = dot(ac, cp);
    if (d6 >= 0.0f && d5 <= d6)
        return c;
    const float vc = d1 * d4 - d3 * d2;
    if (vc <= 0.0f && d1 >= 0.0f && d3 <= 0.0f)
        return a + (d1 / (d1 - d3)) * ab;
    const float vb = d5 * d2 - d1 * d6;
    if (vb <= 0.0f && d2 >= 0.0f && d6 <= 0.0f)
        return a + (d2 / (d2 - d6)) * ac;
    const float va = d3 * d6 - d5 * d4;
    if (va <= 0.0f && (d4 - d3) >= 0.0f && (d5 - d6) >= 0.0f)
        return b + ((d4 - d3) / ((d4 - d3) + (d5 - d6))) * (c - b);
    const float denom = 1.0f / (va + vb + vc);
    return a + (vb * denom) * ab + (vc * denom) * ac;
}

struct PointQueryState {
    const float* vertices;
    const unsigned int* indices;
    unsigned int triangle;
};

Vec vertex(const PointQueryState& state, unsigned int index) {
    const float* v = state.vertices + 3 * std::size_t(index);
    return Vec{v[0], v[1], v[2]};
}

// Shrinks the query's radius to each closer triangle, so that Embree visits
// only the boxes that may hold a closer one.
bool closer_triangle(RTCPointQueryFunctionArguments* args) {
    PointQueryState& state = *static_cast<PointQueryState*>(args->userPtr);
    const unsigned int* corners = state.indices + 3 * std::size_t(args->primID);
    const Vec q{args->query->x, args->query->y, args->query->z};
    const Vec nearest = closest_point_on_triangle(
        q, vertex(state, corners[0]), vertex(state, corners[1]), vertex(state, corners[2]));
    const Vec to = nearest - q;
    const float distance = std::sqrt(dot(to, to));
    if (distance < args->query->radius) {
        args->query->radius = distance;
        state.triangle = args->primID;
        return true;
    }
    if (distance == args->query->radius && args->primID < state.triangle)
        state.triangle = args->primID;
    return false;
}

} // namespace

void embree_closest_points(RTCScene scene, const EmbreeTriangleBuffers& buffers,
                           const PointArray& points, unsigned int threads, EmbreeClosest& closest) {
    const std::size_t count = points.size() / 3;
    closest.distance.resize(count);
    closest.triangle.resize(count);
    run_in_chunks(count, threads, [&](unsigned int, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            RTCPointQuery query;
            query.x = points[3 * i];
            query.y = points[3 * i + 1];
            query.z = points[3 * i + 2];
            query.time = 0.0f;
            query.radius = std::numeric_limits<float>::infinity();
            RTCPointQueryContext context;
            rtcInitPointQueryContext(&context);
            PointQueryState state{buffers.vertices.data(), buffers.indices.data(),
                                  RTC_INVALID_GEOMETRY_ID};
            rtcPointQuery(scene, &query, &context, closer_triangle, &state);
            closest.distance[i] = query.radius;
            closest.triangle[i] =
                state.triangle == RTC_INVALID_GEOMETRY_ID ? -1 : int(state.triangle);
        }
    });
}

} // namespace bench
} // namespace zrv
