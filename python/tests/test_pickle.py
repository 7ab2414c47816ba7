"""Scenes pickle with their trees: the same answers in this and other
processes, and damaged states refused with the loader's reason."""

import concurrent.futures
import multiprocessing
import pickle

import pytest

from conftest import assert_same, assert_same_scene, placed_scene, random_rays, uv_sphere, zrv

VERTICES, FACES = uv_sphere(10, 16)
RAYS = random_rays(3000, seed=9)


def make_scene(kind):
    return placed_scene() if kind == "instances" else zrv.Scene(VERTICES, FACES, accel=kind)


def answers(scene):
    hits = scene.intersect(*RAYS, threads=1)
    assert (hits["triangle"] >= 0).any()
    hits["occluded"] = scene.occluded(*RAYS, tmax=0.8, threads=1)
    return hits


KINDS = ["wide", "kd", "bvh", "instances"]


@pytest.mark.parametrize("kind", KINDS)
def test_round_trip_gives_identical_answers_and_figures(kind):
    scene = make_scene(kind)
    again = pickle.loads(pickle.dumps(scene))
    assert_same_scene(again, scene)
    assert_same(answers(again), answers(scene))


def test_other_processes_give_identical_answers():
    scenes = [make_scene("wide"), make_scene("instances")]
    want = [answers(scene) for scene in scenes]
    context = multiprocessing.get_context("spawn")  # nothing inherited: the pickle alone
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        for got, expected in zip(pool.map(answers, scenes), want):
            assert_same(got, expected)
    with context.Pool(1) as pool:
        assert_same(pool.apply(answers, (scenes[1],)), want[1])


def _state_with(scene, edit):
    token, version, triangles, tree = scene.__getstate__()
    return edit(token, version, triangles, bytearray(tree))


def _flip(tree, at):
    tree[at] ^= 0x40
    return bytes(tree)


@pytest.mark.parametrize("kind", ["wide", "kd", "instances"])
@pytest.mark.parametrize("edit, message", [
    (lambda k, v, m, t: (k, v, m, bytes(t[: len(t) // 2])), "not a saved scene: .+"),
    (lambda k, v, m, t: (k, v, m, _flip(t, len(t) - 9)), "CRC-32 mismatch"),
    (lambda k, v, m, t: (k, v + 1, m, bytes(t)), "not a Scene's state of this version"),
    (lambda k, v, m, t: (k, v, m), "damaged: not a Scene's state"),
])
def test_damaged_states_raise_value_error(kind, edit, message):
    scene = make_scene(kind)
    blank = zrv.Scene.__new__(zrv.Scene)  # what pickle restores into
    with pytest.raises(ValueError, match=message):
        blank.__setstate__(_state_with(scene, edit))


@pytest.mark.parametrize("kind", ["wide", "bvh"])
def test_moved_triangles_do_not_fit_the_pickled_tree(kind):
    scene = make_scene(kind)
    data = pickle.dumps(scene)
    corners = scene.__getstate__()[2][0]
    moved = corners.copy()
    moved[3, 1, 2] += 1e-3
    corners, moved = corners.tobytes(), moved.tobytes()
    assert data.count(corners) == 1
    with pytest.raises(ValueError, match="the pickled scene was saved for other triangles"):
        pickle.loads(data.replace(corners, moved))
