#include "pauli/hamiltonian.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace velmora {
namespace {

TEST(Hamiltonian, KeepsWordsInOrderWithRepeatsAndZeros) {
    const PauliWord a(1.0, "XZ");
    const PauliWord b(0.0, "ZZ");
    const Hamiltonian ham({a, b, a});
    ASSERT_EQ(ham.words().size(), 3u);
    EXPECT_EQ(ham.words()[0].string, "XZ");
    EXPECT_EQ(ham.words()[1].string, "ZZ");
    EXPECT_EQ(ham.words()[1].coeff, Complex(0.0, 0.0));
    EXPECT_EQ(ham.words()[2].string, "XZ");
    EXPECT_EQ(Hamiltonian({PauliWord(1.0, "ZZZ")}).num_qubits(), 3u);
    EXPECT_EQ(Hamiltonian({}).num_qubits(), 0u);
}

TEST(Hamiltonian, RefusesWordsOfDifferentLengths) {
    try {
        Hamiltonian({PauliWord(1.0, "XX"), PauliWord(1.0, "ZZ"), PauliWord(1.0, "ZZZ")});
        FAIL() << "mixed lengths were accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(),
                     "all words of a Hamiltonian need strings of the same length: word 2 has 3 "
                     "bytes, but word 0 has 2");
    }
}

}  // namespace
}  // namespace velmora
