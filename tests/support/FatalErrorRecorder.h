// Records fatal errors instead of aborting.
#ifndef ZRV_TEST_FATAL_ERROR_RECORDER_H
#define ZRV_TEST_FATAL_ERROR_RECORDER_H

#include "PlxSystem.h"

#include <string>
#include <vector>

struct RecordedFatalError {
    std::string message;
    std::string file; // as handed over, e.g. "src/gfxJournal.cpp"
    int line;
    bool reserved_arguments_null; // the three unnamed arguments were all null
};

// While one (and only one) lives, PlxFatalError calls are recorded and return.
class FatalErrorRecorder {
public:
    FatalErrorRecorder();
    ~FatalErrorRecorder();
    FatalErrorRecorder(const FatalErrorRecorder&) = delete;
    FatalErrorRecorder& operator=(const FatalErrorRecorder&) = delete;

    // The calls recorded so far, in order (thread-safe).
    std::vector<RecordedFatalError> errors() const;
    std::vector<std::string> messages() const;

private:
    PlxFatalErrorHandler previous_;
};

// True when path ends with suffix.
bool EndsWith(const std::string& path, const std::string& suffix);

#endif // ZRV_TEST_FATAL_ERROR_RECORDER_H
