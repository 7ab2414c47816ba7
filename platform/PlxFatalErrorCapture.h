// Turns the library's fatal-error reports into a result for the span of a
// call. A host that embeds the library rarely wants a failed consistency
// check to end its process: the specified BVH's build, for one, reports a
// failed allocation through the check that finds its tree without nodes.
#ifndef PLX_FATAL_ERROR_CAPTURE_H
#define PLX_FATAL_ERROR_CAPTURE_H

#include "PlxSystem.h"

// While a capture lives, PlxFatalError counts each report and returns to its
// caller, which then carries on as the library's checks allow (a build so
// reported leaves an empty or partial tree: discard it). Captures may nest
// and live on several threads at once; each sees every report made on any
// thread while it lives, so a report from a concurrent call fails both. The
// handler in place before the first capture began is restored when the last
// one ends; reports made meanwhile do not reach it.
class GFX_API PlxFatalErrorCapture {
public:
    PlxFatalErrorCapture();
    ~PlxFatalErrorCapture();
    PlxFatalErrorCapture(const PlxFatalErrorCapture&) = delete;
    PlxFatalErrorCapture& operator=(const PlxFatalErrorCapture&) = delete;

    // Whether a report was made since this capture began.
    bool reported() const;

private:
    unsigned long long reports_at_start_;
};

#endif // PLX_FATAL_ERROR_CAPTURE_H
