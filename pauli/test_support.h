#pragma once
// Helpers shared by the C++ unit tests: random Hamiltonians, a plain
// reference kernel and bitwise comparison of amplitude buffers.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "pauli/hamiltonian.h"

namespace velmora::testing {

/// True when both buffers hold the same bytes (signed zeros and NaN payloads
/// included).
inline bool same_bits(const std::vector<Complex>& a, const std::vector<Complex>& b) {
    return a.size() == b.size() &&
           std::memcmp(a.data(), b.data(), a.size() * sizeof(Complex)) == 0;
}

inline bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof(double)) == 0;
}

/// Bitwise equality in which any two NaNs match. IEEE 754 leaves the sign and
/// payload of a NaN result open, and compilers may swap the operands of a
/// commutative operation, which picks the other operand's NaN; every other
/// value, signed zeros included, must match bit for bit.
inline bool same_values(const std::vector<Complex>& a, const std::vector<Complex>& b) {
    if (a.size() != b.size()) return false;
    auto same = [](double x, double y) { return same_bits(x, y) || (x != x && y != y); };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same(a[i].real(), b[i].real()) || !same(a[i].imag(), b[i].imag())) return false;
    }
    return true;
}

/// Every instruction set this processor can run, narrowest first.
inline std::vector<KernelIsa> runnable_isas() {
    std::vector<KernelIsa> isas = {KernelIsa::generic};
    if (detected_kernel_isa() != KernelIsa::generic) isas.push_back(KernelIsa::avx2);
    if (detected_kernel_isa() == KernelIsa::avx512) isas.push_back(KernelIsa::avx512);
    return isas;
}

/// A random word of `num_qubits` letters from I, X, Y, Z.
inline std::string random_letters(std::mt19937_64& rng, std::uint64_t num_qubits) {
    static const char letters[] = "IXYZ";
    std::string s(num_qubits, 'I');
    for (char& ch : s) {
        ch = letters[rng() % 4];
    }
    return s;
}

/// A random Hamiltonian of `num_words` words with complex coefficients; every
/// third word repeats an earlier one so merged sums would be noticed.
inline Hamiltonian random_hamiltonian(std::mt19937_64& rng, std::uint64_t num_qubits,
                                      std::size_t num_words) {
    std::normal_distribution<double> normal;
    std::vector<PauliWord> words;
    for (std::size_t t = 0; t < num_words; ++t) {
        if (t % 3 == 2) {
            words.push_back(words[rng() % t]);
        } else {
            words.emplace_back(Complex(normal(rng), normal(rng)), random_letters(rng, num_qubits));
        }
    }
    return Hamiltonian(std::move(words));
}

/// A random state of 2^num_qubits amplitudes with normal real and imaginary parts.
inline std::vector<Complex> random_state(std::mt19937_64& rng, std::uint64_t num_qubits) {
    std::normal_distribution<double> normal;
    std::vector<Complex> v(std::size_t{1} << num_qubits);
    for (Complex& a : v) {
        a = Complex(normal(rng), normal(rng));
    }
    return v;
}

/// out = H * in by the textbook per-index formulas, kept deliberately plain:
/// phase from the table, sign per index, (c x q) x in[i] added to out[i ^ flip].
inline std::vector<Complex> reference_apply(const Hamiltonian& ham, const std::vector<Complex>& in) {
    static const double phase[4][2] = {{1.0, +0.0}, {+0.0, 1.0}, {-1.0, +0.0}, {-0.0, -1.0}};
    std::vector<Complex> out(in.size(), Complex(0.0, 0.0));
    for (const PauliWord& word : ham.words()) {
        const PauliTerm& t = word.term;
        const int k = __builtin_popcountll(t.y_mask) % 4;
        const std::uint64_t count = std::uint64_t{1} << t.string.size();
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t j = i ^ t.flip_mask;
            double q_re = phase[k][0];
            double q_im = phase[k][1];
            if (__builtin_popcountll((t.z_mask | t.y_mask) & i) % 2 == 1) {
                q_re = -q_re;
                q_im = -q_im;
            }
            const Complex c = t.coeff;
            const double a_re = c.real() * q_re - q_im * c.imag();
            const double a_im = c.imag() * q_re + q_im * c.real();
            const Complex x = in[i];
            const double b_re = a_re * x.real() - a_im * x.imag();
            const double b_im = a_re * x.imag() + a_im * x.real();
            out[j] = Complex(b_re + out[j].real(), b_im + out[j].imag());
        }
    }
    return out;
}

}  // namespace velmora::testing
