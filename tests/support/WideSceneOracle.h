// Instanced scenes for the wide scene's tests, and brute-force answers for
// its queries: every enabled instance in order, the world ray carried into its space
// by gfxRTWideScene::carry_ray, every triangle of its mesh tested there with
// gfxRT_ray_triangle_intersect. Only a strictly nearer t replaces a hit, so
// equal t goes to the lower instance, then to the lower triangle.
#ifndef ZRV_TEST_WIDE_SCENE_ORACLE_H
#define ZRV_TEST_WIDE_SCENE_ORACLE_H

#include "WideOracleCheck.h"

#include "gfxRTWideScene.h"

#include <random>
#include <string>
#include <vector>

struct SceneLayout {
    struct Placement {
        unsigned int mesh;
        float transform[12];
        bool enabled = true; // set_enabled(false) before the commit when not
    };
    std::vector<std::vector<triAccel>> meshes;
    std::vector<Placement> instances;
};

// Adds the layout's meshes and instances to an empty scene and commits it.
void build_scene(const SceneLayout& layout, gfxRTWideScene& scene, unsigned int threads);

// A random placement: rotation, non-uniform scale (a mirror one time in
// three), shear, and a translation within spread of the origin.
void random_transform(std::mt19937& rng, float spread, float transform[12]);

// Several meshes (one placed many times, one empty, one a single triangle)
// at random transforms, with some instances placed twice at the same
// transform, whose hits tie.
SceneLayout random_instanced_scene(unsigned int seed);

// Two well-shaped meshes (no slivers, which widen the top level's boxes
// over the whole scene) placed count times at random transforms within
// spread of the origin, every third instance of mesh 1: a scene whose top
// level culls.
SceneLayout spread_scene(unsigned int count, float spread, unsigned int seed);

// Every enabled or disabled instance's triangles in world space, to aim
// rays at (normals as in their meshes).
std::vector<triAccel> world_triangles(const SceneLayout& layout);

// Rays through a scene: aimed at points and vertices of its triangles in
// world space, scattered, from far away, a third unbounded.
WideRays scene_rays(const SceneLayout& layout, int count, unsigned int seed);
// camera_batch_rays (WideOracleCheck.h) around the scene in world space, and
// a narrow one on its first instance.
WideRays scene_camera_rays(const SceneLayout& layout, unsigned int seed);
// Packets over the scene: incoherent, from one point, camera, facing pairs,
// parallel, and shadow rays of neighbouring points.
std::vector<RayPacket> scene_packets(const SceneLayout& layout, const WideRays& rays,
                                     unsigned seed);

// The world ray carried into the space of the layout's instance k.
void carry_into(const SceneLayout& layout, std::size_t k, const float* origin,
                const float* direction, float* carried_origin, float* carried_direction);

// The triangles instance k offers rays: its mesh's, or none when disabled.
const std::vector<triAccel>& placed_mesh(const SceneLayout& layout, std::size_t k);

std::string scene_hit_bits(const gfxRTWideSceneHit& hit);

WideAnswers scene_answers(const gfxRTWideScene& scene);
// The brute force over the layout's instances; its notes say what the
// nearest instance's mesh tree in scene finds alone, which tells the top
// level's faults from the mesh tree's.
WideAnswers scene_oracle(const SceneLayout& layout, const gfxRTWideScene& scene);

// Every query (one ray, packets, batches on 1 and 4 threads) under every
// kernel version against the oracle.
void expect_scene_oracle(const gfxRTWideScene& scene, const SceneLayout& layout,
                         const WideRays& rays, const std::vector<RayPacket>& packets,
                         const std::string& where);

#endif // ZRV_TEST_WIDE_SCENE_ORACLE_H
