"""Bad input raises clear Python exceptions; dropped faces keep their rows."""

import warnings

import numpy as np
import pytest

from conftest import random_rays, triangle_soup, uv_sphere, zrv

VERTICES, FACES = uv_sphere(6, 8)


@pytest.mark.parametrize("vertices, faces, kwargs, error, message", [
    (VERTICES[:, :2], FACES, {}, ValueError, "vertices must have shape"),
    (VERTICES.ravel(), FACES, {}, ValueError, "vertices must have shape"),
    (VERTICES, FACES[:, :2], {}, ValueError, "faces must have shape"),
    (VERTICES.astype(np.int64), FACES, {}, TypeError, "vertices must be a float array"),
    (VERTICES, FACES.astype(np.float64), {}, TypeError, "faces must be an integer array"),
    (VERTICES, np.vstack([FACES, [[0, 1, len(VERTICES)]]]), {}, ValueError, "outside the"),
    (VERTICES, np.vstack([FACES, [[0, -1, 2]]]), {}, ValueError, "refers to vertex -1"),
    (np.full_like(VERTICES, np.nan), FACES, {}, ValueError, "no usable triangles"),
    (VERTICES, FACES, {"accel": "octree"}, ValueError, "accel must be"),
    (VERTICES, FACES, {"build_threads": 0}, ValueError, "build_threads must be 1 to 64"),
    (VERTICES, FACES, {"build_threads": "2"}, TypeError, "build_threads must be an int"),
])
def test_bad_meshes_and_build_options_raise(vertices, faces, kwargs, error, message):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the all-NaN mesh warns first
        with pytest.raises(error, match=message):
            zrv.Scene(vertices, faces, **kwargs)


ORIGINS, DIRECTIONS = random_rays(10, seed=1)


def _with(array, row, value):
    changed = array.copy()
    changed[row] = value
    return changed


@pytest.mark.parametrize("origins, directions, kwargs, error, message", [
    (ORIGINS[:9], DIRECTIONS, {}, ValueError, "same length, not 9 and 10"),
    (ORIGINS[:, :2], DIRECTIONS, {}, ValueError, "origins must have shape"),
    (ORIGINS, DIRECTIONS.astype(np.int32), {}, TypeError, "directions must be a float array"),
    (_with(ORIGINS, 3, np.nan), DIRECTIONS, {}, ValueError, r"origins\[3\] is not finite"),
    (ORIGINS, _with(DIRECTIONS, 5, 0.0), {}, ValueError, r"directions\[5\] is zero"),
    (ORIGINS, DIRECTIONS, {"tmax": np.nan}, ValueError, "tmax must not be NaN"),
    (ORIGINS, DIRECTIONS, {"tmax": np.ones(9)}, ValueError, r"shape \(10,\)"),
    (ORIGINS, DIRECTIONS, {"tmax": _with(np.ones(10), 2, np.nan)}, ValueError, r"tmax\[2\]"),
    (ORIGINS, DIRECTIONS, {"tmax": "far"}, TypeError, "tmax must be a number"),
    (ORIGINS, DIRECTIONS, {"threads": 0}, ValueError, "threads must be 1 to 64"),
])
@pytest.mark.parametrize("query", ["intersect", "occluded", "count_intersections",
                                   "list_intersections"])
def test_bad_rays_raise(query, origins, directions, kwargs, error, message):
    scene = zrv.Scene(VERTICES, FACES)
    with pytest.raises(error, match=message):
        getattr(scene, query)(origins, directions, **kwargs)


@pytest.mark.parametrize("accel", ["wide", "kd"])
def test_unusable_faces_are_dropped_and_rows_kept(accel):
    vertices, faces = triangle_soup(50, seed=2)
    bad_rows = [0, 7, 31]
    vertices[faces[bad_rows, 1]] = [np.inf, 0.0, np.nan]
    faces = np.vstack([faces, [[3, 3, 4]], [[5, 5, 5]]])  # zero area: dropped without a warning
    origins, directions = random_rays(2000, seed=3)
    with pytest.warns(RuntimeWarning, match="3 faces with a NaN or infinite"):
        scene = zrv.Scene(vertices, faces, accel)
    assert len(scene) == 47 and scene.dropped_non_finite == 3 and scene.dropped_degenerate == 2
    # The same hits as a scene of the good faces alone, reported by row.
    good = np.setdiff1d(np.arange(50), bad_rows)
    alone = zrv.Scene(vertices, faces[good], accel).intersect(origins, directions)
    got = scene.intersect(origins, directions)
    hit = alone["triangle"] >= 0
    assert 0 < hit.sum() < len(hit)
    np.testing.assert_array_equal(got["triangle"], np.where(hit, good[alone["triangle"]], -1))
    np.testing.assert_array_equal(got["t"], alone["t"])
    assert not np.isin(got["triangle"], bad_rows + [50, 51]).any()
