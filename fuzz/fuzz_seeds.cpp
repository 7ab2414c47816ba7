// Writes the seed corpora of the fuzz targets: KD-trees built serially and
// on two threads over every test scene's slice of the host array, and over
// a few of its triangles; triangle BVHs and wide BVHs over the same slices;
// instanced scenes of those wide BVHs; build inputs of a few triangles of
// each scene, placed and traced.
//
//   fuzz_seeds <stream reader dir> <KD-tree loader dir> <BVH loader dir> <wide loader dir>
//              <scene loader dir> <build dir> <exact dir>
#include "FuzzScenes.h"
#include "gfxRTAccelerationStructureServices.h"
#include "gfxRTWideBVH.h"
#include "gfxRTWideScene.h"
#include "zrvStreams.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

bool write_file(const std::string& path, const unsigned char* data, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool ok = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

// Writes a seed, saying so when it cannot.
bool write_seed(const std::string& dir, const std::string& name, const unsigned char* data,
                std::size_t size) {
    if (write_file(dir + "/" + name, data, size))
        return true;
    std::fprintf(stderr, "fuzz_seeds: cannot write %s\n", name.c_str());
    return false;
}

// The loaders' input: a stream image's values, without its header.
bool write_values(const std::string& dir, const std::string& name,
                  const std::vector<unsigned char>& image) {
    return write_seed(dir, name, image.data() + zrv::streams::HEADER_SIZE,
                      image.size() - zrv::streams::HEADER_SIZE);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr, "usage: fuzz_seeds <reader dir> <kdtree dir> <bvh dir> <wide dir> "
                             "<scene dir> <build dir> <exact dir>\n");
        return 2;
    }
    const std::vector<triAccel>& host = zrv::fuzz::host_triangles();
    int written = 0;
    for (unsigned int scene = 0; scene * zrv::fuzz::TRIANGLES_PER_SCENE < host.size(); ++scene) {
        const triAccel* slice = host.data() + scene * zrv::fuzz::TRIANGLES_PER_SCENE;
        for (unsigned int count : {8u, zrv::fuzz::TRIANGLES_PER_SCENE}) {
            for (int threads : {1, 2}) {
                gfxRTKDTree tree(1);
                gfxRTAccelerationStructureServices::CompileKDTree(&tree, threads, slice, count);
                if (!tree.get_statistic()->valid)
                    continue;
                zrv::streams::MemoryWriter writer;
                tree.set_first_triangle(slice);
                tree.stream(writer);
                std::vector<unsigned char> image = writer.image();
                const std::string name = "scene" + std::to_string(scene) + "-" +
                                         std::to_string(count) + "-" + std::to_string(threads);
                // The loader's input is the values alone; the reader's a mode
                // byte (0: whole image, 1: values to frame) and then the data.
                const unsigned char* values = image.data() + zrv::streams::HEADER_SIZE;
                const std::size_t value_bytes = image.size() - zrv::streams::HEADER_SIZE;
                std::vector<unsigned char> raw(1, 0), to_frame(1, 1);
                raw.insert(raw.end(), image.begin(), image.end());
                to_frame.insert(to_frame.end(), values, values + value_bytes);
                if (!write_file(std::string(argv[2]) + "/" + name, values, value_bytes) ||
                    !write_file(std::string(argv[1]) + "/" + name + "-image", raw.data(),
                                raw.size()) ||
                    !write_file(std::string(argv[1]) + "/" + name + "-values", to_frame.data(),
                                to_frame.size())) {
                    std::fprintf(stderr, "fuzz_seeds: cannot write %s\n", name.c_str());
                    return 1;
                }
                ++written;
            }
        }
    }
    // BVHs over the first scene's slice: the loader target's host count.
    for (unsigned int count : {3u, 40u, zrv::fuzz::TRIANGLES_PER_SCENE}) {
        for (unsigned int scene = 0; scene * zrv::fuzz::TRIANGLES_PER_SCENE < host.size();
             ++scene) {
            // Other scenes' geometry, renumbered over the first slice.
            gfxRTBVH_triAccel bvh(host.data() + scene * zrv::fuzz::TRIANGLES_PER_SCENE, count);
            if (!bvh.build_tree(1))
                continue;
            zrv::streams::MemoryWriter writer;
            bvh.stream(writer);
            const std::vector<unsigned char> image = writer.image();
            // Saved for count triangles; the loader wants its own count.
            const std::string name =
                "bvh-scene" + std::to_string(scene) + "-" + std::to_string(count);
            if (!write_values(argv[3], name, image))
                return 1;
            ++written;
        }
    }
    // Wide BVHs over every slice, small and whole, built on one and two
    // threads.
    for (unsigned int scene = 0; scene * zrv::fuzz::TRIANGLES_PER_SCENE < host.size(); ++scene) {
        for (unsigned int count : {1u, 13u, zrv::fuzz::TRIANGLES_PER_SCENE}) {
            for (unsigned int threads : {1u, 2u}) {
                gfxRTWideBVH tree;
                if (!tree.build(host.data() + scene * zrv::fuzz::TRIANGLES_PER_SCENE, count,
                                threads))
                    continue;
                zrv::streams::MemoryWriter writer;
                if (!tree.stream(writer))
                    continue;
                const std::vector<unsigned char> image = writer.image();
                const std::string name = "wide-scene" + std::to_string(scene) + "-" +
                                         std::to_string(count) + "-" + std::to_string(threads);
                if (!write_values(argv[4], name, image))
                    return 1;
                ++written;
            }
        }
    }
    // Scenes of one to three of those meshes (an empty one among them),
    // placed once or several times: moved, turned, scaled; of four
    // placements, the second disabled.
    const float placements[3][12] = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0},
                                     {0, -1, 0, 2, 1, 0, 0, -1, 0, 0, 1, 0.5f},
                                     {0.5f, 0, 0, -3, 0, 2, 0, 1, 0, 0, 1.5f, 4}};
    for (unsigned int meshes = 1; meshes <= 3; ++meshes) {
        for (unsigned int instances : {1u, 4u}) {
            gfxRTWideScene scene;
            const unsigned int counts[3] = {zrv::fuzz::TRIANGLES_PER_SCENE, 0u, 13u};
            for (unsigned int m = 0; m < meshes; ++m)
                scene.add_mesh(host.data() + m * zrv::fuzz::TRIANGLES_PER_SCENE, counts[m], 1);
            for (unsigned int i = 0; i < instances; ++i)
                scene.add_instance(i % meshes, placements[i % 3]);
            if (instances > 1)
                scene.set_enabled(1, false);
            zrv::streams::MemoryWriter writer;
            if (!scene.commit(1) || !scene.stream(writer))
                continue;
            const std::vector<unsigned char> image = writer.image();
            const std::string name =
                "scene-" + std::to_string(meshes) + "-" + std::to_string(instances);
            if (!write_values(argv[5], name, image))
                return 1;
            ++written;
        }
    }
    // Build inputs: options (two threads; two instances for the build
    // target, none for the exact one), a triangle count, then the
    // triangles', the transforms' and the rays' floats: for the exact
    // target, rays from four sides at each triangle's centre.
    for (unsigned int scene = 0; scene * zrv::fuzz::TRIANGLES_PER_SCENE < host.size(); ++scene) {
        const unsigned int count = 24;
        std::vector<float> triangles;
        for (unsigned int i = 0; i < count; ++i) {
            const triAccel& t = host[scene * zrv::fuzz::TRIANGLES_PER_SCENE + i];
            for (const float* v : {t.vertex0, t.vertex1, t.vertex2})
                triangles.insert(triangles.end(), v, v + 3);
        }
        std::vector<float> build = triangles;
        build.insert(build.end(), placements[1], placements[1] + 12);
        build.insert(build.end(), placements[2], placements[2] + 12);
        const float rays[2][7] = {{0, 0, -5, 0.01f, 0.02f, 1, 1e30f},
                                  {3, 2, 1, -1, -0.6f, -0.3f, 8}};
        build.insert(build.end(), rays[0], rays[0] + 7);
        build.insert(build.end(), rays[1], rays[1] + 7);
        // The triangles, then rays from four sides at each one's centre.
        const auto aimed_at_centres = [count](const std::vector<float>& tris) {
            const float sides[4][3] = {
                {1, 0.3f, 0.2f}, {-0.2f, 1, 0.3f}, {0.3f, 0.1f, -1}, {-0.6f, 0.5f, 0.6f}};
            std::vector<float> input = tris;
            for (unsigned int i = 0; i < count; ++i)
                for (const float* side : sides) {
                    for (int a = 0; a < 3; ++a)
                        input.push_back(
                            (tris[9 * i + a] + tris[9 * i + 3 + a] + tris[9 * i + 6 + a]) / 3 -
                            3 * side[a]);
                    input.insert(input.end(), side, side + 3);
                    input.push_back(1e30f);
                }
            return input;
        };
        const std::vector<float> exact = aimed_at_centres(triangles);
        // Two of them made nearly flat, their third vertex moved almost onto
        // the middle of the opposite edge, so that the build sets them apart.
        std::vector<float> flattened = triangles;
        for (unsigned int i : {3u, 11u})
            for (int a = 0; a < 3; ++a) {
                const float middle = 0.5f * (flattened[9 * i + a] + flattened[9 * i + 3 + a]);
                flattened[9 * i + 6 + a] = middle + 1e-5f * (flattened[9 * i + 6 + a] - middle);
            }
        const std::vector<float> flat = aimed_at_centres(flattened);
        // The exact target's triangles also placed as they are and turned.
        std::vector<float> placed = triangles;
        placed.insert(placed.end(), placements[0], placements[0] + 12);
        placed.insert(placed.end(), placements[1], placements[1] + 12);
        placed.insert(placed.end(), exact.begin() + std::ptrdiff_t(triangles.size()), exact.end());
        const struct {
            const std::vector<float>& floats;
            std::uint8_t options;
            const char* dir;
            const char* name;
        } inputs[4] = {{build, std::uint8_t(1 | 2 << 1), argv[6], "scene"},
                       {exact, 1, argv[7], "scene"},
                       {flat, 1, argv[7], "flat"},
                       {placed, std::uint8_t(1 | 2 << 3), argv[7], "placed"}};
        for (const auto& in : inputs) {
            std::vector<unsigned char> input = {in.options, std::uint8_t(count - 1)};
            const unsigned char* bytes = reinterpret_cast<const unsigned char*>(in.floats.data());
            input.insert(input.end(), bytes, bytes + in.floats.size() * sizeof(float));
            const std::string name = in.name + std::to_string(scene);
            if (!write_seed(in.dir, name, input.data(), input.size()))
                return 1;
            ++written;
        }
    }
    std::printf("fuzz_seeds: %d saved trees and build inputs\n", written);
    return written > 0 ? 0 : 1;
}
