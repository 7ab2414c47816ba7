// A one-line progress bar for long renders, redrawn in place on a terminal.
#ifndef ZRV_PROGRESS_BAR_H
#define ZRV_PROGRESS_BAR_H

#include <ostream>

namespace zrv {

class ProgressBar {
public:
    // A disabled bar draws nothing. An enabled one stays hidden until
    // delay_seconds have passed, so that quick renders print no bar at all.
    ProgressBar(std::ostream& out, bool enabled, double delay_seconds = 1.0)
        : out_(out), enabled_(enabled), delay_seconds_(delay_seconds) {}

    // Shows done of total units after elapsed_seconds; redraws only when the
    // shown percentage changes.
    void update(long long done, long long total, double elapsed_seconds);

    // Erases the bar, if one was drawn, so that the next output starts on a
    // clean line.
    void finish();

    bool drawn() const { return last_percent_ >= 0; }

private:
    std::ostream& out_;
    bool enabled_;
    double delay_seconds_;
    int last_percent_ = -1;
};

} // namespace zrv

#endif // ZRV_PROGRESS_BAR_H
