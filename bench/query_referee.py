"""Float64 judgements of the queries on which the library and Embree disagree
(query_bench.py): the same float32 rays, points and vertices, computed in
double precision, say which side's triangle is really hit or nearer.
"""

import numpy as np

# A hit lies inside its triangle when no barycentric weight is below this;
# the slack covers the rounding of the float32 inputs.
INSIDE = -1e-6


def corners(vertices, triangles):
    """(k, 3, 3) float64 corners of triangles (three vertices each, in order)."""
    return vertices.reshape(-1, 3, 3)[triangles].astype(np.float64)


def hit_margin(vertices, origins, directions, triangles):
    """The smallest barycentric weight of each ray's crossing of the plane of
    its triangle: at least INSIDE when the ray really hits the triangle."""
    tri = corners(vertices, triangles)
    o, d = origins.astype(np.float64), directions.astype(np.float64)
    e1, e2 = tri[:, 1] - tri[:, 0], tri[:, 2] - tri[:, 0]
    p = np.cross(d, e2)
    det = np.einsum("ij,ij->i", e1, p)
    s = o - tri[:, 0]
    with np.errstate(divide="ignore", invalid="ignore"):
        u = np.einsum("ij,ij->i", s, p) / det
        v = np.einsum("ij,ij->i", d, np.cross(s, e1)) / det
    return np.nan_to_num(np.minimum(np.minimum(u, v), 1.0 - u - v), nan=-np.inf)


def judge_hits(vertices, origins, directions, ours, theirs):
    """For rays whose triangles differ (-1: no hit): how many of our
    triangles and of Embree's the float64 test rejects."""
    wrong = []
    for triangles in (ours, theirs):
        hit = triangles >= 0
        margin = hit_margin(vertices, origins[hit], directions[hit], triangles[hit])
        wrong.append(int(np.count_nonzero(margin < INSIDE)))
    return wrong


def point_triangle_distance(vertices, points, triangles):
    """Float64 distance from each point to its triangle."""
    tri = corners(vertices, triangles)
    p = points.astype(np.float64)
    a, b, c = tri[:, 0], tri[:, 1], tri[:, 2]
    n = np.cross(b - a, c - a)
    nn = np.einsum("ij,ij->i", n, n)
    # Inside the face: the projection's weights are all non-negative.
    inside = np.ones(len(p), dtype=bool)
    for x, y in ((a, b), (b, c), (c, a)):
        inside &= np.einsum("ij,ij->i", np.cross(y - x, p - x), n) >= 0.0
    face = np.abs(np.einsum("ij,ij->i", p - a, n)) / np.sqrt(nn)
    edge = np.full(len(p), np.inf)
    for x, y in ((a, b), (b, c), (c, a)):
        e = y - x
        s = np.clip(np.einsum("ij,ij->i", p - x, e) / np.einsum("ij,ij->i", e, e), 0.0, 1.0)
        edge = np.minimum(edge, np.linalg.norm(p - (x + s[:, None] * e), axis=1))
    return np.where(inside, face, edge)


def judge_closest(vertices, points, ours, theirs):
    """For points whose triangles differ: how often our triangle and how
    often Embree's is the farther one in float64 (by more than a relative
    1e-6)."""
    ours_distance = point_triangle_distance(vertices, points, ours)
    their_distance = point_triangle_distance(vertices, points, theirs)
    slack = 1e-6 * np.maximum(ours_distance, their_distance)
    return (int(np.count_nonzero(ours_distance > their_distance + slack)),
            int(np.count_nonzero(their_distance > ours_distance + slack)))
