// Lines: n conductors, conductor k joining port k of side 1 to port k of side 2.
//
// ShuntLine (pi model: series impedance Z, half of the shunt admittance Y at each end, both halves
// returning through the ground-side port g):
//     I1 = y_11 V1 + y_12 V2 + y_1g Vg
//     I2 = y_21 V1 + y_22 V2 + y_2g Vg
//     Ig = sum_k y_g,k (V1_k + V2_k - 2 Vg)
// where, up to rounding, y_11 = y_22 = Z^-1 + Y/2, y_12 = y_21 = -Z^-1 and
// y_1g = y_2g = -Y 1 / 2 (minus half the row sums of Y), y_g = -Y^T 1 / 2 (minus half its column
// sums: what the shunt halves of all conductors return, so that the line's currents sum to zero
// whether Y is symmetric or not). The seven matrices are computed
// from the ABCD form of the line, which the sweep steps use directly (ground held at zero):
//     forward:   V2 = a V1 - b I1,        backward:  I1 = c V2 - d I2,
//     a = I + Z Y / 2,   b = Z,   c = Y + Y Z Y / 4,   d = I + Y Z / 2.
//
// SimplifiedLine (series impedance only):
//     I1 = y_line (V1 - V2),   I2 = -I1,   y_line = Z^-1;
//     backward: I1 = -I2,      forward: V2 = V1 - Z I1,
// the forward step keeping Z = y_line^-1 until y_line changes.
//
// The admittance-form matrices are changeable parameters; neither line has unknowns of its own.
//
// The sweep steps are written once below, on the ports p (a line's own, or the compact sweep's
// arrays), with matrices held column by column (as Eigen holds them) and scratch storage of the
// caller. A forward step measures every change of a side-2 potential against the potential
// before its write, and returns the largest modulus (the larger part, real or imaginary, for a
// single-conductor shunt line), NaN as soon as one change is NaN.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "elements/branch.hpp"

namespace tarvelo {

template <class S>
using ColumnOf = Eigen::Matrix<S, -1, 1>;

// The potentials of a side's nodes, in port order.
template <class S>
ColumnOf<S> side_potentials(const std::vector<Port*>& side) {
  ColumnOf<S> v(static_cast<Eigen::Index>(side.size()));
  for (std::size_t k = 0; k < side.size(); ++k)
    v[static_cast<Eigen::Index>(k)] = potential<S>(*side[k]);
  return v;
}

// |z|: the square root of the squares' sum where that sum is a normal number, the scaled modulus
// (std::abs, slower) where the squares overflow or underflow.
inline double modulus(const Complex& z) {
  const double square = z.real() * z.real() + z.imag() * z.imag();
  return std::isnormal(square) ? std::sqrt(square) : std::abs(z);
}

// The larger of two changes, NaN as soon as one is NaN.
inline double larger_change(double largest, double change) {
  return (std::isnan(change) || change > largest) ? change : largest;
}

// V2 := v, side 2 being ports n .. 2n-1; returns the largest change (see above).
template <class Ports>
double move_side2(Ports& p, std::size_t n, const Complex* v, bool by_larger_part) {
  double largest = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const Complex change = v[k] - p.potential(n + k);
    largest = larger_change(largest, by_larger_part ? larger_part(change) : modulus(change));
  }
  for (std::size_t k = 0; k < n; ++k) p.set_potential(n + k, v[k]);
  return largest;
}

// SimplifiedLine forward: V2 = V1 - Z I1; v: n values.
template <class Ports>
double series_forward(Ports& p, std::size_t n, const Complex* z, Complex* v) {
  for (std::size_t r = 0; r < n; ++r) {
    Complex drop(0.0, 0.0);
    for (std::size_t k = 0; k < n; ++k) drop += z[k * n + r] * p.current(k);
    v[r] = p.potential(r) - drop;
  }
  return move_side2(p, n, v, false);
}

// ShuntLine backward, ground-side port 2n: side 2 balances its nodes, then I1 = c V2 - d I2 and
// Ig = -(sum I1) - (sum I2); scratch: 2n values.
template <class Ports>
void shunt_line_backward(Ports& p, std::size_t n, const Complex* c, const Complex* d,
                         Complex* scratch) {
  Complex* v2 = scratch;
  Complex* i2 = scratch + n;
  for (std::size_t k = 0; k < n; ++k) p.set_current(n + k, p.balancing(n + k));
  for (std::size_t k = 0; k < n; ++k) {
    v2[k] = p.potential(n + k);
    i2[k] = p.current(n + k);
  }
  Complex sum1(0.0, 0.0), sum2(0.0, 0.0);
  for (std::size_t r = 0; r < n; ++r) {
    Complex cv(0.0, 0.0), di(0.0, 0.0);
    for (std::size_t k = 0; k < n; ++k) {
      cv += c[k * n + r] * v2[k];
      di += d[k * n + r] * i2[k];
    }
    const Complex i1 = cv - di;
    p.set_current(r, i1);
    sum1 += i1;
    sum2 += i2[r];
  }
  p.set_current(2 * n, -sum1 - sum2);
}

// ShuntLine forward: V2 = a V1 - b I1; scratch: 3n values.
template <class Ports>
double shunt_line_forward(Ports& p, std::size_t n, const Complex* a, const Complex* b,
                          Complex* scratch) {
  Complex* v1 = scratch;
  Complex* i1 = scratch + n;
  Complex* v = scratch + 2 * n;
  for (std::size_t k = 0; k < n; ++k) {
    v1[k] = p.potential(k);
    i1[k] = p.current(k);
  }
  for (std::size_t r = 0; r < n; ++r) {
    Complex av(0.0, 0.0), bi(0.0, 0.0);
    for (std::size_t k = 0; k < n; ++k) {
      av += a[k * n + r] * v1[k];
      bi += b[k * n + r] * i1[k];
    }
    v[r] = av - bi;
  }
  return move_side2(p, n, v, n == 1);
}

// What the two line models share: two sides of n ports and the dispatch of the current
// computation to the model's plain or taped form.
template <class T>
class Line : public Branch {
 public:
  using Branch::Branch;

  void eval_currents(bool taped) override {
    taped ? model().template compute_currents<ADComplex>()
          : model().template compute_currents<Complex>();
  }

 private:
  T& model() { return static_cast<T&>(*this); }
};

class ShuntLine : public Line<ShuntLine> {
 public:
  // The admittance form computed from the line's Z and Y.
  struct Matrices {
    Eigen::MatrixXcd y_11, y_12, y_21, y_22;
    Eigen::VectorXcd y_g;
    Eigen::MatrixXcd y_2g, y_1g;
  };

  Port* ground_port;
  LinkedMatrix y_11;
  LinkedMatrix y_12;
  LinkedMatrix y_21;
  LinkedMatrix y_22;
  LinkedVector y_g;
  LinkedMatrix y_2g;
  LinkedMatrix y_1g;
  Eigen::MatrixXcd a, b, c, d;
  int n;

  // y_shunt and z_line hold n x n values row by row.
  ShuntLine(int n, const Complex* y_shunt, const Complex* z_line);

  // Sets a, b, c, d and returns the admittance form.
  Matrices compute_matrix(int n, const Complex* y_shunt, const Complex* z_line);
  void update_line_parameters(const Complex* y_shunt, const Complex* z_line);

  void declare_dynamic_variables(std::vector<double>& p) const override;
  void link_dynamic_variables(const ADVector& p, Eigen::VectorXd& values, int& k) override;
  void backward() override;
  double forward() override;

 private:
  friend class Line<ShuntLine>;

  template <class S>
  void compute_currents();

  // Scratch of the sweep steps, 3n values, sized at construction.
  std::vector<Complex> sweep_scratch;
};

class SimplifiedLine : public Line<SimplifiedLine> {
 public:
  LinkedMatrix y_line;

  // z_line holds n x n values row by row.
  SimplifiedLine(int n, const Complex* z_line);

  void update_line_parameters(const Complex* z_line);

  void declare_dynamic_variables(std::vector<double>& p) const override;
  void link_dynamic_variables(const ADVector& p, Eigen::VectorXd& values, int& k) override;
  void backward() override;
  double forward() override;

  // Z = y_line^-1 column by column, as the forward step uses it; made again from the present
  // value of y_line when the record has changed since.
  const Complex* sweep_impedance();

 private:
  friend class Line<SimplifiedLine>;

  template <class S>
  void compute_currents();

  // Z, the revision of y_line it was made from (none at first), and the side-2 potentials of a
  // forward step (n values, sized at construction).
  Eigen::MatrixXcd impedance;
  std::uint64_t impedance_revision;
  std::vector<Complex> sweep_result;
};

}  // namespace tarvelo
