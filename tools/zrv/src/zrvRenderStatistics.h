// Figures of one render: rays traced and the time they took.
#ifndef ZRV_RENDER_STATISTICS_H
#define ZRV_RENDER_STATISTICS_H

#include <cstdint>

namespace zrv {

struct RenderStatistics {
    double seconds = 0.0; // wall clock of the whole render
    std::uint64_t primary_rays = 0;
    std::uint64_t shadow_rays = 0;
    // Time spent making and tracing each kind of ray, summed over the
    // workers and divided by their number: the wall-clock share of each.
    double primary_seconds = 0.0;
    double shadow_seconds = 0.0;

    double primary_mrays_per_second() const { return rate(primary_rays, primary_seconds); }
    double shadow_mrays_per_second() const { return rate(shadow_rays, shadow_seconds); }

private:
    static double rate(std::uint64_t rays, double seconds) {
        return seconds > 0.0 ? static_cast<double>(rays) / seconds * 1e-6 : 0.0;
    }
};

} // namespace zrv

#endif // ZRV_RENDER_STATISTICS_H
