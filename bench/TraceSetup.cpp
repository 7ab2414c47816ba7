#include "TraceSetup.h"

#include "BVHTracing.h"
#include "BenchMeshes.h"
#include "BenchRays.h"
#include "BenchSummary.h"
#include "KDTreeTracing.h"
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
    return structure == Structure::KDTREE ? "kdtree" : "bvh";
}

const char* structure_name(Structure structure) {
    return structure == Structure::KDTREE ? "KD-tree" : "BVH";
}

const std::string& TraceSetup::error(Structure structure) const {
    return structure == Structure::KDTREE ? kdtree_error : bvh_error;
}

FrameTrace TraceSetup::trace(Structure structure, const std::vector<RayPacket>& packets,
                             std::vector<HitPacket>* hits_out) const {
    if (structure == Structure::KDTREE)
        return trace_frame(*kdtree, packets, hits_out);
    return trace_frame(*bvh, packets, hits_out);
}

const TraceSetup& trace_setup(std::size_t nominal) {
    static std::map<std::size_t, std::unique_ptr<TraceSetup>> setups;
    std::unique_ptr<TraceSetup>& setup = setups[nominal];
    if (setup)
        return *setup;
    setup.reset(new TraceSetup);
    setup->nominal = nominal;
    const std::vector<triAccel>& mesh = benchmark_mesh(nominal);
    setup->kdtree.reset(new gfxRTKDTree(1));
    if (!setup->kdtree->create_tree_from_triAccel_list(mesh.data(), unsigned(mesh.size())) ||
        !setup->kdtree->get_statistic()->valid)
        setup->kdtree_error = "KD-tree build failed";
    setup->bvh.reset(new gfxRTBVH_triAccel(mesh.data(), unsigned(mesh.size())));
    if (!setup->bvh->build_tree(1) || !setup->bvh->get_statistic()->valid)
        setup->bvh_error = "BVH build failed";
    if (setup->kdtree_error.empty())
        setup->kdtree_error = check_against_embree(*setup, Structure::KDTREE);
    if (setup->bvh_error.empty())
        setup->bvh_error = check_against_embree(*setup, Structure::BVH);
    return *setup;
}

} // namespace bench
} // namespace zrv
