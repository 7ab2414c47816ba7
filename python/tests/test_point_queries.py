"""Closest points, distances, signed distances and occupancy against float64 numpy."""

import concurrent.futures

import numpy as np
import pytest

from conftest import assert_same, sheet, uv_sphere, zrv


def closed_sphere():
    """conftest's sphere wound counter-clockwise seen from outside."""
    vertices, faces = uv_sphere(12, 24)
    return vertices, faces[:, [0, 2, 1]]


def triangle_distances(vertices, faces, points):
    """(points, faces) float64 distances: to the plane where the projection falls
    inside the triangle, else to the nearest of its three edges."""
    tri = np.asarray(vertices, np.float32).astype(np.float64)[faces][None]
    p = np.asarray(points, np.float32).astype(np.float64)[:, None, :]
    n = np.cross(tri[..., 1, :] - tri[..., 0, :], tri[..., 2, :] - tri[..., 0, :])
    inside = np.ones(p.shape[0:1] + tri.shape[1:2], bool)
    edge = np.full(inside.shape, np.inf)
    for k in range(3):
        a, b = tri[..., k, :], tri[..., (k + 1) % 3, :]
        inside &= np.sum(np.cross(b - a, p - a) * n, -1) >= 0
        s = np.clip(np.sum((p - a) * (b - a), -1) / np.sum((b - a) ** 2, -1), 0, 1)
        edge = np.minimum(edge, np.linalg.norm(p - (a + s[..., None] * (b - a)), axis=-1))
    plane = np.abs(np.sum((p - tri[..., 0, :]) * n, -1)) / np.linalg.norm(n, axis=-1)
    return np.where(inside, plane, edge)


def query_points(vertices, faces, count, seed):
    """Points near faces (up to 0.1 off), at vertices, and scattered up to far away."""
    rng = np.random.default_rng(seed)
    tri = np.asarray(vertices)[faces[rng.integers(0, len(faces), count)]]
    w = rng.dirichlet([1, 1, 1], count)
    near = np.einsum("pk,pka->pa", w, tri) + rng.uniform(-0.1, 0.1, (count, 3))
    kinds = rng.integers(0, 4, count)
    far, box = rng.uniform(-3, 4, (count, 3)), rng.uniform(-0.2, 1.2, (count, 3))
    return np.choose(kinds[:, None], [near, tri[:, 1], box, far]).astype(np.float32)


# A wavy height field facing +z is not closed; the sphere's faces listed
# twice tie with their copies further down.
MESHES = {"sphere": closed_sphere,
          "sheet": lambda: sheet(10, lambda x, y: 0.5 + 0.1 * np.sin(5 * x + 3 * y)),
          "coincident": lambda: (closed_sphere()[0], np.vstack([closed_sphere()[1]] * 2))}


@pytest.mark.parametrize("accel", ["wide", "kd", "bvh"])
@pytest.mark.parametrize("mesh_name", sorted(MESHES))
def test_closest_points_match_brute_force(mesh_name, accel):
    vertices, faces = MESHES[mesh_name]()
    points = query_points(vertices, faces, 500, seed=len(mesh_name))
    scene = zrv.Scene(vertices, faces, accel=accel, build_threads=2)
    got = scene.closest_points(points, threads=3)
    assert_same(got, scene.closest_points(points, threads=1))  # threads split the points only
    if accel != "wide":  # every structure gives the same bits
        assert_same(got, zrv.Scene(vertices, faces, accel="wide").closest_points(points))
    assert got["points"].shape == (500, 3) and got["uv"].shape == (500, 2)
    assert got["points"].dtype == got["uv"].dtype == got["distance"].dtype == np.float32
    assert got["triangle"].dtype == np.int32
    np.testing.assert_array_equal(scene.distance(points, threads=2), got["distance"])

    d = triangle_distances(vertices, faces, points)
    best = d.min(1)
    tolerance = 1e-5 * (best + 0.1 * np.maximum(1.0, np.abs(points).max(1)))
    assert np.all(np.abs(got["distance"] - best) <= tolerance)
    runner_up = np.sort(d, 1)[:, 1]
    clear = runner_up - best > 1e-4 * (best + 0.1)
    np.testing.assert_array_equal(got["triangle"][clear], np.argmin(d, 1)[clear])
    if mesh_name == "coincident":  # the copy ties with its original: the lower row wins
        assert np.all(got["triangle"] < len(faces) // 2)
    else:
        assert clear.sum() > 100
    # The point lies where uv says on the reported face, at the distance.
    tri = np.asarray(vertices)[faces[got["triangle"]]]
    u, v = got["uv"].T.astype(np.float64)
    at = (1 - u - v)[:, None] * tri[:, 0] + u[:, None] * tri[:, 1] + v[:, None] * tri[:, 2]
    np.testing.assert_allclose(got["points"], at, atol=1e-5)
    np.testing.assert_allclose(np.linalg.norm(points - got["points"], axis=1), got["distance"],
                               rtol=1e-5, atol=1e-6)


def test_points_on_vertices_edges_and_faces():
    vertices, faces = sheet(4)
    vertices *= 4  # whole coordinates: every step exact
    scene = zrv.Scene(vertices, faces)
    points = np.array([[1, 2, 0], [1, 2, 3], [1.5, 2, 0], [1, 2.5, 2], [1.25, 2.5, 0],
                       [1.75, 2.5, -0.5], [6, 0.5, 0]], np.float32)
    got = scene.closest_points(points)
    np.testing.assert_allclose(got["distance"], [0, 3, 0, 2, 0, 0.5, 2], atol=1e-6)
    np.testing.assert_allclose(got["points"], [[1, 2, 0], [1, 2, 0], [1.5, 2, 0], [1, 2.5, 0],
                                               [1.25, 2.5, 0], [1.75, 2.5, 0], [4, 0.5, 0]],
                               atol=1e-6)
    uv = got["uv"].astype(np.float64)
    weights = np.c_[1 - uv.sum(1), uv]
    # A vertex: one weight 1; an edge: one weight 0; a face: none 0.
    assert np.all(np.isclose(weights[:2], 1, atol=1e-6).sum(1) == 1)
    assert np.all(np.isclose(weights[[2, 3, 6]], 0, atol=1e-6).sum(1) == 1)
    assert np.all(weights[4:6] > 1e-3)


def test_signed_distance_and_occupancy_of_a_closed_sphere():
    vertices, faces = closed_sphere()
    scene = zrv.Scene(vertices, faces, accel="kd")
    assert scene.closed
    rng = np.random.default_rng(8)
    # Points on faces, edges and at vertices pushed in or out along the
    # face's normal by 1e-4 to 1e-2, and points well inside or outside.
    tri = np.asarray(vertices)[faces[rng.integers(0, len(faces), 2000)]]
    w = rng.dirichlet([1, 1, 1], 2000)
    w[500:1000, 2] = 0
    w[1000:1500] = [0, 1, 0]
    on = np.einsum("pk,pka->pa", w / w.sum(1, keepdims=True), tri)
    normal = np.cross(tri[:, 1] - tri[:, 0], tri[:, 2] - tri[:, 0])
    normal /= np.linalg.norm(normal, axis=1, keepdims=True)
    step = rng.choice([-1, 1], 2000) * 10.0 ** rng.uniform(-4, -2, 2000)
    radius = rng.uniform(0, 1, 500) ** (1 / 3) * 0.45
    direction = rng.normal(size=(500, 3))
    direction /= np.linalg.norm(direction, axis=1, keepdims=True)
    inner = 0.5 + radius[:, None] * direction
    outer = 0.5 + (0.51 + 2 * radius)[:, None] * direction
    points = np.vstack([on + step[:, None] * normal, inner, outer]).astype(np.float32)
    inside = np.r_[step < 0, np.ones(500, bool), np.zeros(500, bool)]

    signed = scene.signed_distance(points)
    np.testing.assert_array_equal(signed < 0, inside)
    np.testing.assert_array_equal(np.abs(signed), scene.distance(points))
    occupancy = scene.occupancy(points, threads=2)
    assert occupancy.dtype == np.float32
    np.testing.assert_array_equal(occupancy, inside.astype(np.float32))


def test_open_and_inconsistent_meshes_are_not_closed():
    vertices, faces = closed_sphere()
    assert not zrv.Scene(vertices, faces[1:]).closed
    flipped = faces.copy()
    flipped[7] = flipped[7, [0, 2, 1]]
    assert not zrv.Scene(vertices, flipped).closed
    wave = zrv.Scene(*MESHES["sheet"]())
    assert not wave.closed
    # An open sheet's sign is the side its nearest feature faces: +z up.
    points = np.array([[0.5, 0.5, 2.0], [0.5, 0.5, -1.0], [0.3, 0.7, 0.9]], np.float32)
    np.testing.assert_array_equal(np.sign(wave.signed_distance(points)), [1, -1, 1])


def test_first_use_builds_once_under_concurrent_calls():
    vertices, faces = closed_sphere()
    points = query_points(vertices, faces, 20000, seed=9)
    scene = zrv.Scene(vertices, faces, accel="bvh")
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda _: scene.signed_distance(points, threads=2), range(8)))
    np.testing.assert_array_equal(results, [results[0]] * len(results))
    np.testing.assert_array_equal(np.abs(results[0]), zrv.Scene(vertices, faces).distance(points))


@pytest.mark.parametrize("query", ["closest_points", "distance", "signed_distance", "occupancy"])
def test_bad_points_raise_and_empty_points_answer_empty(query):
    scene = zrv.Scene(*closed_sphere())
    call = getattr(scene, query)
    with pytest.raises(ValueError, match=r"points must have shape \(n, 3\), not \(4, 2\)"):
        call(np.zeros((4, 2), np.float32))
    with pytest.raises(TypeError, match="points must be a float array"):
        call(np.zeros((4, 3), np.int64))
    for bad in np.diag([np.inf] * 3):  # each coordinate of points[1] in turn
        with pytest.raises(ValueError, match=r"points\[1\] is not finite"):
            call(np.array([[0, 0, 0], bad, [0, 0, 0]]))
    with pytest.raises(ValueError, match="threads must be 1 to 64"):
        call(np.zeros((4, 3)), threads=0)
    empty = call(np.zeros((0, 3)))
    if query == "closest_points":
        assert empty["points"].shape == (0, 3) and empty["uv"].shape == (0, 2)
        assert empty["triangle"].shape == empty["distance"].shape == (0,)
    else:
        assert empty.shape == (0,) and empty.dtype == np.float32
