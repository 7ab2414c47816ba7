"""Scene.from_instances against the brute force over every placed triangle, its
bad input, saving it, and moving, hiding, showing and adding instances."""

import pickle
import threading

import numpy as np
import pytest

from conftest import (assert_same, assert_same_scene, clear_rays, moller_trumbore, placed_meshes,
                      placed_scene, quietly, random_rays, rotation, uv_sphere, zrv)


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
    ([SPHERE[0][:2]], _transforms(1), {}, ValueError, r"meshes\[0\] must be a \(vertices, faces\)"),
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
    with pytest.raises(ValueError, match=r"saved for other triangles: meshes\[0\] had (\d+) .*are \1,"):
        zrv.Scene.load_instances(path, [(meshes[0][0] + 0.01, meshes[0][1]), meshes[1]])
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


def _every_answer(scene, origins, directions):
    hits = scene.intersect(origins, directions, threads=2)
    hits["occluded"] = scene.occluded(origins, directions, threads=2)
    hits["count"] = scene.count_intersections(origins, directions)
    return hits


def test_moved_instances_answer_as_a_scene_built_where_they_stand():
    """An animation: each step moves some instances (one of them twice in the
    call, the later winning), rebuilding the top level or refitting it, and
    must answer bit for bit as a scene built from scratch at the new
    placements, pickled and saved copies included."""
    meshes, transforms, mesh = placed_meshes()
    scene = placed_scene()
    rays = random_rays(3000, seed=21)
    rng = np.random.default_rng(22)
    placed = transforms.copy()
    for step in range(1, 4):
        moved = rng.choice(4, size=2, replace=False)
        new = placed[moved].copy()
        new[:, :, 3] += rng.uniform(-0.3, 0.3, (2, 3)).astype(np.float32)
        new[:, :, :3] = new[:, :, :3] @ rotation(rng.normal(size=3), 0.4).astype(np.float32)
        ignored = rng.uniform(0, 1, (1, 3, 4)).astype(np.float32)
        # Odd steps keep the top level's tree and only move its boxes.
        scene.set_transforms(np.concatenate([ignored, new]), np.r_[moved[0], moved],
                             refit=step % 2 == 1)
        placed[moved] = new
        assert scene.revision == step
        np.testing.assert_array_equal(scene.transforms, placed)
        fresh = quietly(zrv.Scene.from_instances, meshes, placed, mesh=mesh)
        want = _every_answer(fresh, *rays)
        assert_same(_every_answer(scene, *rays), want)
        assert_same(_every_answer(pickle.loads(pickle.dumps(scene)), *rays), want)
    np.testing.assert_array_equal(scene.instance_mesh, mesh)
    scene.set_transforms(np.zeros((0, 3, 4), np.float32), [])  # nothing moves
    assert scene.revision == 3
    scene.set_transforms(transforms, build_threads=3)  # every instance, in order
    assert_same(_every_answer(scene, *rays), _every_answer(placed_scene(), *rays))
    # The top level's cost against its cost when built: a refit moves it.
    assert scene.top_level_growth == 1.0
    placed[[0, 3], :, 3] += 5.0
    scene.set_transforms(placed, refit=True)
    assert scene.top_level_growth not in (0.0, 1.0)
    scene.set_transforms(placed)
    assert scene.top_level_growth == 1.0


@pytest.mark.parametrize("args, error, message", [
    ((_transforms(1), [4]), ValueError, r"instances\[0\] is 4, not one of the 4 instances"),
    ((_transforms(2), [0]), ValueError, r"instances must have shape \(2,\)"),
    ((_transforms(3),), ValueError, r"one transform per instance \(4\) when instances is None"),
    ((np.eye(3, 4),), ValueError, r"transforms must have shape \(k, 3, 4\)"),
    ((np.zeros((4, 3, 3)),), ValueError, r"transforms must have shape \(k, 3, 4\)"),
    ((np.zeros((4, 4, 4)),), ValueError, r"transforms must have shape \(k, 3, 4\)"),
    ((_transforms(2), [0.5, 1]), TypeError, "instances must be an integer array"),
    ((_transforms(3, i2=SINGULAR), [0, 1, 2]), ValueError,
     r"transforms\[2\] \(instance 2\) is refused: the transform is singular"),
    ((_transforms(3, i1=np.inf), [3, 0, 3]), ValueError,
     r"transforms\[1\] \(instance 0\) is refused: .*NaN or infinite"),
])
def test_refused_moves_leave_the_scene_as_it_was(args, error, message):
    scene = placed_scene()
    rays = random_rays(1000, seed=23)
    before, transforms = _every_answer(scene, *rays), scene.transforms
    with pytest.raises(error, match=message):
        scene.set_transforms(*args)
    assert scene.revision == 0
    np.testing.assert_array_equal(scene.transforms, transforms)
    assert_same(_every_answer(scene, *rays), before)


def test_disabled_instances_answer_as_a_scene_without_them(tmp_path):
    """A disabled instance is never hit: the scene answers bit for bit as one
    built from the others alone (its instance numbers mapped back), pickled
    and saved copies included, and as before once enabled again."""
    meshes, transforms, mesh = placed_meshes()
    scene = placed_scene()
    rays = random_rays(3000, seed=25)
    everything = _every_answer(scene, *rays)
    scene.set_enabled(False, instances=[2, 1])
    assert scene.enabled.tolist() == [True, False, False, True] and scene.revision == 1
    assert scene.statistics["instances_enabled"] == 2 and scene.statistics["instances"] == 4
    keep = np.array([0, 3])
    want = _every_answer(quietly(zrv.Scene.from_instances, meshes, transforms[keep],
                                 mesh=mesh[keep]), *rays)
    hit = want["instance"] >= 0
    want["instance"][hit] = keep[want["instance"][hit]]
    assert hit.mean() > 0.1 and (everything["instance"] == 1).any()
    assert_same(_every_answer(scene, *rays), want)
    copy = pickle.loads(pickle.dumps(scene))
    scene.save(tmp_path / "scene.zrv")
    loaded = quietly(zrv.Scene.load_instances, tmp_path / "scene.zrv", meshes)
    for restored in (copy, loaded):
        assert restored.enabled.tolist() == [True, False, False, True]
        assert_same(_every_answer(restored, *rays), want)
    # One flag per entry, the later winning, then every instance in order.
    scene.set_enabled([True, False, True], instances=[1, 2, 2])
    assert scene.enabled.all() and scene.revision == 2
    assert_same(_every_answer(scene, *rays), everything)
    scene.set_enabled(np.zeros(4, bool))
    nothing = _every_answer(scene, *rays)
    assert np.isinf(nothing["t"]).all() and not nothing["occluded"].any()
    assert not nothing["count"].any()


@pytest.mark.parametrize("args, error, message", [
    (([1, 0, 1, 1],), TypeError, "enabled must be a bool or a bool array, not int"),
    ((np.ones((2, 2), bool),), ValueError, r"enabled must be a bool or have shape \(k,\)"),
    (([True] * 3,), ValueError, r"one flag per instance \(4\) when instances is None, not 3"),
    ((False, [0, 4]), ValueError, r"instances\[1\] is 4, not one of the 4 instances"),
    (([True, False], [0]), ValueError, r"instances must have shape \(2,\), one per entry of enabled"),
])
def test_refused_flags_leave_every_instance_enabled(args, error, message):
    scene = placed_scene()
    with pytest.raises(error, match=message):
        scene.set_enabled(*args)
    assert scene.revision == 0 and scene.enabled.all()


def test_added_instances_answer_as_a_scene_built_with_them():
    """Instances added after the build take the next indices and answer bit
    for bit as a scene built with them from the start, every-hit lists and
    pickles included; they move and hide as the others."""
    meshes, transforms, mesh = placed_meshes()
    scene = placed_scene()
    rays = random_rays(3000, seed=26)
    extra = transforms[[1, 3, 0]].copy()
    extra[:, :, 3] += np.random.default_rng(27).uniform(-0.5, 0.5, (3, 3)).astype(np.float32)
    added = scene.add_instances(extra, [1, 0, 0], build_threads=2)
    assert added.dtype == np.int32 and added.tolist() == [4, 5, 6] and scene.revision == 1
    every_transform, every_mesh = np.concatenate([transforms, extra]), np.r_[mesh, 1, 0, 0]
    fresh = quietly(zrv.Scene.from_instances, meshes, every_transform, mesh=every_mesh)
    want = _every_answer(fresh, *rays)
    assert (want["instance"] >= 4).any()
    assert_same(_every_answer(scene, *rays), want)
    assert_same(_every_answer(pickle.loads(pickle.dumps(scene)), *rays), want)
    assert_same(scene.list_intersections(*rays), fresh.list_intersections(*rays))
    np.testing.assert_array_equal(scene.transforms, every_transform)
    np.testing.assert_array_equal(scene.instance_mesh, every_mesh)
    assert scene.enabled.all() and len(scene) == len(fresh)
    assert scene.statistics["instances"] == 7
    assert scene.add_instances(np.zeros((0, 3, 4), np.float32), []).tolist() == []
    assert scene.revision == 1

    scene.set_enabled(False, instances=added)
    assert_same(_every_answer(scene, *rays), _every_answer(placed_scene(), *rays))
    scene.set_enabled(True, instances=added[:1])
    scene.set_transforms(transforms[:1], instances=added[:1])
    keep = np.array([0, 1, 2, 3, 4])
    moved = np.concatenate([transforms, transforms[:1]])
    want = _every_answer(quietly(zrv.Scene.from_instances, meshes, moved,
                                 mesh=every_mesh[keep]), *rays)
    assert_same(_every_answer(scene, *rays), want)


@pytest.mark.parametrize("args, error, message", [
    ((_transforms(2), [0]), ValueError, r"mesh must have shape \(2,\), one per entry of transforms"),
    ((_transforms(1), [2]), ValueError, r"mesh\[0\] is 2, not one of the 2 meshes"),
    ((_transforms(2, i1=SINGULAR), [0, 1]), ValueError,
     r"transforms\[1\] \(new instance 5 of mesh 1\) is refused: the transform is singular"),
    ((_transforms(2, i0=np.nan), [0, 0]), ValueError,
     r"transforms\[0\] \(new instance 4 of mesh 0\) is refused: .*NaN or infinite"),
    ((np.eye(3, 4), [0]), ValueError, r"transforms must have shape \(k, 3, 4\)"),
])
def test_refused_additions_add_no_instance(args, error, message):
    scene = placed_scene()
    with pytest.raises(error, match=message):
        scene.add_instances(*args)
    assert scene.revision == 0 and len(scene.enabled) == 4


def test_added_meshes_answer_as_a_scene_built_with_them(tmp_path):
    """Meshes added after the build change no answer until instances place
    them, and then answer bit for bit as a scene built with them, face rows
    of dropped faces, pickles and saved files included."""
    meshes, transforms, _ = placed_meshes()
    scene = zrv.Scene.from_instances(meshes[:1], transforms[:1])
    rays = random_rays(3000, seed=29)
    before = _every_answer(scene, *rays)
    with pytest.warns(RuntimeWarning, match="1 face"):
        added = scene.add_meshes(meshes[1:], build_threads=2)
    assert added.dtype == np.int32 and added.tolist() == [1] and scene.revision == 1
    assert_same(_every_answer(scene, *rays), before)
    assert scene.add_meshes([]).tolist() == [] and scene.revision == 1
    assert scene.add_instances(transforms[[3, 1, 2]], [0, 1, 1]).tolist() == [1, 2, 3]
    order = [0, 3, 1, 2]
    fresh = quietly(zrv.Scene.from_instances, meshes, transforms[order], mesh=[0, 0, 1, 1])
    want = _every_answer(fresh, *rays)
    assert (want["instance"] >= 2).any()
    assert_same(_every_answer(scene, *rays), want)
    assert_same(scene.list_intersections(*rays), fresh.list_intersections(*rays))
    assert scene.statistics == fresh.statistics and len(scene) == len(fresh)
    assert scene.dropped_non_finite == fresh.dropped_non_finite == 1
    assert_same(_every_answer(pickle.loads(pickle.dumps(scene)), *rays), want)
    path = tmp_path / "added.scene"
    scene.save(path)
    assert_same(_every_answer(quietly(zrv.Scene.load_instances, path, meshes), *rays), want)
    with pytest.raises(ValueError, match="was saved for 2 meshes, not 1"):
        zrv.Scene.load_instances(path, meshes[:1])


@pytest.mark.parametrize("meshes, error, message", [
    ([SPHERE, (SPHERE[0], SPHERE[1][:, :2])], ValueError, r"meshes\[1\]: faces must have shape"),
    ([SPHERE, (SPHERE[0],)], ValueError, r"meshes\[1\] must be a \(vertices, faces\) pair"),
    (SPHERE[0], TypeError, "meshes must be a sequence of"),
])
def test_refused_meshes_add_none(meshes, error, message):
    scene = placed_scene()
    with pytest.raises(error, match=message):
        scene.add_meshes(meshes)
    assert scene.revision == 0 and scene.statistics["meshes"] == 2


def test_a_scene_of_one_mesh_has_no_instances_to_move():
    scene = zrv.Scene(*SPHERE)
    for call in (lambda: scene.set_transforms(_transforms(1)), lambda: scene.transforms,
                 lambda: scene.instance_mesh, lambda: scene.set_enabled(False),
                 lambda: scene.enabled, lambda: scene.add_instances(_transforms(1), [0]),
                 lambda: scene.add_meshes([SPHERE]), lambda: scene.top_level_growth,
                 lambda: scene.set_mesh_vertices(0, *SPHERE)):
        with pytest.raises(ValueError, match="answers a scene of instances, not one of one mesh"):
            call()
    assert scene.revision == 0


def test_queries_while_instances_move_see_one_placement_or_the_other():
    """set_transforms waits for running queries, and queries for it: every
    answer is wholly that of one placement."""
    meshes, transforms, mesh = placed_meshes()
    other = transforms.copy()
    other[:, :, 3] += 0.25
    rays = random_rays(4000, seed=24)
    want = [quietly(zrv.Scene.from_instances, meshes, t, mesh=mesh).intersect(*rays)["t"]
            for t in (transforms, other)]
    assert not np.array_equal(*want)
    scene = placed_scene()
    seen, done = [], threading.Event()

    def query():
        while not done.is_set():
            seen.append(scene.intersect(*rays, threads=2)["t"])

    workers = [threading.Thread(target=query) for _ in range(2)]
    for worker in workers:
        worker.start()
    for step in range(200):
        scene.set_transforms((other, transforms)[step % 2])
    done.set()
    for worker in workers:
        worker.join()
    assert len(seen) >= 2 and scene.revision == 200
    assert all(np.array_equal(t, want[0]) or np.array_equal(t, want[1]) for t in seen)


def test_queries_while_instances_are_added_answer_for_the_first_ones():
    """Adding instances moves the array that names their meshes, which every
    answer's face rows read, and adding meshes the list of meshes: queries,
    every-hit lists and pickles on other threads hold the scene while they
    read it, and the adds are not held off by queries that follow one
    another. The added instances are specks beside the rays, too small to be
    hit, so every answer is that of the first four."""
    scene = placed_scene()
    rays = random_rays(2000, seed=28)
    want = scene.intersect(*rays)
    want_list = scene.list_intersections(*rays)
    seen, lists, pickles, done = [], [], [], threading.Event()

    def query():
        while not done.is_set():
            seen.append(scene.intersect(*rays, threads=2))
            lists.append(scene.list_intersections(*rays))
            pickles.append(pickle.dumps(scene))

    workers = [threading.Thread(target=query) for _ in range(2)]
    for worker in workers:
        worker.start()
    speck = np.eye(3, 4, dtype=np.float32) * 1e-3
    speck[:, 3] = [0.0, 0.0, -3.0]
    for step in range(100):
        scene.add_instances(speck[None], [step % 2])
        if step % 10 == 9:
            scene.add_meshes([SPHERE])
    done.set()
    for worker in workers:
        worker.join()
    assert len(seen) >= 2 and scene.revision == 110 and len(scene.enabled) == 104
    assert scene.statistics["meshes"] == 12
    for got in seen + [scene.intersect(*rays)]:
        assert_same(got, want)
    for got in lists:
        assert_same(got, want_list)
    for state in pickles:
        assert_same(pickle.loads(state).intersect(*rays), want)


def _bent(vertices, amount):
    """The vertices bent by a wave and stretched: the same faces moved (a
    NaN vertex stays NaN; amount 0 leaves every vertex as it was)."""
    v = np.asarray(vertices, np.float32).copy()
    v[:, 1] += np.float32(amount) * np.sin(3.0 * v[:, 0]).astype(np.float32)
    return v * np.float32(1.0 + amount)


def test_moved_meshes_answer_as_a_scene_built_over_them(tmp_path):
    """A deforming mesh: each step moves one mesh's vertices (the soup's NaN
    face still left out), rebuilding the top level or refitting it, and must
    answer bit for bit as a scene built from scratch over the moved meshes,
    pickled and saved copies included."""
    meshes, transforms, mesh = placed_meshes()
    scene = placed_scene()
    rays = random_rays(3000, seed=31)
    moved = list(meshes)
    for step, (m, amount) in enumerate([(0, 0.3), (1, -0.2), (0, 0.0)], start=1):
        moved[m] = (_bent(meshes[m][0], amount), meshes[m][1])
        quietly(scene.set_mesh_vertices, m, *moved[m], build_threads=2, refit=step % 2 == 1)
        assert scene.revision == step and scene.dropped_non_finite == 1
        fresh = quietly(zrv.Scene.from_instances, moved, transforms, mesh=mesh)
        want = _every_answer(fresh, *rays)
        assert_same(_every_answer(scene, *rays), want)
        assert_same(_every_answer(pickle.loads(pickle.dumps(scene)), *rays), want)
        np.testing.assert_array_equal(scene.instance_bounds, fresh.instance_bounds)
    path = tmp_path / "moved.tree"
    scene.save(path)
    assert_same(_every_answer(quietly(zrv.Scene.load_instances, path, moved), *rays), want)
    with pytest.raises(ValueError, match=r"saved for other triangles: meshes\[1\]"):
        quietly(zrv.Scene.load_instances, path, meshes)


_SOUP = placed_meshes()[0][1]


def _moved_nan(soup):
    """The soup's NaN moved from face 7 to face 3: as many faces left out,
    but not the same."""
    vertices = np.nan_to_num(soup[0])
    vertices[soup[1][3, 0]] = np.nan
    return vertices


@pytest.mark.parametrize("args, error, message", [
    ((2, *SPHERE), ValueError, r"mesh 2 is not a mesh of the scene \(it has 2\)"),
    ((-1, *SPHERE), ValueError, r"mesh -1 is not a mesh of the scene"),
    ((0.5, *SPHERE), TypeError, "mesh must be an integer, not float"),
    ((True, *SPHERE), TypeError, "mesh must be an integer, not bool"),
    ((0, SPHERE[0][:, :2], SPHERE[1]), ValueError, "vertices must have shape"),
    ((0, *SPHERE), ValueError, r"vertices leave out other faces than mesh 0 does \(36 faces kept, "
                               r"not 168\)"),
    ((1, np.nan_to_num(_SOUP[0]), _SOUP[1]), ValueError,
     r"vertices leave out other faces than mesh 1 does \(60 faces kept, not 59\)"),
    ((1, np.where(np.arange(len(_SOUP[0]))[:, None] == _SOUP[1][3, 0], np.inf, _SOUP[0]),
      _SOUP[1]), ValueError, r"vertices leave out other faces than mesh 1 does \(58 faces kept"),
    ((1, _moved_nan(_SOUP), _SOUP[1]), ValueError, r"\(59 faces kept, not 59\)"),
])
def test_refused_mesh_moves_leave_the_scene_as_it_was(args, error, message):
    scene = placed_scene()
    rays = random_rays(1000, seed=32)
    before = _every_answer(scene, *rays)
    with pytest.raises(error, match=message):
        quietly(scene.set_mesh_vertices, *args)
    assert scene.revision == 0 and scene.dropped_non_finite == 1
    assert_same(_every_answer(scene, *rays), before)


def test_queries_while_a_mesh_moves_see_one_shape_or_the_other():
    """set_mesh_vertices waits for running queries, and queries and pickles
    for it: every answer is wholly that of one shape."""
    meshes, transforms, mesh = placed_meshes()
    shapes = [meshes[0], (_bent(meshes[0][0], 0.25), meshes[0][1])]
    rays = random_rays(4000, seed=33)
    want = [quietly(zrv.Scene.from_instances, [shape, meshes[1]], transforms,
                    mesh=mesh).intersect(*rays) for shape in shapes]
    assert not np.array_equal(want[0]["t"], want[1]["t"])
    scene = placed_scene()
    seen, pickles, done = [], [], threading.Event()

    def query():
        while not done.is_set():
            seen.append(scene.intersect(*rays, threads=2))
            pickles.append(pickle.dumps(scene))

    workers = [threading.Thread(target=query) for _ in range(2)]
    for worker in workers:
        worker.start()
    for step in range(100):
        scene.set_mesh_vertices(0, *shapes[1 - step % 2], refit=step % 3 == 0)
    done.set()
    for worker in workers:
        worker.join()
    assert len(seen) >= 2 and scene.revision == 100
    for got in seen + [pickle.loads(state).intersect(*rays) for state in pickles]:
        assert any(all(np.array_equal(got[k], w[k]) for k in w) for w in want)


def test_bounds_hold_every_placed_triangle():
    meshes, transforms, mesh = placed_meshes()
    scene = placed_scene()
    vertices, faces, instance, _ = world_triangles(meshes, transforms, mesh)
    kept = np.isfinite(vertices[faces]).all(axis=(1, 2))
    boxes = scene.instance_bounds
    assert boxes.shape == (4, 2, 3) and boxes.dtype == np.float32
    for i, m in enumerate(mesh):
        corners = vertices[faces[kept & (instance == i)]].reshape(-1, 3)
        assert (boxes[i, 0] <= corners.min(0)).all() and (boxes[i, 1] >= corners.max(0)).all()
        # Within the carried box of the mesh's own box: the hull lies inside it.
        own = np.asarray(meshes[m][0], np.float32).astype(np.float64)
        lo, hi = np.nanmin(own, axis=0), np.nanmax(own, axis=0)
        cube = np.array([[x, y, z] for x in (lo[0], hi[0]) for y in (lo[1], hi[1])
                         for z in (lo[2], hi[2])])
        t = transforms[i].astype(np.float64)
        carried = cube @ t[:, :3].T + t[:, 3]
        slack = 1e-5 * np.ptp(carried, axis=0).max()
        assert (boxes[i, 0] >= carried.min(0) - slack).all()
        assert (boxes[i, 1] <= carried.max(0) + slack).all()
    np.testing.assert_array_equal(scene.bounds, [boxes[:, 0].min(0), boxes[:, 1].max(0)])
    scene.set_enabled(False, instances=[0, 3])
    np.testing.assert_array_equal(scene.bounds, [boxes[1:3, 0].min(0), boxes[1:3, 1].max(0)])
    scene.set_enabled(False)
    assert scene.bounds is None

    soup_vertices, soup_faces = meshes[1]
    one = quietly(zrv.Scene, soup_vertices, soup_faces)
    good = soup_vertices.astype(np.float32)[np.delete(soup_faces, 7, axis=0)].reshape(-1, 3)
    np.testing.assert_array_equal(one.bounds, [good.min(0), good.max(0)])
