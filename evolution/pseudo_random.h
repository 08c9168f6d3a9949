#pragma once

#include <cstdint>

#include "base/complex.h"

namespace velmora {

/// A fixed amplitude in [-1, 1)^2 for global index x of stream `stream`
/// (splitmix64): vectors that depend on nothing but their length, for
/// restarts and starting vectors. Stream 0 is the Krylov engine's.
inline Complex pseudo_random_amplitude(std::uint64_t x, std::uint64_t stream = 0) {
    auto next = [](std::uint64_t& state) {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z = z ^ (z >> 31);
        return static_cast<double>(z >> 11) * 0x1.0p-52 - 1.0;
    };
    std::uint64_t state = x ^ (stream * 0xD1B54A32D192ED03ull);
    const double re = next(state);
    return Complex(re, next(state));
}

}  // namespace velmora
