// Round trips through the companion file streams for tests.
#ifndef ZRV_TEST_STREAM_FILES_H
#define ZRV_TEST_STREAM_FILES_H

#include "zrvStreams.h"

#include <functional>
#include <memory>

// Writes what write puts on a file stream into a temporary file and opens
// it for reading. The file is removed at once (the reader holds its bytes).
// Null when writing failed (a test failure is added).
std::unique_ptr<zrv::streams::FileReader>
write_and_reopen(const std::function<void(gfxStreamWriter&)>& write);

#endif // ZRV_TEST_STREAM_FILES_H
