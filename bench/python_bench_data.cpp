// The C++ side of the Python binding benchmark (python_bench.py): writes the
// 100k benchmark mesh and one million coherent and one million random rays as
// raw float32 files, and measures the library's rate on exactly those rays,
// one thread, the way a C++ host traces prepared packets (trace_frame).
//
//   zrv_python_bench_data OUTPUT_FOLDER
//
// Files: vertices.f32 (three vertices per triangle, in triangle order),
// <set>_origins.f32 and <set>_directions.f32 (rays in packet lane order),
// <set>_<structure>_triangles.i32 (the C++ hits), and cpp_rates.txt with one
// line "<structure> <set> <Mrays/s>" per trace.
#include "BVHTracing.h"
#include "BenchMeshes.h"
#include "KDTreeTracing.h"
#include "PrimaryRays.h"
#include "RandomRays.h"

#include "gfxRTAccelerationStructureServices.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace zrv::bench;

const std::uint64_t RANDOM_SEED = 0x5EED0015ull;
const int REPETITIONS = 3;

bool write_file(const std::string& path, const void* data, std::size_t bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    bool ok = file && std::fwrite(data, 1, bytes, file) == bytes;
    if (file)
        ok = std::fclose(file) == 0 && ok;
    if (!ok)
        std::fprintf(stderr, "zrv_python_bench_data: cannot write %s\n", path.c_str());
    return ok;
}

bool write_rays(const std::string& folder, const char* name,
                const std::vector<RayPacket>& packets) {
    std::vector<float> origins, directions;
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
    return write_file(folder + "/" + name + "_origins.f32", origins.data(),
                      origins.size() * sizeof(float)) &&
           write_file(folder + "/" + name + "_directions.f32", directions.data(),
                      directions.size() * sizeof(float));
}

// Best of REPETITIONS traces of packets in Mrays/s; the hits' triangles of
// the last one go to triangles.
template <class Tree>
double trace_rate(const Tree& tree, const std::vector<RayPacket>& packets,
                  std::vector<int>& triangles) {
    double best = 0.0;
    std::vector<HitPacket> hits;
    for (int run = 0; run < REPETITIONS; ++run) {
        const auto start = std::chrono::steady_clock::now();
        const FrameTrace frame = trace_frame(tree, packets, &hits);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::max(best, double(frame.rays) / seconds / 1e6);
    }
    triangles.clear();
    for (const HitPacket& packet : hits) {
        alignas(16) int id[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(id), packet.id);
        triangles.insert(triangles.end(), id, id + 4);
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
    const std::vector<triAccel>& mesh = benchmark_mesh(MEDIUM_MESH);
    std::vector<float> vertices;
    for (const triAccel& tri : mesh)
        for (const float* corner : {tri.vertex0, tri.vertex1, tri.vertex2})
            vertices.insert(vertices.end(), corner, corner + 3);
    if (!write_file(folder + "/vertices.f32", vertices.data(), vertices.size() * sizeof(float)))
        return 1;

    struct Set {
        const char* name;
        std::vector<RayPacket> packets;
    };
    const Set sets[] = {
        {"coherent", primary_ray_packets(benchmark_camera(), IMAGE_SIZE, IMAGE_SIZE)},
        {"random", random_ray_packets(triangles_box(mesh), 1u << 18, RANDOM_SEED)}};

    // The trees as the Python Scene builds them with build_threads=1: a
    // KD-tree with every traversal stack (its shape depends on the count),
    // and the BVH built serially.
    gfxRTKDTree kdtree(gfxRTKDTree::MAX_THREADS);
    gfxRTAccelerationStructureServices::CompileKDTree(&kdtree, 1, mesh.data(),
                                                      unsigned(mesh.size()));
    gfxRTBVH_triAccel bvh(mesh.data(), unsigned(mesh.size()));
    if (!kdtree.get_statistic()->valid ||
        gfxRTAccelerationStructureServices::CompileBVHTree(&bvh, 1) != 0) {
        std::fprintf(stderr, "zrv_python_bench_data: a build failed\n");
        return 1;
    }

    std::string rates;
    std::vector<int> triangles;
    for (const Set& set : sets) {
        if (!write_rays(folder, set.name, set.packets))
            return 1;
        const double kd_rate = trace_rate(kdtree, set.packets, triangles);
        if (!write_file(folder + "/" + set.name + "_kd_triangles.i32", triangles.data(),
                        triangles.size() * sizeof(int)))
            return 1;
        const double bvh_rate = trace_rate(bvh, set.packets, triangles);
        if (!write_file(folder + "/" + set.name + "_bvh_triangles.i32", triangles.data(),
                        triangles.size() * sizeof(int)))
            return 1;
        rates += std::string("kd ") + set.name + " " + std::to_string(kd_rate) + "\n";
        rates += std::string("bvh ") + set.name + " " + std::to_string(bvh_rate) + "\n";
    }
    return write_file(folder + "/cpp_rates.txt", rates.data(), rates.size()) ? 0 : 1;
}
