// Which structure an "auto" scene uses: the KD-tree unless its build made
// leaves too large to trace well.
//
// The KD-tree's SAH build cannot split a cell whose triangles all lie in one
// of its boundary planes (flat, axis-aligned geometry such as a ground grid
// or the faces of a box mesh), so those triangles end in one huge leaf that
// every ray crossing it tests one by one. The BVH splits such sets by their
// centroids and has no such case. The rule is kept in this one header, free
// of anything but the library's records, so that zrv and the Python module
// choose alike.
#ifndef ZRV_ACCEL_CHOICE_H
#define ZRV_ACCEL_CHOICE_H

#include "gfxRTKDTreeBase.h"

namespace zrv {

// Leaves of more triangles than this make an "auto" scene use the BVH. Well
// built KD-trees stay far below it (zrv's default scene of a million
// triangles, on an undulating ground, has at most about 250 in one leaf); a
// mesh on a flat floor gets leaves of thousands.
const unsigned int KDTREE_MAX_LEAF_TRIANGLES = 1024;

// True when a KD-tree built with these statistics should be replaced by a
// BVH: the build failed, or a leaf holds more than KDTREE_MAX_LEAF_TRIANGLES
// triangles.
inline bool kdtree_prefers_bvh(const KDTreeStatistic& statistic) {
    return !statistic.valid || statistic.max_objects_in_cell > KDTREE_MAX_LEAF_TRIANGLES;
}

} // namespace zrv

#endif // ZRV_ACCEL_CHOICE_H
