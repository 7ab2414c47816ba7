// KD-tree test helpers: the node array, and the brute-force reference.
#ifndef ZRV_TEST_KDTREE_UTIL_H
#define ZRV_TEST_KDTREE_UTIL_H

#include "PacketTestUtil.h"
#include "gfxRTKDTree.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

class InspectableKDTree : public gfxRTKDTree {
public:
    explicit InspectableKDTree(unsigned int threads = 1) : gfxRTKDTree(threads) {}

    // The node at offset: its word 0, and its word 1 as a plane.
    std::uint32_t word0(unsigned int offset) const { return at<std::uint32_t>(offset); }
    float split_position(unsigned int offset) const { return at<float>(offset + 4); }
    const unsigned char* node_array() const { return get_node_array_byte(); }
    unsigned int next_free_node() const { return get_next_free_node(); }
    unsigned int next_free_object() const { return get_next_free_object(); }
    unsigned int object_array_size() const { return get_object_array_size(); }
    unsigned int depth_limit_for(unsigned int n) const { return compute_tree_depth(n); }
    // Pretends the tree has fewer nodes, so that traversal's stack check trips.
    void understate_node_count(unsigned int count) { number_of_nodes_ = count; }

private:
    template <typename T> T at(unsigned int offset) const {
        T value;
        std::memcpy(&value, get_node_array_byte() + offset, sizeof value);
        return value;
    }
};

// The triangle test over every triangle (shadow mode skips non-casters).
void brute_force_trace(const std::vector<triAccel>& triangles, const RayPacket& rays,
                       const RenderState& state, HitPacket& hits);

// One call when the active lanes share direction signs, else one per lane.
void host_trace(const gfxRTKDTree& tree, const RayPacket& rays, const RenderState& state,
                HitPacket& hits, float max_distance = 1e30f);

// Counts the active lanes whose t bits differ, or whose ids differ but for a
// tie of two hits at the very same t.
int count_disagreements(const RayPacket& rays, const HitPacket& tree_hits,
                        const HitPacket& reference_hits, std::string* first_report = nullptr);

#endif // ZRV_TEST_KDTREE_UTIL_H
