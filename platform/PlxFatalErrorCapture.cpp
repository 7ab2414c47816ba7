// Captures of fatal-error reports: one counting handler, installed while any
// capture lives.
#include "PlxFatalErrorCapture.h"

#include <atomic>
#include <mutex>

namespace {

// Guards the count of live captures and the handler they replaced.
std::mutex capture_mutex;
unsigned int live_captures = 0;
PlxFatalErrorHandler handler_before_captures = nullptr;

// Every report made while a capture lives; never reset, so that each capture
// compares against its own start.
std::atomic<unsigned long long> captured_reports{0};

void count_report(const char*, const char*, const char*, const char*, const char*, int) {
    captured_reports.fetch_add(1, std::memory_order_acq_rel);
}

} // namespace

PlxFatalErrorCapture::PlxFatalErrorCapture() {
    std::lock_guard<std::mutex> lock(capture_mutex);
    if (live_captures++ == 0)
        handler_before_captures = PlxSetFatalErrorHandler(count_report);
    reports_at_start_ = captured_reports.load(std::memory_order_acquire);
}

PlxFatalErrorCapture::~PlxFatalErrorCapture() {
    std::lock_guard<std::mutex> lock(capture_mutex);
    if (--live_captures == 0)
        PlxSetFatalErrorHandler(handler_before_captures);
}

bool PlxFatalErrorCapture::reported() const {
    return captured_reports.load(std::memory_order_acquire) != reports_at_start_;
}
