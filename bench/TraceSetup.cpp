#include "TraceSetup.h"

#include "BenchMeshes.h"
#include "BenchSummary.h"
#include "KDTreeTracing.h"
#include "PrimaryRays.h"
#include "TraceAgreement.h"
#ifdef ZRV_BENCH_HAVE_EMBREE
#include "EmbreeTracing.h"
#endif

#include <cstdio>
#include <map>

namespace zrv {
namespace bench {

namespace {

// Empty when the KD-tree's hits agree with Embree's on the benchmark rays.
std::string check_against_embree(const TraceSetup& setup) {
#ifdef ZRV_BENCH_HAVE_EMBREE
    RTCScene scene = embree_trace_scene(setup.nominal, RTC_BUILD_QUALITY_HIGH);
    if (!scene)
        return "Embree scene build failed";
    std::vector<HitPacket> kdtree_hits, embree_hits;
    trace_frame(*setup.tree, benchmark_packets(), &kdtree_hits);
    trace_frame_embree(scene, benchmark_packets(), &embree_hits);
    const TraceAgreement agreement = compare_traces(benchmark_packets(), kdtree_hits, embree_hits);
    const std::string line =
        size_label(setup.nominal) + " mesh: " + agreement.describe("KD-tree", "Embree");
    std::printf("Agreement %s\n", line.c_str());
    add_summary_note("Agreement " + line);
    if (!agreement.acceptable())
        return "KD-tree and Embree disagree on the primary rays: " + line;
    return std::string();
#else
    const std::string line =
        size_label(setup.nominal) + " mesh: Embree not available, KD-tree hits not cross-checked";
    std::printf("Agreement %s\n", line.c_str());
    add_summary_note("Agreement " + line);
    return std::string();
#endif
}

} // namespace

const std::vector<RayPacket>& benchmark_packets() {
    static const std::vector<RayPacket> packets =
        primary_ray_packets(benchmark_camera(), IMAGE_SIZE, IMAGE_SIZE);
    return packets;
}

const TraceSetup& trace_setup(std::size_t nominal) {
    static std::map<std::size_t, std::unique_ptr<TraceSetup>> setups;
    std::unique_ptr<TraceSetup>& setup = setups[nominal];
    if (setup)
        return *setup;
    setup.reset(new TraceSetup);
    setup->nominal = nominal;
    const std::vector<triAccel>& mesh = benchmark_mesh(nominal);
    setup->tree.reset(new gfxRTKDTree(1));
    if (!setup->tree->create_tree_from_triAccel_list(mesh.data(), unsigned(mesh.size())) ||
        !setup->tree->get_statistic()->valid) {
        setup->error = "KD-tree build failed";
        return *setup;
    }
    setup->error = check_against_embree(*setup);
    return *setup;
}

} // namespace bench
} // namespace zrv
