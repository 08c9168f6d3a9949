#include "pauli/pauli_word.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora {
namespace {

struct MaskCase {
    std::string name;
    std::string letters;
    std::uint64_t num_qubits;
    std::uint64_t flip_mask;
    std::uint64_t y_mask;
    std::uint64_t z_mask;
};

class MaskTable : public ::testing::TestWithParam<MaskCase> {};

TEST_P(MaskTable, CompilesMasksFromLetters) {
    const MaskCase& c = GetParam();
    const PauliWord word(Complex(0.5, -2.0), c.letters);
    EXPECT_EQ(word.num_qubits(), c.num_qubits);
    EXPECT_EQ(word.term.flip_mask, c.flip_mask);
    EXPECT_EQ(word.term.y_mask, c.y_mask);
    EXPECT_EQ(word.term.z_mask, c.z_mask);
    EXPECT_EQ(word.term.string, c.letters);
    EXPECT_EQ(word.term.coeff, Complex(0.5, -2.0));
}

INSTANTIATE_TEST_SUITE_P(
    Words, MaskTable,
    ::testing::Values(
        MaskCase{"XYZI", "XYZI", 4, 12, 4, 2},
        MaskCase{"IIX", "IIX", 3, 1, 0, 0},
        MaskCase{"ZZ", "ZZ", 2, 0, 0, 3},
        MaskCase{"YY", "YY", 2, 3, 3, 0},
        MaskCase{"LowerCase", "xyz", 3, 0, 0, 0},
        MaskCase{"Digits", "0123", 4, 0, 0, 0},
        MaskCase{"IdentityOnly", "IIII", 4, 0, 0, 0},
        MaskCase{"Utf8TwoByteLetter", "X\xc3\xa9", 3, 4, 0, 0},
        MaskCase{"EmbeddedNul", std::string("X\0Z", 3), 3, 4, 0, 1},
        MaskCase{"Empty", "", 0, 0, 0, 0},
        MaskCase{"ZFirstOf64", "Z" + std::string(63, 'I'), 64, 0, 0, std::uint64_t{1} << 63},
        MaskCase{"YLastOf64", std::string(63, 'I') + "Y", 64, 1, 1, 0},
        // Past 64 letters the leading letters have no bit of their own.
        MaskCase{"XBeyond64", "X" + std::string(64, 'I'), 65, 0, 0, 0},
        MaskCase{"ZAt63Of70", "ZZZZZZZ" + std::string(63, 'I'), 70, 0, 0,
                 std::uint64_t{1} << 63}),
    [](const ::testing::TestParamInfo<MaskCase>& info) { return info.param.name; });

TEST(PauliWord, CopyKeepsEveryField) {
    const PauliWord original(Complex(1.5, -0.25), "XYZIY");
    const PauliWord copy = original;
    EXPECT_EQ(copy.coeff, original.coeff);
    EXPECT_EQ(copy.string, original.string);
    EXPECT_EQ(copy.term.coeff, original.term.coeff);
    EXPECT_EQ(copy.term.string, original.term.string);
    EXPECT_EQ(copy.term.flip_mask, original.term.flip_mask);
    EXPECT_EQ(copy.term.y_mask, original.term.y_mask);
    EXPECT_EQ(copy.term.z_mask, original.term.z_mask);
}

}  // namespace
}  // namespace velmora
