#include "zrvTriangleRecord.h"

namespace zrv {

namespace {

void store(const Vec3& v, float out[3]) {
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}

} // namespace

TriangleCheck make_triangle_record(const Vec3& v0, const Vec3& v1, const Vec3& v2, int triangle_id,
                                   unsigned int host_word, triAccel& record) {
    if (!is_finite(v0) || !is_finite(v1) || !is_finite(v2))
        return TriangleCheck::non_finite;
    const Vec3 n = cross(v1 - v0, v2 - v0);
    const float len = length(n);
    if (!(len > 0.0f) || !std::isfinite(len))
        return TriangleCheck::degenerate;
    const Vec3 unit = n * (1.0f / len);
    if (!is_finite(unit))
        return TriangleCheck::degenerate;
    store(v0, record.vertex0);
    store(v1, record.vertex1);
    store(v2, record.vertex2);
    store(unit, record.normal);
    record.triangle_id = triangle_id;
    record.backface_early_out = 0;
    record.host_word = host_word;
    record.casts_shadow = 1;
    return TriangleCheck::ok;
}

Vec3 geometric_normal(const triAccel& record) {
    const Vec3 v0(record.vertex0);
    const Vec3 n = cross(Vec3(record.vertex1) - v0, Vec3(record.vertex2) - v0);
    const float len = length(n);
    if (len > 0.0f)
        return n * (1.0f / len);
    const Vec3 stored(record.normal);
    const float stored_len = length(stored);
    return stored_len > 0.0f ? stored * (1.0f / stored_len) : Vec3(0.0f, 0.0f, 1.0f);
}

} // namespace zrv
