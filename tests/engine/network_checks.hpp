// Checks shared by the engine tests (Kirchhoff's law at every node, the power an element takes,
// exact exception texts) and the three-phase four-wire network of the solver tests.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "elements/branch.hpp"
#include "elements/load.hpp"
#include "elements/source.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo::checks {

using Pairs = std::vector<std::pair<int, int>>;

// Port k joined to port k, for k < n.
inline Pairs same_ports(int n) {
  Pairs pairs;
  for (int k = 0; k < n; ++k) pairs.emplace_back(k, k);
  return pairs;
}

// Phase-to-neutral voltages a, b, c of a balanced direct system: 0, -120 and +120 degrees.
inline std::array<Complex, 3> balanced_voltages(double magnitude) {
  constexpr double third = 2.0 * std::numbers::pi / 3.0;
  return {std::polar(magnitude, 0.0), std::polar(magnitude, -third), std::polar(magnitude, third)};
}

inline void expect_near(const Complex& actual, const Complex& expected, double tolerance) {
  EXPECT_LT(std::abs(actual - expected), tolerance) << actual << " vs " << expected;
}

// Kirchhoff's current law at every node not held at zero, from the plain port currents.
inline void expect_kirchhoff(const ElectricalNetwork& network, double tolerance) {
  for (std::size_t k = 0; k < network.all_connections.size(); ++k) {
    const Connection& node = *network.all_connections[k];
    if (!node.fixed_zero) {
      EXPECT_LT(std::abs(node.sum_currents()), tolerance) << "node " << k;
    }
  }
}

// The power flowing into an element through all its ports: sum V_p conj(I_p).
inline Complex power_in(const Element& element) {
  Complex total(0.0, 0.0);
  for (int p = 0; p < static_cast<int>(element.ports.size()); ++p) {
    total += element.get_port_potential(p) * std::conj(element.get_port_current(p));
  }
  return total;
}

// Kirchhoff's law everywhere, and power flowing from the source into each load as much as it
// draws (a flip of every current's sign keeps Kirchhoff's law, not the direction of the power).
inline void expect_power_flow(const ElectricalNetwork& network, const Element& source,
                              const std::vector<std::pair<const Element*, Complex>>& loads,
                              double tolerance) {
  expect_kirchhoff(network, tolerance);
  Complex drawn(0.0, 0.0);
  for (const auto& [load, power] : loads) {
    expect_near(power_in(*load), power, tolerance * std::max(1.0, std::abs(power)));
    drawn += power;
  }
  EXPECT_GT((-power_in(source)).real(), drawn.real() - tolerance * std::abs(drawn));
}

// A load's port currents at its ports' potentials under the law `j(i, dV)` of record i: star,
// J_i on phase i and minus their sum on the neutral; delta (branch i from phase i to phase i + 1),
// J_i - J_(i-1) on phase i.
template <class Law>
void expect_load_law(const Element& load, bool delta, Law j) {
  const int n = static_cast<int>(load.ports.size()), count = delta ? n : n - 1;
  std::vector<Complex> branch;
  Complex neutral(0.0, 0.0);
  for (int i = 0; i < count; ++i) {
    const int other = delta ? (i + 1) % n : n - 1;
    branch.push_back(j(i, load.get_port_potential(i) - load.get_port_potential(other)));
    neutral -= branch.back();
  }
  for (int p = 0; p < n; ++p) {
    const Complex expected = delta       ? branch[p] - branch[(p + n - 1) % n]
                             : p < count ? branch[p]
                                         : neutral;
    expect_near(load.get_port_current(p), expected, 1e-9 * std::max(1.0, std::abs(expected)));
  }
}

// The constant-power law J_i = conj(S_i / dV) of a load's stored powers, and their sum.
inline auto power_law(const std::vector<LinkedComplex>& powers) {
  return [&powers](int i, Complex dv) { return std::conj(powers[i].value / dv); };
}
inline Complex total(const std::vector<LinkedComplex>& powers) {
  Complex sum(0.0, 0.0);
  for (const LinkedComplex& s : powers) sum += s.value;
  return sum;
}

// A line's port currents at its ports' potentials: conductor currents through the series
// impedance Z, half the shunt admittance Y at each end, returning through the ground-side port g
// (the port after both sides; none and Y = 0 for a simplified line):
//     I1 = Z^-1 (V1 - V2) + Y (V1 - Vg) / 2,   I2 = Z^-1 (V2 - V1) + Y (V2 - Vg) / 2,
//     Ig = -sum_k s_k (V1_k + V2_k - 2 Vg) / 2
// with s the column sums of Y: Ig returns what the conductors lose, whether Y is symmetric or not.
inline void expect_line_law(const Element& line, const Eigen::MatrixXcd& z,
                            const Eigen::MatrixXcd& y) {
  const auto n = z.rows();
  Eigen::VectorXcd v1(n), v2(n);
  for (int k = 0; k < n; ++k) {
    v1[k] = line.get_port_potential(k);
    v2[k] = line.get_port_potential(k + n);
  }
  const bool shunt = line.ports.size() > static_cast<std::size_t>(2 * n);
  const Complex vg = shunt ? line.get_port_potential(2 * n) : Complex(0.0, 0.0);
  const Eigen::VectorXcd ones = Eigen::VectorXcd::Ones(n), series = z.inverse() * (v1 - v2);
  const Eigen::VectorXcd i1 = series + 0.5 * y * (v1 - vg * ones),
                         i2 = -series + 0.5 * y * (v2 - vg * ones);
  const double tolerance = 1e-9 * std::max(1.0, i1.cwiseAbs().maxCoeff());
  for (int k = 0; k < n; ++k) {
    expect_near(line.get_port_current(k), i1[k], tolerance);
    expect_near(line.get_port_current(k + n), i2[k], tolerance);
  }
  if (shunt) {
    const Eigen::VectorXcd sums = y.colwise().sum().transpose();
    const Complex ig = -0.5 * sums.cwiseProduct(v1 + v2 - 2.0 * vg * ones).sum();
    expect_near(line.get_port_current(2 * n), ig, tolerance);
  }
}

inline std::vector<Complex> node_potentials(const ElectricalNetwork& network) {
  std::vector<Complex> v;
  for (const auto& node : network.all_connections) v.push_back(plain_potential(*node));
  return v;
}

inline double largest_difference(const std::vector<Complex>& a, const std::vector<Complex>& b) {
  double largest = a.size() == b.size() ? 0.0 : std::numeric_limits<double>::infinity();
  for (std::size_t k = 0; k < std::min(a.size(), b.size()); ++k) {
    largest = std::max(largest, std::abs(a[k] - b[k]));
  }
  return largest;
}

// Expects `call` to throw an E whose text is exactly `text`.
template <class E, class Call>
void expect_throw_text(Call call, const std::string& text) {
  try {
    call();
    ADD_FAILURE() << "no exception, expected " << text;
  } catch (const E& e) {
    EXPECT_EQ(std::string(e.what()), text);
  }
}

//   VoltageSource a b c n ══ Switch ══ Bus a b c n ─┬─ PowerLoad (a b c n), unbalanced
//   n on a PotentialRef                             └─ DeltaPowerLoad (a b c), unbalanced
// The bus starts away from the solution (lower, turned, neutral off zero) or, `dead`, at 0 V.
struct FourWire {
  std::array<Complex, 3> u = balanced_voltages(230.0);
  std::array<Complex, 4> start;
  std::array<Complex, 3> star_powers{{{1000, 200}, {2500, -300}, {600, 100}}};
  std::array<Complex, 3> delta_powers{{{800, 100}, {0, 0}, {1500, 500}}};
  VoltageSource source{4, u.data()};
  PotentialRef ref;
  Switch sw{4};
  Bus bus;
  PowerLoad star{4, star_powers.data()};
  DeltaPowerLoad delta{3, delta_powers.data()};
  ElectricalNetwork network;

  explicit FourWire(bool dead = false)
      : start(dead ? std::array<Complex, 4>{}
                   : std::array<Complex, 4>{std::polar(184.0, 0.3), std::polar(184.0, -1.8),
                                            std::polar(184.0, 2.4), Complex(5, -5)}),
        bus(4, start.data()),
        network(join()) {}

  std::vector<Element*> join() {
    source.connect(ref, {{3, 0}});
    sw.connect_side(source, same_ports(4), true);
    sw.connect_side(bus, same_ports(4), false);
    bus.connect(star, same_ports(4));
    bus.connect(delta, same_ports(3));
    return {&source, &ref, &sw, &bus, &star, &delta};
  }
  std::vector<Complex> potentials() const { return node_potentials(network); }

  // Solves, then checks that the source imposes its voltages and that power flows from it into
  // each load as much as its stored powers; returns the potentials.
  std::vector<Complex> solve(AbstractSolver& solver) {
    EXPECT_LT(solver.solve_load_flow(20, 1e-9).second, 1e-9);
    for (int i = 0; i < 3; ++i)
      expect_near(source.get_port_potential(i), source.voltages[i].value, 1e-9);
    EXPECT_EQ(source.get_port_potential(3), Complex(0, 0));
    expect_load_law(star, false, power_law(star.powers));
    expect_load_law(delta, true, power_law(delta.powers));
    expect_power_flow(network, source, {{&star, total(star.powers)}, {&delta, total(delta.powers)}},
                      1e-8);
    return potentials();
  }
};

}  // namespace tarvelo::checks
