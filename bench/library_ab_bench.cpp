// Two builds of the library traced by turns in one process, on one wide BVH:
// the ratio of their times for one call on one ray set. Separate processes
// differ by up to a tenth in where the tree lands in memory and in the
// machine's state; calls of two builds alternated on the same tree and rays
// differ by one to four percent, so a change of a few percent shows.
//
//   zrv_library_ab_bench [--own-trees] LIB_A LIB_B primary|single|ao|random 100k|1m
//                        one|occluded_one|packets|groups|occluded_packets|batch|
//                        occluded_batch [rounds]
//   zrv_library_ab_bench LIB_A LIB_B single|ao|random scene
//                        one|occluded_one|packets|occluded_packets [rounds]
//   zrv_library_ab_bench LIB_A LIB_B primary|ao|random scene batch|occluded_batch [rounds]
//
// The mesh "scene" is the benchmarks' instanced scene (64 placements of the
// 100k mesh), built once by the linked library; "single" is its camera rays
// one a packet, "primary" the same rays in the 2x2 blocks' order.
//
// LIB_A and LIB_B are paths to libzorvadideruvovozov.so builds whose
// gfxRTWideBVH has this build's layout. The tree is built by the library
// this tool is linked with; with --own-trees each build traces a tree of its
// own build (to compare builders; the trees then lie in different memory,
// which adds a little of the noise between processes). Each build is
// loaded with its own symbols first (RTLD_DEEPBIND), so that its calls
// reach its own kernels. Prints both builds' best and median times, the
// quartiles of B's time over A's, and whether they found the same hits.
#include "BenchMeshes.h"
#include "BenchRays.h"
#include "FrameTrace.h"
#include "InstancedScene.h"
#include "RayArrays.h"

#include "gfxRTWideBVH.h"
#include "gfxRTWideScene.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <vector>

using namespace zrv::bench;

namespace {

// gfxRTWideBVH's build and query calls, with the tree as first argument.
struct LibraryCalls {
    bool (*build)(gfxRTWideBVH*, const triAccel*, unsigned int, unsigned int);
    bool (*intersect1)(const gfxRTWideBVH*, const float*, const float*, float, gfxRTWideHit&);
    bool (*occluded1)(const gfxRTWideBVH*, const float*, const float*, float);
    void (*intersect4)(const gfxRTWideBVH*, RayPacket&, HitPacket&, __m128i&, const RenderState&,
                       float);
    int (*occluded4)(const gfxRTWideBVH*, const RayPacket&, __m128);
    void (*intersect_packets)(const gfxRTWideBVH*, const RayPacket*, HitPacket*, __m128i*,
                              unsigned int, const RenderState&, float);
    void (*intersect_batch)(const gfxRTWideBVH*, const float*, const float*, const float*,
                            unsigned int, float*, int*, float*, float*, unsigned int);
    void (*occluded_batch)(const gfxRTWideBVH*, const float*, const float*, const float*,
                           unsigned int, unsigned char*, unsigned int);
    bool (*scene_intersect1)(const gfxRTWideScene*, const float*, const float*, float,
                             gfxRTWideSceneHit&);
    bool (*scene_occluded1)(const gfxRTWideScene*, const float*, const float*, float);
    void (*scene_intersect4)(const gfxRTWideScene*, RayPacket&, HitPacket&, __m128i&, __m128i&,
                             const RenderState&, float);
    int (*scene_occluded4)(const gfxRTWideScene*, const RayPacket&, __m128);
    void (*scene_intersect_batch)(const gfxRTWideScene*, const float*, const float*, const float*,
                                  unsigned int, float*, int*, int*, float*, float*, unsigned int);
    void (*scene_occluded_batch)(const gfxRTWideScene*, const float*, const float*, const float*,
                                 unsigned int, unsigned char*, unsigned int);
};

template <typename Function> bool find(void* library, const char* name, Function& function) {
    void* const address = dlsym(library, name);
    std::memcpy(&function, &address, sizeof function);
    return address != nullptr;
}

// The calls of the build at path; false (with dlerror's reason printed) when
// it cannot be loaded or lacks one of them.
bool load_calls(const char* path, LibraryCalls& calls) {
    void* const library = dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
    if (library != nullptr && find(library, "_ZN12gfxRTWideBVH5buildEPK8triAcceljj", calls.build) &&
        find(library, "_ZNK12gfxRTWideBVH10intersect1EPKfS1_fR12gfxRTWideHit", calls.intersect1) &&
        find(library, "_ZNK12gfxRTWideBVH9occluded1EPKfS1_f", calls.occluded1) &&
        find(library, "_ZNK12gfxRTWideBVH10intersect4ER9RayPacketR9HitPacketRDv2_xRK11RenderStatef",
             calls.intersect4) &&
        find(library, "_ZNK12gfxRTWideBVH9occluded4ERK9RayPacketDv4_f", calls.occluded4) &&
        find(library,
             "_ZNK12gfxRTWideBVH17intersect_packetsEPK9RayPacketP9HitPacketPDv2_xjRK11RenderStatef",
             calls.intersect_packets) &&
        find(library, "_ZNK12gfxRTWideBVH15intersect_batchEPKfS1_S1_jPfPiS2_S2_j",
             calls.intersect_batch) &&
        find(library, "_ZNK12gfxRTWideBVH14occluded_batchEPKfS1_S1_jPhj", calls.occluded_batch) &&
        find(library, "_ZNK14gfxRTWideScene10intersect1EPKfS1_fR17gfxRTWideSceneHit",
             calls.scene_intersect1) &&
        find(library, "_ZNK14gfxRTWideScene9occluded1EPKfS1_f", calls.scene_occluded1) &&
        find(library,
             "_ZNK14gfxRTWideScene10intersect4ER9RayPacketR9HitPacketRDv2_xS5_RK11RenderStatef",
             calls.scene_intersect4) &&
        find(library, "_ZNK14gfxRTWideScene9occluded4ERK9RayPacketDv4_f", calls.scene_occluded4) &&
        find(library, "_ZNK14gfxRTWideScene15intersect_batchEPKfS1_S1_jPfPiS3_S2_S2_j",
             calls.scene_intersect_batch) &&
        find(library, "_ZNK14gfxRTWideScene14occluded_batchEPKfS1_S1_jPhj",
             calls.scene_occluded_batch))
        return true;
    const char* const reason = dlerror();
    std::fprintf(stderr, "zrv_library_ab_bench: %s: %s\n", path,
                 reason != nullptr ? reason : "a call is missing");
    return false;
}

enum class Call { ONE, OCCLUDED_ONE, PACKETS, GROUPS, OCCLUDED_PACKETS, BATCH, OCCLUDED_BATCH };

// What a pass found, to tell the builds' answers apart: a hash of every
// lane's hit (t's bits and the triangle's index) or occlusion.
struct Pass {
    double seconds;
    std::uint64_t answers;
};

// The hash a pass's answers are mixed into, before any.
const std::uint64_t NO_ANSWERS = 0xcbf29ce484222325ull;

// The seconds work() takes by the monotonic clock.
template <class Work> double seconds_of(const Work& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void mix(std::uint64_t& hash, std::uint64_t value) {
    hash = (hash ^ value) * 0x100000001b3ull;
}

std::uint64_t float_bits(float x) {
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

// One batch call over every ray on one thread, of the mesh's tree or, when
// scene is not null, of the scene (hits then fold in their instance).
Pass trace_batch(const LibraryCalls& calls, Call call, const gfxRTWideBVH& tree,
                 const gfxRTWideScene* scene, const RayArrays& rays) {
    const unsigned int count = unsigned(rays.count);
    std::vector<float> t(count), u(count), v(count);
    std::vector<int> index(count), instance(count);
    std::vector<unsigned char> occluded(count);
    const float* const o = rays.origins.data();
    const float* const d = rays.directions.data();
    const double seconds = seconds_of([&] {
        if (call == Call::BATCH && scene != nullptr)
            calls.scene_intersect_batch(scene, o, d, nullptr, count, t.data(), index.data(),
                                        instance.data(), u.data(), v.data(), 1);
        else if (call == Call::BATCH)
            calls.intersect_batch(&tree, o, d, nullptr, count, t.data(), index.data(), u.data(),
                                  v.data(), 1);
        else if (scene != nullptr)
            calls.scene_occluded_batch(scene, o, d, nullptr, count, occluded.data(), 1);
        else
            calls.occluded_batch(&tree, o, d, nullptr, count, occluded.data(), 1);
    });
    std::uint64_t answers = NO_ANSWERS;
    for (unsigned int i = 0; i < count; ++i) {
        if (call != Call::BATCH)
            mix(answers, occluded[i]);
        else if (scene != nullptr)
            mix(answers, float_bits(t[i]) << 32 | std::uint32_t(index[i] * 64 + instance[i]));
        else
            mix(answers, float_bits(t[i]) << 32 | std::uint32_t(index[i]));
    }
    return {seconds, answers};
}

// What a packet call takes: a copy of the packet, no hits yet, no state.
struct PacketQuery {
    RayPacket rays;
    HitPacket hits;
    RenderState state = {};

    explicit PacketQuery(const RayPacket& packet) : rays(packet) { clear_hits(hits); }
};

// A packet's hits: each lane's instance and triangle, and its t.
void mix_packet(std::uint64_t& answers, const HitPacket& hits, __m128i index, __m128i instance) {
    alignas(16) std::int32_t lanes[4], instances[4];
    alignas(16) float t[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), index);
    _mm_store_si128(reinterpret_cast<__m128i*>(instances), instance);
    _mm_store_ps(t, hits.t);
    for (int k = 0; k < 4; ++k) {
        mix(answers, std::uint64_t(std::uint32_t(instances[k])) << 32 | std::uint32_t(lanes[k]));
        mix(answers, float_bits(t[k]));
    }
}

// One build's calls on one tree, each folding what it found into answers.
struct MeshCalls {
    const LibraryCalls& calls;
    const gfxRTWideBVH& tree;

    void packet(const RayPacket& packet, std::uint64_t& answers) const {
        PacketQuery query(packet);
        __m128i index;
        calls.intersect4(&tree, query.rays, query.hits, index, query.state, NO_HIT_DISTANCE);
        mix_packet(answers, query.hits, index, _mm_set1_epi32(-1));
    }
    int occluded_packet(const RayPacket& packet) const {
        return calls.occluded4(&tree, packet, _mm_set1_ps(NO_HIT_DISTANCE));
    }
    void one(const LaneRay& ray, std::uint64_t& answers) const {
        gfxRTWideHit hit;
        if (calls.intersect1(&tree, ray.origin, ray.direction, NO_HIT_DISTANCE, hit))
            mix(answers, float_bits(hit.t) << 32 | std::uint32_t(hit.index));
    }
    bool occluded_one(const LaneRay& ray) const {
        return calls.occluded1(&tree, ray.origin, ray.direction, NO_HIT_DISTANCE);
    }
};

// The same on the instanced scene; hits also fold in their instance.
struct SceneCalls {
    const LibraryCalls& calls;
    const gfxRTWideScene& scene;

    void packet(const RayPacket& packet, std::uint64_t& answers) const {
        PacketQuery query(packet);
        __m128i index, instance;
        calls.scene_intersect4(&scene, query.rays, query.hits, index, instance, query.state,
                               NO_HIT_DISTANCE);
        mix_packet(answers, query.hits, index, instance);
    }
    int occluded_packet(const RayPacket& packet) const {
        return calls.scene_occluded4(&scene, packet, _mm_set1_ps(NO_HIT_DISTANCE));
    }
    void one(const LaneRay& ray, std::uint64_t& answers) const {
        gfxRTWideSceneHit hit;
        if (calls.scene_intersect1(&scene, ray.origin, ray.direction, NO_HIT_DISTANCE, hit))
            mix(answers, float_bits(hit.t) << 32 | std::uint32_t(hit.index * 64 + hit.instance));
    }
    bool occluded_one(const LaneRay& ray) const {
        return calls.scene_occluded1(&scene, ray.origin, ray.direction, NO_HIT_DISTANCE);
    }
};

// The mesh's packets through intersect_packets, four neighbouring packets
// (the camera's 2x2 blocks in a row) a call, as the benchmarks' primary_4x.
Pass trace_groups(const LibraryCalls& calls, const gfxRTWideBVH& tree,
                  const std::vector<RayPacket>& packets) {
    std::uint64_t answers = NO_ANSWERS;
    const double seconds = seconds_of([&] {
        for (std::size_t first = 0; first < packets.size(); first += 4) {
            const unsigned int n = unsigned(std::min<std::size_t>(4, packets.size() - first));
            HitPacket hits[4];
            __m128i index[4];
            for (unsigned int p = 0; p < n; ++p)
                clear_hits(hits[p]);
            calls.intersect_packets(&tree, &packets[first], hits, index, n, RenderState{},
                                    NO_HIT_DISTANCE);
            for (unsigned int p = 0; p < n; ++p)
                mix_packet(answers, hits[p], index[p], _mm_set1_epi32(-1));
        }
    });
    return {seconds, answers};
}

// Every packet through one of the packet or one-ray calls of target.
template <class Target>
Pass trace_packets(const Target& target, Call call, const std::vector<RayPacket>& packets) {
    std::uint64_t answers = NO_ANSWERS;
    const double seconds = seconds_of([&] {
        for (const RayPacket& packet : packets) {
            if (call == Call::PACKETS) {
                target.packet(packet, answers);
            } else if (call == Call::OCCLUDED_PACKETS) {
                mix(answers, std::uint32_t(target.occluded_packet(packet)));
            } else {
                for (int k = 0; k < 4; ++k) {
                    if (!((packet.active_mask >> k) & 1))
                        continue;
                    const LaneRay ray = lane_ray(packet, k);
                    if (call == Call::ONE)
                        target.one(ray, answers);
                    else
                        mix(answers, target.occluded_one(ray));
                }
            }
        }
    });
    return {seconds, answers};
}

Pass trace(const LibraryCalls& calls, Call call, const gfxRTWideBVH& tree,
           const std::vector<RayPacket>& packets, const RayArrays& arrays,
           const gfxRTWideScene* scene) {
    if (call == Call::BATCH || call == Call::OCCLUDED_BATCH)
        return trace_batch(calls, call, tree, scene, arrays);
    if (scene != nullptr)
        return trace_packets(SceneCalls{calls, *scene}, call, packets);
    if (call == Call::GROUPS)
        return trace_groups(calls, tree, packets);
    return trace_packets(MeshCalls{calls, tree}, call, packets);
}

bool parse(int argc, char** argv, RaySet& set, std::size_t& nominal, Call& call, int& rounds) {
    if (argc < 6 || argc > 7)
        return false;
    const std::string set_name = argv[3], mesh = argv[4], call_name = argv[5];
    const char* const sets[] = {"primary", "single", "ao", "random"};
    const RaySet values[] = {RaySet::PRIMARY_2X2, RaySet::SINGLE, RaySet::AO, RaySet::RANDOM};
    int found = -1;
    for (int k = 0; k < 4; ++k)
        if (set_name == sets[k])
            found = k;
    if (found < 0 || (mesh != "100k" && mesh != "1m" && mesh != "scene"))
        return false;
    set = values[found];
    nominal = mesh == "100k" ? 100000 : mesh == "1m" ? 1000000 : 0; // 0: the scene
    if (call_name == "one")
        call = Call::ONE;
    else if (call_name == "occluded_one")
        call = Call::OCCLUDED_ONE;
    else if (call_name == "packets")
        call = Call::PACKETS;
    else if (call_name == "groups")
        call = Call::GROUPS;
    else if (call_name == "occluded_packets")
        call = Call::OCCLUDED_PACKETS;
    else if (call_name == "batch")
        call = Call::BATCH;
    else if (call_name == "occluded_batch")
        call = Call::OCCLUDED_BATCH;
    else
        return false;
    rounds = argc == 7 ? std::atoi(argv[6]) : 16;
    if (rounds < 2)
        return false;
    if (nominal != 0)
        return true;
    // The scene: its camera rays one a packet for the packet and one-ray
    // calls, in their blocks' order for the batches; no groups call.
    const bool batch = call == Call::BATCH || call == Call::OCCLUDED_BATCH;
    return call != Call::GROUPS && set != (batch ? RaySet::SINGLE : RaySet::PRIMARY_2X2);
}

} // namespace

int main(int argc, char** argv) {
    RaySet set = RaySet::RANDOM;
    std::size_t nominal = 0;
    Call call = Call::PACKETS;
    int rounds = 0;
    const bool own_trees = argc > 1 && std::strcmp(argv[1], "--own-trees") == 0;
    if (own_trees) {
        --argc;
        ++argv;
    }
    if (!parse(argc, argv, set, nominal, call, rounds)) {
        std::fprintf(stderr, "usage: zrv_library_ab_bench [--own-trees] LIB_A LIB_B "
                             "primary|single|ao|random "
                             "100k|1m one|occluded_one|packets|groups|occluded_packets|batch|"
                             "occluded_batch [rounds >= 2]\n"
                             "       zrv_library_ab_bench LIB_A LIB_B single|ao|random scene "
                             "one|occluded_one|packets|occluded_packets [rounds >= 2]\n"
                             "       zrv_library_ab_bench LIB_A LIB_B primary|ao|random scene "
                             "batch|occluded_batch [rounds >= 2]\n");
        return 2;
    }
    LibraryCalls a, b;
    if (!load_calls(argv[1], a) || !load_calls(argv[2], b))
        return 1;
    gfxRTWideBVH tree, tree_b;
    const gfxRTWideScene* scene = nullptr;
    const std::vector<RayPacket>* packets = nullptr;
    const RayArrays* arrays = nullptr;
    if (nominal == 0) {
        const InstancedScene& setup = instanced_scene();
        scene = setup.scene.get();
        const SceneRays rays = set == RaySet::SINGLE        ? SceneRays::SINGLE
                               : set == RaySet::PRIMARY_2X2 ? SceneRays::PRIMARY
                               : set == RaySet::AO          ? SceneRays::AO
                                                            : SceneRays::RANDOM;
        packets = &setup.packets(rays);
        static const RayArrays camera = ray_arrays(setup.primary);
        arrays = rays == SceneRays::PRIMARY ? &camera : &setup.arrays(rays);
    } else {
        const std::vector<triAccel>& mesh = benchmark_mesh(nominal);
        const unsigned int count = unsigned(mesh.size());
        if (!(own_trees
                  ? a.build(&tree, mesh.data(), count, 2) && b.build(&tree_b, mesh.data(), count, 2)
                  : tree.build(mesh.data(), count, 2))) {
            std::fprintf(stderr, "zrv_library_ab_bench: the wide BVH build failed\n");
            return 1;
        }
        packets = &benchmark_rays(set, nominal);
        arrays = &benchmark_ray_arrays(set, nominal);
    }
    const gfxRTWideBVH& traced_b = own_trees ? tree_b : tree;
    // A then B in even rounds, B then A in odd ones: whichever runs second
    // finds the caches as the first left them.
    std::vector<double> time_a, time_b, ratio;
    bool same = true;
    for (int round = 0; round < rounds; ++round) {
        Pass pass_a, pass_b;
        if (round % 2 == 0) {
            pass_a = trace(a, call, tree, *packets, *arrays, scene);
            pass_b = trace(b, call, traced_b, *packets, *arrays, scene);
        } else {
            pass_b = trace(b, call, traced_b, *packets, *arrays, scene);
            pass_a = trace(a, call, tree, *packets, *arrays, scene);
        }
        same = same && pass_a.answers == pass_b.answers;
        time_a.push_back(pass_a.seconds);
        time_b.push_back(pass_b.seconds);
        ratio.push_back(pass_b.seconds / pass_a.seconds);
    }
    std::sort(time_a.begin(), time_a.end());
    std::sort(time_b.begin(), time_b.end());
    std::sort(ratio.begin(), ratio.end());
    const int n = rounds;
    std::printf("%s %s %s, %d rounds: A best %.2f median %.2f ms; B best %.2f median %.2f ms; "
                "B/A quartiles %.3f %.3f %.3f; %s\n",
                argv[3], argv[4], argv[5], n, time_a[0] * 1e3, time_a[n / 2] * 1e3, time_b[0] * 1e3,
                time_b[n / 2] * 1e3, ratio[n / 4], ratio[n / 2], ratio[(3 * n) / 4],
                same ? "the same answers" : "DIFFERENT ANSWERS");
    return same ? 0 : 3;
}
