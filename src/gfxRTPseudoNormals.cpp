#include "gfxRTPseudoNormals.h"

#include "gfxRTWideBVHBuilder.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace {

// Per record: the face normal, the edges 01, 12 and 20, the vertices 0, 1
// and 2, as unit vectors in the order of gfxRTWideFeature (all zero for a
// record that takes no part).
const unsigned int kNormalsPerRecord = 7;
const unsigned int kFloatsPerRecord = 3 * kNormalsPerRecord;

struct Vector {
    double x, y, z;
};

Vector corner(const triAccel& t, int k) {
    const float* v = k == 0 ? t.vertex0 : k == 1 ? t.vertex1 : t.vertex2;
    return Vector{v[0], v[1], v[2]};
}
Vector minus(const Vector& a, const Vector& b) {
    return Vector{a.x - b.x, a.y - b.y, a.z - b.z};
}
Vector cross(const Vector& a, const Vector& b) {
    return Vector{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double dot(const Vector& a, const Vector& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
double length(const Vector& a) {
    return std::sqrt(dot(a, a));
}
Vector unit(const Vector& a) {
    const double l = length(a);
    return l > 0.0 ? Vector{a.x / l, a.y / l, a.z / l} : Vector{0.0, 0.0, 0.0};
}
void add_scaled(Vector& sum, const Vector& a, double weight) {
    sum.x += weight * a.x;
    sum.y += weight * a.y;
    sum.z += weight * a.z;
}
void store(float* out, const Vector& a) {
    const Vector u = unit(a);
    out[0] = float(u.x);
    out[1] = float(u.y);
    out[2] = float(u.z);
}

// A corner's coordinates as a key in which equal coordinates (-0 and +0
// included) weld, and the corner it came from (3 record + k).
struct CornerKey {
    std::uint32_t bits[3];
    unsigned int corner;
    bool operator<(const CornerKey& o) const {
        if (bits[0] != o.bits[0])
            return bits[0] < o.bits[0];
        if (bits[1] != o.bits[1])
            return bits[1] < o.bits[1];
        return bits[2] < o.bits[2];
    }
    bool same_place(const CornerKey& o) const {
        return bits[0] == o.bits[0] && bits[1] == o.bits[1] && bits[2] == o.bits[2];
    }
};

// An edge of a face between welded vertices: the lower vertex and the
// higher as the key, and whether the face runs from the higher to the lower.
struct EdgeKey {
    std::uint64_t vertices;
    unsigned int edge; // 3 record + e, e = 0 for 01, 1 for 12, 2 for 20
    bool reversed;
    bool operator<(const EdgeKey& o) const { return vertices < o.vertices; }
};

template <typename T> std::unique_ptr<T[]> allocate(std::size_t n) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[n]);
}

} // namespace

struct gfxRTPseudoNormals::Data {
    unsigned int count = 0;
    std::unique_ptr<float[]> normals; // kFloatsPerRecord per record
    bool closed = false;
};

gfxRTPseudoNormals::gfxRTPseudoNormals() : data_(nullptr) {}

gfxRTPseudoNormals::~gfxRTPseudoNormals() {
    clear();
}

void gfxRTPseudoNormals::clear() {
    delete data_;
    data_ = nullptr;
}

bool gfxRTPseudoNormals::build(const triAccel* triangles, unsigned int count) {
    clear();
    if (triangles == nullptr && count != 0)
        return false;
    std::unique_ptr<Data> data(new (std::nothrow) Data);
    const std::size_t corners = 3 * std::size_t(count);
    std::unique_ptr<float[]> normals = allocate<float>(std::size_t(count) * kFloatsPerRecord);
    std::unique_ptr<Vector[]> face = allocate<Vector>(count);
    std::unique_ptr<CornerKey[]> keys = allocate<CornerKey>(corners);
    std::unique_ptr<unsigned int[]> vertex_of = allocate<unsigned int>(corners);
    if (!data || ((!normals || !face || !keys || !vertex_of) && count != 0))
        return false;
    std::fill_n(normals.get(), std::size_t(count) * kFloatsPerRecord, 0.0f);

    // Weld the corners of the records that take part.
    std::size_t kept_corners = 0;
    for (unsigned int i = 0; i < count; ++i) {
        const triAccel& t = triangles[i];
        if (!gfx_detail::wide_triangle_is_valid(t)) {
            face[i] = Vector{0.0, 0.0, 0.0};
            continue;
        }
        face[i] = unit(cross(minus(corner(t, 1), corner(t, 0)), minus(corner(t, 2), corner(t, 0))));
        const float* v[3] = {t.vertex0, t.vertex1, t.vertex2};
        for (int k = 0; k < 3; ++k) {
            CornerKey& key = keys[kept_corners++];
            for (int a = 0; a < 3; ++a) {
                const float x = v[k][a] + 0.0f; // -0 becomes +0
                std::memcpy(&key.bits[a], &x, sizeof x);
            }
            key.corner = 3 * i + unsigned(k);
        }
    }
    std::sort(keys.get(), keys.get() + kept_corners);
    unsigned int vertices = 0;
    for (std::size_t c = 0; c < kept_corners; ++c) {
        if (c > 0 && !keys[c].same_place(keys[c - 1]))
            ++vertices;
        vertex_of[keys[c].corner] = vertices;
    }
    if (kept_corners > 0)
        ++vertices;
    keys.reset();

    // Vertex pseudo-normals: each face's normal weighted by its angle there.
    std::unique_ptr<Vector[]> vertex_sum = allocate<Vector>(vertices);
    const std::size_t edge_count = kept_corners;
    std::unique_ptr<EdgeKey[]> edges = allocate<EdgeKey>(edge_count);
    if ((!vertex_sum || !edges) && kept_corners != 0)
        return false;
    std::fill_n(vertex_sum.get(), vertices, Vector{0.0, 0.0, 0.0});
    std::size_t e = 0;
    for (unsigned int i = 0; i < count; ++i) {
        if (face[i].x == 0.0 && face[i].y == 0.0 && face[i].z == 0.0)
            continue;
        for (int k = 0; k < 3; ++k) {
            const Vector at = corner(triangles[i], k);
            const Vector to_next = minus(corner(triangles[i], (k + 1) % 3), at);
            const Vector to_prev = minus(corner(triangles[i], (k + 2) % 3), at);
            const double angle = std::atan2(length(cross(to_next, to_prev)), dot(to_next, to_prev));
            add_scaled(vertex_sum[vertex_of[3 * i + unsigned(k)]], face[i], angle);
            const unsigned int from = vertex_of[3 * i + unsigned(k)];
            const unsigned int to = vertex_of[3 * i + unsigned(k + 1) % 3];
            const unsigned int lo = std::min(from, to), hi = std::max(from, to);
            edges[e++] = EdgeKey{(std::uint64_t(lo) << 32) | hi, 3 * i + unsigned(k), from > to};
        }
    }
    std::sort(edges.get(), edges.get() + edge_count);

    // Edge pseudo-normals: the sum of the normals of the faces along the
    // edge. The mesh is closed when every edge has two, running opposite ways.
    bool closed = edge_count > 0;
    for (std::size_t first = 0; first < edge_count;) {
        std::size_t end = first + 1;
        while (end < edge_count && edges[end].vertices == edges[first].vertices)
            ++end;
        if (end - first != 2 || edges[first].reversed == edges[first + 1].reversed)
            closed = false;
        Vector sum{0.0, 0.0, 0.0};
        for (std::size_t k = first; k < end; ++k)
            add_scaled(sum, face[edges[k].edge / 3], 1.0);
        for (std::size_t k = first; k < end; ++k)
            store(&normals[std::size_t(edges[k].edge / 3) * kFloatsPerRecord + 3 +
                           3 * (edges[k].edge % 3)],
                  sum);
        first = end;
    }
    for (unsigned int i = 0; i < count; ++i) {
        if (face[i].x == 0.0 && face[i].y == 0.0 && face[i].z == 0.0)
            continue;
        float* const out = &normals[std::size_t(i) * kFloatsPerRecord];
        store(out, face[i]);
        for (int k = 0; k < 3; ++k)
            store(out + 12 + 3 * k, vertex_sum[vertex_of[3 * i + unsigned(k)]]);
    }

    data->count = count;
    data->normals = std::move(normals);
    data->closed = closed;
    data_ = data.release();
    return true;
}

float gfxRTPseudoNormals::side(const gfxRTWideClosestPoint& closest, const float point[3]) const {
    if (data_ == nullptr || closest.index < 0 || unsigned(closest.index) >= data_->count ||
        closest.feature < GFX_WIDE_FEATURE_FACE || closest.feature > GFX_WIDE_FEATURE_VERTEX2)
        return 0.0f;
    const float* const n =
        &data_->normals[std::size_t(closest.index) * kFloatsPerRecord + 3 * closest.feature];
    double s = 0.0;
    for (int a = 0; a < 3; ++a)
        s += (double(point[a]) - double(closest.point[a])) * double(n[a]);
    return float(s);
}

bool gfxRTPseudoNormals::closed() const {
    return data_ != nullptr && data_->closed;
}
