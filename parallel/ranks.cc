#include "parallel/ranks.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "parallel/reduce.h"

namespace velmora {

Ranks::Ranks(Transport& transport, unsigned bits, std::uint64_t rank, std::uint64_t slice)
    : transport_(transport), bits_(bits), rank_(rank), slice_(slice) {
    if (bits > 30 || rank >= (std::uint64_t{1} << bits)) {
        throw std::invalid_argument("rank " + std::to_string(rank) + " is not one of 2^" +
                                    std::to_string(bits) + " ranks");
    }
    if (slice == 0 || (slice & (slice - 1)) != 0 || (bits > 0 && slice < reduction_chunk)) {
        throw std::invalid_argument("a slice must hold a power of two of at least " +
                                    std::to_string(reduction_chunk) + " amplitudes, got " +
                                    std::to_string(slice));
    }
}

Ranks::~Ranks() {
    // An exchange still in flight means a run failed between its start and
    // its end. Waiting for it could wait forever (the partner may have
    // failed too), and releasing its buffer would let a late message land in
    // freed memory; the buffer is left to the transport's pending receive
    // instead, and the caller ends the job.
    for (int slot = 0; slot < 2; ++slot) {
        if (in_flight_[slot]) {
            static_cast<void>(buffers_[slot].release());
        }
    }
}

double Ranks::sum(double local) {
    if (bits_ == 0) {
        return local;
    }
    std::vector<double> all(count());
    transport_.all_gather(&local, 1, all.data());
    return pairwise_sum(all.data(), all.size(), [](double a, double b) { return a + b; });
}

Complex Ranks::sum(Complex local) {
    if (bits_ == 0) {
        return local;
    }
    const double parts[2] = {local.real(), local.imag()};
    std::vector<double> all(2 * count());
    transport_.all_gather(parts, 2, all.data());
    std::vector<Complex> values(count());
    for (std::uint64_t r = 0; r < count(); ++r) {
        values[r] = Complex(all[2 * r], all[2 * r + 1]);
    }
    return pairwise_sum(values.data(), values.size(), [](Complex a, Complex b) { return add(a, b); });
}

double Ranks::max(double local) {
    if (bits_ == 0) {
        return local;
    }
    std::vector<double> all(count());
    transport_.all_gather(&local, 1, all.data());
    double m = all[0];
    for (double v : all) {
        if (v > m) m = v;
    }
    return m;
}

void Ranks::start_exchange(std::uint64_t pattern, const Complex* send, int slot) {
    if (pattern == 0 || pattern >= count() || (slot != 0 && slot != 1) || in_flight_[slot]) {
        throw std::logic_error("bad exchange request");
    }
    if (!buffers_[slot]) {
        buffers_[slot] = std::make_unique<Complex[]>(slice_);
    }
    transport_.start_exchange(rank_ ^ pattern, send, buffers_[slot].get(), slice_, slot);
    in_flight_[slot] = true;
}

const Complex* Ranks::finish_exchange(int slot) {
    if ((slot != 0 && slot != 1) || !in_flight_[slot]) {
        throw std::logic_error("no exchange in flight in this slot");
    }
    in_flight_[slot] = false;
    transport_.finish_exchange(slot);
    return buffers_[slot].get();
}

std::uint64_t Ranks::buffer_bytes() const {
    return (buffers_[0] ? slice_ * sizeof(Complex) : 0) + (buffers_[1] ? slice_ * sizeof(Complex) : 0);
}

}  // namespace velmora
