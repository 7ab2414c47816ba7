// The BVH whose objects are the host's triangles.
#include "gfxRTBVH.h"

#include "gfxRTHotPaths.h"
#include "gfxStream.h"

#include <typeinfo>

gfxRTBVH_triAccel::gfxRTBVH_triAccel(const triAccel* triangles, unsigned int count)
    : triangle_array_(triangles), number_of_triangles_(count) {}

gfxRTBVH_triAccel::~gfxRTBVH_triAccel() {
    triangle_array_ = nullptr;
    number_of_triangles_ = 0;
}

unsigned int gfxRTBVH_triAccel::get_number_of_objects() const {
    return number_of_triangles_;
}

void gfxRTBVH_triAccel::get_object_bbox(unsigned int object, __m128& bbmin, __m128& bbmax) const {
    if (triangle_array_ == nullptr || object >= number_of_triangles_)
        return;
    const triAccel& t = triangle_array_[object];
    const __m128 v0 = _mm_set_ps(0.0f, t.vertex0[2], t.vertex0[1], t.vertex0[0]);
    const __m128 v1 = _mm_set_ps(0.0f, t.vertex1[2], t.vertex1[1], t.vertex1[0]);
    const __m128 v2 = _mm_set_ps(0.0f, t.vertex2[2], t.vertex2[1], t.vertex2[0]);
    bbmin = _mm_min_ps(_mm_min_ps(v0, v1), v2);
    bbmax = _mm_max_ps(_mm_max_ps(v0, v1), v2);
}

float gfxRTBVH_triAccel::get_object_intersection_cost(unsigned int object) const {
    return object < number_of_triangles_ ? 1.0f : 0.0f;
}

void gfxRTBVH_triAccel::test_object_hit(unsigned int object, int lane_mask, RayPacket& ray,
                                        HitPacket& hit, const RenderState& state, float) const {
    if (triangle_array_ == nullptr || object >= number_of_triangles_)
        return;
    const triAccel& t = triangle_array_[object];
    if (state.shadow_rays && t.casts_shadow == 0)
        return;
    gfx_detail::hot_paths().triangle_test(t, ray, unsigned(lane_mask), state, hit);
}

void gfxRTBVH_triAccel::traverse_tree(RayPacket& ray, HitPacket& hit, __m128i& hit_object,
                                      const RenderState& state, float max_distance) const {
    // A derived class may test its objects otherwise: only this class's own
    // test is inlined into the traversal.
    if (node_array_ == nullptr || object_order_ == nullptr || !traversable_ ||
        triangle_array_ == nullptr || typeid(*this) != typeid(gfxRTBVH_triAccel)) {
        gfxRTBVH::traverse_tree(ray, hit, hit_object, state, max_distance);
        return;
    }
    gfx_detail::hot_paths().bvh_traverse_triangles(node_array_, object_order_, triangle_array_,
                                                   number_of_triangles_, ray, hit, hit_object,
                                                   state, max_distance);
}

bool gfxRTBVH_triAccel::stream(gfxStreamWriter& writer) const {
    // The hierarchy is checked first, so that a refused tree writes nothing.
    if (!order_covers_objects())
        return false;
    writer.write_string(PlxUnicodeString("BEGIN:gfxRTBVH_triAccel"));
    writer.write_string(PlxUnicodeString("version=1"));
    gfxRTBVH::stream(writer);
    writer.write_uint(number_of_triangles_);
    writer.write_string(PlxUnicodeString("END:gfxRTBVH_triAccel"));
    return true;
}

bool gfxRTBVH_triAccel::unstream(gfxStreamReader& reader) {
    if (triangle_array_ == nullptr)
        return false;
    if (reader.read_string() != "BEGIN:gfxRTBVH_triAccel")
        return false;
    if (reader.read_string() != "version=1")
        return false;
    if (!gfxRTBVH::unstream(reader))
        return false;
    number_of_triangles_ = reader.read_uint();
    // The hierarchy and the count read stay, but are not traversed.
    traversable_ = !(reader.read_string() != "END:gfxRTBVH_triAccel");
    return traversable_;
}
