#include "KDTreeTestUtil.h"

#include <sstream>

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
