// The benchmark groups, registered by main in the order they run.
#ifndef ZRV_BENCH_REGISTRATION_H
#define ZRV_BENCH_REGISTRATION_H

namespace zrv {
namespace bench {

void register_kdtree_build_benchmarks();
void register_stream_benchmarks();
void register_bvh_build_benchmarks();
void register_two_level_build_benchmarks();
// KD-tree and BVH traces.
void register_trace_benchmarks();
void register_wide_bvh_build_benchmarks();
void register_wide_bvh_trace_benchmarks();
// Refits of deforming meshes, the wide BVH's beside Embree's.
void register_refit_benchmarks();
// The instanced wide scene beside Embree's instancing, and its commit.
void register_wide_scene_benchmarks();
// zrv's default scene: its shadow rays, and its camera near and far.
void register_showcase_benchmarks();
// Adds the wide scene's ratios to Embree to the summary, after the runs.
void add_wide_scene_ratio_notes();
#ifdef ZRV_BENCH_HAVE_EMBREE
void register_embree_build_benchmarks();
void register_embree_trace_benchmarks();
#endif

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_REGISTRATION_H
