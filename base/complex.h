#pragma once

#include <complex>

namespace velmora {

/// A complex amplitude: two binary64 values, real part first (16 bytes).
/// Arithmetic on it is always written out with `multiply` and friends, never
/// with the `std::complex` operators, whose multiplication adds a NaN
/// recovery step and leaves the operation order to the library.
using Complex = std::complex<double>;

/// The plain four-product complex product (ac - bd, ad + bc) of a = a.re + i a.im
/// and b = b.re + i b.im. No product is skipped, even where a factor is zero.
inline Complex multiply(Complex a, Complex b) {
    return Complex(a.real() * b.real() - a.imag() * b.imag(),
                   a.real() * b.imag() + a.imag() * b.real());
}

/// Both parts of `v` divided by the real `d` (true divisions, no reciprocal).
inline Complex divide(Complex v, double d) {
    return Complex(v.real() / d, v.imag() / d);
}

/// Part by part sum a + b.
inline Complex add(Complex a, Complex b) {
    return Complex(a.real() + b.real(), a.imag() + b.imag());
}

/// Part by part difference a - b.
inline Complex subtract(Complex a, Complex b) {
    return Complex(a.real() - b.real(), a.imag() - b.imag());
}

}  // namespace velmora
