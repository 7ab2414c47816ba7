// BVH test helpers: a BVH over scripted boxes, structural checks, crafted
// trees.
#ifndef ZRV_TEST_BVH_UTIL_H
#define ZRV_TEST_BVH_UTIL_H

#include "PacketTestUtil.h"
#include "RecordingStream.h"
#include "gfxRTBVH.h"

#include <memory>
#include <string>
#include <vector>

struct TestBox {
    float min[3];
    float max[3];
    float cost = 1.0f;
    float hit_t = -1.0f; // where every ray hits the object; negative: never
};

// test_object_hit records each call.
class BoxBVH : public gfxRTBVH {
public:
    struct Call {
        unsigned int object;
        int lane_mask;
    };

    explicit BoxBVH(std::vector<TestBox> boxes) : boxes(std::move(boxes)) {}

    unsigned int get_number_of_objects() const override { return unsigned(boxes.size()); }
    void get_object_bbox(unsigned int object, __m128& bbmin, __m128& bbmax) const override;
    float get_object_intersection_cost(unsigned int object) const override {
        return boxes[object].cost;
    }
    void test_object_hit(unsigned int object, int lane_mask, RayPacket& ray, HitPacket& hit,
                         const RenderState& state, float max_distance) const override;

    bool check() const { return check_tree(); }

    std::vector<TestBox> boxes;
    mutable std::vector<Call> calls;
};

// Boxes of half-width w around the given centres on x (y and z in [0, 1]).
std::vector<TestBox> boxes_at(const std::vector<float>& centres_x, float w = 0.25f);

// The stream items of a gfxRTBVH record holding nodes and order.
std::vector<StreamItem> bvh_record(const std::vector<BVHNode>& nodes,
                                   const std::vector<int>& order);
BVHNode leaf_node(const float min[3], const float max[3], int first, int count);
BVHNode inner_node(const float min[3], const float max[3], int first_child, int axis, int first);

// Empty when children are paired at larger ids, leaves cover the order once,
// it permutes the objects and there are 2 * leaves - 1 nodes.
std::string bvh_structural_fault(const gfxRTBVH& tree);

// Empty when both trees match node by node from the root (not by id, which a
// parallel build hands out in task order) and in object order.
std::string bvh_shape_difference(const gfxRTBVH& a, const gfxRTBVH& b);

// The id lane 0 of a packet of ray finds in tree (-1: none).
int bvh_hit_id(const gfxRTBVH& tree, const Ray3& ray);

// Brute force over the triangles whose boxes the ray passes by the library's
// slab test, which may round a ray through a box's edge out.
void box_filtered_brute_force(const std::vector<triAccel>& triangles, const RayPacket& rays,
                              const RenderState& state, HitPacket& hits);

// The triangles dealt into parts (runs of the list or at random), one
// KD-tree per part, all under a gfxRTBVH_KDTree; triangle ids are kept.
struct TwoLevelScene {
    std::vector<std::vector<triAccel>> parts; // each KD-tree's triangles
    std::vector<int> part_of;                 // part of every triangle id
    std::unique_ptr<gfxRTBVH_KDTree> bvh;
};
TwoLevelScene make_two_level(const std::vector<triAccel>& triangles, unsigned int parts,
                             bool random_parts, unsigned int tracing_threads);

#endif // ZRV_TEST_BVH_UTIL_H
