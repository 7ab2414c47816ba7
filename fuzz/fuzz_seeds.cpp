// Writes the seed corpora of the fuzz targets: KD-trees built serially and
// on two threads over every test scene's slice of the host array, and over
// a few of its triangles.
//
//   fuzz_seeds <stream reader corpus dir> <KD-tree loader corpus dir>
#include "FuzzScenes.h"
#include "gfxRTAccelerationStructureServices.h"
#include "zrvStreams.h"

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

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz_seeds <reader corpus dir> <kdtree corpus dir>\n");
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
    std::printf("fuzz_seeds: %d saved trees\n", written);
    return written > 0 ? 0 : 1;
}
