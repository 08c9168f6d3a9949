#pragma once

// A Pauli sum applied one pass per flip mask.
//
// The words that flip the same qubits (flip mask m) all map input amplitude i
// to output i ^ m, so their contributions to an output entry add up to
//
//   g_m(i) v[i],   g_m(i) = sum_k e_k (-1)^popcount(s_k & i),
//
// with e_k = c_k i^popcount(y_k) (the even weight of word k, formed as the
// word kernels form it) and s_k = y_k | z_k its sign mask. Writing s_k = s_0 ^
// d_k (s_0 the first word's), g_m(i) = (-1)^popcount(s_0 & i) T(i & D) with D
// the union of the d_k: T is a table over the 2^popcount(D) patterns of the
// bits D, each entry the sum over the words, in their order, of +-e_k (signs
// are exact, so every entry's bits are fixed by the words). One pass per
// group then costs about one word of the word-by-word kernels, whatever the
// number of words in it: the 8-14 words per flip mask of a molecular
// Hamiltonian, XX + YY on a bond.
//
// A group is a run of words with one flip mask whose differing sign bits
// above the lowest three (where the chunks' lanes take them) number at most
// max_spread_bits, so that its table stays small; a flip mask with more
// becomes several consecutive groups. The partition depends on the words
// alone (so the bytes are the same for every number of threads and
// processes).
//
// The product: out[j] += g(i) v[i] for i = j ^ m, group after group in
// order, the complex product written out (b.re = g.re v.re - g.im v.im,
// b.im = g.re v.im + g.im v.re, then out = b + out), or, for a group whose
// table is real, b = (g.re v.re, g.re v.im). A factor that is exactly zero
// (both parts) adds nothing: its term is skipped, as a sparse matrix has no
// entry there (so an infinite amplitude does not turn into a NaN through a
// zero factor). Sums of words that cancel on part of the indices are common
// (XX + YY vanishes on equal neighbours; a molecular excitation on all but
// one or two of the 16 occupations of its four orbitals), and the chunks
// whose factors all vanish are not read at all. Every instruction set's body
// performs these operations, so the bytes are those of the scalar reference.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/complex.h"
#include "pauli/isa.h"
#include "pauli/pauli_word.h"

namespace velmora {

/// One word as the grouped product sees it: flip mask, sign mask y | z, and
/// the even weight c i^popcount(y).
struct GroupTerm {
    std::uint64_t flip;
    std::uint64_t sign;
    Complex weight;
};

/// The term of a compiled word.
GroupTerm group_term(const PauliTerm& term);

/// Differing sign bits above bit 2 that a group may have: its chunk table
/// then holds at most 64 entries of 8 amplitudes.
inline constexpr int max_spread_bits = 6;

/// Amplitudes per chunk of the vectorised bodies.
inline constexpr std::uint64_t group_chunk = 8;

/// Where each group of `terms` starts, for terms sorted by flip mask (stably:
/// within a mask, the order is the sum's): a new group at every new mask and
/// wherever the next term would take the group's differing sign bits above
/// bit 2 beyond max_spread_bits. The last entry is terms.size().
std::vector<std::size_t> group_starts(const std::vector<GroupTerm>& terms);

struct FlipGroup {
    std::uint64_t flip = 0;
    std::uint64_t sign = 0;    // s_0
    std::uint64_t spread = 0;  // D
    bool real = false;         // every table entry has a zero imaginary part
    std::uint64_t words = 0;   // words summed into the table
    /// T, indexed by the bits of i under D gathered to the low end (pext).
    std::vector<Complex> table;
    /// The chunk planes: for each pattern h of the bits of D above bit 2 and
    /// each parity p of s_0's bits above bit 2 (plane 2 h + p), the factors
    /// of the 8 output lanes a of a chunk (whose input lane is a ^ (flip &
    /// 7)), each part doubled for the interleaved bodies: re re (8 x 2),
    /// then, unless real, im im (8 x 2).
    std::vector<double> planes;
    /// Per plane: 0 when every factor is zero (the chunk is skipped), 1 when
    /// none is, 2 when some are (their lanes are left as they are).
    std::vector<std::uint8_t> plane_class;
    std::uint64_t high_spread() const { return spread & ~std::uint64_t{7}; }
    std::uint64_t high_sign() const { return sign & ~std::uint64_t{7}; }
    std::size_t plane_doubles() const { return real ? 16 : 32; }
};

/// The groups of a sum, ready to apply to states of n amplitudes.
class FlipGroups {
public:
    FlipGroups() = default;
    /// From terms sorted by flip mask and the partition of group_starts (or
    /// one derived from another sum's, as the product over ranks does);
    /// masks must be below n.
    FlipGroups(const std::vector<GroupTerm>& terms, const std::vector<std::size_t>& starts,
               std::uint64_t n, KernelIsa isa);

    const std::vector<FlipGroup>& groups() const { return groups_; }
    bool empty() const { return groups_.empty(); }
    std::uint64_t num_amplitudes() const { return n_; }
    std::uint64_t num_words() const { return words_; }
    KernelIsa isa() const { return isa_; }

    /// out[s] (+)= H in[s] for count states of n amplitudes each (no output
    /// overlapping an input or another output); `accumulate` continues each
    /// entry's sum from the value it holds instead of +0.0. The same bytes
    /// for every count, num_threads (0: the calling thread) and instruction
    /// set.
    void apply(const Complex* const* in, Complex* const* out, std::size_t count,
               std::int32_t num_threads, bool accumulate) const;
    void apply(const Complex* in, Complex* out, std::int32_t num_threads, bool accumulate) const {
        apply(&in, &out, 1, num_threads, accumulate);
    }

    /// The same with the scalar reference body alone (for tests).
    void apply_reference(const Complex* in, Complex* out, bool accumulate) const;

private:
    std::vector<FlipGroup> groups_;
    std::uint64_t n_ = 0;
    std::uint64_t words_ = 0;
    KernelIsa isa_ = KernelIsa::generic;
};

/// The groups of `words` in their given order, sorted stably by flip mask, on
/// states of n amplitudes: every word of the sum, diagonal and identity words
/// included (flip mask 0).
FlipGroups group_words(const PauliWord* words, std::size_t count, std::uint64_t n,
                       KernelIsa isa);

}  // namespace velmora
