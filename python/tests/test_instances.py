"""Scene.from_instances against the brute force over every placed triangle, its
bad input, and saving it."""

import numpy as np
import pytest

from conftest import (assert_same, assert_same_scene, clear_rays, moller_trumbore, placed_meshes,
                      placed_scene, quietly, random_rays, uv_sphere, zrv)


def world_triangles(meshes, transforms, mesh):
    """Every instance's triangles in world space (float64 from the float32
    transform), with each one's instance and face row."""
    corners, instance, rows = [], [], []
    for i, m in enumerate(mesh):
        vertices, faces = meshes[m]
        t = transforms[i].astype(np.float64)
        corners.append((np.asarray(vertices, np.float32) @ t[:, :3].T + t[:, 3])[faces])
        instance.append(np.full(len(faces), i))
        rows.append(np.arange(len(faces)))
    corners = np.concatenate(corners)
    return corners.reshape(-1, 3), np.arange(len(corners) * 3).reshape(-1, 3), \
        np.concatenate(instance), np.concatenate(rows)


def test_instances_match_brute_force_over_placed_triangles():
    meshes, transforms, mesh = placed_meshes()
    with pytest.warns(RuntimeWarning, match="meshes.1.: 1 faces with a NaN"):
        scene = zrv.Scene.from_instances(meshes, transforms, mesh=mesh, build_threads=2)
    vertices, faces, instance, rows = world_triangles(meshes, transforms, mesh)
    kept = np.isfinite(vertices[faces]).all(axis=(1, 2))
    origins, directions = random_rays(4000, seed=7)
    with np.errstate(invalid="ignore"):
        want = moller_trumbore(vertices, faces[kept], origins, directions)
        clear = clear_rays(vertices, faces[kept], origins, directions)
    got = scene.intersect(origins, directions, threads=3)
    hit = clear & (want["triangle"] >= 0)
    assert clear.mean() > 0.9 and 0.2 < hit.mean() < 0.9
    np.testing.assert_array_equal(got["instance"][hit], instance[kept][want["triangle"][hit]])
    np.testing.assert_array_equal(got["triangle"][hit], rows[kept][want["triangle"][hit]])
    np.testing.assert_allclose(got["t"][hit], want["t"][hit], rtol=1e-4)
    missed = clear & (want["triangle"] < 0)
    assert (got["instance"][missed] == -1).all() and (got["triangle"][missed] == -1).all()
    assert np.isinf(got["t"][missed]).all()
    np.testing.assert_array_equal(scene.occluded(origins, directions), got["triangle"] >= 0)

    sphere_faces, soup_faces = len(meshes[0][1]), len(meshes[1][1])
    assert scene.accel == "wide-scene" and scene.dropped_non_finite == 1
    assert len(scene) == 2 * sphere_faces + 2 * (soup_faces - 1)
    stats = scene.statistics
    assert (stats["meshes"], stats["instances"], stats["triangles_placed"]) == (2, 4, len(scene))
    assert stats["input_triangles"] == sphere_faces + soup_faces - 1
    empty = scene.intersect(np.zeros((0, 3)), np.zeros((0, 3)))
    assert sorted(empty) == ["instance", "t", "triangle", "u", "v"]
    assert all(len(a) == 0 for a in empty.values())


def _transforms(k, **entries):
    t = np.tile(np.eye(3, 4, dtype=np.float32), (k, 1, 1))
    for index, value in entries.items():
        t[int(index[1:])] = value
    return t


SPHERE = uv_sphere(4, 6)
SINGULAR = np.array([[1, 0, 0, 0], [2, 0, 0, 0], [0, 0, 1, 0]], np.float32)


@pytest.mark.parametrize("meshes, transforms, kwargs, error, message", [
    (SPHERE[0], _transforms(1), {}, TypeError, "meshes must be a sequence"),
    ([], _transforms(1), {}, ValueError, "meshes must hold at least one"),
    ([SPHERE[0]], _transforms(1), {}, ValueError, r"meshes\[0\] must be a \(vertices, faces\)"),
    ([(SPHERE[0], SPHERE[1][:, :2])], _transforms(1), {}, ValueError,
     r"meshes\[0\]: faces must have shape"),
    ([SPHERE], np.eye(3, 4), {}, ValueError, r"transforms must have shape \(k, 3, 4\)"),
    ([SPHERE], _transforms(0), {}, ValueError, "at least one instance"),
    ([SPHERE], _transforms(2), {}, ValueError, "one instance per mesh"),
    ([SPHERE], _transforms(2), {"mesh": [0, 1]}, ValueError, r"mesh\[1\] is 1, not one of the 1"),
    ([SPHERE], _transforms(2), {"mesh": [0]}, ValueError, r"mesh must have shape \(2,\)"),
    ([SPHERE], _transforms(3, i2=SINGULAR), {"mesh": [0, 0, 0]}, ValueError,
     r"transforms\[2\] \(instance 2 of mesh 0\) is refused: the transform is singular"),
    ([SPHERE], _transforms(2, i1=np.nan), {"mesh": [0, 0]}, ValueError,
     r"transforms\[1\] .* NaN or infinite entry"),
])
def test_bad_instances_raise_naming_the_argument(meshes, transforms, kwargs, error, message):
    with pytest.raises(error, match=message):
        zrv.Scene.from_instances(meshes, transforms, **kwargs)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_saved_instances_load_for_the_same_meshes_only(tmp_path):
    meshes, transforms, mesh = placed_meshes()
    scene = zrv.Scene.from_instances(meshes, transforms, mesh=mesh)
    path, single = tmp_path / "instances.tree", tmp_path / "single.tree"
    scene.save(path)
    loaded = zrv.Scene.load_instances(path, meshes)
    rays = random_rays(2000, seed=8)
    assert_same(loaded.intersect(*rays), scene.intersect(*rays))
    assert_same_scene(loaded, scene)
    with pytest.raises(ValueError, match=r"saved for other triangles: meshes\[1\]"):
        zrv.Scene.load_instances(path, [meshes[0], (meshes[1][0], meshes[1][1][1:])])
    with pytest.raises(ValueError, match="saved for 2 meshes, not 1"):
        zrv.Scene.load_instances(path, meshes[:1])
    with pytest.raises(ValueError, match="holds instances"):
        zrv.Scene.load(path, *SPHERE)
    zrv.Scene(*SPHERE).save(single)
    with pytest.raises(ValueError, match="holds one mesh's tree"):
        zrv.Scene.load_instances(single, [SPHERE])


def test_every_hit_of_instances_is_the_union_of_each_instance_alone():
    """Each instance alone carries the ray with the same float operations, so
    the scene's list must be exactly the union of the lone instances' lists,
    ordered by ray, t, instance, then face row."""
    meshes, transforms, mesh = placed_meshes()
    origins, directions = random_rays(3000, seed=9)
    scene = placed_scene()
    alone = [quietly(zrv.Scene.from_instances, [meshes[m]], transforms[i:i + 1])
             for i, m in enumerate(mesh)]
    got = scene.list_intersections(origins, directions, threads=2)
    parts = [s.list_intersections(origins, directions) for s in alone]
    want = {key: np.concatenate([p[key] for p in parts]) for key in ("ray", "t", "triangle", "u", "v")}
    want["instance"] = np.concatenate([np.full(len(p["ray"]), i) for i, p in enumerate(parts)])
    order = np.lexsort((want["triangle"], want["instance"], want["t"], want["ray"]))
    assert len(order) > 1000
    assert_same(got, {key: values[order] for key, values in want.items()})
    np.testing.assert_array_equal(scene.count_intersections(origins, directions),
                                  np.bincount(want["ray"], minlength=len(origins)))
    assert "instance" in scene.list_intersections(origins[:0], directions[:0])
    for query in ("closest_points", "distance", "signed_distance", "occupancy"):
        with pytest.raises(ValueError, match=query + " answers a scene of one mesh"):
            getattr(scene, query)(origins[:3])
