#include "evolution/taylor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "evolution/pauli_sum_operator.h"
#include "pauli/hamiltonian.h"
#include "pauli/test_support.h"

namespace velmora {
namespace {

using Drive = std::function<double(double)>;

class Drives final : public DriveSampler {
public:
    explicit Drives(std::vector<Drive> f) : f_(std::move(f)) {}
    void sample(const std::vector<double>& times, std::vector<double>& values) override {
        values.clear();
        for (const Drive& f : f_) {
            for (double t : times) values.push_back(f(t));
        }
    }

private:
    std::vector<Drive> f_;
};

class Keep final : public KrylovSink {
public:
    explicit Keep(std::uint64_t n) : n_(n) {}
    void output(std::uint64_t, const Complex* state) override {
        states.emplace_back(state, state + n_);
    }
    void between_steps(double, double) override {}
    std::vector<std::vector<Complex>> states;

private:
    std::uint64_t n_;
};

/// A part: a Hamiltonian, its operator and its drive (-1: constant).
struct Part {
    Hamiltonian ham;
    std::int64_t drive;
};

double norm_bound(const Hamiltonian& h) {
    double s = 0.0;
    for (const PauliWord& w : h.words()) s += std::abs(w.coeff);
    return s;
}

/// The dense matrix of a part (by applying it to the basis vectors).
std::vector<Complex> dense(const Hamiltonian& h) {
    const std::uint64_t n = std::uint64_t{1} << h.num_qubits();
    std::vector<Complex> m(n * n), e(n), col(n);
    for (std::uint64_t j = 0; j < n; ++j) {
        std::fill(e.begin(), e.end(), Complex(0.0, 0.0));
        e[j] = 1.0;
        h.apply(e.data(), col.data());
        for (std::uint64_t i = 0; i < n; ++i) m[i * n + j] = col[i];
    }
    return m;
}

/// psi(times) by classical RK4 with steps of `dt` on the dense matrices,
/// landing on the breakpoints, each step's drives taken inside it (so a jump
/// at a breakpoint is seen from the right side).
std::vector<std::vector<Complex>> reference(const std::vector<Part>& parts,
                                            const std::vector<Drive>& drives,
                                            std::vector<Complex> psi, double t0,
                                            const std::vector<double>& times, double dt,
                                            const std::vector<double>& breakpoints = {}) {
    const std::uint64_t n = psi.size();
    std::vector<std::vector<Complex>> mats;
    for (const Part& p : parts) mats.push_back(dense(p.ham));
    double lo = 0.0;
    double hi = 0.0;
    auto rhs = [&](double t, const std::vector<Complex>& v) {
        std::vector<Complex> out(n, Complex(0.0, 0.0));
        const double inside = std::clamp(t, lo + 1e-13, hi - 1e-13);
        for (std::size_t p = 0; p < parts.size(); ++p) {
            const double f = parts[p].drive < 0 ? 1.0 : drives[parts[p].drive](inside);
            for (std::uint64_t i = 0; i < n; ++i) {
                Complex s(0.0, 0.0);
                for (std::uint64_t j = 0; j < n; ++j) s += mats[p][i * n + j] * v[j];
                out[i] += Complex(0.0, -f) * s;
            }
        }
        return out;
    };
    std::vector<std::vector<Complex>> result;
    double t = t0;
    for (double target : times) {
        while (t < target - 1e-15) {
            double h = std::min(dt, target - t);
            for (double b : breakpoints) {
                if (b > t + 1e-15 && b < t + h) h = b - t;
            }
            lo = t;
            hi = t + h;
            const auto k1 = rhs(t, psi);
            std::vector<Complex> tmp(n);
            for (std::uint64_t i = 0; i < n; ++i) tmp[i] = psi[i] + 0.5 * h * k1[i];
            const auto k2 = rhs(t + 0.5 * h, tmp);
            for (std::uint64_t i = 0; i < n; ++i) tmp[i] = psi[i] + 0.5 * h * k2[i];
            const auto k3 = rhs(t + 0.5 * h, tmp);
            for (std::uint64_t i = 0; i < n; ++i) tmp[i] = psi[i] + h * k3[i];
            const auto k4 = rhs(t + h, tmp);
            for (std::uint64_t i = 0; i < n; ++i) {
                psi[i] += h / 6.0 * (k1[i] + 2.0 * k2[i] + 2.0 * k3[i] + k4[i]);
            }
            t += h;
        }
        result.push_back(psi);
    }
    return result;
}

struct TaylorRunResult {
    TaylorReport report;
    std::vector<std::vector<Complex>> states;
};

TaylorRunResult evolve(const std::vector<Part>& parts, const std::vector<Drive>& drives,
           const std::vector<Complex>& psi, double t0, const std::vector<double>& times,
           TaylorOptions options) {
    std::vector<std::unique_ptr<PauliSumOperator>> ops;
    std::vector<TaylorPart> taylor;
    for (const Part& p : parts) {
        ops.push_back(std::make_unique<PauliSumOperator>(p.ham, nullptr, options.num_threads));
        taylor.push_back({ops.back().get(), p.drive, norm_bound(p.ham)});
    }
    Drives sampler(drives);
    Keep keep(psi.size());
    TaylorRunResult run;
    run.report = taylor_evolve(taylor, drives.size(), sampler, psi.data(), t0, times.data(),
                               times.size(), options, keep);
    run.states = std::move(keep.states);
    return run;
}

std::string letters(std::uint64_t n, std::uint64_t q, char a, std::uint64_t r = 99, char b = 'I') {
    std::string s(n, 'I');
    s[n - 1 - q] = a;
    if (r < n) s[n - 1 - r] = b;
    return s;
}

/// -sum Z Z (+ 0.3 sum Z with `field`) constant, and -sum X driven.
std::vector<Part> driven_chain(std::uint64_t n, bool field) {
    std::vector<PauliWord> bonds, flips;
    for (std::uint64_t q = 0; q + 1 < n; ++q) bonds.emplace_back(-1.0, letters(n, q, 'Z', q + 1, 'Z'));
    if (field) {
        for (std::uint64_t q = 0; q < n; ++q) bonds.emplace_back(0.3, letters(n, q, 'Z'));
    }
    for (std::uint64_t q = 0; q < n; ++q) flips.emplace_back(-1.0, letters(n, q, 'X'));
    return {{Hamiltonian(bonds), -1}, {Hamiltonian(flips), 0}};
}

double distance(const std::vector<Complex>& a, const std::vector<Complex>& b) {
    double s = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) s += std::norm(a[i] - b[i]);
    return std::sqrt(s);
}

struct DrivenCase {
    std::string name;
    Drive f;
    bool field;
    double tol;
    std::vector<double> breakpoints;
};

class Driven : public ::testing::TestWithParam<DrivenCase> {};

// Every returned state, the interior ones included, within the reported error
// of a fine RK4 reference; the same bytes for every thread count.
TEST_P(Driven, EveryOutputWithinTheReportedError) {
    const DrivenCase& c = GetParam();
    const std::uint64_t n = 4;
    const std::vector<Part> parts = driven_chain(n, c.field);
    std::vector<Complex> psi(16, Complex(0.25, 0.0));  // |+...+>
    std::vector<double> times;
    for (int k = 0; k <= 30; ++k) times.push_back(0.1 * k);
    TaylorOptions options;
    options.tol = c.tol;
    options.max_step = 0.15;
    options.breakpoints = c.breakpoints;
    const TaylorRunResult run = evolve(parts, {c.f}, psi, 0.0, times, options);
    ASSERT_EQ(run.states.size(), times.size());
    const auto want = reference(parts, {c.f}, psi, 0.0, times, 2e-4, c.breakpoints);
    for (std::size_t k = 0; k < times.size(); ++k) {
        EXPECT_LE(distance(run.states[k], want[k]), run.report.error + 1e-11)
            << c.name << " at t = " << times[k];
    }
    EXPECT_LE(run.report.error, c.tol * 2.0) << c.name;
    for (std::int32_t threads : {1, 2}) {
        options.num_threads = threads;
        const TaylorRunResult team = evolve(parts, {c.f}, psi, 0.0, times, options);
        for (std::size_t k = 0; k < times.size(); ++k) {
            EXPECT_TRUE(testing::same_bits(team.states[k], run.states[k])) << threads;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Drives, Driven,
    ::testing::Values(
        DrivenCase{"cosine", [](double t) { return 1.0 + 0.5 * std::cos(3.0 * t); }, false, 1e-8, {}},
        DrivenCase{"ramp_with_field", [](double t) { return 2.0 * t / 3.0; }, true, 1e-10, {}},
        DrivenCase{"jump_declared", [](double t) { return t > 1.3 ? 1.5 : 1.0; }, false, 1e-8, {1.3}},
        DrivenCase{"coarse_tol", [](double t) { return std::sin(t); }, true, 1e-4, {}}),
    [](const auto& info) { return info.param.name; });

TEST(Taylor, ConstantHamiltonianMatchesTheDenseExponential) {
    const std::uint64_t n = 3;
    std::mt19937_64 rng(4);
    const Hamiltonian ham = testing::random_hamiltonian(rng, n, 9);
    std::vector<PauliWord> real_words;
    for (const PauliWord& w : ham.words()) real_words.emplace_back(w.coeff.real(), w.string);
    const std::vector<Part> parts{{Hamiltonian(real_words), -1}};
    std::vector<Complex> psi = testing::random_state(rng, n);
    TaylorOptions options;
    options.tol = 1e-10;
    options.max_step = 10.0;
    const TaylorRunResult run = evolve(parts, {}, psi, 0.0, {1.0, 2.5}, options);
    const auto want = reference(parts, {}, psi, 0.0, {1.0, 2.5}, 1e-4);
    double scale = 0.0;
    for (const Complex& a : psi) scale += std::norm(a);
    for (int k = 0; k < 2; ++k) {
        EXPECT_LE(distance(run.states[k], want[k]), run.report.error * std::sqrt(scale) + 1e-11);
    }
}

// An undeclared jump: the steps around it shrink to the floor and the run
// stops, naming the time, instead of reporting a small error.
TEST(Taylor, AnUndeclaredJumpStopsTheRun) {
    const std::vector<Part> parts = driven_chain(3, false);
    std::vector<Complex> psi(8, Complex(1.0, 0.0));
    TaylorOptions options;
    options.tol = 1e-8;
    try {
        evolve(parts, {[](double t) { return t > 1.3 ? 2.0 : 1.0; }}, psi, 0.0, {3.0}, options);
        FAIL() << "no DriveNotSmooth";
    } catch (const DriveNotSmooth& error) {
        EXPECT_NEAR(error.time, 1.3, 1e-6);
        EXPECT_EQ(error.part, 1u);
    }
}

TEST(Taylor, RefusesBadArguments) {
    const std::vector<Part> parts = driven_chain(2, false);
    std::vector<Complex> psi(4, Complex(1.0, 0.0));
    TaylorOptions options;
    const Drive f = [](double) { return 1.0; };
    options.tol = 0.0;
    EXPECT_THROW(evolve(parts, {f}, psi, 0.0, {1.0}, options), std::invalid_argument);
    options.tol = 1e-8;
    options.max_step = 0.0;
    EXPECT_THROW(evolve(parts, {f}, psi, 0.0, {1.0}, options), std::invalid_argument);
    options.max_step = 1.0;
    EXPECT_THROW(evolve(parts, {f}, psi, 1.0, {0.5}, options), std::invalid_argument);
    EXPECT_THROW(evolve(parts, {}, psi, 0.0, {1.0}, options), std::invalid_argument);
}

}  // namespace
}  // namespace velmora
