// A small deterministic random generator (splitmix64).
//
// Scenes, rays and test inputs must be identical on every machine and
// standard library, which the std:: distributions do not promise; this
// generator and its conversions are fully specified here.
#ifndef ZRV_SCENE_RANDOM_H
#define ZRV_SCENE_RANDOM_H

#include <cstdint>

namespace zrv {
namespace scenes {

class SplitMix64 {
public:
    explicit SplitMix64(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [0, 1), 53 random bits.
    double next_double() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }

    // Uniform in [lo, hi).
    double uniform(double lo, double hi) { return lo + (hi - lo) * next_double(); }

    // Uniform in [0, n); n must be positive.
    std::uint32_t below(std::uint32_t n) {
        return std::uint32_t((next() >> 32) * std::uint64_t(n) >> 32);
    }

private:
    std::uint64_t state_;
};

// Stateless hash of a value, the splitmix64 finaliser: for lattice noise.
inline std::uint64_t mix64(std::uint64_t value) {
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

} // namespace scenes
} // namespace zrv

#endif // ZRV_SCENE_RANDOM_H
