// Figures of one render: rays traced and the time they took.
//
// Each worker measures the processor time of its own thread per kind of
// ray, so that the figures mean the same whether or not every render thread
// has a processor of its own: a rate per thread-second is rays over that
// processor time, and a wall-clock rate is rays over the kind's share of the
// render's wall-clock time (its share of all processor time the workers
// used).
#ifndef ZRV_RENDER_STATISTICS_H
#define ZRV_RENDER_STATISTICS_H

#include <cstdint>

namespace zrv {

struct RayFigures {
    std::uint64_t rays = 0;
    double thread_seconds = 0.0; // processor time of making and tracing them, all workers
};

struct RenderStatistics {
    double seconds = 0.0;               // wall clock of the whole render
    double worker_thread_seconds = 0.0; // processor time of the workers, shading included
    RayFigures primary, shadow, ambient_occlusion;

    // The kind's share of the render's wall-clock time.
    double wall_seconds(const RayFigures& kind) const {
        return worker_thread_seconds > 0.0 ? seconds * kind.thread_seconds / worker_thread_seconds
                                           : 0.0;
    }
    // Millions of rays per second of wall-clock time.
    double mrays_per_second(const RayFigures& kind) const {
        return rate(kind.rays, wall_seconds(kind));
    }
    // Millions of rays per second of one thread's processor time.
    double mrays_per_thread_second(const RayFigures& kind) const {
        return rate(kind.rays, kind.thread_seconds);
    }

private:
    static double rate(std::uint64_t rays, double seconds) {
        return seconds > 0.0 ? static_cast<double>(rays) / seconds * 1e-6 : 0.0;
    }
};

} // namespace zrv

#endif // ZRV_RENDER_STATISTICS_H
