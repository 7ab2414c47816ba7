#include "FatalErrorRecorder.h"

#include <mutex>

namespace {

std::mutex recorded_mutex;
std::vector<RecordedFatalError> recorded;

void RecordFatalError(const char* message, const char* a, const char* b, const char* c,
                      const char* file, int line) {
    std::lock_guard<std::mutex> lock(recorded_mutex);
    recorded.push_back({message ? message : "", file ? file : "", line,
                        a == nullptr && b == nullptr && c == nullptr});
}

} // namespace

FatalErrorRecorder::FatalErrorRecorder() : previous_(PlxSetFatalErrorHandler(RecordFatalError)) {
    std::lock_guard<std::mutex> lock(recorded_mutex);
    recorded.clear();
}

FatalErrorRecorder::~FatalErrorRecorder() {
    PlxSetFatalErrorHandler(previous_);
}

std::vector<RecordedFatalError> FatalErrorRecorder::errors() const {
    std::lock_guard<std::mutex> lock(recorded_mutex);
    return recorded;
}

std::vector<std::string> FatalErrorRecorder::messages() const {
    std::vector<std::string> result;
    for (const RecordedFatalError& error : errors())
        result.push_back(error.message);
    return result;
}

bool EndsWith(const std::string& path, const std::string& suffix) {
    return path.size() >= suffix.size() &&
           path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}
