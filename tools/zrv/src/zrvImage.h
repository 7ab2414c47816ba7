// An 8-bit RGB image, rows from top to bottom.
#ifndef ZRV_IMAGE_H
#define ZRV_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zrv {

struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb; // 3 bytes per pixel

    Image() = default;
    Image(int w, int h) : width(w), height(h), rgb(std::size_t(w) * std::size_t(h) * 3, 0) {}

    std::uint8_t* pixel(int x, int y) { return &rgb[(std::size_t(y) * width + x) * 3]; }
    const std::uint8_t* pixel(int x, int y) const { return &rgb[(std::size_t(y) * width + x) * 3]; }
};

} // namespace zrv

#endif // ZRV_IMAGE_H
