// Which side of a mesh a point lies on, from angle-weighted pseudo-normals.
//
// Each face's normal is (vertex1 - vertex0) x (vertex2 - vertex0),
// normalised: counter-clockwise faces seen from outside. An edge's
// pseudo-normal is the sum of its faces' normals; a vertex's is the sum of
// its faces' normals, each weighted by the face's angle at the vertex. Faces
// meet where they share vertex coordinates exactly (a mesh's shared vertices,
// or a triangle soup's repeated corners).
//
// For a query point p whose closest point on the mesh is c, on a feature of
// triangle i (gfxRTWideClosestPoint), p lies outside where (p - c) . n > 0
// for that feature's pseudo-normal n, inside where it is negative. For a
// closed mesh whose faces are wound consistently this is exact wherever c is
// the true closest point; for a mesh that is not closed it is the side the
// nearest feature faces, so points beyond an open border take the side of
// the border's pseudo-normal.
#ifndef GFX_RT_PSEUDO_NORMALS_H
#define GFX_RT_PSEUDO_NORMALS_H

#include "gfxExport.h"
#include "gfxRTWideClosestPoint.h"
#include "gfxRayTracing.h"

class GFX_API gfxRTPseudoNormals {
public:
    gfxRTPseudoNormals();
    ~gfxRTPseudoNormals();
    gfxRTPseudoNormals(const gfxRTPseudoNormals&) = delete;
    gfxRTPseudoNormals& operator=(const gfxRTPseudoNormals&) = delete;

    // The pseudo-normals of count records, by their positions (the indices
    // a wide BVH over the same records reports). Records the wide BVH
    // leaves out (a non-finite corner or normal, zero area) take no part.
    // An edge of more than two faces sums all their normals. Vertices and
    // normals are computed in double, then kept as unit floats. False,
    // leaving nothing, when memory runs out or triangles is null with a
    // non-zero count.
    bool build(const triAccel* triangles, unsigned int count);
    void clear();

    // (point - closest.point) . n for the pseudo-normal n of closest's
    // feature: positive outside, negative inside, 0 on the surface. 0 when
    // closest.index is -1 or not a position build was given.
    float side(const gfxRTWideClosestPoint& closest, const float point[3]) const;

    // Whether every edge is shared by exactly two faces, wound opposite
    // ways; false for a mesh without faces.
    bool closed() const;

private:
    struct Data;
    Data* data_;
};

#endif // GFX_RT_PSEUDO_NORMALS_H
