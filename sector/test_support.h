#pragma once
// Permutations shared by the sector tests.

#include <cstdint>
#include <vector>

namespace velmora::testing {

/// The translation of an n-site ring by `by`: qubit q to (q + by) mod n.
inline std::vector<std::uint32_t> shift(std::uint32_t n, std::uint32_t by = 1) {
    std::vector<std::uint32_t> p(n);
    for (std::uint32_t q = 0; q < n; ++q) p[q] = (q + by) % n;
    return p;
}

/// The reflection q -> n - 1 - q.
inline std::vector<std::uint32_t> mirror(std::uint32_t n) {
    std::vector<std::uint32_t> p(n);
    for (std::uint32_t q = 0; q < n; ++q) p[q] = n - 1 - q;
    return p;
}

}  // namespace velmora::testing
