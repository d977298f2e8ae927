// The few operations where plain and taped complex arithmetic must differ.
//
// Element equations are written once as templates on the complex scalar S: `Complex` for plain
// evaluation and sweeps, `ADComplex` for recording the tape. Plain division and magnitude follow
// the standard library (scaled, with its handling of infinities); taped ones use the textbook
// formulas, which record no comparisons.
#pragma once

#include <cmath>
#include <numbers>

#include "core/linked.hpp"

namespace tarvelo {

// The real scalar that goes with a complex scalar.
template <class S>
using RealOf = typename S::value_type;

// How the taped forms are written: every operation on a variable is paid at every Jacobian,
// once per colour, while operations among parameters alone are worked out once per solve. So a
// taped helper puts what it can among the parameters, records no operation that a constant
// decides (a product by 0 or 1, a sum with 0), and writes a negation as a subtraction from the
// constant 0, which the tape optimiser folds into the sum that takes it (it keeps a negation as
// an operation of its own).

// Whether z holds an unknown of the tape being recorded (false for parameters, and always false
// when nothing is recorded).
inline bool is_variable(const ADComplex& z) {
  return CppAD::Variable(z.real()) || CppAD::Variable(z.imag());
}

// a / b.
inline Complex divide(const Complex& a, const Complex& b) {
  return a / b;
}
inline ADComplex divide(const ADComplex& a, const ADComplex& b) {
  const AD norm = b.real() * b.real() + b.imag() * b.imag();
  if (!is_variable(b)) {
    // a r with r = conj(b) / |b|^2 worked out among the parameters: one complex product.
    const ADComplex r(b.real() / norm, -b.imag() / norm);
    return a * r;
  }
  // a conj(b) / |b|^2
  return ADComplex((a.real() * b.real() + a.imag() * b.imag()) / norm,
                   (a.imag() * b.real() - a.real() * b.imag()) / norm);
}

// conj(a / b), the current that draws the power a at the voltage b.
inline Complex conj_divide(const Complex& a, const Complex& b) {
  return std::conj(a / b);
}
inline ADComplex conj_divide(const ADComplex& a, const ADComplex& b) {
  const AD norm = b.real() * b.real() + b.imag() * b.imag();
  if (!is_variable(b)) {
    // conj(a) c with c = conj(r) = b / |b|^2 worked out among the parameters.
    const ADComplex c(b.real() / norm, b.imag() / norm);
    return ADComplex(a.real() * c.real() + a.imag() * c.imag(),
                     a.real() * c.imag() - a.imag() * c.real());
  }
  // conj(a) b / |b|^2
  return ADComplex((a.real() * b.real() + a.imag() * b.imag()) / norm,
                   (a.real() * b.imag() - a.imag() * b.real()) / norm);
}

// -z.
inline Complex negated(const Complex& z) {
  return -z;
}
inline ADComplex negated(const ADComplex& z) {
  return ADComplex(AD(0.0) - z.real(), AD(0.0) - z.imag());
}

// sum + c v for a constant real c. The taped form records nothing for c = 0 and a plain sum for
// c = 1 (CppAD leaves out products by a constant 0 or 1 and sums with a constant 0), and a
// difference for c = -1; the plain form keeps the product (0 v is NaN for a non-finite v).
inline Complex add_scaled(const Complex& sum, double c, const Complex& v) {
  return sum + c * v;
}
inline ADComplex add_scaled(const ADComplex& sum, double c, const ADComplex& v) {
  if (c == -1.0) return sum - v;
  return sum + ADComplex(c * v.real(), c * v.imag());
}

inline double magnitude(const Complex& z) {
  return std::abs(z);
}
inline AD magnitude(const ADComplex& z) {
  return CppAD::sqrt(z.real() * z.real() + z.imag() * z.imag());
}

inline bool is_finite(const Complex& z) {
  return std::isfinite(z.real()) && std::isfinite(z.imag());
}

template <class S>
S zero() {
  return S(RealOf<S>(0.0), RealOf<S>(0.0));
}

// Shared numbers.
inline constexpr double kSqrt3 = 1.7320508075688772;
inline const Complex kA{-0.5, kSqrt3 / 2.0};  // the phase factor exp(2j pi / 3)

}  // namespace tarvelo
