#include "elements/line.hpp"

#include <initializer_list>
#include <limits>
#include <stdexcept>

#include "elements/messages.hpp"

namespace tarvelo {

namespace {

// An n x n matrix from n * n values given row by row.
Eigen::MatrixXcd square_from_rows(const Complex* values, int n) {
  return Eigen::Map<const Eigen::Matrix<Complex, -1, -1, Eigen::RowMajor>>(values, n, n);
}

// LU with partial pivoting; a singular matrix gives non-finite entries, which the solvers meet
// as non-finite currents.
Eigen::MatrixXcd inverse(const Eigen::MatrixXcd& m) {
  return m.partialPivLu().inverse();
}

void require_parameters(std::initializer_list<const Complex*> arrays) {
  for (const Complex* array : arrays) {
    if (array == nullptr) throw std::invalid_argument(messages::line_parameters_missing);
  }
}

}  // namespace

// ---- ShuntLine ----

ShuntLine::ShuntLine(int n, const Complex* y_shunt, const Complex* z_line)
    : Line<ShuntLine>(n, n, 1), ground_port(&ports.back()), n(n) {
  if (n < 1) throw std::invalid_argument(messages::shunt_line_needs_a_conductor);
  require_parameters({y_shunt, z_line});
  sweep_scratch.resize(3 * static_cast<std::size_t>(n));
  Matrices m = compute_matrix(n, y_shunt, z_line);
  y_11 = LinkedMatrix(std::move(m.y_11));
  y_12 = LinkedMatrix(std::move(m.y_12));
  y_21 = LinkedMatrix(std::move(m.y_21));
  y_22 = LinkedMatrix(std::move(m.y_22));
  y_g = LinkedVector(std::move(m.y_g));
  y_2g = LinkedMatrix(std::move(m.y_2g));
  y_1g = LinkedMatrix(std::move(m.y_1g));
}

ShuntLine::Matrices ShuntLine::compute_matrix(int n, const Complex* y_shunt,
                                              const Complex* z_line) {
  const Eigen::MatrixXcd y = square_from_rows(y_shunt, n);
  const Eigen::MatrixXcd z = square_from_rows(z_line, n);
  const Eigen::MatrixXcd identity = Eigen::MatrixXcd::Identity(n, n);

  // ABCD form.
  a = identity + 0.5 * z * y;
  b = z;
  c = y + 0.25 * y * z * y;
  d = identity + 0.5 * y * z;

  // Ground coupling: g = -Y 1 / 2; W = Z g; G = 2 g + Y Z g / 2.
  const Eigen::VectorXcd g = -0.5 * y.rowwise().sum();
  const Eigen::VectorXcd w = z * g;
  const Eigen::VectorXcd big_g = 2.0 * g + 0.5 * y * z * g;

  const Eigen::MatrixXcd b_inv = inverse(b);
  Matrices m;
  m.y_11 = d * b_inv;
  m.y_12 = c - d * b_inv * a;
  m.y_21 = -b_inv;
  m.y_22 = b_inv * a;
  m.y_g = -0.5 * y.colwise().sum().transpose();
  m.y_2g = big_g - d * b_inv * w;
  m.y_1g = b_inv * w;
  return m;
}

void ShuntLine::update_line_parameters(const Complex* y_shunt, const Complex* z_line) {
  require_parameters({y_shunt, z_line});
  const Matrices m = compute_matrix(static_cast<int>(ports.size() / 2), y_shunt, z_line);
  update(y_11, m.y_11);
  update(y_12, m.y_12);
  update(y_21, m.y_21);
  update(y_22, m.y_22);
  update(y_g, m.y_g);
  update(y_2g, m.y_2g);
  update(y_1g, m.y_1g);
}

void ShuntLine::declare_dynamic_variables(std::vector<double>& p) const {
  declare(y_11, p);
  declare(y_12, p);
  declare(y_21, p);
  declare(y_22, p);
  declare(y_g, p);
  declare(y_2g, p);
  declare(y_1g, p);
}

void ShuntLine::link_dynamic_variables(const ADVector& p, Eigen::VectorXd& values, int& k) {
  link(y_11, p, values, k);
  link(y_12, p, values, k);
  link(y_21, p, values, k);
  link(y_22, p, values, k);
  link(y_g, p, values, k);
  link(y_2g, p, values, k);
  link(y_1g, p, values, k);
}

template <class S>
void ShuntLine::compute_currents() {
  const ColumnOf<S> v1 = side_potentials<S>(ports1);
  const ColumnOf<S> v2 = side_potentials<S>(ports2);
  const S vg = potential<S>(*ground_port);

  // I1 = y_11 V1 + y_12 V2 + y_1g Vg;  I2 = y_21 V1 + y_22 V2 + y_2g Vg
  const ColumnOf<S> i1 =
      value_of<S>(y_11) * v1 + value_of<S>(y_12) * v2 + ColumnOf<S>(value_of<S>(y_1g).col(0)) * vg;
  const ColumnOf<S> i2 =
      value_of<S>(y_21) * v1 + value_of<S>(y_22) * v2 + ColumnOf<S>(value_of<S>(y_2g).col(0)) * vg;
  write_side_currents<S>(ports1, i1);
  write_side_currents<S>(ports2, i2);

  // Ig = sum_k y_g,k (V1_k + V2_k - 2 Vg)
  const ColumnOf<S> yg = value_of<S>(y_g);
  S ig = zero<S>();
  for (Eigen::Index k = 0; k < yg.size(); ++k) ig += yg[k] * (v1[k] + v2[k] - vg - vg);
  set_current(*ground_port, ig);
}

template void ShuntLine::compute_currents<Complex>();
template void ShuntLine::compute_currents<ADComplex>();

void ShuntLine::backward() {
  OwnPorts<Complex> own{ports};
  shunt_line_backward(own, static_cast<std::size_t>(n), c.data(), d.data(), sweep_scratch.data());
}

double ShuntLine::forward() {
  OwnPorts<Complex> own{ports};
  return shunt_line_forward(own, static_cast<std::size_t>(n), a.data(), b.data(),
                            sweep_scratch.data());
}

// ---- SimplifiedLine ----

SimplifiedLine::SimplifiedLine(int n, const Complex* z_line)
    : Line<SimplifiedLine>(n, n), impedance_revision(std::numeric_limits<std::uint64_t>::max()) {
  if (n < 1) throw std::invalid_argument(messages::simplified_line_needs_a_conductor);
  require_parameters({z_line});
  y_line = LinkedMatrix(inverse(square_from_rows(z_line, n)));
  sweep_result.resize(static_cast<std::size_t>(n));
}

void SimplifiedLine::update_line_parameters(const Complex* z_line) {
  require_parameters({z_line});
  update(y_line, inverse(square_from_rows(z_line, static_cast<int>(ports.size() / 2))));
}

void SimplifiedLine::declare_dynamic_variables(std::vector<double>& p) const {
  declare(y_line, p);
}

void SimplifiedLine::link_dynamic_variables(const ADVector& p, Eigen::VectorXd& values, int& k) {
  link(y_line, p, values, k);
}

template <class S>
void SimplifiedLine::compute_currents() {
  // I1 = y_line (V1 - V2);  I2 = -I1
  const ColumnOf<S> i1 =
      value_of<S>(y_line) * (side_potentials<S>(ports1) - side_potentials<S>(ports2));
  write_side_currents<S>(ports1, i1);
  ColumnOf<S> i2(i1.size());
  for (Eigen::Index k = 0; k < i1.size(); ++k) i2[k] = negated(i1[k]);
  write_side_currents<S>(ports2, i2);
}

template void SimplifiedLine::compute_currents<Complex>();
template void SimplifiedLine::compute_currents<ADComplex>();

void SimplifiedLine::backward() {
  OwnPorts<Complex> own{ports};
  pass_through_backward(own, ports1.size());
}

const Complex* SimplifiedLine::sweep_impedance() {
  if (impedance_revision != y_line.revision) {
    impedance = inverse(read(y_line));
    impedance_revision = y_line.revision;
  }
  return impedance.data();
}

double SimplifiedLine::forward() {
  OwnPorts<Complex> own{ports};
  return series_forward(own, sweep_result.size(), sweep_impedance(), sweep_result.data());
}

}  // namespace tarvelo
