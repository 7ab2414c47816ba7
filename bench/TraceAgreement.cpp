#include "TraceAgreement.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zrv {
namespace bench {

double TraceAgreement::hit_or_miss_fraction() const {
    return rays ? double(same_hit_or_miss) / double(rays) : 1.0;
}

double TraceAgreement::t_fraction() const {
    return both_hit ? double(same_t) / double(both_hit) : 1.0;
}

bool TraceAgreement::acceptable() const {
    return hit_or_miss_fraction() >= REQUIRED_AGREEMENT && t_fraction() >= REQUIRED_AGREEMENT;
}

std::string TraceAgreement::describe(const char* name_a, const char* name_b) const {
    char line[512];
    std::snprintf(line, sizeof(line),
                  "%s vs %s: %zu rays, hits %zu / %zu; hit/miss agree %.4f%%; "
                  "t within %.0e relative %.4f%% of %zu common hits (max %.2e); "
                  "same triangle %.4f%%",
                  name_a, name_b, rays, hits_a, hits_b, 100.0 * hit_or_miss_fraction(),
                  T_RELATIVE_TOLERANCE, 100.0 * t_fraction(), both_hit, max_relative_t_difference,
                  both_hit ? 100.0 * double(same_id) / double(both_hit) : 100.0);
    return line;
}

TraceAgreement compare_traces(const std::vector<RayPacket>& packets,
                              const std::vector<HitPacket>& hits_a,
                              const std::vector<HitPacket>& hits_b) {
    TraceAgreement agreement;
    const std::size_t count = std::min(packets.size(), std::min(hits_a.size(), hits_b.size()));
    for (std::size_t i = 0; i < count; ++i) {
        alignas(16) float t_a[4], t_b[4];
        alignas(16) int id_a[4], id_b[4];
        _mm_store_ps(t_a, hits_a[i].t);
        _mm_store_ps(t_b, hits_b[i].t);
        _mm_store_si128(reinterpret_cast<__m128i*>(id_a), hits_a[i].id);
        _mm_store_si128(reinterpret_cast<__m128i*>(id_b), hits_b[i].id);
        for (int lane = 0; lane < 4; ++lane) {
            if (!((packets[i].active_mask >> lane) & 1))
                continue;
            ++agreement.rays;
            const bool hit_a = id_a[lane] >= 0;
            const bool hit_b = id_b[lane] >= 0;
            agreement.hits_a += hit_a;
            agreement.hits_b += hit_b;
            agreement.same_hit_or_miss += hit_a == hit_b;
            if (!(hit_a && hit_b))
                continue;
            ++agreement.both_hit;
            const double difference =
                std::fabs(double(t_a[lane]) - double(t_b[lane])) / std::fabs(double(t_b[lane]));
            agreement.max_relative_t_difference =
                std::max(agreement.max_relative_t_difference, difference);
            agreement.same_t += difference <= T_RELATIVE_TOLERANCE;
            agreement.same_id += id_a[lane] == id_b[lane];
        }
    }
    return agreement;
}

double OcclusionAgreement::fraction() const {
    return rays ? double(same) / double(rays) : 1.0;
}

bool OcclusionAgreement::acceptable() const {
    return fraction() >= REQUIRED_AGREEMENT;
}

std::string OcclusionAgreement::describe(const char* name_a, const char* name_b) const {
    char line[256];
    std::snprintf(line, sizeof(line), "%s vs %s: %zu rays, occluded %zu / %zu; agree %.4f%%",
                  name_a, name_b, rays, occluded_a, occluded_b, 100.0 * fraction());
    return line;
}

OcclusionAgreement compare_occlusion(const std::vector<RayPacket>& packets,
                                     const std::vector<int>& occluded_a,
                                     const std::vector<int>& occluded_b) {
    OcclusionAgreement agreement;
    const std::size_t count =
        std::min(packets.size(), std::min(occluded_a.size(), occluded_b.size()));
    for (std::size_t i = 0; i < count; ++i) {
        for (int lane = 0; lane < 4; ++lane) {
            if (!((packets[i].active_mask >> lane) & 1))
                continue;
            const bool a = (occluded_a[i] >> lane) & 1;
            const bool b = (occluded_b[i] >> lane) & 1;
            ++agreement.rays;
            agreement.occluded_a += a;
            agreement.occluded_b += b;
            agreement.same += a == b;
        }
    }
    return agreement;
}

} // namespace bench
} // namespace zrv
