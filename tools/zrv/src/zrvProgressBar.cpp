#include "zrvProgressBar.h"

#include <string>

namespace zrv {

namespace {

constexpr int bar_width = 40;
const char* const label = "rendering ";

} // namespace

void ProgressBar::update(long long done, long long total, double elapsed_seconds) {
    if (!enabled_ || total <= 0 || elapsed_seconds < delay_seconds_)
        return;
    if (done < 0)
        done = 0;
    if (done > total)
        done = total;
    const int percent = static_cast<int>(done * 100 / total);
    if (percent == last_percent_)
        return;
    last_percent_ = percent;
    const int filled = static_cast<int>(done * bar_width / total);
    std::string line = "\r";
    line += label;
    line += '[';
    line.append(filled, '#');
    line.append(bar_width - filled, '.');
    line += "] ";
    const std::string number = std::to_string(percent);
    line.append(3 - number.size(), ' ');
    line += number + "%";
    out_ << line << std::flush;
}

void ProgressBar::finish() {
    if (!drawn())
        return;
    // "\rrendering [" + bar + "] 100%" is this wide.
    const std::size_t width = std::string(label).size() + bar_width + 7;
    out_ << '\r' << std::string(width, ' ') << '\r' << std::flush;
    last_percent_ = -1;
}

void StatusLine::show(const std::string& text) {
    if (!enabled_)
        return;
    clear();
    out_ << '\r' << text << std::flush;
    shown_ = text.size();
}

void StatusLine::clear() {
    if (shown_ == 0)
        return;
    out_ << '\r' << std::string(shown_, ' ') << '\r' << std::flush;
    shown_ = 0;
}

} // namespace zrv
