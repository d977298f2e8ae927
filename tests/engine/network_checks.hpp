// Checks shared by the engine tests (Kirchhoff's law at every node, the power an element takes,
// a line's currents, an error's text) and the feeder that the sweep and the solvers share.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "elements/branch.hpp"
#include "elements/line.hpp"
#include "elements/load.hpp"
#include "elements/source.hpp"
#include "elements/transformer.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo::checks {

using Pairs = std::vector<std::pair<int, int>>;

// Port k joined to port k, for k < n.
inline Pairs same_ports(int n) {
  Pairs pairs;
  for (int k = 0; k < n; ++k) pairs.emplace_back(k, k);
  return pairs;
}

inline void expect_near(const Complex& actual, const Complex& expected, double tolerance) {
  EXPECT_LT(std::abs(actual - expected), tolerance) << actual << " vs " << expected;
}

// The power flowing into an element through all its ports: sum V_p conj(I_p).
inline Complex power_in(const Element& element) {
  Complex total(0.0, 0.0);
  for (int p = 0; p < static_cast<int>(element.ports.size()); ++p)
    total += element.get_port_potential(p) * std::conj(element.get_port_current(p));
  return total;
}

// Kirchhoff's law at every node not held at zero (over the ports of the listed elements: others
// draw nothing), and power flowing from the source into each load as much as it draws (a flip of
// every current's sign keeps Kirchhoff's law, not the direction of the power).
inline void expect_power_flow(const ElectricalNetwork& network, const Element& source,
                              const std::vector<std::pair<const Element*, Complex>>& loads,
                              double tolerance) {
  for (std::size_t k = 0; k < network.all_connections.size(); ++k) {
    const Connection& node = *network.all_connections[k];
    Complex sum(0.0, 0.0);  // over the ports of the elements the network lists
    for (const Port* port : node.ports) {
      if (counts(*port, network.counted_elements())) sum += port->current;
    }
    EXPECT_LT(node.fixed_zero ? 0.0 : std::abs(sum), tolerance) << "node " << k;
  }
  Complex drawn(0.0, 0.0);
  for (const auto& [load, power] : loads) {
    expect_near(power_in(*load), power, tolerance * std::max(1.0, std::abs(power)));
    drawn += power;
  }
  EXPECT_GT((-power_in(source)).real(), drawn.real() - tolerance * std::abs(drawn));
}

// A line's port currents at its ports' potentials: conductor currents through the series
// impedance Z, half the shunt admittance Y at each end, returning through the ground-side port g
// (the port after both sides; none and Y = 0 for a simplified line):
//     I1 = Z^-1 (V1 - V2) + Y (V1 - Vg) / 2,   I2 = Z^-1 (V2 - V1) + Y (V2 - Vg) / 2,
// and Ig returning what the conductors lose, whether Y is symmetric or not.
inline void expect_line_law(const Element& line, const Eigen::MatrixXcd& z,
                            const Eigen::MatrixXcd& y) {
  const auto n = z.rows();
  const bool shunt = line.ports.size() > static_cast<std::size_t>(2 * n);
  const Complex vg = shunt ? line.get_port_potential(2 * n) : Complex(0.0, 0.0);
  Eigen::VectorXcd v1(n), v2(n);
  for (int k = 0; k < n; ++k) {
    v1[k] = line.get_port_potential(k) - vg;
    v2[k] = line.get_port_potential(k + n) - vg;
  }
  const Eigen::VectorXcd series = z.inverse() * (v1 - v2), i1 = series + 0.5 * y * v1,
                         i2 = -series + 0.5 * y * v2;
  const double tolerance = 1e-9 * std::max(1.0, i1.cwiseAbs().maxCoeff());
  for (int k = 0; k < 2 * n; ++k)
    expect_near(line.get_port_current(k), k < n ? i1[k] : i2[k - n], tolerance);
  if (shunt) expect_near(line.get_port_current(2 * n), -i1.sum() - i2.sum(), tolerance);
}

inline std::vector<Complex> node_potentials(const ElectricalNetwork& network) {
  std::vector<Complex> v;
  for (const auto& node : network.all_connections) v.push_back(plain_potential(*node));
  return v;
}

// The text of the runtime_error that `call` throws; empty if it throws none.
template <class Call>
std::string error_text(Call call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

// n x n values row by row.
inline std::vector<Complex> rows(const Eigen::MatrixXcd& m) {
  std::vector<Complex> values;
  for (int r = 0; r < m.rows(); ++r)
    for (int c = 0; c < m.cols(); ++c) values.push_back(m(r, c));
  return values;
}

//   VoltageSource a b c n ══ Switch ══ ShuntLine ══ mid a b c n ══ SimplifiedLine ══ end a b c n
//          n on a PotentialRef,    at mid: PowerLoad (a b c n)    at end: DeltaPowerLoad (a b c)
//          with the shunt line's ground side
// No line matrix is symmetric, and the rows of Y do not sum as its columns. `mid` may start dead.
struct Feeder {
  using Matrix = Eigen::MatrixXcd;
  std::array<Complex, 3> u{230.0, 230.0 * kA * kA, 230.0 * kA};  // balanced, direct
  Matrix z = Matrix::Constant(4, 4, Complex(0.02, 0.05)), y = Matrix::Zero(4, 4);
  Matrix z_end = Matrix::Constant(4, 4, Complex(0.01, 0.03));
  std::array<std::array<Complex, 3>, 2> values{
      {{{{3000, 900}, {1500, -200}, {2200, 400}}}, {{{1200, 300}, {0, 0}, {2500, 500}}}}};
  std::array<Complex, 4> start{std::polar(220.0, 0.1), std::polar(220.0, -2.0),
                               std::polar(220.0, 2.2), Complex(1, 1)},
      dead{};
  VoltageSource source{4, u.data()};
  PotentialRef ref;
  Switch sw{4};
  std::unique_ptr<ShuntLine> shunt;
  std::unique_ptr<SimplifiedLine> line;
  Bus mid, end{4, start.data()};
  PowerLoad power{4, values[0].data()};
  DeltaPowerLoad delta_power{3, values[1].data()};
  std::unique_ptr<ElectricalNetwork> network;

  explicit Feeder(bool dead_mid = false) : mid(4, (dead_mid ? dead : start).data()) {
    for (int c = 0; c < 4; ++c) {
      z(c, c) = Complex(0.1 + 0.02 * c, 0.2);
      z_end(c, c) = Complex(0.05, 0.08 + 0.01 * c);
      y(c, c) = Complex(0, 4e-4);
    }
    z(0, 1) = Complex(0.05, 0.08);
    z_end(2, 0) = Complex(0.0, 0.06);
    y(0, 2) = Complex(0, -1e-4);
    y(3, 1) = Complex(0, -2e-4);
    shunt = std::make_unique<ShuntLine>(4, rows(y).data(), rows(z).data());
    line = std::make_unique<SimplifiedLine>(4, rows(z_end).data());
    source.connect(ref, {{3, 0}});
    sw.connect_side(source, same_ports(4), true);
    shunt->connect_side(sw, {{0, 4}, {1, 5}, {2, 6}, {3, 7}}, true);
    shunt->connect_side(mid, same_ports(4), false);
    ref.connect(*shunt, {{0, 8}});
    line->connect_side(mid, same_ports(4), true);
    line->connect_side(end, same_ports(4), false);
    mid.connect(power, same_ports(4));
    end.connect(delta_power, same_ports(3));
    network = std::make_unique<ElectricalNetwork>(std::vector<Element*>{
        &source, &ref, &sw, &*shunt, &mid, &power, &*line, &end, &delta_power});
  }

  // The laws of the source, the switch and the lines at the potentials and currents a solver
  // left, with the values given here, and power flowing from the source into every load. (The
  // loads' and the windings' own laws are the Python tests' to check, under every solver.)
  void check() {
    for (int i = 0; i < 3; ++i) expect_near(source.get_port_potential(i), u[i], 1e-9);
    for (int c = 0; c < 4; ++c)
      expect_near(sw.get_port_potential(c + 4), sw.get_port_potential(c), 1e-9);
    expect_line_law(*shunt, z, y);
    expect_line_law(*line, z_end, Matrix::Zero(4, 4));
    const auto& v = values;
    expect_power_flow(
        *network, source,
        {{&power, v[0][0] + v[0][1] + v[0][2]}, {&delta_power, v[1][0] + v[1][1] + v[1][2]}}, 1e-8);
  }
};

}  // namespace tarvelo::checks
