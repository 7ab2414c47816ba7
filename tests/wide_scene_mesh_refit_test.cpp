// Deforming meshes of an instanced scene: after refit_mesh and a commit or
// refit of the top level, every query answers as the brute force over the
// moved meshes, and every instance's box is the one a scene built from
// scratch gives it; refits the mesh trees refuse change nothing.
#include "AllocationFaults.h"
#include "WideOracle.h"
#include "WideSceneOracle.h"

#include "gfxRTWideScene.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

bool refit_mesh(gfxRTWideScene& scene, unsigned int mesh, const std::vector<triAccel>& records,
                unsigned int threads) {
    return scene.refit_mesh(mesh, records.data(), unsigned(records.size()), threads);
}

// Every instance's box, six floats (each the largest float for an instance
// of an empty mesh).
std::vector<std::array<float, 6>> instance_boxes(const gfxRTWideScene& scene) {
    std::vector<std::array<float, 6>> boxes(scene.instance_count());
    for (unsigned int i = 0; i < scene.instance_count(); ++i) {
        boxes[i].fill(std::numeric_limits<float>::max());
        scene.instance_bounds(i, &boxes[i][0], &boxes[i][3]);
    }
    return boxes;
}

// The boxes of a scene built from scratch over layout, bit for bit.
void expect_boxes_of_a_new_scene(const gfxRTWideScene& scene, const SceneLayout& layout,
                                 const std::string& where) {
    gfxRTWideScene fresh;
    build_scene(layout, fresh, 1);
    const std::vector<std::array<float, 6>> got = instance_boxes(scene);
    const std::vector<std::array<float, 6>> want = instance_boxes(fresh);
    ASSERT_EQ(got.size(), want.size()) << where;
    for (std::size_t i = 0; i < got.size(); ++i)
        for (int c = 0; c < 6; ++c)
            EXPECT_EQ(got[i][c], want[i][c]) << where << ": instance " << i << " bound " << c
                                             << ": " << got[i][c] << " against " << want[i][c];
}

// Every mesh moved, frame after frame: grown threefold and carried out of
// the boxes the top level was built with, shrunk fourfold and carried the
// other way, and back to the records the scene was built from; the top
// level refitted or rebuilt. (Meshes shrunk much further stand far from
// the rays in their own units, where the brute force's own rounding parts
// from any tree's, refitted or built: gfxRTWideScene.h.)
TEST(WideSceneMeshRefit, DeformedMeshesEqualTheBruteForce) {
    const SceneLayout built = random_instanced_scene(5);
    SceneLayout layout = built;
    gfxRTWideScene scene;
    build_scene(layout, scene, 1);
    struct Frame {
        double twist, scale, offset;
        bool commit;
        unsigned int threads;
    };
    const Frame frames[] = {
        {0.8, 3.0, 1.5, false, 1}, {-0.5, 0.25, -2.0, true, 3}, {0.0, 1.0, 0.0, false, 2}};
    for (int f = 0; f < 3; ++f) {
        const Frame& frame = frames[f];
        const std::string where = "frame " + std::to_string(f);
        for (std::size_t m = 0; m < layout.meshes.size(); ++m) {
            layout.meshes[m] = f == 2 ? built.meshes[m]
                                      : deformed_triangles(built.meshes[m], frame.twist,
                                                           frame.scale, frame.offset);
            ASSERT_TRUE(refit_mesh(scene, unsigned(m), layout.meshes[m], frame.threads))
                << where << ", mesh " << m;
        }
        ASSERT_TRUE(frame.commit ? scene.commit(2) : scene.refit(1)) << where;
        expect_boxes_of_a_new_scene(scene, layout, where);
        WideRays rays = scene_rays(layout, 1500, 60 + f);
        append(rays, scene_camera_rays(layout, 70 + f));
        expect_scene_oracle(scene, layout, rays, scene_packets(layout, rays, 80 + f), where);
    }
}

// One mesh moved alone: the instances of the others keep their boxes, and
// the top level's refit takes the moved ones' new boxes, out of the old
// ones.
TEST(WideSceneMeshRefit, OnlyTheMovedMeshsInstancesMove) {
    SceneLayout layout = spread_scene(40, 12.0f, 7);
    gfxRTWideScene scene;
    build_scene(layout, scene, 1);
    const std::vector<std::array<float, 6>> before = instance_boxes(scene);
    layout.meshes[0] = deformed_triangles(layout.meshes[0], 0.3, 2.0, 1.5);
    ASSERT_TRUE(refit_mesh(scene, 0, layout.meshes[0], 1));
    const std::vector<std::array<float, 6>> after = instance_boxes(scene);
    for (std::size_t i = 0; i < layout.instances.size(); ++i)
        EXPECT_EQ(after[i] != before[i], layout.instances[i].mesh == 0) << "instance " << i;
    expect_boxes_of_a_new_scene(scene, layout, "mesh 0 moved");
    ASSERT_TRUE(scene.refit(1));
    WideRays rays = scene_rays(layout, 1500, 90);
    append(rays, scene_camera_rays(layout, 91));
    expect_scene_oracle(scene, layout, rays, {}, "mesh 0 moved");
}

// Records the mesh's tree cannot be refitted to: the scene stays as it was,
// its boxes and its answers.
TEST(WideSceneMeshRefit, RefusedRefitsChangeNothing) {
    const SceneLayout layout = random_instanced_scene(8);
    gfxRTWideScene scene;
    build_scene(layout, scene, 1);
    const std::vector<std::array<float, 6>> boxes = instance_boxes(scene);
    const std::vector<triAccel>& mesh = layout.meshes[0];
    std::vector<triAccel> moved = deformed_triangles(mesh, 0.2, 2.0, 3.0);
    const unsigned int count = unsigned(mesh.size());

    EXPECT_FALSE(scene.refit_mesh(scene.mesh_count(), moved.data(), count, 1));
    EXPECT_FALSE(scene.refit_mesh(0, moved.data(), count - 1, 1));
    EXPECT_FALSE(scene.refit_mesh(0, nullptr, count, 1));
    std::vector<triAccel> lost = moved;
    lost[count / 2].vertex1[2] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(refit_mesh(scene, 0, lost, 2));
    {
        AllocationFaultRule every;
        every.failures = 1 << 30;
        AllocationFaults faults(every);
        EXPECT_FALSE(refit_mesh(scene, 0, moved, 2));
        EXPECT_GT(faults.injected(), 0);
    }
    EXPECT_TRUE(instance_boxes(scene) == boxes);
    ASSERT_TRUE(scene.refit(1));
    expect_scene_oracle(scene, layout, scene_rays(layout, 800, 91), {}, "after the refusals");

    // The empty mesh is refitted to nothing.
    EXPECT_TRUE(scene.refit_mesh(2, nullptr, 0, 1));
    EXPECT_TRUE(instance_boxes(scene) == boxes);
}

} // namespace
