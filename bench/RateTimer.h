// Best rates of repeated timings, by the clock and by processor time.
#ifndef ZRV_BENCH_RATE_TIMER_H
#define ZRV_BENCH_RATE_TIMER_H

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <ctime>

namespace zrv {
namespace bench {

// Best rates of a query's repetitions in millions per second: by the clock,
// and by the processor time of all threads (which a loaded machine disturbs
// less: time spent waiting for a core does not count).
struct Rates {
    double wall = 0.0;
    double cpu = 0.0;
};

class RateTimer {
public:
    RateTimer() : wall_(std::chrono::steady_clock::now()), cpu_(std::clock()) {}
    void stop(std::size_t queries, Rates& best) const {
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_).count();
        const double cpu = double(std::clock() - cpu_) / CLOCKS_PER_SEC;
        best.wall = std::max(best.wall, double(queries) / wall / 1e6);
        best.cpu = std::max(best.cpu, double(queries) / cpu / 1e6);
    }

private:
    std::chrono::steady_clock::time_point wall_;
    std::clock_t cpu_;
};

} // namespace bench
} // namespace zrv

#endif // ZRV_BENCH_RATE_TIMER_H
