// velmora._native: the compiled part of the velmora package. It holds a
// compiled Pauli sum and applies it with the core's kernels; unlike the
// _velmora module it copies its inputs and releases the interpreter lock for
// the numerical work.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/complex.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "evolution/evolve.h"
#include "evolution/lanczos.h"
#include "pauli/hamiltonian.h"
#include "pauli/team.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using velmora::Complex;

using StateIn = nb::ndarray<const Complex, nb::shape<-1>, nb::c_contig, nb::device::cpu>;
using CoeffsIn = nb::ndarray<const Complex, nb::shape<-1>, nb::c_contig, nb::device::cpu>;
using StateOut = nb::ndarray<nb::numpy, Complex, nb::shape<-1>, nb::c_contig>;

/// A Pauli sum compiled for the application kernels. The labels arrive as one
/// byte string of num_terms * num_qubits letters (already checked by the
/// Python layer) and the coefficients as an array.
class PauliOperator {
public:
    PauliOperator(nb::bytes labels, std::uint64_t num_qubits, CoeffsIn coeffs)
        : ham_(compile(labels, num_qubits, coeffs)) {}

    std::uint64_t num_qubits() const { return ham_.num_qubits(); }
    const velmora::Hamiltonian& hamiltonian() const { return ham_; }

private:
    static velmora::Hamiltonian compile(nb::bytes labels, std::uint64_t num_qubits,
                                        CoeffsIn coeffs) {
        const std::size_t count = coeffs.shape(0);
        if (num_qubits == 0 || labels.size() != count * num_qubits) {
            throw std::invalid_argument("labels must hold num_qubits letters for every coefficient");
        }
        std::vector<velmora::PauliWord> words;
        words.reserve(count);
        for (std::size_t t = 0; t < count; ++t) {
            words.emplace_back(coeffs(t), std::string(labels.c_str() + t * num_qubits, num_qubits));
        }
        return velmora::Hamiltonian(std::move(words));
    }

    velmora::Hamiltonian ham_;
};

void free_state(void* buffer) noexcept {
    delete[] static_cast<Complex*>(buffer);
}

StateOut hand_over(std::unique_ptr<Complex[]> buffer, std::size_t length) {
    nb::capsule owner(buffer.get(), free_state);
    return StateOut(buffer.release(), {length}, owner);
}

/// The number of amplitudes the operator's states have; psi must match.
std::uint64_t checked_size(const PauliOperator& op, const StateIn& psi) {
    const std::uint64_t n = velmora::state_size(op.hamiltonian());
    if (psi.shape(0) != n) {
        throw std::invalid_argument("psi has " + std::to_string(psi.shape(0)) +
                                    " amplitudes, but the operator needs " + std::to_string(n));
    }
    return n;
}

/// A private copy of psi, taken while the interpreter lock is held, so that
/// the numerical work that follows never reads memory Python code may change.
std::unique_ptr<Complex[]> copy_state(const StateIn& psi, std::uint64_t n) {
    std::unique_ptr<Complex[]> copy = std::make_unique<Complex[]>(n);
    std::memcpy(copy.get(), psi.data(), n * sizeof(Complex));
    return copy;
}

void apply_with(const velmora::Hamiltonian& ham, const Complex* in, Complex* out,
                std::int32_t num_threads) {
    if (num_threads == 0) {
        ham.apply(in, out);
    } else {
        ham.apply_parallel(in, out, num_threads);
    }
}

StateOut apply(const PauliOperator& op, StateIn psi, std::int32_t num_threads) {
    const std::uint64_t n = checked_size(op, psi);
    std::unique_ptr<Complex[]> in = copy_state(psi, n);
    std::unique_ptr<Complex[]> out;
    {
        nb::gil_scoped_release released;
        velmora::prepare_team(num_threads);
        out = std::make_unique<Complex[]>(n);
        apply_with(op.hamiltonian(), in.get(), out.get(), num_threads);
    }
    return hand_over(std::move(out), n);
}

Complex expectation(const PauliOperator& op, StateIn psi, std::int32_t num_threads) {
    const std::uint64_t n = checked_size(op, psi);
    std::unique_ptr<Complex[]> in = copy_state(psi, n);
    nb::gil_scoped_release released;
    velmora::prepare_team(num_threads);
    std::unique_ptr<Complex[]> h_psi = std::make_unique<Complex[]>(n);
    apply_with(op.hamiltonian(), in.get(), h_psi.get(), num_threads);
    return velmora::inner_product(in.get(), h_psi.get(), n);
}

}  // namespace

NB_MODULE(_native, m) {
    m.attr("__doc__") = "Compiled kernels of the velmora package";

    nb::class_<PauliOperator>(m, "PauliOperator")
        .def(nb::init<nb::bytes, std::uint64_t, CoeffsIn>(), "labels"_a, "num_qubits"_a,
             "coeffs"_a,
             "A Pauli sum compiled for the kernels: `labels` holds num_qubits letters per "
             "coefficient, the last letter of each acting on qubit 0.")
        .def_prop_ro("num_qubits", &PauliOperator::num_qubits);

    m.def("apply", &apply, "op"_a, "psi"_a, "num_threads"_a,
          "H @ psi as a new array (same bits for every num_threads; 0 = calling thread).");
    m.def("expectation", &expectation, "op"_a, "psi"_a, "num_threads"_a,
          "<psi|H|psi>, not normalised, summed in index order.");
}
