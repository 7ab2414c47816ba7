// Writing the image as a PNG without ever leaving a partial file behind.
#ifndef ZRV_PNG_WRITER_H
#define ZRV_PNG_WRITER_H

#include "zrvImage.h"

#include <string>

namespace zrv {

// Checks, before any work is done, that path names a file that can be
// created or replaced: its directory exists and is writable and the path is
// not a directory. Returns false with a one-line error otherwise.
bool check_output_path(const std::string& path, std::string& error);

// Encodes image into a temporary file in the directory of path and renames
// it to path once it is complete. On failure the temporary file is removed,
// an existing file at path is left as it was, and error holds one line.
bool write_png(const Image& image, const std::string& path, std::string& error);

} // namespace zrv

#endif // ZRV_PNG_WRITER_H
