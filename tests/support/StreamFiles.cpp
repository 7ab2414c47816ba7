#include "StreamFiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

std::unique_ptr<zrv::streams::FileReader>
write_and_reopen(const std::function<void(gfxStreamWriter&)>& write) {
    char path[] = "/tmp/zrv-stream-XXXXXX";
    close(mkstemp(path));
    zrv::streams::FileWriter file(path);
    write(file);
    if (!file.commit()) {
        ADD_FAILURE() << file.error();
        std::remove(path);
        return nullptr;
    }
    std::unique_ptr<zrv::streams::FileReader> reader(new zrv::streams::FileReader(path));
    std::remove(path);
    return reader;
}

std::unique_ptr<zrv::streams::FileReader> open_image(const std::vector<unsigned char>& image,
                                                     std::size_t chunk) {
    char path[] = "/tmp/zrv-stream-XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_EQ(write(fd, image.data(), image.size()), ssize_t(image.size()));
    close(fd);
    std::unique_ptr<zrv::streams::FileReader> reader(new zrv::streams::FileReader(path, chunk));
    std::remove(path);
    return reader;
}
