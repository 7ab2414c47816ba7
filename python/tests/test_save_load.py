"""Saving a scene and loading it over the same triangles, and refusing others."""

import numpy as np
import pytest

from conftest import camera_rays, random_rays, uv_sphere, zrv

VERTICES, FACES = uv_sphere(20, 40)


@pytest.mark.parametrize("accel", ["kd", "bvh"])
def test_round_trip_gives_identical_arrays(tmp_path, accel):
    scene = zrv.Scene(VERTICES, FACES, accel=accel)
    path = tmp_path / "scene.tree"
    scene.save(path)
    loaded = zrv.Scene.load(str(path), VERTICES, FACES)
    assert loaded.accel == accel and len(loaded) == len(scene)
    # The build's duration is not saved.
    stats, loaded_stats = scene.statistics, loaded.statistics
    del stats["compile_time_sec"], loaded_stats["compile_time_sec"]
    assert loaded_stats == stats
    for origins, directions in (random_rays(3000, 1), camera_rays(40, 40)):
        before = scene.intersect(origins, directions)
        after = loaded.intersect(origins, directions)
        assert (before["triangle"] >= 0).any()
        for key in before:
            np.testing.assert_array_equal(after[key], before[key])


def _moved(vertices):
    moved = vertices.copy()
    moved[5, 0] += 1e-3
    return moved


@pytest.mark.parametrize("accel", ["kd", "bvh"])
@pytest.mark.parametrize("vertices, faces", [
    (_moved(VERTICES), FACES),              # same count, one vertex moved
    (VERTICES, FACES[:-1]),                 # one face fewer
    (VERTICES, FACES[:, [1, 2, 0]]),        # same triangles, other corner order
    uv_sphere(8, 16),                       # another mesh
])
def test_tree_file_for_other_triangles_is_refused(tmp_path, accel, vertices, faces):
    path = tmp_path / "scene.tree"
    zrv.Scene(VERTICES, FACES, accel=accel).save(path)
    with pytest.raises(ValueError, match="saved for other triangles"):
        zrv.Scene.load(path, vertices, faces)


@pytest.mark.parametrize("damage, message", [
    (lambda data: data[: len(data) // 2], "not a saved scene"),          # truncated
    (lambda data: data[:40] + bytes([data[40] ^ 0xFF]) + data[41:], "not a saved scene"),  # CRC
    (lambda data: b"garbage" * 10, "not a saved scene"),
])
def test_damaged_files_are_refused(tmp_path, damage, message):
    path = tmp_path / "scene.tree"
    zrv.Scene(VERTICES, FACES).save(path)
    path.write_bytes(damage(path.read_bytes()))
    with pytest.raises(ValueError, match=message):
        zrv.Scene.load(path, VERTICES, FACES)


def test_missing_file_and_unwritable_path_raise(tmp_path):
    with pytest.raises(FileNotFoundError):
        zrv.Scene.load(tmp_path / "absent.tree", VERTICES, FACES)
    with pytest.raises(OSError, match="cannot write"):
        zrv.Scene(VERTICES, FACES).save(tmp_path / "no" / "such" / "folder.tree")
