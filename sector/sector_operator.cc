#include "sector/sector_operator.h"

#include <algorithm>
#include <cstring>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "parallel/policy.h"
#include "parallel/reduce.h"
#include "parallel/team.h"

namespace velmora {

namespace {

constexpr double eps = std::numeric_limits<double>::epsilon();
/// Rows per work item of a product; fixed, so that kept images are laid out
/// the same for every team.
constexpr std::uint64_t rows_per_chunk = 1024;

bool has_popcnt() {
    static const bool yes = __builtin_cpu_supports("popcnt");
    return yes;
}

/// row(i) for i in [b, e). Counting bits is most of a row's work: the second
/// copy, compiled for processors with a population-count instruction (with
/// everything it calls inlined), runs where there is one; the results are the
/// same.
template <class Row>
void rows_generic(std::uint64_t b, std::uint64_t e, Row& row) {
    for (std::uint64_t i = b; i < e; ++i) row(i);
}

template <class Row>
__attribute__((target("popcnt"), flatten)) void rows_popcnt(std::uint64_t b, std::uint64_t e,
                                                             Row& row) {
    for (std::uint64_t i = b; i < e; ++i) row(i);
}

template <class Row>
void for_rows(std::uint64_t b, std::uint64_t e, Row&& row) {
    if (has_popcnt()) {
        rows_popcnt(b, e, row);
    } else {
        rows_generic(b, e, row);
    }
}

bool odd(std::uint64_t x) { return (__builtin_popcountll(x) & 1) != 0; }

/// a + (-1)^popcount(mask) * c without a branch: the sign bit of c's parts is
/// flipped by the parity, which gives the bits of a - c or a + c exactly.
Complex add_signed(Complex a, Complex c, std::uint64_t mask) {
    const std::uint64_t sign = static_cast<std::uint64_t>(__builtin_popcountll(mask) & 1) << 63;
    const double re = std::bit_cast<double>(std::bit_cast<std::uint64_t>(c.real()) ^ sign);
    const double im = std::bit_cast<double>(std::bit_cast<std::uint64_t>(c.imag()) ^ sign);
    return Complex(a.real() + re, a.imag() + im);
}

/// i^k exactly.
Complex i_power(int k) {
    switch (k & 3) {
        case 0: return Complex(1.0, 0.0);
        case 1: return Complex(0.0, 1.0);
        case 2: return Complex(-1.0, 0.0);
        default: return Complex(0.0, -1.0);
    }
}

/// The mask with bit perm[q] set for every bit q of `mask`.
std::uint64_t permute_bits(const std::vector<std::uint32_t>& perm, std::uint64_t mask) {
    std::uint64_t out = 0;
    for (std::uint32_t q = 0; q < perm.size(); ++q) {
        if ((mask >> q) & 1) out |= std::uint64_t{1} << perm[q];
    }
    return out;
}

std::string letters(std::uint64_t flip, std::uint64_t y, std::uint64_t z, std::uint32_t n) {
    std::string s(n, 'I');
    for (std::uint32_t q = 0; q < n; ++q) {
        char c = 'I';
        if ((y >> q) & 1) c = 'Y';
        else if ((flip >> q) & 1) c = 'X';
        else if ((z >> q) & 1) c = 'Z';
        s[n - 1 - q] = c;
    }
    return s;
}

std::string term_name(const PauliWord& w, std::size_t index) {
    return "the term '" + w.string + "' (index " + std::to_string(index) + ")";
}

/// acc + f * v for a real factor f: both parts of v scaled.
Complex add_scaled(Complex acc, double f, Complex v) {
    return Complex(acc.real() + f * v.real(), acc.imag() + f * v.imag());
}

/// An amplitude's two parts as one vector (SSE2 on x86-64, NEON on ARM): the
/// operations of add_scaled, both parts at once.
typedef double Parts __attribute__((vector_size(16)));

inline Parts load_parts(const Complex* v, std::uint64_t i) {
    Parts x;
    std::memcpy(&x, v + i, sizeof x);
    return x;
}

inline void store_parts(Complex* w, std::uint64_t i, Parts x) {
    std::memcpy(static_cast<void*>(w + i), &x, sizeof x);
}

/// Rows b .. e of kept images with real factors: w[i] = (w[i] with
/// `accumulate`, else 0) + sum over the row's terms of f * v[col], in order;
/// four rows side by side (as kept_rows), through raw pointers.
void real_rows(const std::uint32_t* starts, const std::uint32_t* cols, const double* factors,
               const Complex* v, Complex* w, std::uint64_t b, std::uint64_t e, bool accumulate) {
    const Parts zero = {0.0, 0.0};
    std::uint64_t i = b;
    for (; i + 4 <= e; i += 4) {
        const std::uint32_t* s = starts + (i - b);
        const std::uint32_t f0 = s[0], f1 = s[1], f2 = s[2], f3 = s[3];
        const std::uint32_t l0 = s[1] - f0, l1 = s[2] - f1, l2 = s[3] - f2, l3 = s[4] - f3;
        const std::uint32_t common = std::min(std::min(l0, l1), std::min(l2, l3));
        Parts a0 = accumulate ? load_parts(w, i) : zero;
        Parts a1 = accumulate ? load_parts(w, i + 1) : zero;
        Parts a2 = accumulate ? load_parts(w, i + 2) : zero;
        Parts a3 = accumulate ? load_parts(w, i + 3) : zero;
        for (std::uint32_t t = 0; t < common; ++t) {
            a0 = a0 + factors[f0 + t] * load_parts(v, cols[f0 + t]);
            a1 = a1 + factors[f1 + t] * load_parts(v, cols[f1 + t]);
            a2 = a2 + factors[f2 + t] * load_parts(v, cols[f2 + t]);
            a3 = a3 + factors[f3 + t] * load_parts(v, cols[f3 + t]);
        }
        for (std::uint32_t t = common; t < l0; ++t) a0 = a0 + factors[f0 + t] * load_parts(v, cols[f0 + t]);
        for (std::uint32_t t = common; t < l1; ++t) a1 = a1 + factors[f1 + t] * load_parts(v, cols[f1 + t]);
        for (std::uint32_t t = common; t < l2; ++t) a2 = a2 + factors[f2 + t] * load_parts(v, cols[f2 + t]);
        for (std::uint32_t t = common; t < l3; ++t) a3 = a3 + factors[f3 + t] * load_parts(v, cols[f3 + t]);
        store_parts(w, i, a0);
        store_parts(w, i + 1, a1);
        store_parts(w, i + 2, a2);
        store_parts(w, i + 3, a3);
    }
    for (; i < e; ++i) {
        Parts acc = accumulate ? load_parts(w, i) : zero;
        for (std::uint32_t t = starts[i - b]; t < starts[i - b + 1]; ++t) {
            acc = acc + factors[t] * load_parts(v, cols[t]);
        }
        store_parts(w, i, acc);
    }
}

}  // namespace

SectorOperator::SectorOperator(const Hamiltonian& ham, std::shared_ptr<const SectorBasis> basis,
                               bool require_closed, std::int32_t threads)
    : basis_(std::move(basis)) {
    if (ham.num_qubits() != basis_->num_qubits()) {
        throw std::invalid_argument("the operator acts on " + std::to_string(ham.num_qubits()) +
                                    " qubits, but the sector has " +
                                    std::to_string(basis_->num_qubits()));
    }
    words_ = ham.words().size();
    double sum_identity = 0.0, sum_diagonal = 0.0, sum_rest = 0.0;
    std::uint64_t identities = 0, diagonals = 0, rest = 0;
    std::vector<const PauliWord*> diagonal_words;
    std::map<std::uint64_t, std::vector<Word>> by_flip;
    for (const PauliWord& w : ham.words()) {
        const PauliTerm& t = w.term;
        const double size = std::abs(t.coeff.real()) + std::abs(t.coeff.imag());
        // Words without flips whose coefficient is not real (sums that are
        // not Hermitian, for apply and expectation) go with the flipping
        // words, as the group of flip mask 0: the real diagonal and mu hold
        // real coefficients only.
        const bool real = t.coeff.imag() == 0.0;
        if (real && (t.flip_mask | t.y_mask | t.z_mask) == 0) {
            mu_ = mu_ + t.coeff.real();
            sum_identity = sum_identity + size;
            ++identities;
        } else if (real && t.flip_mask == 0) {
            diagonal_words.push_back(&w);
            sum_diagonal = sum_diagonal + size;
            ++diagonals;
        } else {
            by_flip[t.flip_mask].push_back(
                {t.y_mask | t.z_mask,
                 multiply(t.coeff, i_power(__builtin_popcountll(t.y_mask)))});
            sum_rest = sum_rest + size;
            ++rest;
        }
    }
    if (!std::isfinite(mu_)) {
        throw std::overflow_error(
            "the identity terms of H sum beyond the double range; scale H down and t up by the "
            "same factor");
    }
    for (auto& [flip, words] : by_flip) groups_.push_back({flip, std::move(words)});
    // Real factors throughout (real word factors c i^popcount(y), real
    // characters): products then scale by reals, and kept images hold doubles.
    real_ = true;
    for (const FlipGroup& g : groups_) {
        for (const Word& w : g.words) real_ = real_ && w.coeff.imag() == 0.0;
    }
    for (std::size_t g = 0; g < basis_->group().order(); ++g) {
        real_ = real_ && basis_->group().character(g).imag() == 0.0;
    }
    // The bound of evolution/pauli_sum_operator.cc, with a few more roundings
    // per term for the factor chi * sqrt(orbit ratio) and its product.
    product_rounding_ = static_cast<double>(rest + 8) * (eps * sum_rest) +
                        static_cast<double>(diagonals + 2) * (eps * sum_diagonal);
    shift_rounding_ = static_cast<double>(identities) * (eps * sum_identity);
    if (require_closed) {
        check_invariance(ham);
        if (basis_->weight() != SectorBasis::any_weight) check_weight(ham, threads);
    }
    if (!diagonal_words.empty()) {
        std::vector<std::pair<std::uint64_t, double>> terms;
        for (const PauliWord* w : diagonal_words) {
            terms.emplace_back(w->term.z_mask, w->term.coeff.real());
        }
        const std::uint64_t size = basis_->size();
        diagonal_.assign(size, 0.0);
        const std::uint64_t* states = basis_->states();
        double* d = diagonal_.data();
        Policy::for_work(threads, size * terms.size())
            .for_each_chunk(size, rows_per_chunk, [&](std::uint64_t b, std::uint64_t e) {
                for (std::uint64_t i = b; i < e; ++i) {
                    double s = 0.0;
                    for (const auto& [z, c] : terms) s = s + (odd(z & states[i]) ? -c : c);
                    d[i] = s;
                }
            });
    }
}

void SectorOperator::check_invariance(const Hamiltonian& ham) const {
    const SymmetryGroup& group = basis_->group();
    if (group.trivial()) return;
    const std::uint32_t n = basis_->num_qubits();
    // The sum with equal words merged, in the order of first appearance.
    using Key = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>;
    std::map<Key, Complex> coeffs;
    std::vector<std::pair<Key, std::size_t>> order;
    for (std::size_t j = 0; j < ham.words().size(); ++j) {
        const PauliTerm& t = ham.words()[j].term;
        const Key key{t.flip_mask, t.y_mask, t.z_mask};
        auto [it, inserted] = coeffs.try_emplace(key, Complex(0.0, 0.0));
        it->second = add(it->second, t.coeff);
        if (inserted) order.emplace_back(key, j);
    }
    for (std::size_t g = 1; g < group.order(); ++g) {
        const std::vector<std::uint32_t>& perm = group.permutation(g);
        for (const auto& [key, j] : order) {
            const Complex c = coeffs.at(key);
            if (c == Complex(0.0, 0.0)) continue;
            const auto [flip, y, z] = key;
            const Key image{permute_bits(perm, flip), permute_bits(perm, y), permute_bits(perm, z)};
            Complex expected = c;
            if (group.flips(g) && odd(y | z)) expected = Complex(-c.real(), -c.imag());
            const auto found = coeffs.find(image);
            const Complex have = found == coeffs.end() ? Complex(0.0, 0.0) : found->second;
            const double gap = std::abs(have.real() - expected.real()) +
                               std::abs(have.imag() - expected.imag());
            const double scale = std::abs(c.real()) + std::abs(c.imag());
            if (gap <= 8 * eps * scale) continue;
            const std::string name = term_name(ham.words()[j], j);
            if (image == key) {
                throw std::invalid_argument(
                    "H does not commute with the sector: " + name +
                    " anticommutes with the spin flip (an odd number of Y and Z letters)");
            }
            std::string mapped = letters(std::get<0>(image), std::get<1>(image),
                                         std::get<2>(image), n);
            std::string where;
            for (std::uint32_t q = 0; q < n; ++q) {
                if (q != 0) where += ',';
                where += std::to_string(perm[q]);
            }
            throw std::invalid_argument(
                "H does not commute with the sector: " + name + " becomes '" + mapped +
                "' under the permutation [" + where + "]" +
                (group.flips(g) ? " with the spin flip" : "") + ", and H " +
                (found == coeffs.end() ? "has no such term" : "has it with another coefficient"));
        }
    }
}

void SectorOperator::check_weight(const Hamiltonian& ham, std::int32_t threads) const {
    const std::uint32_t n = basis_->num_qubits();
    const std::int32_t weight = basis_->weight();
    // For each flip mask: the sector states x whose image x ^ f has another
    // weight must get B_f(x) = 0. B_f depends on x only through the bits U =
    // f | the words' sign masks; the rest of x is free, so x & U can be any
    // pattern with popcount <= weight <= popcount + n - |U|.
    for (std::size_t k = 0; k < groups_.size(); ++k) {
        const FlipGroup& group = groups_[k];
        const std::uint64_t f = group.flip;
        const std::int32_t flipped = __builtin_popcountll(f);
        std::uint64_t used = f;
        double scale = 0.0;
        for (const Word& w : group.words) {
            used |= w.sign_mask;
            scale = scale + std::abs(w.coeff.real()) + std::abs(w.coeff.imag());
        }
        const std::int32_t width = __builtin_popcountll(used);
        auto leaks = [&](std::uint64_t x) {
            if (2 * __builtin_popcountll(x & f) == flipped) return false;
            Complex b(0.0, 0.0);
            for (const Word& w : group.words) b = add_signed(b, w.coeff, w.sign_mask & x);
            return std::abs(b.real()) + std::abs(b.imag()) > 8 * eps * scale;
        };
        bool bad = false;
        if (width <= 22) {
            std::uint64_t x = 0;
            do {
                const std::int32_t ones = __builtin_popcountll(x);
                if (ones <= weight && weight <= ones + static_cast<std::int32_t>(n) - width &&
                    leaks(x)) {
                    bad = true;
                    break;
                }
                x = (x - used) & used;
            } while (x != 0);
        } else {
            // Too many bits to enumerate: look at the sector's states.
            const std::uint64_t* states = basis_->states();
            const std::uint64_t size = basis_->size();
            bool found = false;
            Policy::for_work(threads, size * group.words.size())
                .for_each_chunk(size, rows_per_chunk, [&](std::uint64_t b, std::uint64_t e) {
                    for (std::uint64_t i = b; i < e; ++i) {
                        if (leaks(states[i])) {
#pragma omp atomic write
                            found = true;
                            break;
                        }
                    }
                });
            bad = found;
        }
        if (bad) {
            // Name the first word of that flip mask.
            for (std::size_t j = 0; j < ham.words().size(); ++j) {
                if (ham.words()[j].term.flip_mask == f) {
                    throw std::invalid_argument(
                        "H does not commute with the sector: " + term_name(ham.words()[j], j) +
                        " changes the weight (the number of qubits in state 1), and no other "
                        "term flipping the same qubits cancels that");
                }
            }
        }
    }
}

template <class Emit>
void SectorOperator::row_terms(std::uint64_t i, Scratch& scratch, Emit&& emit) const {
    const SectorBasis& basis = *basis_;
    const std::uint64_t r = basis.states()[i];
    if (basis.group().trivial()) {
        // Whether a word's image is a term depends on the bits of r and is
        // unpredictable: the terms are gathered without a branch, then
        // emitted in order.
        const std::int32_t weight = basis.weight();
        const bool fixed = weight != SectorBasis::any_weight;
        // Blocks of 64 groups: each group's term goes to its own slot (no
        // slot depends on another group's outcome), the terms that exist are
        // marked in a bit mask and emitted in order.
        std::uint64_t* cols = scratch.cols.data();
        Complex* factors = scratch.factors.data();
        const std::size_t count = groups_.size();
        for (std::size_t first = 0; first < count; first += 64) {
            const std::size_t last = std::min(count, first + 64);
            std::uint64_t present = 0;
            for (std::size_t k = first; k < last; ++k) {
                const FlipGroup& group = groups_[k];
                const std::uint64_t x = r ^ group.flip;
                Complex b(0.0, 0.0);
                for (const Word& w : group.words) b = add_signed(b, w.coeff, w.sign_mask & x);
                const bool nonzero = (b.real() != 0.0) | (b.imag() != 0.0);
                const bool inside = !fixed || __builtin_popcountll(x) == weight;
                cols[k] = fixed ? basis.rank(x) : x;
                factors[k] = b;
                present |= static_cast<std::uint64_t>(nonzero & inside) << (k - first);
            }
            while (present != 0) {
                const std::size_t k = first + static_cast<std::size_t>(__builtin_ctzll(present));
                present &= present - 1;
                emit(cols[k], factors[k]);
            }
        }
        return;
    }
    const double* roots = basis.orbit_roots();
    for (const FlipGroup& group : groups_) {
        const std::uint64_t x = r ^ group.flip;
        Complex b(0.0, 0.0);
        for (const Word& w : group.words) b = add_signed(b, w.coeff, w.sign_mask & x);
        if (b.real() == 0.0 && b.imag() == 0.0) continue;
        const SectorBasis::Location at = basis.locate(x);
        if (at.index == SectorBasis::npos) continue;
        const Complex c = multiply(b, basis.group().character(at.element));
        const double ratio = roots[i] / roots[at.index];
        emit(at.index, Complex(c.real() * ratio, c.imag() * ratio));
    }
}

std::uint64_t SectorOperator::product_work() const {
    const std::uint64_t per_row = images_.empty() ? basis_->group().order() : 1;
    return basis_->size() * std::max<std::uint64_t>(words_, 1) * per_row;
}

// Rows from kept images. Each row's sum is one chain of dependent additions;
// four rows are summed side by side, term t of each in turn, up to the
// shortest row's length, then each finishes alone. Every row still adds its
// terms in order, so the bytes are those of one row at a time.
template <class Term>
void SectorOperator::kept_rows(const ImageChunk& chunk, Complex* w,
                               std::uint64_t b, std::uint64_t e, Term&& term) const {
    std::uint64_t i = b;
    for (; i + 4 <= e; i += 4) {
        const std::uint32_t* starts = chunk.starts.data() + (i - b);

        const std::uint32_t f0 = starts[0], f1 = starts[1], f2 = starts[2], f3 = starts[3];
        const std::uint32_t l0 = starts[1] - f0, l1 = starts[2] - f1, l2 = starts[3] - f2,
                            l3 = starts[4] - f3;
        const std::uint32_t common = std::min(std::min(l0, l1), std::min(l2, l3));
        Complex a0(0.0, 0.0), a1(0.0, 0.0), a2(0.0, 0.0), a3(0.0, 0.0);
        for (std::uint32_t t = 0; t < common; ++t) {
            a0 = term(a0, f0 + t);
            a1 = term(a1, f1 + t);
            a2 = term(a2, f2 + t);
            a3 = term(a3, f3 + t);
        }
        for (std::uint32_t t = common; t < l0; ++t) a0 = term(a0, f0 + t);
        for (std::uint32_t t = common; t < l1; ++t) a1 = term(a1, f1 + t);
        for (std::uint32_t t = common; t < l2; ++t) a2 = term(a2, f2 + t);
        for (std::uint32_t t = common; t < l3; ++t) a3 = term(a3, f3 + t);
        w[i] = a0;
        w[i + 1] = a1;
        w[i + 2] = a2;
        w[i + 3] = a3;
    }
    for (; i < e; ++i) {
        Complex acc(0.0, 0.0);
        for (std::uint32_t t = chunk.starts[i - b]; t < chunk.starts[i - b + 1]; ++t) {
            acc = term(acc, t);
        }
        w[i] = acc;
    }
}

void SectorOperator::apply_offdiagonal(const Complex* v, Complex* w, std::int32_t threads) {
    const std::uint64_t size = basis_->size();
    const Policy policy = Policy::for_work(threads, product_work());
    if (!images_.empty()) {
        policy.for_each_chunk(size, rows_per_chunk, [&](std::uint64_t b, std::uint64_t e) {
            const ImageChunk& chunk = images_[b / rows_per_chunk];
            if (real_) {
                real_rows(chunk.starts.data(), chunk.cols.data(), chunk.real_factors.data(), v, w,
                          b, e, false);
            } else {
                kept_rows(chunk, w, b, e, [&](Complex acc, std::uint32_t t) {
                    return add(acc, multiply(chunk.factors[t], v[chunk.cols[t]]));
                });
            }
        });
        return;
    }
    policy.for_each_chunk(size, rows_per_chunk, [&](std::uint64_t b, std::uint64_t e) {
        Scratch scratch(groups_.size());
        for_rows(b, e, [&](std::uint64_t i) {
            Complex acc(0.0, 0.0);
            row_terms(i, scratch, [&](std::uint64_t col, Complex factor) {
                acc = real_ ? add_scaled(acc, factor.real(), v[col])
                            : add(acc, multiply(factor, v[col]));
            });
            w[i] = acc;
        });
    });
}

void SectorOperator::add_offdiagonal(const Complex* v, Complex* w, std::int32_t threads) {
    if (images_.empty() || !real_) {
        KrylovOperator::add_offdiagonal(v, w, threads);
        return;
    }
    Policy::for_work(threads, product_work())
        .for_each_chunk(basis_->size(), rows_per_chunk, [&](std::uint64_t b, std::uint64_t e) {
            const ImageChunk& chunk = images_[b / rows_per_chunk];
            real_rows(chunk.starts.data(), chunk.cols.data(), chunk.real_factors.data(), v, w, b,
                      e, true);
        });
}

void SectorOperator::apply(const Complex* v, Complex* w, std::int32_t threads) {
    const std::uint64_t size = basis_->size();
    apply_offdiagonal(v, w, threads);
    const double* d = diagonal();
    const double mu = mu_;
    Policy::for_work(threads, size * sweep_entry_work)
        .for_each_chunk(size, rows_per_chunk, [&](std::uint64_t b, std::uint64_t e) {
            for (std::uint64_t i = b; i < e; ++i) {
                Complex out = w[i];
                if (d != nullptr) out = add(out, Complex(d[i] * v[i].real(), d[i] * v[i].imag()));
                out = add(out, Complex(mu * v[i].real(), mu * v[i].imag()));
                w[i] = out;
            }
        });
}

Complex SectorOperator::expectation(const Complex* v, std::int32_t threads) {
    const std::uint64_t size = basis_->size();
    std::unique_ptr<Complex[]> w(new Complex[size]);
    apply(v, w.get(), threads);
    const Complex* hv = w.get();
    return chunked_complex_sum(size, threads, [&](std::uint64_t b, std::uint64_t e) {
        Complex s(0.0, 0.0);
        for (std::uint64_t i = b; i < e; ++i) s = add(s, multiply(std::conj(v[i]), hv[i]));
        return s;
    });
}

void SectorOperator::entries(std::vector<std::uint64_t>& rows, std::vector<std::uint64_t>& cols,
                             std::vector<Complex>& values) const {
    const double* d = diagonal();
    Scratch scratch(groups_.size());
    for (std::uint64_t i = 0; i < basis_->size(); ++i) {
        row_terms(i, scratch, [&](std::uint64_t col, Complex factor) {
            rows.push_back(i);
            cols.push_back(col);
            values.push_back(factor);
        });
        const double diag = (d != nullptr ? d[i] : 0.0) + mu_;
        if (diag != 0.0) {
            rows.push_back(i);
            cols.push_back(i);
            values.emplace_back(diag, 0.0);
        }
    }
}

std::uint64_t SectorOperator::image_bytes_bound() const {
    const std::uint64_t size = basis_->size();
    if (size >= std::numeric_limits<std::uint32_t>::max()) return 0;
    const std::uint64_t chunks = (size + rows_per_chunk - 1) / rows_per_chunk;
    return size * groups_.size() * (sizeof(std::uint32_t) + (real_ ? sizeof(double) : sizeof(Complex))) +
           (size + chunks) * sizeof(std::uint32_t);
}

void SectorOperator::keep_images(std::int32_t threads) {
    if (!images_.empty() || groups_.empty()) return;
    const std::uint64_t size = basis_->size();
    if (size >= std::numeric_limits<std::uint32_t>::max()) {
        throw std::invalid_argument("a sector of more than 2^32 - 2 states cannot keep its images");
    }
    std::vector<ImageChunk> chunks((size + rows_per_chunk - 1) / rows_per_chunk);
    bool failed = false;
    Policy::for_work(threads, product_work())
        .for_each_chunk(size, rows_per_chunk, [&](std::uint64_t b, std::uint64_t e) {
            ImageChunk& chunk = chunks[b / rows_per_chunk];
            try {
                chunk.starts.reserve(e - b + 1);
                chunk.starts.push_back(0);
                Scratch scratch(groups_.size());
                for_rows(b, e, [&](std::uint64_t i) {
                    row_terms(i, scratch, [&](std::uint64_t col, Complex factor) {
                        chunk.cols.push_back(static_cast<std::uint32_t>(col));
                        if (real_) {
                            chunk.real_factors.push_back(factor.real());
                        } else {
                            chunk.factors.push_back(factor);
                        }
                    });
                    chunk.starts.push_back(static_cast<std::uint32_t>(chunk.cols.size()));
                });
                chunk.cols.shrink_to_fit();
                chunk.factors.shrink_to_fit();
                chunk.real_factors.shrink_to_fit();
            } catch (...) {
#pragma omp atomic write
                failed = true;
            }
        });
    if (failed) throw std::bad_alloc();
    std::uint64_t bytes = 0;
    for (const ImageChunk& c : chunks) {
        bytes += c.starts.size() * sizeof(std::uint32_t) + c.cols.size() * sizeof(std::uint32_t) +
                 c.factors.size() * sizeof(Complex) + c.real_factors.size() * sizeof(double);
    }
    images_ = std::move(chunks);
    image_bytes_ = bytes;
}

}  // namespace velmora
