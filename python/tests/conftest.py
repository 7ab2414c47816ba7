"""Meshes, rays and the float64 brute-force oracle shared by the Python tests."""

import warnings

import numpy as np
import pytest

zrv = pytest.importorskip("zorvadideruvovozov")

# Hits count for MIN_T <= t < tmax, as in the library.
MIN_T = 1e-4


def triangle_soup(count, seed):
    """count random triangles of edge about 0.3 in the unit cube, unshared vertices."""
    rng = np.random.default_rng(seed)
    corners = rng.uniform(0.0, 1.0, (count, 1, 3)) + rng.normal(0.0, 0.15, (count, 3, 3))
    return corners.reshape(-1, 3), np.arange(3 * count).reshape(-1, 3)


def uv_sphere(rings, segments):
    """A closed sphere of radius 0.5 about the unit cube's centre, vertices shared."""
    th, ph = np.meshgrid(np.linspace(0.0, np.pi, rings + 1),
                         np.linspace(0.0, 2.0 * np.pi, segments, endpoint=False), indexing="ij")
    xyz = np.stack([np.sin(th) * np.cos(ph), np.sin(th) * np.sin(ph), np.cos(th)], -1)
    r, s = (g.ravel() for g in np.meshgrid(np.arange(rings), np.arange(segments), indexing="ij"))
    a, b = r * segments + s, r * segments + (s + 1) % segments
    faces = np.vstack([np.stack([a, b, b + segments], 1)[r > 0],
                       np.stack([a, b + segments, a + segments], 1)[r < rings - 1]])
    return 0.5 + 0.5 * xyz.reshape(-1, 3), faces


def sheet(n, height=None):
    """An open n x n grid of quads over the unit square, two triangles each,
    counter-clockwise seen from +z; z is height(x, y), or 0."""
    t = np.linspace(0.0, 1.0, n + 1)
    x, y = (g.ravel() for g in np.meshgrid(t, t, indexing="ij"))
    k = (np.arange(n)[:, None] * (n + 1) + np.arange(n)).ravel()  # each quad's first corner
    faces = np.vstack([np.c_[k, k + n + 1, k + n + 2], np.c_[k, k + n + 2, k + 1]])
    return np.c_[x, y, np.zeros_like(x) if height is None else height(x, y)], faces


def tessellated_cube(n):
    """The unit cube's six faces, each an n x n grid of quads: flat, axis-aligned."""
    grid, faces = sheet(n)
    sides = [np.insert(grid[:, :2], axis, side, axis=1) for axis in range(3) for side in (0.0, 1.0)]
    return np.vstack(sides), np.vstack([faces + i * len(grid) for i in range(6)])


def rotation(axis, angle):
    axis = np.asarray(axis, np.float64) / np.linalg.norm(axis)
    k = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    return np.eye(3) + np.sin(angle) * k + (1 - np.cos(angle)) * k @ k


def placed_meshes():
    """A sphere and a soup with one NaN face (dropped, rows kept), four
    instances rotated, scaled unevenly and moved about the unit cube."""
    soup_vertices, soup_faces = triangle_soup(60, seed=5)
    soup_vertices[soup_faces[7, 0]] = np.nan
    meshes = [uv_sphere(8, 12), (soup_vertices, soup_faces)]
    rng = np.random.default_rng(6)
    transforms = np.zeros((4, 3, 4), np.float32)
    for i in range(4):
        linear = rotation(rng.normal(size=3), rng.uniform(0, np.pi)) * rng.uniform(0.3, 0.6, 3)
        transforms[i, :, :3] = linear
        transforms[i, :, 3] = rng.uniform(0.0, 0.7, 3)
    return meshes, transforms, np.array([0, 1, 1, 0])


def quietly(build, *args, **kwargs):
    """build(*args, **kwargs) without the RuntimeWarning of its dropped faces."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return build(*args, **kwargs)


def placed_scene():
    return quietly(zrv.Scene.from_instances, *placed_meshes())


def assert_same(got, want):
    """Two results with the same keys and identical arrays."""
    assert sorted(got) == sorted(want)
    for key in want:
        np.testing.assert_array_equal(got[key], want[key])


def assert_same_scene(got, want):
    """A restored scene: the same figures (bar the build's duration, not
    saved), structure, text, size and dropped faces."""
    figures = [{k: v for k, v in s.statistics.items() if k != "compile_time_sec"}
               for s in (got, want)]
    assert figures[0] == figures[1] and type(got) is zrv.Scene and got.accel == want.accel
    assert repr(got) == repr(want) and len(got) == len(want)
    assert (got.dropped_non_finite, got.dropped_degenerate) == \
        (want.dropped_non_finite, want.dropped_degenerate)


def random_rays(count, seed):
    """Origins around the unit cube, directions towards points inside it."""
    rng = np.random.default_rng(seed)
    origins = rng.uniform(-0.5, 1.5, (count, 3))
    return origins, rng.uniform(0.0, 1.0, (count, 3)) - origins


def camera_rays(width, height, eye=(0.5, 0.4, 3.0)):
    """Coherent pinhole rays, row-major, through a grid across the middle of the unit cube."""
    x, y = np.meshgrid(np.linspace(-0.5, 1.5, width), np.linspace(-0.5, 1.5, height))
    targets = np.stack([x.ravel(), y.ravel(), np.full(x.size, 0.5)], 1)
    return np.broadcast_to(eye, targets.shape).copy(), targets - np.asarray(eye)


def hit_distances(vertices, faces, origins, directions, tmax=np.inf, margin=0.0):
    """Möller–Trumbore in float64 on float32-rounded inputs, every ray against every triangle.

    Returns the (rays, triangles) arrays t (inf where missed), u and v; a
    margin grows (> 0) or shrinks (< 0) the triangles in barycentric terms.
    """
    tri, o, d = (np.asarray(a, np.float32).astype(np.float64)
                 for a in (vertices, origins, directions))
    tri, o, d = tri[np.asarray(faces)], o[:, None, :], d[:, None, :]
    v0, e1, e2 = tri[None, :, 0], (tri[:, 1] - tri[:, 0])[None], (tri[:, 2] - tri[:, 0])[None]
    p = np.cross(d, e2)
    det = np.sum(e1 * p, -1)
    with np.errstate(divide="ignore", invalid="ignore"):
        inv = 1.0 / det
        s = o - v0
        u = np.sum(s * p, -1) * inv
        q = np.cross(s, e1)
        v = np.sum(d * q, -1) * inv
        t = np.sum(e2 * q, -1) * inv
    limit = np.broadcast_to(np.asarray(tmax, np.float64), (len(o),))[:, None]
    hit = (det != 0) & (u >= -margin) & (v >= -margin) & (u + v <= 1 + margin)
    hit &= (t >= MIN_T) & (t < limit)
    return np.where(hit, t, np.inf), u, v


def moller_trumbore(vertices, faces, origins, directions, tmax=np.inf):
    """The nearest hits as Scene.intersect reports them."""
    t, u, v = hit_distances(vertices, faces, origins, directions, tmax)
    rows, nearest = np.arange(len(t)), np.argmin(t, 1)
    missed = ~np.isfinite(t[rows, nearest])
    return {"t": t[rows, nearest], "triangle": np.where(missed, -1, nearest),
            "u": np.where(missed, 0.0, u[rows, nearest]),
            "v": np.where(missed, 0.0, v[rows, nearest])}


def clear_rays(vertices, faces, origins, directions, tmax=np.inf, eps=1e-4):
    """Rays whose nearest hit does not depend on float rounding.

    They miss even the triangles grown by eps, or hit the same nearest one
    when all are shrunk by eps, with no second hit (a tie) and not tmax
    within a relative eps.
    """
    grown = hit_distances(vertices, faces, origins, directions, tmax, eps)[0]
    shrunk = hit_distances(vertices, faces, origins, directions, tmax, -eps)[0]
    first, second = np.sort(np.c_[grown, np.full(len(grown), np.inf)], 1)[:, :2].T
    nearest = np.argmin(grown, 1)
    same = (nearest == np.argmin(shrunk, 1)) & (shrunk[np.arange(len(grown)), nearest] == first)
    limit = np.broadcast_to(np.asarray(tmax, np.float64), first.shape)
    with np.errstate(invalid="ignore"):  # inf - inf where an unlimited ray misses
        far_from_limit = np.abs(first - limit) > eps * first
    return ~np.isfinite(first) | (same & (second > first * (1 + eps) + 1e-7) & far_from_limit)
