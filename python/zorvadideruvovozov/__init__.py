"""Ray queries against triangle meshes held in numpy arrays.

The native code is the extension module ``zorvadideruvovozov._core``; this
package re-exports it, so ``zorvadideruvovozov.Scene`` is the Scene, and adds
``zorvadideruvovozov.dask``, the queries over Dask arrays on a cluster.
"""

from . import _core
from ._core import KDTREE_MAX_LEAF_TRIANGLES, MAX_THREADS, Scene, __version__
from . import dask

__doc__ = _core.__doc__
__all__ = ["Scene", "KDTREE_MAX_LEAF_TRIANGLES", "MAX_THREADS", "__version__", "dask"]
