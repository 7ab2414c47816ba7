// Embree's side of the query comparison with the Python binding
// (query_bench.sh): on the 1M benchmark mesh, times Embree 3's nearest hits
// (rtcIntersect1M), occlusion (rtcOccluded1M), every hit (an intersection
// filter that records each hit and rejects it; counted, then listed) and
// closest points (rtcPointQuery) on one and two threads, and writes the
// mesh, the rays, the points and Embree's answers for query_bench.py.
//
//   zrv_embree_query_bench OUTPUT_FOLDER
//
// Files: mesh_vertices.f32 (three vertices per triangle, in triangle order);
// <set>_origins.f32 and <set>_directions.f32 for the ray sets random, ao,
// camera (the 1024 x 1024 camera's rays in its 2x2 blocks' order, traced
// with Embree's coherent flag) and through, <set>_points.f32 for the point
// sets near and box; Embree's answers intersect_<set>_{triangle.i32,t.f32},
// occluded_<set>.u8, count_through.u32,
// list_through_{ray.u32,triangle.i32,t.f32} and
// closest_<set>_{triangle.i32,distance.f32}; and embree_rates.txt, to which
// each run adds one line "<query> <set> <threads> <Mqueries/s> <Mqueries
// per processor second>" per query (the best of REPETITIONS), so that
// rounds run between the Python measurements see the same spells of load.
#include "BenchMeshes.h"
#include "BenchRays.h"
#include "EmbreeAllHits.h"
#include "EmbreeBatchQueries.h"
#include "EmbreeClosestPoints.h"
#include "EmbreeTracing.h"
#include "QueryPoints.h"
#include "RateTimer.h"
#include "ThroughRays.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace zrv::bench;

const int REPETITIONS = 3;
const unsigned int THREAD_COUNTS[] = {1, 2};
const unsigned int THROUGH_RAYS = 1u << 17;
const unsigned int NEAR_POINTS = 1u << 16;
const unsigned int BOX_POINTS = 1u << 14;
const std::uint64_t THROUGH_SEED = 0x5EED7A11ull;
const std::uint64_t NEAR_SEED = 0x5EED0C10ull;
const std::uint64_t BOX_SEED = 0x5EED0B0Bull;

class Output {
public:
    explicit Output(std::string folder) : folder_(std::move(folder)) {}

    template <class T> void write(const std::string& name, const std::vector<T>& values) {
        write_bytes(name, values.data(), values.size() * sizeof(T), "wb");
    }
    void add_rates(const std::string& query, const std::string& set, unsigned int threads,
                   const Rates& rates) {
        const std::string line = query + " " + set + " " + std::to_string(threads) + " " +
                                 std::to_string(rates.wall) + " " + std::to_string(rates.cpu) +
                                 "\n";
        write_bytes("embree_rates.txt", line.data(), line.size(), "ab");
    }
    bool ok() const { return ok_; }

private:
    void write_bytes(const std::string& name, const void* data, std::size_t bytes,
                     const char* mode) {
        const std::string path = folder_ + "/" + name;
        std::FILE* file = std::fopen(path.c_str(), mode);
        bool written = file && std::fwrite(data, 1, bytes, file) == bytes;
        if (file)
            written = std::fclose(file) == 0 && written;
        if (!written)
            std::fprintf(stderr, "zrv_embree_query_bench: cannot write %s\n", path.c_str());
        ok_ = ok_ && written;
    }

    std::string folder_;
    bool ok_ = true;
};

// Times query(threads) REPETITIONS times on each thread count and records
// the best rates of count queries.
template <class Query>
void time_query(Output& out, const char* query_name, const char* set, std::size_t count,
                Query query) {
    for (unsigned int threads : THREAD_COUNTS) {
        Rates best;
        for (int run = 0; run < REPETITIONS; ++run) {
            const RateTimer timer;
            query(threads);
            timer.stop(count, best);
        }
        out.add_rates(query_name, set, threads, best);
    }
}

void write_rays(Output& out, const std::string& set, const RayArrays& rays) {
    out.write(set + "_origins.f32", rays.origins);
    out.write(set + "_directions.f32", rays.directions);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zrv_embree_query_bench OUTPUT_FOLDER\n");
        return 2;
    }
    Output out(argv[1]);
    const std::vector<triAccel>& mesh = benchmark_mesh(LARGE_MESH);
    const EmbreeTriangleBuffers& buffers = embree_buffers(LARGE_MESH);
    // The default device builds on every processor; queries run on the
    // threads that call them.
    RTCDevice device = rtcNewDevice(nullptr);
    RTCScene scene = build_embree_scene(device, buffers, RTC_BUILD_QUALITY_HIGH);
    RTCScene all_hits = build_embree_all_hits_scene(device, buffers);
    if (!scene || !all_hits) {
        std::fprintf(stderr, "zrv_embree_query_bench: an Embree build failed\n");
        return 1;
    }

    std::vector<float> vertices(buffers.vertices.begin(), buffers.vertices.end() - 1);
    out.write("mesh_vertices.f32", vertices);

    struct RaySetArrays {
        const char* name;
        const RayArrays& rays;
        bool coherent;
    };
    const RaySetArrays nearest_sets[] = {
        {"random", benchmark_ray_arrays(RaySet::RANDOM, LARGE_MESH), false},
        {"ao", benchmark_ray_arrays(RaySet::AO, LARGE_MESH), false},
        {"camera", benchmark_ray_arrays(RaySet::PRIMARY_2X2, LARGE_MESH), true}};
    BatchHits hits;
    std::vector<unsigned char> occluded;
    for (const RaySetArrays& set : nearest_sets) {
        write_rays(out, set.name, set.rays);
        time_query(out, "intersect", set.name, set.rays.count, [&](unsigned int threads) {
            embree_intersect_arrays(scene, set.rays, set.coherent, threads, hits);
        });
        out.write(std::string("intersect_") + set.name + "_triangle.i32", hits.index);
        out.write(std::string("intersect_") + set.name + "_t.f32", hits.t);
        time_query(out, "occluded", set.name, set.rays.count, [&](unsigned int threads) {
            embree_occluded_arrays(scene, set.rays, set.coherent, threads, occluded);
        });
        out.write(std::string("occluded_") + set.name + ".u8", occluded);
    }

    const RayArrays through = through_rays(mesh, THROUGH_RAYS, THROUGH_SEED);
    write_rays(out, "through", through);
    std::vector<unsigned int> counts;
    bool complete = true;
    time_query(out, "count_intersections", "through", through.count, [&](unsigned int threads) {
        complete = embree_count_hits(all_hits, through, threads, counts) && complete;
    });
    out.write("count_through.u32", counts);
    EmbreeHitLists lists;
    time_query(out, "list_intersections", "through", through.count, [&](unsigned int threads) {
        complete = embree_list_hits(all_hits, through, threads, lists) && complete;
    });
    std::vector<unsigned int> list_rays;
    std::vector<int> list_triangles;
    std::vector<float> list_t;
    for (const std::vector<EmbreeListedHit>& chunk : lists.chunks)
        for (const EmbreeListedHit& hit : chunk) {
            list_rays.push_back(hit.ray);
            list_triangles.push_back(hit.triangle);
            list_t.push_back(hit.t);
        }
    out.write("list_through_ray.u32", list_rays);
    out.write("list_through_triangle.i32", list_triangles);
    out.write("list_through_t.f32", list_t);
    if (!complete)
        std::fprintf(stderr, "zrv_embree_query_bench: a ray had more than %u hits\n",
                     EMBREE_MAX_RAY_HITS);

    struct PointSet {
        const char* name;
        PointArray points;
    };
    const PointSet point_sets[] = {{"near", near_surface_points(mesh, NEAR_POINTS, NEAR_SEED)},
                                   {"box", box_points(mesh, BOX_POINTS, BOX_SEED)}};
    EmbreeClosest closest;
    for (const PointSet& set : point_sets) {
        out.write(std::string(set.name) + "_points.f32", set.points);
        time_query(out, "closest_points", set.name, set.points.size() / 3,
                   [&](unsigned int threads) {
                       embree_closest_points(scene, buffers, set.points, threads, closest);
                   });
        out.write(std::string("closest_") + set.name + "_triangle.i32", closest.triangle);
        out.write(std::string("closest_") + set.name + "_distance.f32", closest.distance);
    }

    rtcReleaseScene(all_hits);
    rtcReleaseScene(scene);
    rtcReleaseDevice(device);
    return out.ok() && complete ? 0 : 1;
}
