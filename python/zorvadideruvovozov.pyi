"""Ray queries against triangle meshes held in numpy arrays."""

import os
from typing import Dict, Literal, Optional, Union

import numpy as np
import numpy.typing as npt

__version__: str
KDTREE_MAX_LEAF_TRIANGLES: int
MAX_THREADS: int

_PathLike = Union[str, "os.PathLike[str]"]
_Limit = Union[float, npt.ArrayLike]

class Scene:
    """Triangles and the tree built over them."""

    def __init__(
        self,
        vertices: npt.ArrayLike,
        faces: npt.ArrayLike,
        accel: Literal["auto", "wide", "kd", "bvh"] = "auto",
        build_threads: Optional[int] = None,
    ) -> None:
        """Builds a tree over vertices (n, 3) float and faces (m, 3) int.

        accel "auto" (the default) and "wide" build the wide BVH, "kd" the
        SAH KD-tree, "bvh" the binned-SAH BVH.
        """
    def intersect(
        self,
        origins: npt.ArrayLike,
        directions: npt.ArrayLike,
        tmax: _Limit = ...,
        threads: Optional[int] = None,
    ) -> Dict[str, np.ndarray]:
        """Nearest hits: {"t": float32, "triangle": int32, "u": float32, "v": float32}."""
    def occluded(
        self,
        origins: npt.ArrayLike,
        directions: npt.ArrayLike,
        tmax: _Limit = ...,
        threads: Optional[int] = None,
    ) -> npt.NDArray[np.bool_]:
        """Whether anything lies on each ray for 0.0001 <= t < tmax."""
    def closest_points(
        self, points: npt.ArrayLike, threads: Optional[int] = None
    ) -> Dict[str, np.ndarray]:
        """Nearest points of the mesh: {"points": (k, 3) float32, "triangle": int32 face
        rows, "uv": (k, 2) float32 weights of the face's second and third vertex,
        "distance": float32}."""
    def distance(
        self, points: npt.ArrayLike, threads: Optional[int] = None
    ) -> npt.NDArray[np.float32]:
        """Distance from every point to the mesh."""
    def signed_distance(
        self, points: npt.ArrayLike, threads: Optional[int] = None
    ) -> npt.NDArray[np.float32]:
        """Distance to the mesh, negative inside (angle-weighted pseudo-normals)."""
    def occupancy(
        self, points: npt.ArrayLike, threads: Optional[int] = None
    ) -> npt.NDArray[np.float32]:
        """1.0 for every point inside the mesh, 0.0 outside."""
    @property
    def closed(self) -> bool:
        """Whether every edge joins exactly two faces wound opposite ways."""
    def save(self, path: _PathLike) -> None:
        """Writes the tree to path, tied to these triangles."""
    @staticmethod
    def load(path: _PathLike, vertices: npt.ArrayLike, faces: npt.ArrayLike) -> "Scene":
        """A scene read from a file that save wrote for the same vertices and faces."""
    @property
    def statistics(self) -> Dict[str, Union[str, int, float, bool]]:
        """The tree's figures: accel, nodes, and the wide BVH's or the statistic record's."""
    @property
    def accel(self) -> Literal["wide", "kd", "bvh"]:
        """The structure in use."""
    @property
    def dropped_non_finite(self) -> int:
        """Faces left out for a NaN or infinite vertex coordinate."""
    @property
    def dropped_degenerate(self) -> int:
        """Faces left out for zero area."""
    def __len__(self) -> int: ...
