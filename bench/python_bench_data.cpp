// The C++ side of the Python binding benchmark (python_bench.py): writes the
// 100k and 1M benchmark meshes and one million coherent and one million
// random rays as raw float32 files, and measures the library's rate on
// exactly those rays: the KD-tree and the BVH over the 100k mesh on one
// thread, the way a C++ host traces prepared packets (trace_frame), and the
// wide BVH over the 1M mesh with intersect_batch on the ray arrays, on one
// and two threads.
//
//   zrv_python_bench_data OUTPUT_FOLDER
//
// Files: <mesh>_vertices.f32 (three vertices per triangle, in triangle
// order), <set>_origins.f32 and <set>_directions.f32 (rays in packet lane
// order), <set>_<structure>_triangles.i32 (the C++ hits), and cpp_rates.txt,
// to which each run adds one line "<mesh> <structure> <set> <threads>
// <Mrays/s> <Mrays per processor second>" per trace (python_bench.sh runs it in rounds between the
// Python measurements, so that both see the same spells of load).
#include "BVHTracing.h"
#include "BenchMeshes.h"
#include "KDTreeTracing.h"
#include "PrimaryRays.h"
#include "RandomRays.h"
#include "RateTimer.h"

#include "gfxRTAccelerationStructureServices.h"
#include "gfxRTWideBVH.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace zrv::bench;

const std::uint64_t RANDOM_SEED = 0x5EED0015ull;
const int REPETITIONS = 5;

bool write_file(const std::string& path, const void* data, std::size_t bytes,
                const char* mode = "wb") {
    std::FILE* file = std::fopen(path.c_str(), mode);
    bool ok = file && std::fwrite(data, 1, bytes, file) == bytes;
    if (file)
        ok = std::fclose(file) == 0 && ok;
    if (!ok)
        std::fprintf(stderr, "zrv_python_bench_data: cannot write %s\n", path.c_str());
    return ok;
}

// Every lane of the packets, as the Python benchmark reads them.
struct LaneArrays {
    std::vector<float> origins, directions; // x, y, z per ray
    std::size_t count() const { return origins.size() / 3; }
};

LaneArrays lane_arrays(const std::vector<RayPacket>& packets) {
    LaneArrays arrays;
    std::vector<float>& origins = arrays.origins;
    std::vector<float>& directions = arrays.directions;
    for (const RayPacket& packet : packets) {
        alignas(16) float o[3][4], d[3][4];
        _mm_store_ps(o[0], packet.origin.x);
        _mm_store_ps(o[1], packet.origin.y);
        _mm_store_ps(o[2], packet.origin.z);
        _mm_store_ps(d[0], packet.direction.x);
        _mm_store_ps(d[1], packet.direction.y);
        _mm_store_ps(d[2], packet.direction.z);
        for (int lane = 0; lane < 4; ++lane)
            for (int axis = 0; axis < 3; ++axis) {
                origins.push_back(o[axis][lane]);
                directions.push_back(d[axis][lane]);
            }
    }
    return arrays;
}

bool write_rays(const std::string& folder, const char* name, const LaneArrays& arrays) {
    return write_file(folder + "/" + name + "_origins.f32", arrays.origins.data(),
                      arrays.origins.size() * sizeof(float)) &&
           write_file(folder + "/" + name + "_directions.f32", arrays.directions.data(),
                      arrays.directions.size() * sizeof(float));
}

bool write_vertices(const std::string& folder, std::size_t nominal) {
    std::vector<float> vertices;
    for (const triAccel& tri : benchmark_mesh(nominal))
        for (const float* corner : {tri.vertex0, tri.vertex1, tri.vertex2})
            vertices.insert(vertices.end(), corner, corner + 3);
    return write_file(folder + "/" + size_label(nominal) + "_vertices.f32", vertices.data(),
                      vertices.size() * sizeof(float));
}

std::string rate_line(const std::string& figure, unsigned int threads, const Rates& rates) {
    return figure + " " + std::to_string(threads) + " " + std::to_string(rates.wall) + " " +
           std::to_string(rates.cpu) + "\n";
}

// Best of REPETITIONS traces of packets in Mrays/s; the hits' triangles of
// the last one go to triangles.
template <class Tree>
Rates trace_rate(const Tree& tree, const std::vector<RayPacket>& packets,
                 std::vector<int>& triangles) {
    Rates best;
    std::vector<HitPacket> hits;
    for (int run = 0; run < REPETITIONS; ++run) {
        const RateTimer timer;
        const FrameTrace frame = trace_frame(tree, packets, &hits);
        timer.stop(frame.rays, best);
    }
    triangles.clear();
    for (const HitPacket& packet : hits) {
        alignas(16) int id[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(id), packet.id);
        triangles.insert(triangles.end(), id, id + 4);
    }
    return best;
}

// Best of REPETITIONS intersect_batch calls over the arrays on threads
// workers, in Mrays/s, into outputs allocated once as a C++ host would;
// the hits' triangle positions go to triangles.
Rates batch_rate(const gfxRTWideBVH& tree, const LaneArrays& rays, unsigned int threads,
                 std::vector<int>& triangles) {
    const std::size_t count = rays.count();
    std::vector<float> t(count), u(count), v(count);
    triangles.assign(count, -1);
    Rates best;
    for (int run = 0; run < REPETITIONS; ++run) {
        const RateTimer timer;
        tree.intersect_batch(rays.origins.data(), rays.directions.data(), nullptr, unsigned(count),
                             t.data(), triangles.data(), u.data(), v.data(), threads);
        timer.stop(count, best);
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zrv_python_bench_data OUTPUT_FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    if (!write_vertices(folder, MEDIUM_MESH) || !write_vertices(folder, LARGE_MESH))
        return 1;
    const std::vector<triAccel>& mesh = benchmark_mesh(MEDIUM_MESH);
    const std::vector<triAccel>& large = benchmark_mesh(LARGE_MESH);

    struct Set {
        const char* name;
        std::vector<RayPacket> packets;
    };
    // The same rays for both meshes: the 1M mesh is the 100k mesh's torus
    // knot, more finely cut, in the same box.
    const Set sets[] = {
        {"coherent", primary_ray_packets(benchmark_camera(), IMAGE_SIZE, IMAGE_SIZE)},
        {"random", random_ray_packets(triangles_box(mesh), 1u << 18, RANDOM_SEED)}};

    // The trees as the Python Scene builds them with build_threads=1: a
    // KD-tree with every traversal stack (its shape depends on the count),
    // the BVH and the wide BVH built serially.
    gfxRTKDTree kdtree(gfxRTKDTree::MAX_THREADS);
    gfxRTAccelerationStructureServices::CompileKDTree(&kdtree, 1, mesh.data(),
                                                      unsigned(mesh.size()));
    gfxRTBVH_triAccel bvh(mesh.data(), unsigned(mesh.size()));
    gfxRTWideBVH wide;
    if (!kdtree.get_statistic()->valid ||
        gfxRTAccelerationStructureServices::CompileBVHTree(&bvh, 1) != 0 ||
        !wide.build(large.data(), unsigned(large.size()), 1)) {
        std::fprintf(stderr, "zrv_python_bench_data: a build failed\n");
        return 1;
    }

    std::string rates;
    std::vector<int> triangles;
    const std::string medium = size_label(MEDIUM_MESH) + " ";
    for (const Set& set : sets) {
        const LaneArrays arrays = lane_arrays(set.packets);
        if (!write_rays(folder, set.name, arrays))
            return 1;
        const Rates kd_rates = trace_rate(kdtree, set.packets, triangles);
        if (!write_file(folder + "/" + set.name + "_kd_triangles.i32", triangles.data(),
                        triangles.size() * sizeof(int)))
            return 1;
        const Rates bvh_rates = trace_rate(bvh, set.packets, triangles);
        if (!write_file(folder + "/" + set.name + "_bvh_triangles.i32", triangles.data(),
                        triangles.size() * sizeof(int)))
            return 1;
        rates += rate_line(medium + "kd " + set.name, 1, kd_rates);
        rates += rate_line(medium + "bvh " + set.name, 1, bvh_rates);
        for (unsigned int threads = 1; threads <= 2; ++threads)
            rates += rate_line(size_label(LARGE_MESH) + " wide " + set.name, threads,
                               batch_rate(wide, arrays, threads, triangles));
        if (!write_file(folder + "/" + set.name + "_wide_triangles.i32", triangles.data(),
                        triangles.size() * sizeof(int)))
            return 1;
    }
    return write_file(folder + "/cpp_rates.txt", rates.data(), rates.size(), "ab") ? 0 : 1;
}
