// The benchmark meshes, generated once per size and shared by every benchmark.
#ifndef ZRV_BENCH_MESHES_H
#define ZRV_BENCH_MESHES_H

#include "gfxRayTracing.h"

#include <cstddef>
#include <string>
#include <vector>

namespace zrv {
namespace bench {

// Nominal mesh sizes (approximate triangle counts) used by the benchmarks.
const std::size_t SMALL_MESH = 10000;
const std::size_t MEDIUM_MESH = 100000;
const std::size_t LARGE_MESH = 1000000;

// The torus-knot benchmark mesh of about `nominal` triangles. The reference
// stays valid for the life of the process.
const std::vector<triAccel>& benchmark_mesh(std::size_t nominal);

// "10k", "100k", "1M" for the nominal sizes above.
std::string size_label(std::size_t nominal);

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_MESHES_H
