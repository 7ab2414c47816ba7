"""Scene queries over Dask arrays, chunk by chunk on a Dask cluster's workers.

    import dask
    import dask.array as da
    from dask.distributed import Client
    import zorvadideruvovozov as zrv

    client = Client("tcp://scheduler:8786")      # or a LocalCluster
    scene = zrv.Scene(vertices, faces)
    origins = da.from_array(o, chunks=(250_000, 3))
    directions = da.from_array(d, chunks=(250_000, 3))
    hits = zrv.dask.intersect(scene, origins, directions)
    t, triangle = dask.compute(hits["t"], hits["triangle"])

Rays and points are dask arrays (or numpy arrays, taken as one chunk) of
shape (n, 3), chunked along their rows; each chunk is one task, which calls
the Scene method of the same name on that chunk's rows and returns the
method's arrays for them. Results are dask arrays chunked like the input
(a dict of them where the method returns a dict), identical to the Scene's
own call on all the rows, since every query gives the same answers whatever
the batch. Compute the arrays of one call together (dask.compute(hits) or
dask.compute(*hits.values())): computed one by one, each would run the query
again.

With a dask.distributed client (the default client, or client=...), the
scene is scattered to every worker once, as a pickle (its triangles and
saved tree; see Scene), and kept on the cluster for later calls on the same
scene while the scene lives (Dask's active memory manager may keep a single
copy between computations, which the workers then fetch from each other);
the rays and the results travel per chunk. With
Dask's local schedulers the scene is shared in memory.

The module imports without Dask; its functions then raise ImportError
saying what to install.
"""

import weakref

import numpy as np

_INSTALL = ("zorvadideruvovozov.dask needs Dask and its distributed scheduler: "
            "apt-get install python3-dask python3-distributed")

# Per-hit arrays of ragged results that hold the ray's row in its chunk; the
# combined result holds the row in the whole input instead.
RAY_INDEX_KEYS = ("ray",)

# Queries whose results have one row per hit, not per input row.
RAGGED_QUERIES = frozenset({"list_intersections"})


def _dask():
    try:
        import dask
        import dask.array as da
    except ImportError as error:
        raise ImportError(_INSTALL) from error
    return dask, da


def _default_client():
    try:
        from distributed import default_client
    except ImportError:
        return None
    try:
        return default_client()
    except ValueError:  # no client: a local scheduler computes
        return None


# Scenes already scattered: scene -> {client id: (revision, future)}. Weak,
# so that a scene's copies on the workers are released with the scene.
_SCATTERED = weakref.WeakKeyDictionary()


def _scene_reference(scene, client, dask):
    """What the chunk tasks take as their scene.

    On a distributed cluster, a future of the scene broadcast to every worker:
    the scene is pickled and sent once per worker, and later calls on the same
    scene and client reuse it, whereas a scene embedded in the graph would be
    sent with every computation (and, as a plain task argument, with every
    task). A scene whose instances changed since (a new revision) is sent
    again. Elsewhere, one graph key holding the scene itself.
    """
    if client is None:
        return dask.delayed(scene, pure=False)
    futures = _SCATTERED.setdefault(scene, {})
    revision = getattr(scene, "revision", None)
    sent_revision, future = futures.get(client.id, (None, None))
    if future is None or future.status != "finished" or sent_revision != revision:
        future = client.scatter(scene, broadcast=True, hash=False)
        futures[client.id] = (revision, future)
    return future


def _rows(da, array, name):
    """array as a dask array of n rows, whole along its other axes."""
    array = da.asarray(array)
    if array.ndim < 1:
        raise ValueError(f"{name} must be an array of rows, not a scalar")
    return array.rechunk({axis: -1 for axis in range(1, array.ndim)})


def _run_chunk(scene, query, first_row, ragged, keyword_names, *arrays):
    """One task: the query on one chunk's rows."""
    count = len(arrays) - len(keyword_names)
    keywords = dict(zip(keyword_names, arrays[count:]))
    try:
        result = getattr(scene, query)(*arrays[:count], **keywords)
    except ValueError as error:  # its row numbers count from the chunk's first row
        rows = len(arrays[0])
        raise ValueError(f"the chunk of rows {first_row} to {first_row + rows - 1}: {error}") \
            from None
    if ragged and isinstance(result, dict):
        result = dict(result)
        for key in RAY_INDEX_KEYS:
            if key in result:
                result[key] = np.asarray(result[key], np.int64) + first_row
    return result


def map_rows(scene, query, *arrays, ragged=None, client=None, **keywords):
    """The Scene method named query over dask arrays of rows, chunk by chunk.

    arrays: the method's positional arrays (e.g. origins and directions, or
    points), of equal length; the first one's row chunks are used for all.
    keywords: passed to the method; array values of one entry per row (e.g.
    tmax) are split with the rows, other values passed whole. ragged: whether
    results have one row per hit rather than per input row (default: query
    in RAGGED_QUERIES); ragged per-chunk arrays are concatenated in chunk
    order into arrays of unknown chunk lengths, and any array named in
    RAY_INDEX_KEYS has the chunk's first row added, so that it names the
    ray's row in the whole input (as int64). client: a dask.distributed
    Client, by default the default client if there is one.

    Returns a dask array, or a dict of them when the method returns a dict.
    Raises ValueError for arrays of different lengths, and whatever the
    method raises for bad arguments (checked on an empty slice at once).
    """
    dask, da = _dask()
    if not callable(getattr(scene, query, None)):
        raise AttributeError(f"{type(scene).__name__} has no query {query!r}")
    if not arrays:
        raise ValueError("map_rows needs at least one array of rows")
    if ragged is None:
        ragged = query in RAGGED_QUERIES
    names = [f"argument {i}" for i in range(len(arrays))]
    arrays = [_rows(da, array, name) for array, name in zip(arrays, names)]
    count = arrays[0].shape[0]
    per_row, whole = {}, {}
    for name, value in keywords.items():
        if not isinstance(value, (str, bytes)) and np.ndim(value) >= 1:
            per_row[name] = _rows(da, value, name)
        else:
            whole[name] = value
    for name, array in list(zip(names, arrays)) + list(per_row.items()):
        if array.shape[0] != count:
            raise ValueError(f"{name} has {array.shape[0]} rows, not the {count} of the first array")
    row_chunks = arrays[0].chunks[0]
    arrays = [array.rechunk({0: row_chunks}) for array in arrays]
    per_row = {name: array.rechunk({0: row_chunks}) for name, array in per_row.items()}

    # The method on no rows: checks the arguments here, and gives the
    # result's keys, dtypes and trailing shapes.
    empty = [np.zeros((0,) + array.shape[1:], array.dtype) for array in arrays]
    empty_keywords = {name: np.zeros((0,) + a.shape[1:], a.dtype) for name, a in per_row.items()}
    sample = getattr(scene, query)(*empty, **empty_keywords, **whole)

    client = client if client is not None else _default_client()
    scene_ref = _scene_reference(scene, client, dask)
    run = dask.delayed(_run_chunk, pure=True)
    keyword_names = tuple(per_row) + tuple(whole)
    blocks = [array.to_delayed().ravel() for array in arrays + list(per_row.values())]
    starts = np.concatenate([[0], np.cumsum(row_chunks)[:-1]]).astype(np.int64)
    parts = []
    for chunk, first_row in enumerate(starts):
        chunk_arrays = [block[chunk] for block in blocks] + list(whole.values())
        parts.append(run(scene_ref, query, int(first_row), ragged, keyword_names, *chunk_arrays))

    def combine(pick, like):
        like = np.asarray(like)
        dtype = np.int64 if ragged and pick in RAY_INDEX_KEYS else like.dtype
        pieces = [da.from_delayed(part if pick is None else part[pick],
                                  shape=(np.nan if ragged else rows,) + like.shape[1:],
                                  dtype=dtype)
                  for part, rows in zip(parts, row_chunks)]
        return da.concatenate(pieces) if pieces else da.from_array(like.astype(dtype))

    if isinstance(sample, dict):
        return {key: combine(key, value) for key, value in sample.items()}
    return combine(None, sample)


def intersect(scene, origins, directions, tmax=np.inf, threads=1, client=None):
    """Scene.intersect over dask arrays: a dict of dask arrays ("t",
    "triangle", "u", "v", and "instance" for instances). tmax: a number or
    one limit per ray. threads: native threads per chunk (1 by default: the
    workers' own threads are the parallelism)."""
    return map_rows(scene, "intersect", origins, directions, tmax=tmax, threads=threads,
                    client=client)


def occluded(scene, origins, directions, tmax=np.inf, threads=1, client=None):
    """Scene.occluded over dask arrays: a dask array of bool."""
    return map_rows(scene, "occluded", origins, directions, tmax=tmax, threads=threads,
                    client=client)


def count_intersections(scene, origins, directions, client=None, **keywords):
    """Scene.count_intersections over dask arrays of rays."""
    return map_rows(scene, "count_intersections", origins, directions, client=client, **keywords)


def list_intersections(scene, origins, directions, client=None, **keywords):
    """Scene.list_intersections over dask arrays of rays: the chunks' hit
    lists in ray order, each array of unknown chunk lengths, with "ray" the
    ray's row in the whole input (int64)."""
    return map_rows(scene, "list_intersections", origins, directions, client=client, **keywords)


def closest_points(scene, points, client=None, **keywords):
    """Scene.closest_points over a dask array of points."""
    return map_rows(scene, "closest_points", points, client=client, **keywords)


def distance(scene, points, client=None, **keywords):
    """Scene.distance over a dask array of points."""
    return map_rows(scene, "distance", points, client=client, **keywords)


def signed_distance(scene, points, client=None, **keywords):
    """Scene.signed_distance over a dask array of points."""
    return map_rows(scene, "signed_distance", points, client=client, **keywords)


def occupancy(scene, points, client=None, **keywords):
    """Scene.occupancy over a dask array of points."""
    return map_rows(scene, "occupancy", points, client=client, **keywords)
