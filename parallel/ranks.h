#pragma once

// Processes sharing one state vector.
//
// 2^bits processes (ranks) hold a vector of 2^num_qubits amplitudes between
// them: rank r holds the slice of the amplitudes whose top `bits` index bits
// equal r, so amplitude x of the slice is amplitude r * slice + x of the
// vector. A word whose flip mask has high bits h maps the slice of rank r to
// the slice of rank r ^ h: applying it needs that partner's slice, obtained by
// an exchange (both partners send and receive at once).
//
// Sums over the vector keep the bits of the single-process sums of
// parallel/reduce.h: a slice is a whole number of chunks (a power of two of
// them), so the top levels of the pairwise tree over all chunks are exactly
// the tree over the ranks' partial sums, which every rank forms in the same
// order from the gathered values.

#include <cstdint>
#include <memory>

#include "base/complex.h"

namespace velmora {

/// The messages between the ranks, provided by the caller (e.g. over MPI).
/// Every rank makes the same sequence of calls. Failures are exceptions.
class Transport {
public:
    virtual ~Transport() = default;
    /// all[r * count + j] = values[j] of rank r, for every rank r, on every rank.
    virtual void all_gather(const double* values, std::size_t count, double* all) = 0;
    /// Starts sending count amplitudes of `send` to rank `partner` and
    /// receiving as many from it into `recv` (exchange slot 0 or 1; at most one
    /// exchange per slot is in flight). Both buffers stay untouched until
    /// finish_exchange(slot).
    virtual void start_exchange(std::uint64_t partner, const Complex* send, Complex* recv,
                                std::uint64_t count, int slot) = 0;
    /// Waits until the exchange of `slot` has completed.
    virtual void finish_exchange(int slot) = 0;
};

class Ranks;

/// A rank's partial value summed over the ranks; the value itself without
/// ranks (one process holds the whole vector).
template <class T>
T sum_over_ranks(T local, Ranks* ranks);

/// One rank's view of the processes sharing a vector, with the (at most two)
/// buffers that receive partners' slices.
class Ranks {
public:
    /// This process is `rank` of 2^bits, holding `slice` amplitudes (a power
    /// of two, at least one chunk of parallel/reduce.h when bits > 0).
    /// Throws std::invalid_argument otherwise.
    Ranks(Transport& transport, unsigned bits, std::uint64_t rank, std::uint64_t slice);
    Ranks(const Ranks&) = delete;
    Ranks& operator=(const Ranks&) = delete;
    /// Releases the buffers, except one an exchange still in flight (after
    /// a failure) may write to: that one is left allocated.
    ~Ranks();

    unsigned bits() const { return bits_; }
    std::uint64_t rank() const { return rank_; }
    std::uint64_t count() const { return std::uint64_t{1} << bits_; }
    std::uint64_t slice() const { return slice_; }
    /// Index of the first amplitude of this rank's slice in the whole vector.
    std::uint64_t offset() const { return rank_ * slice_; }

    /// The sum over the ranks of each rank's `local` value, in the pairwise
    /// tree over the ranks: the same bits on every rank.
    double sum(double local);
    Complex sum(Complex local);
    /// The largest of the ranks' values (compared with >, from rank 0's on).
    double max(double local);

    /// Starts receiving the slice of rank ^ pattern into buffer(slot) while
    /// sending `send` (this rank's slice of the same vector) to it.
    void start_exchange(std::uint64_t pattern, const Complex* send, int slot);
    /// Waits for it; then buffer(slot) holds the partner's slice.
    const Complex* finish_exchange(int slot);

    /// Bytes of the exchange buffers allocated so far.
    std::uint64_t buffer_bytes() const;

private:
    Transport& transport_;
    unsigned bits_;
    std::uint64_t rank_;
    std::uint64_t slice_;
    std::unique_ptr<Complex[]> buffers_[2];
    bool in_flight_[2] = {false, false};
};

template <class T>
T sum_over_ranks(T local, Ranks* ranks) {
    return ranks != nullptr ? ranks->sum(local) : local;
}

}  // namespace velmora
