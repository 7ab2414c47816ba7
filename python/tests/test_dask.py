"""zorvadideruvovozov.dask: a two-process cluster gives the Scene's own arrays,
ragged results get global ray rows, and the module imports without Dask."""

import subprocess
import sys

import numpy as np
import pytest

from conftest import assert_same, placed_scene, random_rays, uv_sphere, zrv

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

ORIGINS, DIRECTIONS = random_rays(10_000, seed=11)
TMAX = np.random.default_rng(12).uniform(0.2, 2.0, len(ORIGINS))


class HitListStub:
    """A scene whose ragged query gives ray i (its row in the call) i % 3 hits."""

    def list_intersections(self, origins, directions, threads=1):
        ray = np.repeat(np.arange(len(origins), dtype=np.int32), np.arange(len(origins)) % 3)
        return {"ray": ray, "t": origins[ray, 0].astype(np.float32)}


def _transforms(scene):
    return scene.transforms


# First in the file: no cluster's client is the default one yet.
def test_ragged_results_get_global_ray_rows_on_a_local_scheduler():
    origins = da.from_array(ORIGINS[:1000], chunks=300)
    hits = zrv.dask.list_intersections(HitListStub(), origins, DIRECTIONS[:1000])
    assert np.isnan(hits["ray"].chunks[0]).all()  # lengths known once computed
    ray, t = dask.compute(hits["ray"], hits["t"], scheduler="sync")
    want = HitListStub().list_intersections(ORIGINS[:1000], DIRECTIONS[:1000])
    assert ray.dtype == np.int64
    np.testing.assert_array_equal(ray, want["ray"])
    np.testing.assert_array_equal(t, want["t"])


@pytest.fixture(scope="module")
def client():
    # Without Dask's active memory manager, which between computations may
    # drop all but one copy of the broadcast scene (every 2 s by default), so
    # that the test can see where the broadcast put it.
    with dask.config.set({"distributed.scheduler.active-memory-manager.start": False}):
        cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                           dashboard_address=":0", host="127.0.0.1")
    client = distributed.Client(cluster)
    # Workers start on their own; a broadcast reaches only those already up.
    client.wait_for_workers(2, timeout=120)
    yield client
    client.close()
    cluster.close()


@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
def test_a_two_process_cluster_gives_the_scenes_own_arrays(client):
    scenes = [zrv.Scene(*uv_sphere(12, 24)), placed_scene()]
    origins = da.from_array(ORIGINS, chunks=(2500, 3))
    directions = DIRECTIONS  # numpy: split along the origins' chunks
    tmax = da.from_array(TMAX, chunks=4000)  # other chunks: aligned to the origins'
    for scene in scenes:
        hits = zrv.dask.intersect(scene, origins, directions)
        blocked = zrv.dask.occluded(scene, origins, directions, tmax=tmax)
        assert hits["t"].chunks == ((2500,) * 4,)
        got_hits, got_blocked = dask.compute(hits, blocked)
        want = scene.intersect(ORIGINS, DIRECTIONS)
        assert 0 < (want["triangle"] >= 0).mean() < 1
        assert_same(got_hits, want)
        np.testing.assert_array_equal(got_blocked, scene.occluded(ORIGINS, DIRECTIONS, TMAX))
        # The scene went to each worker once, and stays there for the next call.
        future = zrv.dask._SCATTERED[scene][client.id][1]
        assert len(client.who_has([future])[future.key]) == 2
        zrv.dask.occluded(scene, origins, directions).compute()
        assert zrv.dask._SCATTERED[scene][client.id][1] is future

    # A scene whose instances moved goes to the workers again.
    moved = scenes[1].transforms
    moved[:, :, 3] += 0.2
    scenes[1].set_transforms(moved)
    got = dask.compute(zrv.dask.intersect(scenes[1], origins, directions))[0]
    assert_same(got, scenes[1].intersect(ORIGINS, DIRECTIONS))
    revision, future = zrv.dask._SCATTERED[scenes[1]][client.id]
    assert revision == 1
    np.testing.assert_array_equal(client.submit(_transforms, future, pure=False).result(), moved)

    empty = zrv.dask.intersect(scenes[0], np.zeros((0, 3)), np.zeros((0, 3))).values()
    assert all(array.shape == (0,) for array in dask.compute(*empty))
    with pytest.raises(ValueError, match="has 9999 rows, not the 10000"):
        zrv.dask.intersect(scenes[0], origins, DIRECTIONS[1:])
    with pytest.raises(TypeError, match="directions must be a float array"):
        zrv.dask.occluded(scenes[0], origins, DIRECTIONS.astype(int))
    with pytest.raises(ValueError, match=r"rows 5000 to 7499: origins\[2\] is not finite"):
        bad = ORIGINS.copy()
        bad[5002] = np.nan
        zrv.dask.occluded(scenes[0], da.from_array(bad, chunks=2500), DIRECTIONS).compute()


def test_the_module_imports_without_dask_and_says_what_to_install():
    code = ("import sys; sys.modules['dask'] = sys.modules['distributed'] = None\n"
            "import zorvadideruvovozov as zrv\n"
            "try:\n    zrv.dask.intersect(None, [[0, 0, 0]], [[0, 0, 1]])\n"
            "except ImportError as error:\n    print(error)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "apt-get install python3-dask python3-distributed" in out.stdout
