"""Ray queries against triangle meshes held in numpy arrays (the extension
module the zorvadideruvovozov package re-exports)."""

import os
from typing import Dict, Literal, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

__version__: str
KDTREE_MAX_LEAF_TRIANGLES: int
MAX_THREADS: int

_PathLike = Union[str, "os.PathLike[str]"]
_Limit = Union[float, npt.ArrayLike]
_Mesh = Tuple[npt.ArrayLike, npt.ArrayLike]

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
        """Nearest hits: {"t": float32, "triangle": int32, "u": float32, "v": float32},
        and "instance" (int32, -1 where missed) for a scene of instances."""
    def occluded(
        self,
        origins: npt.ArrayLike,
        directions: npt.ArrayLike,
        tmax: _Limit = ...,
        threads: Optional[int] = None,
    ) -> npt.NDArray[np.bool_]:
        """Whether anything lies on each ray for 0.0001 <= t < tmax."""
    def count_intersections(
        self,
        origins: npt.ArrayLike,
        directions: npt.ArrayLike,
        tmax: _Limit = ...,
        threads: Optional[int] = None,
    ) -> npt.NDArray[np.int32]:
        """How many triangles each ray crosses with 0.0001 <= t < tmax.

        Every triangle the library's ray-triangle kernel accepts counts, from
        either side; coincident faces each count. A ray meeting an edge or a
        vertex exactly counts every triangle sharing it from their front
        (vertices counter-clockwise) and none from their back; otherwise a
        ray through a shared edge counts one of its two triangles, through a
        shared vertex several or none. So an odd count is no robust
        inside/outside test: use occupancy for that. A "kd" or "bvh" scene
        builds a wide BVH for these queries the first time one is asked
        (once, thread-safe). Arguments and errors as for intersect.
        """
    def list_intersections(
        self,
        origins: npt.ArrayLike,
        directions: npt.ArrayLike,
        tmax: _Limit = ...,
        threads: Optional[int] = None,
    ) -> Dict[str, np.ndarray]:
        """Every hit count_intersections counts, as flat arrays sorted by ray, then t, then triangle.

        {"ray": int32 (int64 beyond 2**30 rays), "t": float32, "triangle":
        int32 face row, "u": float32, "v": float32}, each hit's t, u and v as
        intersect gives them for that face alone. The arrays share one block,
        freed with the last of them. A scene of instances adds "instance"
        (int32), and sorts by ray, t, instance, then triangle. Raises
        MemoryError when the hits do not fit in memory.
        """
    def closest_points(
        self, points: npt.ArrayLike, threads: Optional[int] = None
    ) -> Dict[str, np.ndarray]:
        """Nearest points of the mesh: {"points": (k, 3) float32, "triangle": int32 face
        rows, "uv": (k, 2) float32 weights of the face's second and third vertex,
        "distance": float32}.

        A scene of one mesh only (not from_instances). A NaN or infinite point
        raises ValueError naming it; empty input gives empty arrays.
        """
    def distance(
        self, points: npt.ArrayLike, threads: Optional[int] = None
    ) -> npt.NDArray[np.float32]:
        """Distance from every point to the mesh."""
    def signed_distance(
        self, points: npt.ArrayLike, threads: Optional[int] = None
    ) -> npt.NDArray[np.float32]:
        """Distance to the mesh, negative inside.

        The sign comes from the angle-weighted pseudo-normal of the nearest
        feature (the face, an edge or a vertex of the closest point's face),
        faces wound counter-clockwise seen from outside. Exact for a closed
        mesh (see closed); for a mesh that is not closed, the side of the
        nearest feature, so points beyond an open border take the border's
        side.
        """
    def occupancy(
        self, points: npt.ArrayLike, threads: Optional[int] = None
    ) -> npt.NDArray[np.float32]:
        """1.0 for every point inside the mesh, 0.0 outside (and on the surface), as signed_distance decides."""
    @property
    def closed(self) -> bool:
        """Whether every edge joins exactly two faces wound opposite ways."""
    def save(self, path: _PathLike) -> None:
        """Writes the tree to path, tied to these triangles."""
    @staticmethod
    def load(path: _PathLike, vertices: npt.ArrayLike, faces: npt.ArrayLike) -> "Scene":
        """A scene read from a file that save wrote for the same vertices and faces."""
    @staticmethod
    def from_instances(
        meshes: Sequence[_Mesh],
        transforms: npt.ArrayLike,
        mesh: Optional[npt.ArrayLike] = None,
        build_threads: Optional[int] = None,
    ) -> "Scene":
        """Meshes (vertices, faces) placed by (k, 3, 4) object-to-world transforms;
        mesh (k,) names each instance's mesh, None for instance i of mesh i."""
    def set_transforms(
        self,
        transforms: npt.ArrayLike,
        instances: Optional[npt.ArrayLike] = None,
        build_threads: Optional[int] = None,
        *,
        refit: bool = False,
    ) -> None:
        """Moves instances (k,) to transforms (k, 3, 4) and rebuilds the top level only
        (refit: keeps its tree and moves its boxes); instances None moves every instance in
        order. A refused transform raises ValueError naming it and leaves the scene as it was."""
    def add_instances(
        self,
        transforms: npt.ArrayLike,
        mesh: npt.ArrayLike,
        build_threads: Optional[int] = None,
    ) -> npt.NDArray[np.int32]:
        """Places instances of mesh (k,) by transforms (k, 3, 4) after the last and rebuilds the
        top level only; returns their indices. A refused transform raises ValueError naming it
        and adds none."""
    def add_meshes(
        self, meshes: Sequence[_Mesh], build_threads: Optional[int] = None
    ) -> npt.NDArray[np.int32]:
        """Adds meshes (their trees built while other threads' queries run) for add_instances to
        place; returns their indices. A bad mesh raises ValueError or TypeError naming it and
        adds none."""
    def set_vertices(
        self, vertices: npt.ArrayLike, faces: npt.ArrayLike, build_threads: Optional[int] = None
    ) -> None:
        """Moves a scene of one mesh's vertices (the scene's faces at new places): a wide BVH is
        refitted, a KD-tree or BVH built anew. Moved vertices that leave out other faces than the
        scene does raise ValueError, and leave the scene as it was."""
    def set_mesh_vertices(
        self,
        mesh: int,
        vertices: npt.ArrayLike,
        faces: npt.ArrayLike,
        build_threads: Optional[int] = None,
        *,
        refit: bool = False,
    ) -> None:
        """Moves mesh's vertices (the same faces at new places), and every instance of it with
        them: its tree is refitted and the top level rebuilt (refit: keeps its tree and moves its
        boxes). Moved vertices that leave out other faces than the mesh does raise ValueError,
        and leave the scene as it was."""
    def set_enabled(
        self,
        enabled: Union[bool, npt.ArrayLike],
        instances: Optional[npt.ArrayLike] = None,
        build_threads: Optional[int] = None,
    ) -> None:
        """Hides (False) or shows (True) instances from every query and rebuilds the top level only;
        enabled is one bool for every instance named or one per entry of instances (None: all)."""
    @property
    def enabled(self) -> npt.NDArray[np.bool_]:
        """A scene of instances' flags, (k,): False where disabled."""
    @property
    def transforms(self) -> npt.NDArray[np.float32]:
        """A scene of instances' (k, 3, 4) transforms, a copy."""
    @property
    def instance_mesh(self) -> npt.NDArray[np.int32]:
        """A scene of instances' mesh of each instance, (k,)."""
    @property
    def instance_bounds(self) -> npt.NDArray[np.float32]:
        """A scene of instances' world boxes, (k, 2, 3): their meshes' hulls carried by their
        transforms, rounded outwards; NaN for an instance of an empty mesh."""
    @property
    def bounds(self) -> Optional[npt.NDArray[np.float32]]:
        """The scene's box, (2, 3): minimum row, then maximum; None when nothing can be hit."""
    @property
    def top_level_growth(self) -> float:
        """The top level's surface area cost over its cost when last rebuilt: 1.0 after a rebuild,
        rising as refit=True moves boxes the tree keeps grouped as they were."""
    @property
    def revision(self) -> int:
        """How many times set_transforms, set_enabled, add_instances, add_meshes or
        set_mesh_vertices has changed this scene."""
    @staticmethod
    def load_instances(path: _PathLike, meshes: Sequence[_Mesh]) -> "Scene":
        """A scene of instances read from a file that save wrote for the same meshes."""
    def __getstate__(self) -> tuple:
        """The triangles and the saved tree, for pickle."""
    def __setstate__(self, state: tuple) -> None:
        """Reads a pickled state back through the checked loaders."""
    @property
    def statistics(self) -> Dict[str, Union[str, int, float, bool]]:
        """The tree's figures: accel, nodes, and the wide BVH's or the statistic record's."""
    @property
    def accel(self) -> Literal["wide", "kd", "bvh", "wide-scene"]:
        """The structure in use."""
    @property
    def dropped_non_finite(self) -> int:
        """Faces left out for a NaN or infinite vertex coordinate."""
    @property
    def dropped_degenerate(self) -> int:
        """Faces left out for zero area."""
    def __len__(self) -> int:
        """Triangles in the scene; for instances, those placed."""
