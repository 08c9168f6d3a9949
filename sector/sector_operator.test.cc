#include "sector/sector_operator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "parallel/policy.h"
#include "pauli/test_support.h"
#include "sector/test_support.h"

namespace velmora {
namespace {

using testing::mirror;
using testing::shift;

/// `letters` (acting on qubits 0, 1, ...) placed at qubit `at` of an n-qubit ring.
std::string placed(std::uint32_t n, std::uint32_t at, const std::string& letters) {
    std::string s(n, 'I');
    for (std::size_t j = 0; j < letters.size(); ++j) s[n - 1 - (at + j) % n] = letters[j];
    return s;
}

/// A ring Hamiltonian: every pattern repeated on every site with one coefficient.
Hamiltonian ring(std::uint32_t n, const std::vector<std::pair<std::string, double>>& patterns) {
    std::vector<PauliWord> words;
    for (const auto& [letters, c] : patterns) {
        for (std::uint32_t q = 0; q < n; ++q) words.emplace_back(c, placed(n, q, letters));
    }
    return Hamiltonian(std::move(words));
}

/// The sector matrix from the full space: <r~_i| H |r~_j> with the embedded
/// basis vectors and the plain reference kernel.
std::vector<Complex> dense_reference(const Hamiltonian& ham, const SectorBasis& basis) {
    const std::uint64_t d = basis.size();
    const std::uint64_t full = std::uint64_t{1} << basis.num_qubits();
    std::vector<std::vector<Complex>> vectors(d, std::vector<Complex>(full));
    for (std::uint64_t j = 0; j < d; ++j) {
        std::vector<Complex> e(d, Complex(0.0, 0.0));
        e[j] = 1.0;
        basis.embed(e.data(), vectors[j].data(), 0);
    }
    std::vector<Complex> m(d * d);
    for (std::uint64_t j = 0; j < d; ++j) {
        const std::vector<Complex> hv = testing::reference_apply(ham, vectors[j]);
        for (std::uint64_t i = 0; i < d; ++i) {
            Complex s = 0.0;
            for (std::uint64_t x = 0; x < full; ++x) s += std::conj(vectors[i][x]) * hv[x];
            m[i * d + j] = s;
        }
    }
    return m;
}

struct Case {
    const char* name;
    std::uint32_t n;
    std::vector<std::pair<std::string, double>> patterns;
    std::int32_t weight;
    std::vector<SymmetryGenerator> generators;
    int flip;
};

std::vector<Case> cases() {
    const std::uint32_t n = 8;
    const std::vector<std::pair<std::string, double>> xxz = {
        {"XX", 0.7}, {"YY", 0.7}, {"ZZ", -1.3}, {"ZIZ", 0.4}, {"II", 0.25}};
    return {
        {"weight", n, {{"XX", 1.0}, {"YY", 1.0}, {"ZZ", 0.5}, {"Z", 0.3}}, 4, {}, 0},
        {"weight 2", n, {{"XX", 1.0}, {"YY", 1.0}, {"ZZ", 0.5}, {"Z", 0.3}}, 2, {}, 0},
        {"momentum 3", n, xxz, 4, {{shift(n), 3}}, 0},
        {"momentum 1, any weight", 6, {{"XX", 1.0}, {"ZZ", 0.6}, {"Z", 0.2}, {"XZX", 0.3}},
         SectorBasis::any_weight, {{shift(6), 1}}, 0},
        {"chiral", n, {{"XY", 0.8}, {"YX", -0.8}, {"ZZ", 0.5}, {"Z", 0.4}}, 3, {{shift(n), 2}}, 0},
        {"k=0, parity -1, flip -1", n, xxz, 4, {{shift(n), 0}, {mirror(n), 1}}, -1},
        {"k=n/2, parity +1, flip +1", n, xxz, 4, {{shift(n), 4}, {mirror(n), 0}}, 1},
        {"flip only", 6, {{"XX", 1.0}, {"ZZ", 0.6}, {"X", 0.9}}, SectorBasis::any_weight, {}, -1},
    };
}

// The sector matrix the operator applies equals the full-space one between
// embedded basis vectors, for sectors with and without each symmetry.
TEST(SectorOperator, MatrixEqualsTheEmbeddedFullSpaceMatrix) {
    for (const Case& c : cases()) {
        const Hamiltonian ham = ring(c.n, c.patterns);
        auto basis = std::make_shared<const SectorBasis>(SymmetryGroup(c.n, c.generators, c.flip),
                                                         c.weight, 0);
        SectorOperator op(ham, basis, true, 0);
        const std::uint64_t d = basis->size();
        ASSERT_GT(d, 0u) << c.name;
        const std::vector<Complex> want = dense_reference(ham, *basis);
        for (std::uint64_t j = 0; j < d; ++j) {
            std::vector<Complex> e(d, Complex(0.0, 0.0)), column(d);
            e[j] = 1.0;
            op.apply(e.data(), column.data(), 0);
            for (std::uint64_t i = 0; i < d; ++i) {
                EXPECT_NEAR(std::abs(column[i] - want[i * d + j]), 0.0, 1e-12)
                    << c.name << " (" << i << ", " << j << ")";
            }
        }
    }
}

// Products give the same bytes on every team and with kept images; so does
// the expectation.
TEST(SectorOperator, SameBytesOnEveryTeamAndWithImages) {
    const std::uint64_t saved = set_min_parallel_work(0);
    std::mt19937_64 rng(17);
    std::normal_distribution<double> normal;
    for (const Case& c : cases()) {
        const Hamiltonian ham = ring(c.n, c.patterns);
        auto basis = std::make_shared<const SectorBasis>(SymmetryGroup(c.n, c.generators, c.flip),
                                                         c.weight, 0);
        std::vector<Complex> v(basis->size());
        for (Complex& a : v) a = Complex(normal(rng), normal(rng));
        std::vector<Complex> first;
        Complex first_e;
        for (bool images : {false, true}) {
            SectorOperator op(ham, basis, true, 0);
            if (images) {
                op.keep_images(2);
                EXPECT_GT(op.image_bytes(), 0u);
                EXPECT_LE(op.image_bytes(), op.image_bytes_bound());
            }
            for (std::int32_t threads : {0, 1, 2, 3}) {
                std::vector<Complex> w(v.size());
                op.apply(v.data(), w.data(), threads);
                const Complex e = op.expectation(v.data(), threads);
                if (first.empty()) {
                    first = w;
                    first_e = e;
                } else {
                    EXPECT_TRUE(testing::same_bits(w, first)) << c.name << " " << threads;
                    EXPECT_TRUE(testing::same_bits(e.real(), first_e.real()));
                    EXPECT_TRUE(testing::same_bits(e.imag(), first_e.imag()));
                }
            }
        }
    }
    set_min_parallel_work(saved);
}

}  // namespace
}  // namespace velmora
