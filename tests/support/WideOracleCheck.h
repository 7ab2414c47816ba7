// Checks every query of a wide BVH against the brute force (WideOracle.h) on
// given rays, under every kernel version this processor runs.
#ifndef ZRV_TEST_WIDE_ORACLE_CHECK_H
#define ZRV_TEST_WIDE_ORACLE_CHECK_H

#include "gfxKernelDispatch.h"
#include "gfxRTWideBVH.h"
#include "zrvSceneMesh.h"

#include <functional>
#include <string>
#include <vector>

// Single rays as arrays: three floats per ray, one limit per ray.
struct WideRays {
    std::vector<float> origins, directions, limits;
    void add(const float* origin, const float* direction, float limit);
    unsigned int size() const { return unsigned(limits.size()); }
};

template <typename T> void append(std::vector<T>& items, const std::vector<T>& more) {
    items.insert(items.end(), more.begin(), more.end());
}
void append(WideRays& rays, const WideRays& more);

// Exact bits of a hit, for messages and comparisons.
std::string hit_bits(const gfxRTWideHit& hit);

// Exact bits of a packet's hits and positions, lane by lane.
std::string packet_bits(const HitPacket& hits, __m128i index);

// What a tree or a scene (or the brute force in its place) answers, as exact
// bits, so that any two can be compared query by query: intersect1's hit
// (and whether it said so) with occluded1's answer; the same for every ray
// through the batch calls (one ray at a time if not given); intersect4 from
// hits; occluded4; and a note on a wrong ray answer (if given).
struct WideAnswers {
    std::function<std::string(const float* origin, const float* direction, float limit)> ray;
    std::function<std::vector<std::string>(const WideRays& rays, unsigned int threads)> batch;
    std::function<std::string(const RayPacket& rays, HitPacket hits, unsigned int shadow,
                              float limit)>
        packet;
    std::function<int(const RayPacket& rays, const float* limits)> occluded4; // four
    // intersect_packets on count packets from hits (absent: not checked).
    std::function<std::vector<std::string>(const RayPacket* rays, HitPacket* hits,
                                           unsigned int count, unsigned int shadow, float limit)>
        packets;
    std::function<std::string(const float* origin, const float* direction, float limit)> note;
};

// A ray's answer from its hit's bits, whether the call's result disagreed
// with the hit, and the occlusion value.
std::string ray_text(const std::string& hit, bool wrong_result, int occluded);
// Every ray's answer, through the batch calls on threads if answers has them.
std::vector<std::string> answers_of(const WideAnswers& answers, const WideRays& rays,
                                    unsigned int threads);

// The answers without their batch calls.
WideAnswers one_ray_at_a_time(WideAnswers answers);

// got against want item by item, reporting the first few differences (with
// the note of each if given).
void expect_texts(const std::vector<std::string>& got, const std::vector<std::string>& want,
                  const std::string& what,
                  const std::function<std::string(std::size_t)>& note = nullptr);

// check under every kernel version this processor runs, given the version's
// text; then the version that was set again.
void for_each_kernel_level(const std::function<void(const std::string& level)>& check);

WideAnswers tree_answers(const gfxRTWideBVH& tree);
// The brute force of WideOracle.h over tris.
WideAnswers triangles_oracle(const std::vector<triAccel>& tris);

// Every ray one at a time and through the batch calls on 1 and batch_threads
// threads, and every packet through intersect4 (with and without
// shadow_rays, from hits of t start in odd packets, limited to limit but
// every third run of four) and occluded4, got against want under every
// kernel version; and the packets through intersect_packets in runs of four
// when got has it, and in one call against those runs.
// Stops reporting after a few mismatches.
void expect_answers(const WideAnswers& got, const WideAnswers& want, const WideRays& rays,
                    const std::vector<RayPacket>& packets, unsigned int batch_threads, float start,
                    float limit, const std::string& where);

// A tree against the brute force over tris.
void expect_wide_oracle(const gfxRTWideBVH& tree, const std::vector<triAccel>& tris,
                        const WideRays& rays, const std::vector<RayPacket>& packets,
                        const std::string& where);

// Sets backface_early_out on every third triangle and clears casts_shadow
// on every fifth, so that the kernel's early out and the shadow rules are
// met.
void mix_triangle_flags(std::vector<triAccel>& tris);

// The valid triangles moved by a twist about y, a wave and a scale and
// offset, computed in double from each vertex alone (so that vertices shared
// by neighbours stay shared), with normals, flags and ids renewed. The
// invalid ones shrink to the point where the origin goes, and stay invalid:
// moving a degenerate triangle's vertices apart would give it an area.
std::vector<triAccel> deformed_triangles(std::vector<triAccel> tris, double twist, double scale,
                                         double offset);

// Lane i % 4 of packets[i] as single rays: every third unbounded, the others
// limited to a uniform distance in [0.2, max_limit).
WideRays lane_rays(const std::vector<RayPacket>& packets, float max_limit, unsigned int seed);
// A 128 x 64 camera's rays around the box b in its packets' order, as the
// batches' camera groups take them, limited as lane_rays limits them. Every
// thirteenth has a zero direction: it hits nothing, and whatever the
// kernel's volumes make of it must not lift the back-face early out for the
// other rays of its group. Every seventeenth has a NaN limit, which a miss
// keeps. field: as camera_packets takes it.
WideRays camera_batch_rays(const zrv::scenes::Bounds& b, float max_limit, unsigned int seed,
                           float field = 0.6f);

// Scattered single rays (half aimed at triangles, some with zero direction
// components), a third unbounded and the others with limits.
WideRays scattered_rays(const std::vector<triAccel>& tris, int count, unsigned seed);

// per_kind rays of each kind: along shared edges, through shared vertices, in
// triangles' planes, from and towards points of faces (almost along an axis,
// and from 1e8 away); then rays that cannot hit and limits either side of a hit.
WideRays adversarial_rays(const std::vector<triAccel>& tris, int per_kind, unsigned seed);

// Rays whose hits lie about the least distance the kernel accepts (0.0001),
// for count triangles of tris: through a random point of the triangle (a
// third on an edge) from a little before it, so that the crossing lies
// at 0.5 to 2 times that distance, or within 2^-16 of it (in relative
// steps of 2^-22); and leaving the point, lifted off the face by up to that
// distance along the normal, as shadow rays leave the surface they start on.
// Directions have lengths from 1/64 to 64, half of them unbounded and half
// limited to ten times the least distance.
WideRays least_distance_rays(const std::vector<triAccel>& tris, int count, unsigned seed);

// Whether the ray's nearest hit (if any) is steeper than degrees to its
// triangle's plane: from afar the kernel may take a shallower crossing as
// inside a triangle well outside it, the exception gfxRTWideBVH.h documents.
bool steep(const std::vector<triAccel>& tris, const float* o, const float* d, double degrees = 3.0);

// Unbounded rays from random points of the cube [-spread, spread]^3 (moved
// to centre if given) to a random point of a random triangle: well inside
// it, or anywhere on its first edge.
WideRays aimed_rays(const std::vector<triAccel>& tris, int count, unsigned seed, float spread,
                    bool on_edge = false, const float* centre = nullptr);

// Packets of four of the rays, in order (unbounded, every lane active).
std::vector<RayPacket> packets_of(const WideRays& rays);
// Packets of two rays each with its reverse (from twice its direction ahead,
// back towards its origin): where one lane meets a triangle's back, the other
// meets its front, which lifts the kernel's packet-wide back-face early out.
std::vector<RayPacket> facing_pairs(const WideRays& rays);
// Four packets per ray, as a camera's neighbouring 2x2 blocks come: the ray
// four times, then the ray with three neighbours and twice four neighbours,
// all from its origin, their direction components scaled by up to spread
// (unbounded, every lane active). Signs are kept, but in the last packet,
// which turns the smallest component's sign when it is below a 64th of the
// largest.
std::vector<RayPacket> narrow_packets(const WideRays& rays, unsigned int seed,
                                      float spread = 0.001f);
// The packets with the first of every run of four idle (active_mask 0)
// and moved off its origin, as the blocks of a camera's packets past the
// image's edge may come: packets is a whole number of runs.
std::vector<RayPacket> idle_leads(std::vector<RayPacket> packets);
// Occlusion samples of one point: the first count packets (at most all of
// them) with every lane starting at lane 0's origin, directions kept, so
// that the lanes share an origin but not their directions' signs.
std::vector<RayPacket> one_point_packets(const std::vector<RayPacket>& packets, std::size_t count);
// A packet per ray, as shadow rays towards a distant light leave neighbouring
// points: the ray and three copies starting up to a hundredth of its
// direction behind it on its line (one direction, four origins).
std::vector<RayPacket> parallel_packets(const WideRays& rays);
// A packet per ray: the ray, and three with its direction from origins up
// to spread away from its own along each axis.
std::vector<RayPacket> beam_packets(const WideRays& rays, float spread, unsigned int seed);

#endif // ZRV_TEST_WIDE_ORACLE_CHECK_H
