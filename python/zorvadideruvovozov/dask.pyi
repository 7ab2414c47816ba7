"""Scene queries over Dask arrays, chunk by chunk on a Dask cluster's workers."""

from typing import Any, Dict, Optional, Union


from ._core import Scene

RAY_INDEX_KEYS: tuple
RAGGED_QUERIES: frozenset

_Rows = Any  # a dask.array.Array of rows, or anything dask.array.asarray takes
_Result = Union[Any, Dict[str, Any]]  # dask arrays

def map_rows(
    scene: Scene, query: str, *arrays: _Rows, ragged: Optional[bool] = None,
    client: Optional[Any] = None, **keywords: Any
) -> _Result:
    """The Scene method named query over dask arrays of rows, chunk by chunk."""
def intersect(
    scene: Scene, origins: _Rows, directions: _Rows, tmax: Union[float, _Rows] = ...,
    threads: int = 1, client: Optional[Any] = None
) -> Dict[str, Any]:
    """Scene.intersect over dask arrays: a dict of dask arrays."""
def occluded(
    scene: Scene, origins: _Rows, directions: _Rows, tmax: Union[float, _Rows] = ...,
    threads: int = 1, client: Optional[Any] = None
) -> Any:
    """Scene.occluded over dask arrays: a dask array of bool."""
def count_intersections(scene: Scene, origins: _Rows, directions: _Rows,
                        client: Optional[Any] = None, **keywords: Any) -> _Result: ...
def list_intersections(scene: Scene, origins: _Rows, directions: _Rows,
                       client: Optional[Any] = None, **keywords: Any) -> _Result: ...
def closest_points(scene: Scene, points: _Rows, client: Optional[Any] = None,
                   **keywords: Any) -> _Result: ...
def distance(scene: Scene, points: _Rows, client: Optional[Any] = None,
             **keywords: Any) -> _Result: ...
def signed_distance(scene: Scene, points: _Rows, client: Optional[Any] = None,
                    **keywords: Any) -> _Result: ...
def occupancy(scene: Scene, points: _Rows, client: Optional[Any] = None,
              **keywords: Any) -> _Result: ...
