#include "TraceSetup.h"

#include "BVHTracing.h"
#include "BenchMeshes.h"
#include "BenchRays.h"
#include "BenchSummary.h"
#include "KDTreeTracing.h"
#include "ThreadedTrace.h"
#include "TraceAgreement.h"
#ifdef ZRV_BENCH_HAVE_EMBREE
#include "EmbreeTracing.h"
#endif

#include <cstdio>
#include <map>

namespace zrv {
namespace bench {

namespace {

void print_agreement(const std::string& line) {
    std::printf("Agreement %s\n", line.c_str());
    add_summary_note("Agreement " + line);
}

// Empty when the structure's hits agree with Embree's on every ray set.
std::string check_against_embree(const TraceSetup& setup, Structure structure) {
    const std::string mesh = size_label(setup.nominal) + " mesh";
#ifdef ZRV_BENCH_HAVE_EMBREE
    RTCScene scene = embree_trace_scene(setup.nominal, RTC_BUILD_QUALITY_HIGH);
    if (!scene)
        return "Embree scene build failed";
    std::string error;
    for (RaySet rays : RAY_SETS) {
        const std::vector<RayPacket>& packets = benchmark_rays(rays, setup.nominal);
        std::vector<HitPacket> hits, embree_hits;
        setup.trace(structure, packets, &hits);
        trace_frame_embree(scene, packets, embree_query(rays), &embree_hits);
        const TraceAgreement agreement = compare_traces(packets, hits, embree_hits);
        const std::string line = mesh + ", " + ray_set_name(rays) + " rays: " +
                                 agreement.describe(structure_name(structure), "Embree");
        print_agreement(line);
        if (!agreement.acceptable() && error.empty())
            error = std::string(structure_name(structure)) + " and Embree disagree: " + line;
    }
    return error;
#else
    print_agreement(mesh + ": Embree not available, " + structure_name(structure) +
                    " hits not cross-checked");
    return std::string();
#endif
}

} // namespace

const char* structure_label(Structure structure) {
    static const char* const labels[] = {"kdtree", "bvh", "twolevel16", "twolevel256"};
    return labels[static_cast<std::size_t>(structure)];
}

const char* structure_name(Structure structure) {
    static const char* const names[] = {"KD-tree", "BVH", "two-level (16 KD-trees)",
                                        "two-level (256 KD-trees)"};
    return names[static_cast<std::size_t>(structure)];
}

FrameTrace TraceSetup::trace(Structure structure, const std::vector<RayPacket>& packets,
                             std::vector<HitPacket>* hits_out) const {
    switch (structure) {
    case Structure::KDTREE:
        return trace_frame(*kdtree, packets, hits_out);
    case Structure::BVH:
        return trace_frame(*bvh, packets, hits_out);
    case Structure::TWO_LEVEL_16:
        return trace_frame(*two_level_16.bvh, packets, hits_out);
    case Structure::TWO_LEVEL_256:
        return trace_frame(*two_level_256.bvh, packets, hits_out);
    }
    return FrameTrace();
}

FrameTrace TraceSetup::trace(Structure structure, const std::vector<RayPacket>& packets,
                             unsigned int threads) const {
    if (threads > TRACE_SLOTS)
        threads = TRACE_SLOTS;
    return trace_in_threads(
        threads, packets,
        [&](unsigned int thread_index, const RayPacket* first, std::size_t count) {
            switch (structure) {
            case Structure::KDTREE:
                return trace_run(*kdtree, thread_index, first, count);
            case Structure::BVH:
                return trace_run(*bvh, thread_index, first, count);
            case Structure::TWO_LEVEL_16:
                return trace_run(*two_level_16.bvh, thread_index, first, count);
            case Structure::TWO_LEVEL_256:
                return trace_run(*two_level_256.bvh, thread_index, first, count);
            }
            return FrameTrace();
        });
}

const TraceSetup& trace_setup(std::size_t nominal) {
    static std::map<std::size_t, std::unique_ptr<TraceSetup>> setups;
    std::unique_ptr<TraceSetup>& setup = setups[nominal];
    if (setup)
        return *setup;
    setup.reset(new TraceSetup);
    setup->nominal = nominal;
    const std::vector<triAccel>& mesh = benchmark_mesh(nominal);
    bool built[STRUCTURE_COUNT];
    setup->kdtree.reset(new gfxRTKDTree(TRACE_SLOTS));
    built[0] = setup->kdtree->create_tree_from_triAccel_list(mesh.data(), unsigned(mesh.size())) &&
               setup->kdtree->get_statistic()->valid;
    setup->bvh.reset(new gfxRTBVH_triAccel(mesh.data(), unsigned(mesh.size())));
    built[1] = setup->bvh->build_tree(1) && setup->bvh->get_statistic()->valid;
    built[2] = build_two_level(mesh, 16, 1, setup->two_level_16);
    built[3] = build_two_level(mesh, 256, 1, setup->two_level_256);
    for (Structure structure : STRUCTURES) {
        const std::size_t k = static_cast<std::size_t>(structure);
        setup->errors[k] = built[k] ? check_against_embree(*setup, structure)
                                    : std::string(structure_name(structure)) + " build failed";
    }
    return *setup;
}

} // namespace bench
} // namespace zrv
