"""Meshes, rays and the float64 brute-force oracle shared by the Python tests."""

import numpy as np
import pytest

zrv = pytest.importorskip("zorvadideruvovozov")

# Hits count for MIN_T <= t < tmax, as in the library.
MIN_T = 1e-4


def triangle_soup(count, seed):
    """count random triangles of edge about 0.3 in the unit cube, unshared vertices."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(0.0, 1.0, (count, 1, 3))
    corners = centres + rng.normal(0.0, 0.15, (count, 3, 3))
    return corners.reshape(-1, 3), np.arange(3 * count).reshape(-1, 3)


def uv_sphere(rings, segments, radius=0.5, centre=(0.5, 0.5, 0.5)):
    """A closed sphere with shared vertices."""
    theta = np.linspace(0.0, np.pi, rings + 1)
    phi = np.linspace(0.0, 2.0 * np.pi, segments, endpoint=False)
    th, ph = np.meshgrid(theta, phi, indexing="ij")
    vertices = np.stack([np.sin(th) * np.cos(ph), np.sin(th) * np.sin(ph), np.cos(th)], -1)
    vertices = vertices.reshape(-1, 3) * radius + np.asarray(centre)
    faces = []
    for r in range(rings):
        for s in range(segments):
            a, b = r * segments + s, r * segments + (s + 1) % segments
            c, d = a + segments, b + segments
            if r > 0:
                faces.append([a, b, d])
            if r < rings - 1:
                faces.append([a, d, c])
    return vertices, np.array(faces)


def tessellated_cube(n):
    """The unit cube's six faces, each an n x n grid of quads: flat, axis-aligned."""
    t = np.linspace(0.0, 1.0, n + 1)
    a, b = (g.ravel() for g in np.meshgrid(t, t, indexing="ij"))
    i, j = (g.ravel() for g in np.meshgrid(np.arange(n), np.arange(n), indexing="ij"))
    p00, p10, p11, p01 = i * (n + 1) + j, (i + 1) * (n + 1) + j, (i + 1) * (n + 1) + j + 1, i * (n + 1) + j + 1
    grid = np.concatenate([np.stack([p00, p10, p11], 1), np.stack([p00, p11, p01], 1)])
    vertices, faces = [], []
    for axis in range(3):
        others = [k for k in range(3) if k != axis]
        for side in (0.0, 1.0):
            points = np.empty((len(a), 3))
            points[:, axis], points[:, others[0]], points[:, others[1]] = side, a, b
            faces.append(grid + sum(len(v) for v in vertices))
            vertices.append(points)
    return np.vstack(vertices), np.vstack(faces)


def random_rays(count, seed):
    """Origins around the unit cube, directions towards points inside it."""
    rng = np.random.default_rng(seed)
    origins = rng.uniform(-0.5, 1.5, (count, 3))
    directions = rng.uniform(0.0, 1.0, (count, 3)) - origins
    return origins, directions


def camera_rays(width, height, eye=(0.5, 0.4, 3.0)):
    """Coherent pinhole rays, row-major, through a grid across the middle of the unit cube."""
    x, y = np.meshgrid(np.linspace(-0.5, 1.5, width), np.linspace(-0.5, 1.5, height))
    targets = np.stack([x.ravel(), y.ravel(), np.full(x.size, 0.5)], 1)
    return np.broadcast_to(eye, targets.shape).copy(), targets - np.asarray(eye)


def hit_distances(vertices, faces, origins, directions, tmax=np.inf, margin=0.0):
    """Möller–Trumbore in float64 for every ray against every triangle.

    A triangle is hit when its barycentric coordinates are all >= -margin (a
    positive margin grows the triangles, a negative one shrinks them) and
    MIN_T <= t < tmax. Returns the (rays, triangles) arrays t (inf where
    missed), u and v. Coordinates are first rounded to float32, as a Scene
    stores and traces them; the arithmetic is float64.
    """
    def as_traced(array):
        return np.asarray(array, np.float32).astype(np.float64)

    tri = as_traced(vertices)[np.asarray(faces)]
    o = as_traced(origins)[:, None, :]
    d = as_traced(directions)[:, None, :]
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
    """The nearest hits as Scene.intersect reports them, computed in float64."""
    t, u, v = hit_distances(vertices, faces, origins, directions, tmax)
    nearest = np.argmin(t, 1)
    rows = np.arange(len(t))
    missed = ~np.isfinite(t[rows, nearest])
    return {
        "t": t[rows, nearest],
        "triangle": np.where(missed, -1, nearest),
        "u": np.where(missed, 0.0, u[rows, nearest]),
        "v": np.where(missed, 0.0, v[rows, nearest]),
    }


def clear_rays(vertices, faces, origins, directions, tmax=np.inf, eps=1e-4):
    """Rays whose nearest hit does not depend on float rounding.

    No triangle's edge passes within eps (barycentric) of the ray near its
    nearest hit, and no second triangle is hit within a relative eps of it
    (a tie), and the hit is not within eps of tmax.
    """
    grown, _, _ = hit_distances(vertices, faces, origins, directions, tmax, eps)
    shrunk, _, _ = hit_distances(vertices, faces, origins, directions, tmax, -eps)
    two = np.sort(grown, 1)[:, :2] if grown.shape[1] > 1 else np.c_[grown, np.full(len(grown), np.inf)]
    first, second = two[:, 0], two[:, 1]
    rows = np.arange(len(grown))
    same = np.argmin(grown, 1) == np.argmin(shrunk, 1)
    same &= first == shrunk[rows, np.argmin(shrunk, 1)]
    no_tie = ~np.isfinite(first) | (second > first * (1 + eps) + 1e-7)
    limit = np.broadcast_to(np.asarray(tmax, np.float64), first.shape)
    with np.errstate(invalid="ignore"):  # inf - inf where an unlimited ray misses
        far_from_limit = ~np.isfinite(first) | (np.abs(first - limit) > eps * first)
    # A miss is clear when even the grown triangles miss.
    return (same | ~np.isfinite(first)) & no_tie & far_from_limit
