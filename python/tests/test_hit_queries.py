"""Scene.count_intersections and list_intersections against the float64 brute force."""

import concurrent.futures
import functools

import numpy as np
import pytest

from conftest import MIN_T, assert_same, hit_distances, random_rays, sheet, uv_sphere, zrv


def wavy_sheet(n):
    """An open n x n grid over the unit square, its height a gentle wave."""
    return sheet(n, lambda x, y: 0.5 + 0.1 * np.sin(6.0 * x) * np.cos(4.0 * y))


def coincident_faces():
    """A sphere with a zero-area face first (rows are not positions), and a
    third of its faces again, half of those wound the other way."""
    vertices, faces = uv_sphere(8, 12)
    again = faces[::3].copy()
    again[::2] = again[::2, ::-1]
    return vertices, np.vstack([[[0, 0, 1]], faces, again])


MESHES = {"sphere": lambda: uv_sphere(12, 24), "sheet": lambda: wavy_sheet(10),
          "coincident": coincident_faces}


@functools.lru_cache(maxsize=None)
def reference(mesh_name, eps=1e-4):
    """Rays, limits, and the float64 hits of those rays whose every hit and
    miss holds with all triangles grown and shrunk by eps, away from the
    ends of [MIN_T, tmax)."""
    vertices, faces = MESHES[mesh_name]()
    origins, directions = random_rays(2500, seed=7)
    tmax = np.random.default_rng(8).uniform(0.5, 3.0, len(origins))
    tmax[::3] = np.inf
    t, u, v = hit_distances(vertices, faces, origins, directions, tmax)
    grown = np.isfinite(hit_distances(vertices, faces, origins, directions, tmax, eps)[0])
    shrunk = np.isfinite(hit_distances(vertices, faces, origins, directions, tmax, -eps)[0])
    with np.errstate(invalid="ignore"):
        near_end = (np.abs(t - MIN_T) < eps) | (np.abs(t - tmax[:, None]) < eps * t)
    clear = np.all(grown == shrunk, 1) & ~np.any(near_end & grown, 1)
    return vertices, faces, origins, directions, tmax, t, u, v, clear


@pytest.mark.parametrize("accel", ["wide", "kd"])
@pytest.mark.parametrize("mesh_name", sorted(MESHES))
def test_every_hit_matches_brute_force(mesh_name, accel):
    vertices, faces, origins, directions, tmax, t, u, v, clear = reference(mesh_name)
    scene = zrv.Scene(vertices, faces, accel=accel)
    counts = scene.count_intersections(origins, directions, tmax, threads=3)
    hits = scene.list_intersections(origins, directions, tmax, threads=3)
    assert counts.dtype == np.int32 and counts.shape == (len(origins),)
    assert clear.mean() > 0.9 and counts[clear].max() >= 2
    np.testing.assert_array_equal(counts[clear], np.isfinite(t).sum(1)[clear])
    # The list holds the counted hits, sorted by ray, then t, then triangle.
    assert {k: a.dtype for k, a in hits.items()} == {
        "ray": np.int32, "t": np.float32, "triangle": np.int32, "u": np.float32, "v": np.float32}
    np.testing.assert_array_equal(np.bincount(hits["ray"], minlength=len(origins)), counts)
    key = np.lexsort((hits["triangle"], hits["t"], hits["ray"]))
    np.testing.assert_array_equal(key, np.arange(len(key)))
    # Against float64 as sets per ray, since coincident faces' t may round
    # apart in either order.
    rows, tris = np.nonzero(np.isfinite(t) & clear[:, None])
    mine = clear[hits["ray"]]
    by_face = np.lexsort((hits["triangle"][mine], hits["ray"][mine]))
    np.testing.assert_array_equal(hits["ray"][mine][by_face], rows)
    np.testing.assert_array_equal(hits["triangle"][mine][by_face], tris)
    for name, want in (("t", t), ("u", u), ("v", v)):
        np.testing.assert_allclose(hits[name][mine][by_face], want[rows, tris], rtol=1e-5,
                                   atol=1e-4 if name != "t" else 0)
    assert_same(scene.list_intersections(origins, directions, tmax, threads=1), hits)


@pytest.mark.parametrize("accel", ["wide", "bvh"])
def test_rays_through_shared_vertices_and_edges_count_as_documented(accel):
    vertices, faces = sheet(4)
    scene = zrv.Scene(vertices * 4, faces, accel=accel)  # unit squares in z = 0
    # The vertex (2, 2) is shared by six triangles, the edge through
    # (2.5, 2) by two: met exactly, all count from the front, none from
    # the back.
    origins = np.array([[2, 2, 3], [2, 2, -3], [2.5, 2, 3], [2.5, 2, -3], [2.3, 2.6, -3]],
                       np.float32)
    directions = np.array([[0, 0, -1], [0, 0, 1], [0, 0, -1], [0, 0, 1], [0, 0, 1]], np.float32)
    np.testing.assert_array_equal(scene.count_intersections(origins, directions), [6, 0, 2, 0, 1])
    hits = scene.list_intersections(origins[:1], directions[:1])
    np.testing.assert_allclose(hits["t"], np.full(6, 3.0), rtol=1e-6)
    np.testing.assert_array_equal(hits["triangle"], np.sort(hits["triangle"]))
    assert len(set(hits["triangle"])) == 6


def test_results_outlive_the_scene_and_empty_batches_give_empty_arrays():
    scene = zrv.Scene(*uv_sphere(6, 8))
    hits = scene.list_intersections([[0.53, 0.46, -1.0]], [[0.0, 0.0, 1.0]], tmax=[2.0])
    del scene
    np.testing.assert_allclose(hits["t"], [1.0, 2.0], rtol=0.03)
    assert hits["t"].base is hits["ray"].base  # one block, no copies
    scene = zrv.Scene(*uv_sphere(6, 8), accel="bvh")
    none = np.zeros((0, 3), np.float32)
    assert scene.count_intersections(none, none).shape == (0,)
    assert all(a.shape == (0,) for a in scene.list_intersections(none, none).values())


def test_a_kd_scene_builds_its_wide_bvh_once_for_concurrent_callers():
    vertices, faces = wavy_sheet(30)
    origins, directions = random_rays(20000, seed=9)
    want = zrv.Scene(vertices, faces).count_intersections(origins, directions)
    scene = zrv.Scene(vertices, faces, accel="kd")
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        counts = list(pool.map(lambda _: scene.count_intersections(origins, directions, threads=2),
                               range(8)))
    for got in counts:
        np.testing.assert_array_equal(got, want)
