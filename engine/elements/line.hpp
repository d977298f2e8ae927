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
//     backward: I1 = -I2,      forward: V2 = V1 - y_line^-1 I1.
//
// The admittance-form matrices are changeable parameters; neither line has unknowns of its own.
#pragma once

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

// The plain currents of a side's ports, in port order.
Eigen::VectorXcd side_currents(const std::vector<Port*>& side);

// Gives every port of a side the current that balances its node (minus the sum of the other
// ports' plain currents), in port order.
void balance_side(const std::vector<Port*>& side);

// Writes a potential to the node of every port of a side and returns the largest modulus of the
// changes made (NaN as soon as one change is NaN).
double move_side_potentials(const std::vector<Port*>& side, const Eigen::VectorXcd& v);

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
  Complex a_00, b_00, c_00, d_00;

  // y_shunt and z_line hold n x n values row by row.
  ShuntLine(int n, const Complex* y_shunt, const Complex* z_line);

  // Sets a, b, c, d and their (0, 0) entries and returns the admittance form.
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

  void backward_single_conductor();
  double forward_single_conductor();
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

 private:
  friend class Line<SimplifiedLine>;

  template <class S>
  void compute_currents();
};

}  // namespace tarvelo
