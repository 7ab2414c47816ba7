// The nearest point of a mesh to a query point (gfxRTWideBVH::closest_point
// and closest_batch), and the part of its triangle it lies on.
#ifndef GFX_RT_WIDE_CLOSEST_POINT_H
#define GFX_RT_WIDE_CLOSEST_POINT_H

// Where on its triangle (vertex0, vertex1, vertex2) a closest point lies:
// inside the face, on an edge (its two vertices named) or at a vertex. It
// decides which pseudo-normal gives the point's side (gfxRTPseudoNormals).
enum gfxRTWideFeature {
    GFX_WIDE_FEATURE_FACE = 0,
    GFX_WIDE_FEATURE_EDGE01 = 1,
    GFX_WIDE_FEATURE_EDGE12 = 2,
    GFX_WIDE_FEATURE_EDGE20 = 3,
    GFX_WIDE_FEATURE_VERTEX0 = 4,
    GFX_WIDE_FEATURE_VERTEX1 = 5,
    GFX_WIDE_FEATURE_VERTEX2 = 6,
};

struct gfxRTWideClosestPoint {
    float point[3]; // the nearest point of the mesh
    float distance; // from the query point to point; max_distance when none is nearer
    float u;        // point = (1 - u - v) * vertex0 + u * vertex1 + v * vertex2
    float v;
    int index;   // the triangle's position in the host's array; -1 when none
    int feature; // a gfxRTWideFeature
};

#endif // GFX_RT_WIDE_CLOSEST_POINT_H
