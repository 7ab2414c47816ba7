#ifndef ZRV_TEST_STREAM_FILES_H
#define ZRV_TEST_STREAM_FILES_H

#include "zrvStreams.h"

#include <functional>
#include <memory>

// What write puts in a temporary file, opened again (the file is removed at
// once); null and a test failure when writing failed.
std::unique_ptr<zrv::streams::FileReader>
write_and_reopen(const std::function<void(gfxStreamWriter&)>& write);

#endif // ZRV_TEST_STREAM_FILES_H
