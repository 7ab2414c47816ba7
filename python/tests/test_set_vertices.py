"""Scene.set_vertices: a scene of one mesh moved frame after frame answers every
query as a scene built over the moved vertices, its refusals change nothing,
and queries on other threads see one shape or the other."""

import pickle
import threading

import numpy as np
import pytest

from conftest import assert_same, quietly, random_rays, uv_sphere, zrv


def closed_sphere():
    """A sphere wound counter-clockwise seen from outside, with a NaN vertex:
    the five faces around it are left out."""
    vertices, faces = uv_sphere(10, 16)
    vertices = vertices.astype(np.float32)
    vertices[faces[5, 0]] = np.nan
    return vertices, faces[:, [0, 2, 1]]


def bent(vertices, amount):
    """The vertices bent by a wave and stretched (NaN stays NaN; amount 0
    leaves every vertex as it was)."""
    v = np.asarray(vertices, np.float32).copy()
    v[:, 2] += np.float32(amount) * np.sin(4.0 * v[:, 0]).astype(np.float32)
    return v * np.float32(1.0 + amount)


def every_answer(scene, origins, directions, points):
    """Every query's answer, the figures a refit keeps included."""
    answer = scene.intersect(origins, directions, threads=2)
    answer["occluded"] = scene.occluded(origins, directions)
    answer["count"] = scene.count_intersections(origins, directions, threads=2)
    for key, value in scene.list_intersections(origins, directions).items():
        answer["list_" + key] = value
    for key, value in scene.closest_points(points, threads=2).items():
        answer["closest_" + key] = value
    answer["signed"] = scene.signed_distance(points)
    answer["bounds"] = scene.bounds
    answer["closed"] = np.array(scene.closed)
    return answer


@pytest.mark.parametrize("accel", ["wide", "kd", "bvh"])
def test_moved_vertices_answer_as_a_scene_built_over_them(accel, tmp_path):
    """Each frame moves every vertex; the scene must answer bit for bit as one
    built over the moved vertices, pickled and saved copies included. The
    every-hit and point queries run before the first move, so that what they
    work out from positions (a KD-tree's or BVH's query tree, the
    pseudo-normals) must be worked out again."""
    vertices, faces = closed_sphere()
    scene = quietly(zrv.Scene, vertices, faces, accel=accel)
    origins, directions = random_rays(2000, seed=41)
    points = np.random.default_rng(42).uniform(-0.5, 1.5, (500, 3)).astype(np.float32)
    every_answer(scene, origins, directions, points)
    for amount in (0.3, -0.2, 0.0):
        moved = bent(vertices, amount)
        quietly(scene.set_vertices, moved, faces, build_threads=2)
        fresh = quietly(zrv.Scene, moved, faces, accel=accel)
        want = every_answer(fresh, origins, directions, points)
        assert_same(every_answer(scene, origins, directions, points), want)
        copy = pickle.loads(pickle.dumps(scene))
        assert_same(every_answer(copy, origins, directions, points), want)
        assert (scene.accel, len(scene), scene.dropped_non_finite) == (accel, len(faces) - 5, 5)
    path = tmp_path / "moved.tree"
    scene.save(path)
    loaded = quietly(zrv.Scene.load, path, moved, faces)
    assert_same(every_answer(loaded, origins, directions, points), want)


VERTICES, FACES = closed_sphere()


@pytest.mark.parametrize("vertices, faces, error, message", [
    (VERTICES, FACES[1:], ValueError, r"faces must be the scene's 288 faces, not 287"),
    (VERTICES[:, :2], FACES, ValueError, "vertices must have shape"),
    (np.nan_to_num(VERTICES), FACES, ValueError,
     r"vertices leave out other faces than the scene's mesh does \(288 faces kept, not 283\)"),
    (np.where(np.arange(len(VERTICES))[:, None] == FACES[9, 0], np.inf, VERTICES), FACES,
     ValueError, r"\(27\d faces kept, not 283\)"),
    (VERTICES, FACES[:, [0, 0, 1]], ValueError, "no usable triangles: 288 faces"),
])
def test_refused_moves_leave_the_scene_as_it_was(vertices, faces, error, message):
    for accel in ("wide", "kd"):
        scene = quietly(zrv.Scene, VERTICES, FACES, accel=accel)
        rays = random_rays(1000, seed=43)
        before = scene.intersect(*rays)
        with pytest.raises(error, match=message):
            quietly(scene.set_vertices, vertices, faces)
        assert_same(scene.intersect(*rays), before)
        assert scene.dropped_non_finite == 5


def test_a_scene_of_instances_moves_its_meshes_instead():
    scene = zrv.Scene.from_instances([(VERTICES[:3] * 0 + np.eye(3), [[0, 1, 2]])],
                                     np.eye(3, 4, dtype=np.float32)[None])
    with pytest.raises(ValueError, match="set_vertices answers a scene of one mesh"):
        scene.set_vertices(np.eye(3), [[0, 1, 2]])


@pytest.mark.parametrize("accel", ["wide", "kd"])
def test_queries_while_the_vertices_move_see_one_shape_or_the_other(accel):
    """set_vertices waits for running queries, and queries, every-hit counts
    and pickles for it: every answer is wholly that of one shape (each call's
    own: the shape may change between two calls)."""
    vertices, faces = closed_sphere()
    shapes = [vertices, bent(vertices, 0.25)]
    rays = random_rays(3000, seed=44)
    fresh = [quietly(zrv.Scene, shape, faces, accel=accel) for shape in shapes]
    want = [(s.intersect(*rays), s.count_intersections(*rays)) for s in fresh]
    assert not np.array_equal(want[0][0]["t"], want[1][0]["t"])
    scene = quietly(zrv.Scene, vertices, faces, accel=accel)
    seen, pickles, done = [], [], threading.Event()

    def query():
        while not done.is_set():
            seen.append((scene.intersect(*rays, threads=2), scene.count_intersections(*rays)))
            pickles.append(pickle.dumps(scene))

    workers = [threading.Thread(target=query) for _ in range(2)]
    for worker in workers:
        worker.start()
    for step in range(40 if accel == "kd" else 100):
        quietly(scene.set_vertices, shapes[1 - step % 2], faces)
    done.set()
    for worker in workers:
        worker.join()
    assert len(seen) >= 2
    restored = [pickle.loads(state) for state in pickles]
    for hits, counts in seen + [(s.intersect(*rays), s.count_intersections(*rays))
                                for s in restored]:
        assert any(all(np.array_equal(hits[k], w[0][k]) for k in w[0]) for w in want)
        assert any(np.array_equal(counts, w[1]) for w in want)
