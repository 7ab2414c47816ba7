// Every-hit lists of the wide BVH and the wide scene: the hits each batch
// worker gathers, and the gfxRTWideHitList they are assembled into.
#ifndef GFX_RT_WIDE_HIT_LISTS_H
#define GFX_RT_WIDE_HIT_LISTS_H

#include "gfxRTWideHitList.h"

#include <cstddef>
#include <cstdint>

namespace gfx_detail {

// One hit as a worker gathers it.
struct HitEntry {
    float t, u, v;
    std::int32_t index;
    std::int32_t instance; // -1 for a single tree
    std::uint32_t ray;
};

// A worker's hits, in the order its chunks were traced. Grows by doubling,
// so appending costs no allocation per hit.
struct HitBuffer {
    HitEntry* entries = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
};

// Makes room for at least one more entry; false, the buffer unchanged, when
// memory runs out.
bool grow_hit_buffer(HitBuffer& buffer);
void release_hit_buffer(HitBuffer& buffer);

// Orders one ray's hits by t, then instance, then triangle.
void sort_ray_hits(HitEntry* hits, std::size_t count);

// Most rays order_group_hits takes at once.
const unsigned int HIT_GROUP_MAX_RAYS = 32;

// The entries of buffer from first on, hits of the rays [first_ray,
// first_ray + rays) appended in any order, ordered by ray and each ray's as
// sort_ray_hits orders them. False, the entries unchanged, when memory for
// the scratch space runs out.
bool order_group_hits(HitBuffer& buffer, std::size_t first, std::uint32_t first_ray,
                      unsigned int rays);

// Rays whose hits are counted or listed: three floats per ray, one limit per
// ray (max_distances null: no limit); counts receives one count per ray.
struct WideHitBatch {
    const float* origins;
    const float* directions;
    const float* max_distances;
    unsigned int* counts;
};

// Appends the hits of the rays [begin, end), ray after ray, each ray's hits
// sorted; false when memory runs out.
class HitRangeLister {
public:
    virtual bool list(unsigned int begin, unsigned int end, HitBuffer& out) const = 0;

protected:
    ~HitRangeLister() = default;
};

// Lists the hits of count rays on threads workers into list (released
// first). False, with an empty list and nothing held, when memory runs out.
bool collect_hit_list(const HitRangeLister& lister, unsigned int count, unsigned int threads,
                      gfxRTWideHitList& list);

} // namespace gfx_detail

#endif // GFX_RT_WIDE_HIT_LISTS_H
