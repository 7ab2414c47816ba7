// The clock that build times are taken from: wall-clock time that never goes
// backwards, so that a build on several threads is timed as the host sees it.
#ifndef GFX_MONOTONIC_CLOCK_H
#define GFX_MONOTONIC_CLOCK_H

#include <chrono>
#include <cstdint>

namespace gfx_detail {

inline std::uint64_t monotonic_nanoseconds() {
    return std::uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count());
}

inline double seconds_since(std::uint64_t start_nanoseconds) {
    return double(monotonic_nanoseconds() - start_nanoseconds) / 1e9;
}

} // namespace gfx_detail

#endif // GFX_MONOTONIC_CLOCK_H
