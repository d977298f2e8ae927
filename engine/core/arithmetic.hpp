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

inline Complex divide(const Complex& a, const Complex& b) {
  return a / b;
}
inline ADComplex divide(const ADComplex& a, const ADComplex& b) {
  // a * r with r = conj(b) / |b|^2.
  const AD norm = b.real() * b.real() + b.imag() * b.imag();
  const ADComplex r(b.real() / norm, -b.imag() / norm);
  return a * r;
}

inline double magnitude(const Complex& z) {
  return std::abs(z);
}
inline AD magnitude(const ADComplex& z) {
  return CppAD::sqrt(z.real() * z.real() + z.imag() * z.imag());
}

template <class S>
S zero() {
  return S(RealOf<S>(0.0), RealOf<S>(0.0));
}

// Shared numbers.
inline constexpr double kSqrt3 = 1.7320508075688772;
inline const Complex kA{-0.5, kSqrt3 / 2.0};  // the phase factor exp(2j pi / 3)

}  // namespace tarvelo
