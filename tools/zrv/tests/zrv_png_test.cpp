#include "zrvPngWriter.h"
#include "zrvTestFiles.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace zrv {
namespace {

TEST(ZrvPng, ReplacesAFileWithTheExactPixelsAndLeavesNoTemporaryFile) {
    test::TempDir dir;
    test::write_text(dir.file("out.png"), "old");
    Image image(5, 3);
    for (std::size_t i = 0; i < image.rgb.size(); ++i)
        image.rgb[i] = static_cast<std::uint8_t>(i * 37);
    std::string error;
    ASSERT_TRUE(write_png(image, dir.file("out.png"), error)) << error;
    Image read;
    ASSERT_TRUE(test::read_png(dir.file("out.png"), read));
    EXPECT_EQ(read.width, 5);
    EXPECT_EQ(read.height, 3);
    EXPECT_EQ(read.rgb, image.rgb);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.png"});
    struct stat info;
    ASSERT_EQ(stat(dir.file("out.png").c_str(), &info), 0);
    EXPECT_NE(info.st_mode & S_IRGRP, 0u) << "not the owner-only mode of the temporary file";
}

} // namespace
} // namespace zrv
