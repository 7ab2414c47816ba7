#ifndef ZRV_TEST_STREAM_FILES_H
#define ZRV_TEST_STREAM_FILES_H

#include "zrvStreams.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

// What write puts in a temporary file, opened again (the file is removed at
// once); null and a test failure when writing failed.
std::unique_ptr<zrv::streams::FileReader>
write_and_reopen(const std::function<void(gfxStreamWriter&)>& write);

// A file holding image, opened with the given chunk size (the file is removed
// at once).
std::unique_ptr<zrv::streams::FileReader> open_image(const std::vector<unsigned char>& image,
                                                     std::size_t chunk);

#endif // ZRV_TEST_STREAM_FILES_H
