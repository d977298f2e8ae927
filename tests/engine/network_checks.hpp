// Checks shared by the engine tests: Kirchhoff's law at every node, the power a pair of ports
// draws, balanced three-phase voltages and exact exception texts.
#pragma once

#include <array>
#include <cmath>
#include <complex>
#include <numbers>
#include <string>

#include <gtest/gtest.h>

#include "core/electrical_network.hpp"

namespace tarvelo::checks {

// Phase-to-neutral voltages a, b, c of a balanced direct system: 0, -120 and +120 degrees.
inline std::array<Complex, 3> balanced_voltages(double magnitude) {
  constexpr double third = 2.0 * std::numbers::pi / 3.0;
  return {std::polar(magnitude, 0.0), std::polar(magnitude, -third), std::polar(magnitude, third)};
}

// Line-to-line voltages ab, bc, ca of the same system.
inline std::array<Complex, 3> line_voltages(double phase_magnitude) {
  const auto v = balanced_voltages(phase_magnitude);
  return {v[0] - v[1], v[1] - v[2], v[2] - v[0]};
}

// Kirchhoff's current law at every node not held at zero, from the plain port currents.
inline void expect_kirchhoff(const ElectricalNetwork& network, double tolerance) {
  for (std::size_t k = 0; k < network.all_connections.size(); ++k) {
    const Connection& node = *network.all_connections[k];
    if (node.fixed_zero) continue;
    EXPECT_LT(std::abs(node.sum_currents()), tolerance) << "node " << k;
  }
}

// The complex power drawn through port `from` and returned through port `to` of an element:
// (V_from - V_to) conj(I_from).
inline Complex drawn_power(const Element& element, int from, int to) {
  return (element.get_port_potential(from) - element.get_port_potential(to)) *
         std::conj(element.get_port_current(from));
}

// The complex power flowing into an element through all its ports: sum V_p conj(I_p).
inline Complex power_in(const Element& element) {
  Complex total(0.0, 0.0);
  for (int p = 0; p < static_cast<int>(element.ports.size()); ++p) {
    total += element.get_port_potential(p) * std::conj(element.get_port_current(p));
  }
  return total;
}

inline void expect_near(const Complex& actual, const Complex& expected, double tolerance) {
  EXPECT_LT(std::abs(actual - expected), tolerance) << actual << " vs " << expected;
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

}  // namespace tarvelo::checks
