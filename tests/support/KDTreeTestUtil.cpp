#include "KDTreeTestUtil.h"

#include <cstring>
#include <sstream>

std::uint32_t InspectableKDTree::word0(unsigned int offset) const {
    std::uint32_t w;
    std::memcpy(&w, get_node_array_byte() + offset, 4);
    return w;
}

std::uint32_t InspectableKDTree::word1(unsigned int offset) const {
    std::uint32_t w;
    std::memcpy(&w, get_node_array_byte() + offset + 4, 4);
    return w;
}

float InspectableKDTree::split_position(unsigned int offset) const {
    float f;
    std::memcpy(&f, get_node_array_byte() + offset + 4, 4);
    return f;
}

std::string InspectableKDTree::structural_fault(const triAccel* triangles,
                                                unsigned int triangle_count) const {
    std::ostringstream fault;
    if (get_node_array_byte() == nullptr)
        return "no node array";
    const unsigned int end = 8 * get_number_of_nodes() + 8;
    std::vector<unsigned int> pending{8};
    unsigned int reached = 0;
    while (!pending.empty()) {
        const unsigned int node = pending.back();
        pending.pop_back();
        ++reached;
        if (node < 8 || node + 8 > end || node % 8 != 0) {
            fault << "node offset " << node << " outside [8, " << end << ")";
            return fault.str();
        }
        const std::uint32_t w = word0(node);
        if (w & 0x80000000u) {
            const unsigned int first = w & 0x7FFFFFFFu;
            const unsigned int count = word1(node);
            // A merged tree's leaves index up to the object array's capacity.
            if (std::uint64_t(first) + count > get_object_array_size()) {
                fault << "leaf at " << node << " lists objects past the object array";
                return fault.str();
            }
            for (unsigned int k = 0; k < count; ++k) {
                const triAccel* t = get_triAccel_array()[first + k];
                if (t < triangles || t >= triangles + triangle_count) {
                    fault << "leaf at " << node << " holds a pointer outside the triangles";
                    return fault.str();
                }
            }
        } else {
            if ((w & 3) == 3) {
                fault << "inner node at " << node << " has axis 3";
                return fault.str();
            }
            const unsigned int pair = node + (w & 0x7FFFFFFCu);
            if (pair % 16 != 0 || pair + 16 > end) {
                fault << "inner node at " << node << " points to pair " << pair;
                return fault.str();
            }
            pending.push_back(pair + 8);
            pending.push_back(pair);
        }
        if (reached > get_number_of_nodes()) {
            fault << "more nodes reachable than the node count";
            return fault.str();
        }
    }
    if (reached != get_number_of_nodes()) {
        fault << reached << " nodes reachable, node count " << get_number_of_nodes();
        return fault.str();
    }
    return "";
}

std::vector<std::pair<unsigned int, unsigned int>> InspectableKDTree::leaves() const {
    std::vector<std::pair<unsigned int, unsigned int>> out;
    std::vector<unsigned int> pending{8};
    while (!pending.empty()) {
        const unsigned int node = pending.back();
        pending.pop_back();
        const std::uint32_t w = word0(node);
        if (w & 0x80000000u) {
            out.emplace_back(w & 0x7FFFFFFFu, word1(node));
        } else {
            const unsigned int pair = node + (w & 0x7FFFFFFCu);
            pending.push_back(pair + 8);
            pending.push_back(pair);
        }
    }
    return out;
}

Ray3 random_ray(const float box_min[3], const float box_max[3], float margin, std::mt19937& rng) {
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    Ray3 ray;
    for (int a = 0; a < 3; ++a) {
        const float extent = box_max[a] - box_min[a];
        ray.origin[a] = box_min[a] - margin * extent + (1 + 2 * margin) * extent * u(rng);
        ray.direction[a] = 2 * u(rng) - 1;
    }
    return ray;
}

void brute_force_trace(const std::vector<triAccel>& triangles, const RayPacket& rays,
                       const RenderState& state, HitPacket& hits) {
    for (const triAccel& t : triangles) {
        if (state.shadow_rays && t.casts_shadow == 0)
            continue;
        gfxRT_ray_triangle_intersect(t, rays, unsigned(rays.active_mask), state, hits);
    }
}

void host_trace(const gfxRTKDTree& tree, const RayPacket& rays, const RenderState& state,
                HitPacket& hits, float max_distance) {
    int signs[3] = {0, 0, 0};
    bool coherent = true;
    int reference = -1;
    const __m128 d[3] = {rays.direction.x, rays.direction.y, rays.direction.z};
    for (int k = 0; k < 4; ++k) {
        if (!((rays.active_mask >> k) & 1))
            continue;
        for (int a = 0; a < 3; ++a) {
            const int sign = int(bits_of(lane_of(d[a], k)) >> 31);
            if (reference < 0)
                signs[a] = sign;
            else if (signs[a] != sign)
                coherent = false;
        }
        if (reference < 0)
            reference = k;
    }
    if (reference < 0)
        return;
    if (coherent) {
        tree.traverse_tree(&rays, &hits, unsigned(reference), &state, max_distance);
        return;
    }
    RayPacket single = rays;
    for (int k = 0; k < 4; ++k) {
        if (!((rays.active_mask >> k) & 1))
            continue;
        single.active_mask = 1 << k;
        tree.traverse_tree(&single, &hits, unsigned(k), &state, max_distance);
    }
}

int count_disagreements(const RayPacket& rays, const HitPacket& tree_hits,
                        const HitPacket& reference_hits, std::string* first_report) {
    int disagreements = 0;
    for (int k = 0; k < 4; ++k) {
        if (!((rays.active_mask >> k) & 1))
            continue;
        const float t_tree = lane_of(tree_hits.t, k);
        const float t_ref = lane_of(reference_hits.t, k);
        const int id_tree = lane_of(tree_hits.id, k);
        const int id_ref = lane_of(reference_hits.id, k);
        if (bits_of(t_tree) == bits_of(t_ref) &&
            (id_tree == id_ref || (id_tree >= 0 && id_ref >= 0)))
            continue; // same hit, or two triangles at the very same distance
        ++disagreements;
        if (first_report != nullptr && first_report->empty()) {
            std::ostringstream report;
            report << "lane " << k << ": origin (" << lane_of(rays.origin.x, k) << ", "
                   << lane_of(rays.origin.y, k) << ", " << lane_of(rays.origin.z, k)
                   << ") direction (" << lane_of(rays.direction.x, k) << ", "
                   << lane_of(rays.direction.y, k) << ", " << lane_of(rays.direction.z, k)
                   << "): tree t=" << t_tree << " id=" << id_tree << ", reference t=" << t_ref
                   << " id=" << id_ref;
            *first_report = report.str();
        }
    }
    return disagreements;
}
