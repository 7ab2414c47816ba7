// A one-line progress bar for long renders, redrawn in place on a terminal,
// and a status line for the steps before.
#ifndef ZRV_PROGRESS_BAR_H
#define ZRV_PROGRESS_BAR_H

#include <cstddef>
#include <ostream>
#include <string>

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

// One line on a terminal that says what a long step is doing (loading the
// mesh, building the structure) while it runs, and is erased when it ends.
class StatusLine {
public:
    // A disabled line draws nothing.
    StatusLine(std::ostream& out, bool enabled) : out_(out), enabled_(enabled) {}
    ~StatusLine() { clear(); }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // Replaces the line shown, if any, with text.
    void show(const std::string& text);
    // Erases the line, so that the next output starts on a clean line.
    void clear();

private:
    std::ostream& out_;
    bool enabled_;
    std::size_t shown_ = 0; // the width of the line drawn; 0: none
};

} // namespace zrv

#endif // ZRV_PROGRESS_BAR_H
