"""Scene.intersect and Scene.occluded against the float64 brute force and each other."""

import concurrent.futures
import functools

import numpy as np
import pytest

from conftest import (assert_same, camera_rays, clear_rays, moller_trumbore, random_rays,
                      tessellated_cube, triangle_soup, uv_sphere, zrv)

MESHES = {"soup": lambda: triangle_soup(300, seed=1), "sphere": lambda: uv_sphere(12, 24),
          "cube": lambda: tessellated_cube(6)}
RAYS = {"random": lambda: random_rays(3000, seed=2), "coherent": lambda: camera_rays(48, 40)}


@functools.lru_cache(maxsize=None)
def reference(mesh_name, rays_name, limited=False):
    vertices, faces = MESHES[mesh_name]()
    origins, directions = RAYS[rays_name]()
    tmax = np.random.default_rng(4).uniform(0.0, 2.0, len(origins)) if limited else np.inf
    want = moller_trumbore(vertices, faces, origins, directions, tmax)
    clear = clear_rays(vertices, faces, origins, directions, tmax)
    return vertices, faces, origins, directions, tmax, want, clear


ACCELS = ["wide", "kd", "bvh"]


@pytest.mark.parametrize("accel", ACCELS)
@pytest.mark.parametrize("rays", sorted(RAYS))
@pytest.mark.parametrize("mesh_name", sorted(MESHES))
def test_intersect_matches_brute_force(mesh_name, accel, rays):
    vertices, faces, origins, directions, _, want, clear = reference(mesh_name, rays)
    scene = zrv.Scene(vertices, faces, accel=accel, build_threads=2)
    got = scene.intersect(origins, directions, threads=4)
    # Threads split the rays, not the answers.
    assert_same(got, scene.intersect(origins, directions, threads=1))
    np.testing.assert_array_equal(scene.occluded(origins, directions, threads=1),
                                  scene.occluded(origins, directions, threads=4))
    assert clear.mean() > 0.9
    hit = clear & (want["triangle"] >= 0)
    assert hit.any()
    if rays == "coherent":  # the camera also sees past the mesh
        assert (clear & (want["triangle"] < 0)).any()

    np.testing.assert_array_equal(got["triangle"][clear], want["triangle"][clear])
    assert np.all(np.isinf(got["t"][clear & (want["triangle"] < 0)]))
    np.testing.assert_allclose(got["t"][hit], want["t"][hit], rtol=1e-5)
    np.testing.assert_allclose(np.c_[got["u"], got["v"]][hit], np.c_[want["u"], want["v"]][hit],
                               atol=1e-4)
    assert got["t"].dtype == np.float32 and got["triangle"].dtype == np.int32


@pytest.mark.parametrize("accel", ACCELS)
@pytest.mark.parametrize("mesh_name", sorted(MESHES))
def test_tmax_limits_hits(mesh_name, accel):
    vertices, faces, origins, directions, tmax, want, clear = reference(mesh_name, "random", True)
    scene = zrv.Scene(vertices, faces, accel=accel)
    got = scene.intersect(origins, directions, tmax=tmax)
    np.testing.assert_array_equal(got["triangle"][clear], want["triangle"][clear])
    missed = got["triangle"] < 0
    assert 0 < missed.sum() < len(missed)
    assert np.all(np.isinf(got["t"][missed])) and not got["u"][missed].any()

    # A number is the same limit on every ray.
    for limit in (0.9, 0):
        assert_same(scene.intersect(origins, directions, tmax=limit),
                    scene.intersect(origins, directions, tmax=np.full(len(origins), limit)))

    # occluded is "the nearest hit lies before tmax", traced as shadow rays.
    nearest = scene.intersect(origins, directions)["t"]
    away = np.abs(nearest - tmax) > 1e-4 * np.minimum(nearest, 1e30)
    occluded = scene.occluded(origins, directions, tmax)
    assert occluded.dtype == np.bool_
    assert 0 < occluded[away].sum() < away.sum()
    np.testing.assert_array_equal(occluded[away], (nearest < tmax)[away])
    np.testing.assert_array_equal(scene.occluded(origins, directions), np.isfinite(nearest))


def test_any_layout_and_float64_give_the_same_answers_and_the_scene_keeps_a_copy():
    (vertices, faces), (origins, directions) = triangle_soup(200, seed=7), random_rays(1500, seed=8)
    vertices32 = vertices.astype(np.float32)
    scene = zrv.Scene(vertices32, faces.astype(np.int32))
    reference = scene.intersect(origins.astype(np.float32), directions.astype(np.float32))
    assert (reference["triangle"] >= 0).any()
    vertices32[:] = 0.0

    strided_origins = np.repeat(origins, 2, axis=0)[::2]  # a non-contiguous view
    other = zrv.Scene(np.asfortranarray(vertices), faces.astype(np.uint32)[::1, ::-1][:, ::-1])
    assert not strided_origins.flags.c_contiguous
    copied = scene.intersect(origins, directions)  # its own vertices, not the zeroed array
    for got in (other.intersect(strided_origins, np.asfortranarray(directions)), copied):
        assert_same(got, reference)

    empty = scene.intersect(np.zeros((0, 3)), np.zeros((0, 3)))
    assert all(len(a) == 0 for a in empty.values())
    assert len(scene.occluded(np.zeros((0, 3)), np.zeros((0, 3)))) == 0


@pytest.mark.parametrize("mesh_name", sorted(MESHES))
def test_wide_bvh_gives_the_kdtree_and_bvh_bits_on_every_thread_count(mesh_name):
    """The three traversals apply the same triangle kernel: where the nearest
    hit is not a tie, they agree on the triangle and on t, u and v to the bit.
    20000 rays make five of the wide batch's shares, so threads do split them;
    the thread counts run side by side from Python threads on one scene."""
    vertices, faces = MESHES[mesh_name]()
    origins, directions = random_rays(20000, seed=9)
    wide = zrv.Scene(vertices, faces, accel="wide")
    counts = [1, 2, 3, 4] * 2
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda n: wide.intersect(origins, directions, threads=n), counts))
        blocked = list(pool.map(lambda n: wide.occluded(origins, directions, threads=n), counts))
    for other, other_blocked in zip(got[1:], blocked[1:]):
        assert_same(other, got[0])
        np.testing.assert_array_equal(other_blocked, blocked[0])
    np.testing.assert_array_equal(blocked[0], got[0]["triangle"] >= 0)

    bits = {key: values.view(np.int32) for key, values in got[0].items()}
    assert (got[0]["triangle"] >= 0).mean() > 0.5
    for accel in ("kd", "bvh"):
        want = zrv.Scene(vertices, faces, accel=accel).intersect(origins, directions, threads=2)
        # The cube's faces share edges: a ray through one may tie two triangles.
        same = want["triangle"] == got[0]["triangle"]
        assert same.mean() > (0.999 if mesh_name == "cube" else 1.0 - 1e-12)
        for key in bits:
            np.testing.assert_array_equal(want[key].view(np.int32)[same], bits[key][same])


def test_the_default_is_the_wide_bvh_and_reports_its_figures():
    vertices = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], dtype=np.float32)
    square = zrv.Scene(vertices, [[0, 1, 2], [0, 2, 3], [0, 0, 1]])  # the last: zero area
    assert square.accel == "wide" and zrv.Scene(vertices, [[0, 1, 2]], "auto").accel == "wide"
    stats = square.statistics
    assert stats.pop("bytes") > 0
    assert stats == {"accel": "wide", "nodes": 1, "leaves": 1, "blocks": 1, "depth": 1,
                     "triangles": 2, "input_triangles": 2}
    assert repr(square) == ("<zorvadideruvovozov.Scene 2 triangles of 3 faces, wide BVH of 1 "
                            "nodes, depth 1, 1 blocks of 4 triangles>")

    sphere = zrv.Scene(*uv_sphere(30, 60))
    stats = sphere.statistics
    assert stats["triangles"] == stats["input_triangles"] == len(sphere)
    assert stats["depth"] >= 2 and stats["leaves"] > stats["nodes"]
    assert len(sphere) <= 4 * stats["blocks"]
    assert stats["bytes"] > 4 * len(sphere) + 64 * stats["nodes"]  # ids and eight boxes a node
    kd = zrv.Scene(*uv_sphere(30, 60), accel="kd")
    assert kd.accel == "kd" and kd.statistics["accel"] == "kd" and "KD-tree of" in repr(kd)


def test_large_results_own_their_memory_and_match_small_batches():
    """Results of 2 MiB and more come from memory of their own: they must hold
    the same answers as small batches, be writable and outlive their dict."""
    vertices, faces = uv_sphere(12, 24)
    scene = zrv.Scene(vertices, faces)
    origins, directions = random_rays(600000, seed=10)
    whole = scene.intersect(origins, directions, threads=2)
    pieces = [scene.intersect(origins[i:i + 100000], directions[i:i + 100000])
              for i in range(0, len(origins), 100000)]
    t = whole.pop("t")
    del whole["u"], whole["v"]
    np.testing.assert_array_equal(t, np.concatenate([p["t"] for p in pieces]))
    triangles = np.concatenate([p["triangle"] for p in pieces])
    np.testing.assert_array_equal(whole["triangle"], triangles)
    t[:] = -1.0
    assert t.flags.writeable and t.flags.c_contiguous and np.all(t == -1.0)
