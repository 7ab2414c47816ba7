// BVH test helpers: a BVH over plain boxes whose hit test is scripted, a
// structural check of built trees, and crafting trees from node lists.
#ifndef ZRV_TEST_BVH_UTIL_H
#define ZRV_TEST_BVH_UTIL_H

#include "PacketTestUtil.h"
#include "RecordingStream.h"
#include "gfxJournal.h"
#include "gfxRTBVH.h"

#include <string>
#include <vector>

struct TestBox {
    float min[3];
    float max[3];
    float cost = 1.0f;
    // Distance at which every ray "hits" the object (test_object_hit lowers
    // a lane's t to it when it is nearer); negative: never hit.
    float hit_t = -1.0f;
};

// A BVH over scripted boxes. test_object_hit records each call.
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

// Every inner node's children paired, in range and at larger ids; leaves'
// ranges covering the order array exactly once; the order a permutation of
// the objects; 2 * leaves - 1 nodes. Empty when sound, else the first fault.
std::string bvh_structural_fault(const gfxRTBVH& tree);

// Brute force over every triangle whose own box the lane's ray passes by the
// library's slab test: what a BVH over exact triangle boxes finds, rounding
// of the slab test included (a ray through a box's edge may miss it).
void box_filtered_brute_force(const std::vector<triAccel>& triangles, const RayPacket& rays,
                              const RenderState& state, HitPacket& hits);

// Collects a dump's text.
class StringJournal : public gfxJournal {
public:
    void flush() override {}
    void write(const PlxUnicodeString& text) override { text_ += text.ConvertToChar(); }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

#endif // ZRV_TEST_BVH_UTIL_H
