// Fuzzes the wide BVH's and the instanced scene's builds with triangles,
// transforms and rays of any bits: NaN, infinities, denormals, huge and
// degenerate values. Every build and query must stay in bounds, and its
// answers must hold together: hits name a triangle and an instance that
// exist at a t within the ray's range, every hit listed is counted, and the
// batch calls answer as the one-ray and one-point calls do.
#include "FuzzScenes.h"
#include "gfxRTWideScene.h"
#include "zrvSceneMesh.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// The input as a stream of floats of any bits, after two option bytes.
struct Floats {
    const std::uint8_t* data;
    std::size_t size;
    bool next(float& value) {
        if (size < 4)
            return false;
        std::memcpy(&value, data, 4);
        data += 4;
        size -= 4;
        return true;
    }
    bool next(float* values, int count) {
        for (int i = 0; i < count; ++i)
            if (!next(values[i]))
                return false;
        return true;
    }
};

bool same_bits(float a, float b) {
    return std::memcmp(&a, &b, 4) == 0;
}

void check_hit(bool hit, float t, int index, unsigned int count, float max_distance) {
    if (hit != (index >= 0) || index >= int(count))
        __builtin_trap();
    if (hit && !(t >= 0.0001f && t < max_distance))
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const unsigned int threads = (data[0] & 1) + 1;
    const unsigned int instances = (data[0] >> 1) & 3;
    const bool backfaces = (data[0] & 8) != 0;
    const unsigned int wanted = data[1] % 64 + 1;
    Floats in{data + 2, size - 2};

    std::vector<triAccel> triangles;
    for (unsigned int i = 0; i < wanted; ++i) {
        triAccel t{};
        float v[9];
        if (!in.next(v, 9))
            break;
        std::memcpy(t.vertex0, v, 12);
        std::memcpy(t.vertex1, v + 3, 12);
        std::memcpy(t.vertex2, v + 6, 12);
        zrv::scenes::compute_normal(t);
        t.triangle_id = int(i);
        t.backface_early_out = backfaces && i % 2 == 1;
        t.casts_shadow = 1;
        triangles.push_back(t);
    }
    const unsigned int count = unsigned(triangles.size());
    gfxRTWideScene scene;
    if (scene.add_mesh(triangles.data(), count, threads) != 0)
        return 0; // out of memory
    for (unsigned int i = 0; i < instances; ++i) {
        float transform[12];
        if (!in.next(transform, 12))
            break;
        scene.add_instance(0, transform); // refusals are results
    }
    if (!scene.commit(threads))
        return 0;
    const gfxRTWideBVH& tree = scene.mesh(0);

    // Rays of the input, then rays at the first triangles' centres.
    std::vector<float> origins, directions, limits;
    float ray[7];
    while (limits.size() < 8 && in.next(ray, 7)) {
        origins.insert(origins.end(), ray, ray + 3);
        directions.insert(directions.end(), ray + 3, ray + 6);
        limits.push_back(ray[6]);
    }
    for (unsigned int i = 0; i < count && i < 4; ++i) {
        const triAccel& t = triangles[i];
        for (int a = 0; a < 3; ++a) {
            const float centre = (t.vertex0[a] + t.vertex1[a] + t.vertex2[a]) / 3;
            const float side = a == int(i % 3) ? 1.0f : 0.25f;
            origins.push_back(centre - 4 * side);
            directions.push_back(side);
        }
        limits.push_back(1e30f);
    }
    const unsigned int n = unsigned(limits.size());
    std::vector<float> t(n), u(n), v(n), scene_t(n);
    std::vector<int> index(n), scene_index(n), instance(n);
    std::vector<unsigned char> occluded(n);
    tree.intersect_batch(origins.data(), directions.data(), limits.data(), n, t.data(),
                         index.data(), u.data(), v.data(), threads);
    tree.occluded_batch(origins.data(), directions.data(), limits.data(), n, occluded.data(),
                        threads);
    scene.intersect_batch(origins.data(), directions.data(), limits.data(), n, scene_t.data(),
                          scene_index.data(), instance.data(), nullptr, nullptr, threads);
    for (unsigned int r = 0; r < n; ++r) {
        const float* o = &origins[3 * r];
        const float* d = &directions[3 * r];
        gfxRTWideHit hit;
        const bool found = tree.intersect1(o, d, limits[r], hit);
        check_hit(found, hit.t, hit.index, count, limits[r]);
        if (hit.index != index[r] || !same_bits(hit.t, t[r]) || !same_bits(hit.u, u[r]) ||
            !same_bits(hit.v, v[r]))
            __builtin_trap(); // the batch answers as the one-ray call
        if (tree.occluded1(o, d, limits[r]) != (occluded[r] != 0))
            __builtin_trap();
        gfxRTWideSceneHit scene_hit;
        const bool scene_found = scene.intersect1(o, d, limits[r], scene_hit);
        check_hit(scene_found, scene_hit.t, scene_hit.index, count, limits[r]);
        if (scene_found != (scene_hit.instance >= 0) ||
            scene_hit.instance >= int(scene.instance_count()) ||
            scene_hit.instance != instance[r] || scene_hit.index != scene_index[r] ||
            !same_bits(scene_hit.t, scene_t[r]))
            __builtin_trap();
        scene.occluded1(o, d, limits[r]);
    }
    // Every hit: as many listed per ray as counted, each naming a triangle
    // and an instance that exist.
    std::vector<unsigned int> counts(n), scene_counts(n);
    tree.count_batch(origins.data(), directions.data(), limits.data(), n, counts.data(), threads);
    scene.count_batch(origins.data(), directions.data(), limits.data(), n, scene_counts.data(),
                      threads);
    for (int structure = 0; structure < 2; ++structure) {
        gfxRTWideHitList list;
        const bool listed = structure == 0 ? tree.list_batch(origins.data(), directions.data(),
                                                             limits.data(), n, list, threads)
                                           : scene.list_batch(origins.data(), directions.data(),
                                                              limits.data(), n, list, threads);
        if (!listed)
            continue;
        std::vector<unsigned int> listed_per_ray(n);
        for (std::size_t k = 0; k < list.count; ++k) {
            if (list.ray[k] >= n || list.index[k] < 0 || list.index[k] >= int(count) ||
                list.instance[k] >= int(scene.instance_count()) ||
                (structure == 0) != (list.instance[k] == -1))
                __builtin_trap();
            ++listed_per_ray[list.ray[k]];
        }
        if (listed_per_ray != (structure == 0 ? counts : scene_counts))
            __builtin_trap();
        gfxRTWideHitListRelease(list);
    }
    // The rays' origins as points: the batch answers as the one-point call.
    std::vector<gfxRTWideClosestPoint> closest(n);
    tree.closest_batch(origins.data(), limits.data(), n, closest.data(), threads);
    for (unsigned int r = 0; r < n; ++r) {
        gfxRTWideClosestPoint one;
        const bool found = tree.closest_point(&origins[3 * r], limits[r], one);
        if (found != (one.index >= 0) || one.index >= int(count) ||
            std::memcmp(&one, &closest[r], sizeof one) != 0)
            __builtin_trap();
    }

    // The rays four at a time as packets, nearest hits and shadow rays.
    for (unsigned int first = 0; first + 4 <= n; first += 4) {
        RayPacket rays = zrv::fuzz::packet_of(&origins[3 * first], &directions[3 * first]);
        for (unsigned int pass = 0; pass < 4; ++pass) {
            HitPacket hits = zrv::fuzz::no_hits();
            __m128i hit_index, hit_instance;
            RenderState state{0, 0};
            state.shadow_rays = pass & 1;
            if (pass < 2)
                tree.intersect4(rays, hits, hit_index, state, 1e30f);
            else
                scene.intersect4(rays, hits, hit_index, hit_instance, state, 1e30f);
        }
        tree.occluded4(rays, _mm_set1_ps(1e30f));
        scene.occluded4(rays, _mm_set1_ps(1e30f));
    }
    return 0;
}
