#include "KDTreeTestUtil.h"

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
    const int active = rays.active_mask & 15;
    if (active == 0)
        return;
    bool coherent = true;
    for (__m128 d : {rays.direction.x, rays.direction.y, rays.direction.z}) {
        const int negative = _mm_movemask_ps(d) & active;
        coherent = coherent && (negative == 0 || negative == active);
    }
    if (coherent) {
        tree.traverse_tree(&rays, &hits, unsigned(__builtin_ctz(active)), &state, max_distance);
        return;
    }
    RayPacket single = rays;
    for (int k = 0; k < 4; ++k) {
        if ((active >> k) & 1) {
            single.active_mask = 1 << k;
            tree.traverse_tree(&single, &hits, unsigned(k), &state, max_distance);
        }
    }
}

int count_disagreements(const RayPacket& rays, const HitPacket& tree_hits,
                        const HitPacket& reference_hits, std::string* first_report) {
    int disagreements = 0;
    for (int k = 0; k < 4; ++k) {
        if (!((rays.active_mask >> k) & 1))
            continue;
        const float t_tree = lane_of(tree_hits.t, k), t_ref = lane_of(reference_hits.t, k);
        const int id_tree = lane_of(tree_hits.id, k), id_ref = lane_of(reference_hits.id, k);
        if (bits_of(t_tree) == bits_of(t_ref) &&
            (id_tree == id_ref || (id_tree >= 0 && id_ref >= 0)))
            continue; // same hit, or two triangles at the very same distance
        ++disagreements;
        if (first_report != nullptr && first_report->empty())
            *first_report = "lane " + std::to_string(k) + ": tree t=" + std::to_string(t_tree) +
                            " id=" + std::to_string(id_tree) +
                            ", reference t=" + std::to_string(t_ref) +
                            " id=" + std::to_string(id_ref);
    }
    return disagreements;
}
