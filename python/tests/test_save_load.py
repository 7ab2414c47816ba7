"""Saving a scene and loading it over the same triangles, and refusing others."""

import zlib

import pytest

from conftest import assert_same, assert_same_scene, camera_rays, random_rays, uv_sphere, zrv

VERTICES, FACES = uv_sphere(20, 40)
ACCELS = ["wide", "kd", "bvh"]


@pytest.mark.parametrize("accel", ACCELS)
def test_round_trip_gives_identical_arrays(tmp_path, accel):
    scene = zrv.Scene(VERTICES, FACES, accel=accel)
    path = tmp_path / "scene.tree"
    scene.save(path)
    loaded = zrv.Scene.load(str(path), VERTICES, FACES)
    assert_same_scene(loaded, scene)
    assert loaded.accel == accel
    for rays in (random_rays(3000, 1), camera_rays(40, 40)):
        before = scene.intersect(*rays)
        assert (before["triangle"] >= 0).any()
        assert_same(loaded.intersect(*rays), before)


OTHER = "saved for other triangles"
DAMAGED = "not a saved scene"
MOVED = VERTICES.copy()
MOVED[5, 0] += 1e-3


@pytest.mark.parametrize("accel", ACCELS)
@pytest.mark.parametrize("damage, vertices, faces, message", [
    (None, MOVED, FACES, OTHER),                   # same count, one vertex moved
    (None, VERTICES, FACES[:-1], OTHER),           # one face fewer
    (lambda data: data[: len(data) // 2], VERTICES, FACES, DAMAGED),
    (lambda data: data[:40] + bytes([data[40] ^ 0xFF]) + data[41:], VERTICES, FACES, DAMAGED),
    (lambda data: b"garbage" * 10, VERTICES, FACES, DAMAGED),
])
def test_damaged_files_and_other_triangles_are_refused(tmp_path, accel, damage, vertices, faces,
                                                        message):
    path = tmp_path / "scene.tree"
    zrv.Scene(VERTICES, FACES, accel=accel).save(path)
    if damage:
        path.write_bytes(damage(path.read_bytes()))
    with pytest.raises(ValueError, match=message):
        zrv.Scene.load(path, vertices, faces)


def test_missing_file_and_unwritable_path_raise(tmp_path):
    with pytest.raises(FileNotFoundError):
        zrv.Scene.load(tmp_path / "absent.tree", VERTICES, FACES)
    with pytest.raises(OSError, match="cannot write"):
        zrv.Scene(VERTICES, FACES).save(tmp_path / "no" / "such" / "folder.tree")


def _resealed(data, edit):
    """data with edit(values) applied to its stream's tagged values, re-sealed
    with a fresh CRC: a file the stream reader accepts, for the tree checks."""
    sizes = {1: 4, 2: 4, 3: 4, 4: 8}  # int, uint, float, double; 5 is a string
    payload, values, at = bytearray(data[28:]), [], 0
    while at < len(payload):
        tag = payload[at]
        size = sizes.get(tag) or 4 + int.from_bytes(payload[at + 1:at + 5], "little")
        values.append((tag, at + 1))
        at += 1 + size
    edit(payload, values)
    crc = zlib.crc32(bytes(payload)).to_bytes(4, "little")
    return data[:24] + crc + bytes(payload)


def _count_beyond_the_file(payload, values):
    """The largest of the tree's first four unsigned values (a count) made 2**32 - 1."""
    uints = [at for tag, at in values[6:] if tag == 2][:4]  # past the scene's own six values
    at = max(uints, key=lambda at: int.from_bytes(payload[at:at + 4], "little"))
    payload[at:at + 4] = b"\xff" * 4


def _next_version(payload, values):
    """The file's version (its second value) one higher."""
    at = values[1][1]
    payload[at:at + 4] = (int.from_bytes(payload[at:at + 4], "little") + 1).to_bytes(4, "little")


@pytest.mark.parametrize("accel", ACCELS)
def test_a_sealed_file_with_an_unsound_tree_is_refused_with_the_reason(tmp_path, accel):
    path = tmp_path / "scene.tree"
    zrv.Scene(VERTICES, FACES, accel=accel).save(path)
    data = path.read_bytes()
    path.write_bytes(_resealed(data, lambda payload, values: None))
    zrv.Scene.load(path, VERTICES, FACES)  # re-sealing alone changes nothing
    path.write_bytes(_resealed(data, _count_beyond_the_file))
    with pytest.raises(ValueError, match="does not hold a sound tree: .+"):
        zrv.Scene.load(path, VERTICES, FACES)
    path.write_bytes(_resealed(data, _next_version))
    with pytest.raises(ValueError, match="is not a saved scene of this version"):
        zrv.Scene.load(path, VERTICES, FACES)


def test_a_wide_tree_over_other_triangles_under_a_matching_header_is_refused(tmp_path):
    """The header of a file saved for one face fewer, over the full mesh's
    tree: every hit would name a position the records do not have."""
    full, fewer = tmp_path / "full.tree", tmp_path / "fewer.tree"
    zrv.Scene(VERTICES, FACES).save(full)
    zrv.Scene(VERTICES, FACES[:-1]).save(fewer)
    header = {}
    _resealed(fewer.read_bytes(), lambda payload, values: header.update(
        (at, payload[at:at + 4]) for _, at in values[3:6]))

    def fewer_header(payload, values):
        for (_, at), value in zip(values[3:6], header.values()):
            payload[at:at + 4] = value
    full.write_bytes(_resealed(full.read_bytes(), fewer_header))
    with pytest.raises(ValueError, match="a wide BVH over 1520 triangles, not the 1519 of"):
        zrv.Scene.load(full, VERTICES, FACES[:-1])
