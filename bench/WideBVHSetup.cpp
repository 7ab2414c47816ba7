#include "WideBVHSetup.h"

#include "BenchMeshes.h"
#include "BenchSummary.h"
#include "RayArrays.h"
#include "ThreadedTrace.h"
#include "TraceAgreement.h"
#include "TraceSetup.h"
#include "WideBVHTracing.h"
#ifdef ZRV_BENCH_HAVE_EMBREE
#include "EmbreeRayQueries.h"
#include "EmbreeTracing.h"
#endif

#include <cstdio>
#include <map>
#include <vector>

namespace zrv {
namespace bench {

namespace {

const char* const WIDE_BVH_NAME = "wide BVH";

void print_agreement(const std::string& line) {
    std::printf("Agreement %s\n", line.c_str());
    add_summary_note("Agreement " + line);
}

#ifdef ZRV_BENCH_HAVE_EMBREE
// The figure's line against Embree's same call (rtcIntersect4 for packets and
// for intersect1, whose single rays Embree's packet figure traces); empty
// error when they agree.
std::string check_figure(const WideBVHSetup& setup, RTCScene scene, const QueryFigure& figure) {
    const std::vector<RayPacket>& packets = benchmark_rays(figure.rays, setup.nominal);
    const std::string what =
        size_label(setup.nominal) + " mesh, " + figure.variant_base + " rays: ";
    std::string line;
    bool acceptable = true;
    if (is_occlusion(figure.query)) {
        std::vector<int> wide(packets.size()), embree(packets.size());
        trace_run_wide(*setup.tree, figure.query, packets.data(), packets.size(), nullptr,
                       wide.data());
        trace_run_embree_query(scene, figure.query, ray_set_is_coherent(figure.rays),
                               packets.data(), packets.size(), nullptr, embree.data());
        const OcclusionAgreement agreement = compare_occlusion(packets, wide, embree);
        line = agreement.describe(WIDE_BVH_NAME, "Embree");
        acceptable = agreement.acceptable();
    } else {
        std::vector<HitPacket> wide, embree;
        if (figure.query == RayQuery::BATCH) {
            const RayArrays& arrays = benchmark_ray_arrays(figure.rays, setup.nominal);
            BatchHits wide_batch, embree_batch;
            trace_batch_wide(*setup.tree, arrays, 1, wide_batch);
            trace_batch_embree(scene, arrays, 1, embree_batch);
            wide = hit_packets(packets, wide_batch);
            embree = hit_packets(packets, embree_batch);
        } else {
            wide.resize(packets.size());
            trace_run_wide(*setup.tree, figure.query, packets.data(), packets.size(), wide.data(),
                           nullptr);
            trace_frame_embree(scene, packets, embree_query(figure.rays), &embree);
        }
        const TraceAgreement agreement = compare_traces(packets, wide, embree);
        line = agreement.describe(WIDE_BVH_NAME, "Embree");
        acceptable = agreement.acceptable();
    }
    print_agreement(what + line);
    return acceptable ? std::string() : std::string("wide BVH and Embree disagree: ") + what + line;
}
#endif

std::string check_against_embree(const WideBVHSetup& setup) {
#ifdef ZRV_BENCH_HAVE_EMBREE
    RTCScene scene = embree_trace_scene(setup.nominal, RTC_BUILD_QUALITY_HIGH);
    if (!scene)
        return "Embree scene build failed";
    std::string error;
    for (const QueryFigure& figure : WIDE_BVH_FIGURES) {
        const std::string figure_error = check_figure(setup, scene, figure);
        if (error.empty())
            error = figure_error;
    }
    return error;
#else
    print_agreement(size_label(setup.nominal) +
                    " mesh: Embree not available, wide BVH hits not cross-checked");
    return std::string();
#endif
}

} // namespace

FrameTrace WideBVHSetup::trace(const QueryFigure& figure, unsigned int threads) const {
    if (figure.query == RayQuery::BATCH) {
        // The benchmark thread is the only caller; the results are reused.
        static BatchHits hits;
        return trace_batch_wide(*tree, benchmark_ray_arrays(figure.rays, nominal), threads, hits);
    }
    return trace_in_threads(threads, benchmark_rays(figure.rays, nominal),
                            [&](unsigned int, const RayPacket* first, std::size_t count) {
                                return trace_run_wide(*tree, figure.query, first, count, nullptr,
                                                      nullptr);
                            });
}

const WideBVHSetup& wide_bvh_setup(std::size_t nominal) {
    static std::map<std::size_t, std::unique_ptr<WideBVHSetup>> setups;
    std::unique_ptr<WideBVHSetup>& setup = setups[nominal];
    if (setup)
        return *setup;
    // The other structures' agreements come first in the output.
    trace_setup(nominal);
    setup.reset(new WideBVHSetup);
    setup->nominal = nominal;
    const std::vector<triAccel>& mesh = benchmark_mesh(nominal);
    setup->tree.reset(new gfxRTWideBVH);
    if (!setup->tree->build(mesh.data(), unsigned(mesh.size()), 1))
        setup->error = "wide BVH build failed";
    else
        setup->error = check_against_embree(*setup);
    return *setup;
}

} // namespace bench
} // namespace zrv
