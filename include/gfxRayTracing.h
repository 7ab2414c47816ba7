// Records shared by the host and the ray kernels, and the packet kernels.
//
// Packets are structure-of-arrays: lane k of every four-wide member belongs to
// ray k. A lane mask is an int whose bit k stands for lane k.
#ifndef GFX_RAY_TRACING_H
#define GFX_RAY_TRACING_H

#include "gfxExport.h"
#include "gfxMath.h"

#include <cstddef>
#include <emmintrin.h>
#include <xmmintrin.h>

// Four 3-vectors, one per lane.
struct sse_vec {
    __m128 x, y, z;
};

// Four rays supplied by the host.
struct RayPacket {
    sse_vec direction; // need not be unit length; hit distances are in its units
    sse_vec origin;
    __m128 host_value;      // the host's own; never read or written by the library
    unsigned int host_word; // the host's own; never read or written by the library
    int active_mask;        // lanes taking part in a traversal
};

// The nearest accepted hit of each lane. Before a query the host sets t to the
// distance limit and id to -1.
struct HitPacket {
    __m128 t;   // hits are accepted when 0.0001 <= t_new < t
    __m128 u;   // weight of vertex1; negative for a back-side hit
    __m128 v;   // weight of vertex2
    __m128i id; // triangle_id of the nearest hit, -1 for none
};

// Per-query settings.
struct RenderState {
    unsigned int thread_index;    // traversal stack slot; unique among concurrent queries
    unsigned int shadow_rays : 1; // any-hit style queries: u, v untouched, non-casters skipped
};

// One triangle as the host stores it: 64 bytes, in a contiguous array.
struct triAccel {
    float vertex0[3];
    float vertex1[3];
    float vertex2[3];
    float normal[3]; // any non-zero normal of the plane, either orientation
    int triangle_id;
    int backface_early_out; // non-zero: skip the call when every lane sees the back side
    unsigned int host_word; // the host's own; never read by the library
    int casts_shadow;       // zero: ignored by shadow-ray queries
};

static_assert(sizeof(sse_vec) == 48 && alignof(sse_vec) == 16, "sse_vec layout");
static_assert(offsetof(RayPacket, direction) == 0 && offsetof(RayPacket, origin) == 48 &&
                  offsetof(RayPacket, host_value) == 96 && offsetof(RayPacket, host_word) == 112 &&
                  offsetof(RayPacket, active_mask) == 116 && alignof(RayPacket) == 16,
              "RayPacket layout");
static_assert(offsetof(HitPacket, t) == 0 && offsetof(HitPacket, u) == 16 &&
                  offsetof(HitPacket, v) == 32 && offsetof(HitPacket, id) == 48 &&
                  sizeof(HitPacket) == 64 && alignof(HitPacket) == 16,
              "HitPacket layout");
static_assert(offsetof(RenderState, thread_index) == 0 && sizeof(RenderState) == 8,
              "RenderState layout");
static_assert(sizeof(triAccel) == 64 && alignof(triAccel) == 4 &&
                  offsetof(triAccel, normal) == 36 && offsetof(triAccel, triangle_id) == 48 &&
                  offsetof(triAccel, backface_early_out) == 52 &&
                  offsetof(triAccel, host_word) == 56 && offsetof(triAccel, casts_shadow) == 60,
              "triAccel layout");

// Tests one triangle against the lanes of lane_mask and records, per lane, a
// hit nearer than the one hits already holds.
GFX_API void gfxRT_ray_triangle_intersect(const triAccel& tri, const RayPacket& rays,
                                          unsigned int lane_mask, const RenderState& state,
                                          HitPacket& hits);

// Clips the four rays of rays against the box [bbmin, bbmax] (three floats
// each). inv holds 1/direction per lane and component. Returns the mask of the
// lanes whose rays pass through the box in front of their origin, whatever
// their active_mask, and writes each lane's entry distance (never below 0)
// into t_entry. A lane whose slab distances end NaN does not pass.
GFX_API int gfxRT_ray_box_intersect(const RayPacket& rays, const sse_vec& inv,
                                    const float* const bbmin, const float* const bbmax,
                                    __m128& t_entry);

#endif // GFX_RAY_TRACING_H
