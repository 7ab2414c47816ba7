#include "zrvPngWriter.h"
#include "zrvTestFiles.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace zrv {
namespace {

using test::TempDir;

Image gradient(int w, int h) {
    Image image(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = image.pixel(x, y);
            p[0] = static_cast<std::uint8_t>(x * 40);
            p[1] = static_cast<std::uint8_t>(y * 70);
            p[2] = static_cast<std::uint8_t>(255 - x - y);
        }
    return image;
}

TEST(ZrvPng, WritesTheExactPixelsAndLeavesNoTemporaryFile) {
    TempDir dir;
    const Image image = gradient(5, 3);
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

TEST(ZrvPng, ReplacesAnExistingFile) {
    TempDir dir;
    test::write_text(dir.file("out.png"), "old");
    std::string error;
    ASSERT_TRUE(write_png(gradient(2, 2), dir.file("out.png"), error)) << error;
    Image read;
    ASSERT_TRUE(test::read_png(dir.file("out.png"), read));
    EXPECT_EQ(read.width, 2);
}

TEST(ZrvPng, RefusesPathsThatCannotHoldTheImage) {
    TempDir dir;
    std::string error;
    const std::string in_missing_dir = dir.file("missing/out.png");
    EXPECT_FALSE(write_png(gradient(2, 2), in_missing_dir, error));
    EXPECT_EQ(error, "cannot write '" + in_missing_dir + "': directory '" + dir.file("missing") +
                         "': No such file or directory");

    EXPECT_FALSE(check_output_path(dir.path(), error));
    EXPECT_EQ(error, "cannot write '" + dir.path() + "': it is a directory");

    test::write_text(dir.file("plain"), "x");
    const std::string under_file = dir.file("plain/out.png");
    EXPECT_FALSE(check_output_path(under_file, error));
    EXPECT_EQ(error,
              "cannot write '" + under_file + "': '" + dir.file("plain") + "' is not a directory");

    EXPECT_FALSE(check_output_path(dir.file("sub/"), error));
    EXPECT_EQ(error, "cannot write '" + dir.file("sub/") + "': not a file name");

    EXPECT_EQ(dir.entries(), std::vector<std::string>{"plain"});
}

} // namespace
} // namespace zrv
