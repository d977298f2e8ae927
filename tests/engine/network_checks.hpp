// Checks shared by the engine tests (Kirchhoff's law at every node, the power an element takes,
// exact exception texts) and the three-phase four-wire network of the solver tests.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
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

inline std::vector<Complex> node_potentials(const ElectricalNetwork& network) {
  std::vector<Complex> v;
  for (const auto& node : network.all_connections) v.push_back(plain_potential(*node));
  return v;
}

inline double largest_difference(const std::vector<Complex>& a, const std::vector<Complex>& b) {
  double largest = 0.0;
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

  // Solves, then checks Kirchhoff's law everywhere, that each load phase draws its (stored)
  // power, that the source imposes its voltages and delivers what the loads draw; returns the
  // potentials of all nodes.
  std::vector<Complex> solve(AbstractSolver& solver) {
    EXPECT_LT(solver.solve_load_flow(20, 1e-9).second, 1e-9);
    expect_kirchhoff(network, 1e-8);
    std::array<Complex, 3> branch;
    delta.get_inner_currents(branch.data());
    Complex total(0.0, 0.0);
    for (int i = 0; i < 3; ++i) {
      expect_near(star.voltage<Complex>(i) * std::conj(star.ports[i].current), star.powers[i].value,
                  1e-6);
      expect_near(delta.voltage<Complex>(i) * std::conj(branch[i]), delta.powers[i].value, 1e-6);
      expect_near(source.get_port_potential(i), source.voltages[i].value, 1e-9);
      total += star.powers[i].value + delta.powers[i].value;
    }
    EXPECT_EQ(source.get_port_potential(3), Complex(0, 0));
    expect_near(-power_in(source), total, 1e-6);
    return potentials();
  }
};

}  // namespace tarvelo::checks
