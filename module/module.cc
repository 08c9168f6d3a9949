// The _velmora extension module: the classes PauliWord and Hamiltonian and the
// function evolve.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/complex.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "evolution/evolve.h"
#include "module/casters.h"
#include "pauli/hamiltonian.h"
#include "pauli/pauli_word.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using velmora::Complex;
using velmora_module::ThreadCount;
using velmora_module::Utf8Text;
using velmora_module::WordList;

/// A state vector coming in: read in place when it is a contiguous 1-D
/// complex128 host array, converted to one otherwise.
using StateIn = nb::ndarray<const Complex, nb::shape<-1>, nb::c_contig, nb::device::cpu>;

/// A state vector going out: a NumPy array over a buffer the core allocated.
using StateOut = nb::ndarray<nb::numpy, Complex, nb::shape<-1>, nb::c_contig>;

void free_state(void* buffer) noexcept {
    std::free(buffer);  // the core's buffers come from std::aligned_alloc
}

StateOut evolve(const velmora::Hamiltonian& ham, StateIn psi, Complex coeff,
                ThreadCount num_threads) {
    const std::uint64_t n = velmora::state_size(ham);
    const std::size_t length = psi.shape(0);
    if (length != n) {
        throw std::invalid_argument(
            "psi has " + std::to_string(length) + " amplitudes, but the Hamiltonian acts on " +
            std::to_string(ham.num_qubits()) + " qubits and needs 2^" +
            std::to_string(ham.num_qubits()) + " = " + std::to_string(n));
    }
    velmora::Buffer<Complex> result = ham.evolve(psi.data(), coeff, num_threads.value);

    // The capsule takes the buffer over only once it exists; if creating it
    // fails, `result` still owns the buffer and frees it.
    nb::capsule owner(result.get(), free_state);
    Complex* data = result.release();
    return StateOut(data, {length}, owner);
}

}  // namespace

NB_MODULE(_velmora, m) {
    m.attr("__doc__") = "Velmora C++ core bindings";

    nb::class_<velmora::PauliWord>(m, "PauliWord")
        .def(
            "__init__",
            [](velmora::PauliWord* self, Complex coeff, Utf8Text string) {
                if (string.out_of_memory) {
                    throw std::bad_alloc();
                }
                new (self) velmora::PauliWord(coeff, std::move(string.bytes));
            },
            "coeff"_a, "string"_a);

    nb::class_<velmora::Hamiltonian>(m, "Hamiltonian")
        .def(
            "__init__",
            [](velmora::Hamiltonian* self, WordList pauli_words) {
                if (pauli_words.out_of_memory) {
                    throw std::bad_alloc();
                }
                new (self) velmora::Hamiltonian(std::move(pauli_words.words));
            },
            "pauli_words"_a);

    m.def("evolve", &evolve, "ham"_a, "psi"_a, "coeff"_a, "num_threads"_a);
}
