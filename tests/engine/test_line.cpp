// The line models: admittance form, port currents, parameter records and sweep steps.
#include "elements/line.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "elements/load.hpp"
#include "elements/messages.hpp"
#include "elements/source.hpp"
#include "network_checks.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo {
namespace {

using checks::expect_near;
using Rows = std::vector<Complex>;  // an n x n matrix row by row
using Pairs = std::vector<std::pair<int, int>>;

Pairs conductors(int n) {
  Pairs pairs;
  for (int k = 0; k < n; ++k) pairs.emplace_back(k, k);
  return pairs;
}

Eigen::MatrixXcd matrix(const Rows& rows, int n) {
  return Eigen::Map<const Eigen::Matrix<Complex, -1, -1, Eigen::RowMajor>>(rows.data(), n, n);
}

// A four-wire cable section (phases a, b, c, neutral) with mutual terms.
Rows four_wire_impedance() {
  const Complex s(0.12, 0.08), m(0.03, 0.05), sn(0.15, 0.09), mn(0.02, 0.04);
  return {s, m, m, mn, m, s, m, mn, m, m, s, mn, mn, mn, mn, sn};
}
Rows four_wire_shunt() {
  const Complex s(0.0, 4e-3), m(0.0, -1e-3), mn(0.0, -5e-4);
  return {s, m, m, mn, m, s, m, mn, m, m, s, mn, mn, mn, mn, s};
}

//   side1 ═══ line (n conductors) ═══ side2        g on `ground`
struct ShuntLineBench {
  Bus side1, side2, ground;
  ShuntLine line;

  ShuntLineBench(int n, const Rows& y, const Rows& z, const Rows& v1, const Rows& v2, Complex vg)
      : side1(n, v1.data()), side2(n, v2.data()), ground(1, &vg), line(n, y.data(), z.data()) {
    line.connect_side(side1, conductors(n), true);
    line.connect_side(side2, conductors(n), false);
    ground.connect(line, {{0, 2 * n}});
    line.eval_currents(false);
  }
  Complex current(int port) const { return line.get_port_current(port); }
};

TEST(ShuntLine, AdmittanceFormAndPortCurrents) {
  // Without shunt admittance a single conductor is a series impedance.
  const Complex z(0.2, 0.1), v1(230.0, 0.0), v2(225.0, 3.0);
  ShuntLineBench series(1, {0.0}, {z}, {v1}, {v2}, 0.0);
  expect_near(series.line.y_11.value(0, 0), 1.0 / z, 1e-12);
  expect_near(series.line.y_22.value(0, 0), 1.0 / z, 1e-12);
  expect_near(series.line.y_12.value(0, 0), -1.0 / z, 1e-12);
  expect_near(series.line.y_21.value(0, 0), -1.0 / z, 1e-12);
  EXPECT_EQ(series.line.y_g.value(0), 0.0);
  EXPECT_EQ(series.line.y_1g.value(0, 0), 0.0);
  EXPECT_EQ(series.line.y_2g.value(0, 0), 0.0);
  expect_near(series.current(0), (v1 - v2) / z, 1e-10);
  expect_near(series.current(1), (v2 - v1) / z, 1e-10);
  EXPECT_EQ(series.current(2), 0.0);

  // Both ends at V, ground at 0: each end draws Y V / 2, the ground side returns Y V.
  const Complex y(0.0, 2e-3), v(230.0, -15.0);
  ShuntLineBench charged(1, {y}, {Complex(0.3, 0.2)}, {v}, {v}, 0.0);
  expect_near(charged.current(0), 0.5 * y * v, 1e-12);
  expect_near(charged.current(1), 0.5 * y * v, 1e-12);
  expect_near(charged.current(2), -y * v, 1e-12);

  // Four conductors with mutual terms, every node at the ground side's potential: no current.
  const Complex vg(12.0, -7.0);
  const Rows level(4, vg);
  ShuntLineBench floating(4, four_wire_shunt(), four_wire_impedance(), level, level, vg);
  for (int port = 0; port < 9; ++port) EXPECT_LT(std::abs(floating.current(port)), 1e-9);
}

// b1 ═══ line ═══ b2, with another current drawn on b2's node
TEST(SimplifiedLine, CurrentsAndSweepSteps) {
  Complex v1(2.0, 0.0), v2(0.0, 0.0);
  const Complex z(1.0, 1.0);
  Bus b1(1, &v1), b2(1, &v2);
  SimplifiedLine line(1, &z);
  line.connect_side(b1, {{0, 0}}, true);
  line.connect_side(b2, {{0, 0}}, false);
  line.eval_currents(false);
  EXPECT_EQ(line.get_port_current(0), Complex(1.0, -1.0));
  EXPECT_EQ(line.get_port_current(1), Complex(-1.0, 1.0));

  line.backward();  // nothing else on the far node: no current
  EXPECT_EQ(line.get_port_current(0), 0.0);
  EXPECT_EQ(line.get_port_current(1), 0.0);

  b2.ports[0].current = Complex(10.0, -2.0);
  line.backward();
  EXPECT_EQ(line.get_port_current(1), Complex(-10.0, 2.0));
  EXPECT_EQ(line.get_port_current(0), Complex(10.0, -2.0));
  const Complex drop = z * Complex(10.0, -2.0);
  EXPECT_NEAR(line.forward(), std::abs(v1 - drop - v2), 1e-12);
  expect_near(b2.get_port_potential(0), v1 - drop, 1e-12);
  EXPECT_NEAR(line.forward(), 0.0, 1e-12);  // nothing moves a second time
}

TEST(Line, DeclaresItsMatricesRowByRow) {
  // Two conductors: y_11, y_12, y_21, y_22 (8 doubles each), then y_g, y_2g, y_1g (4 each).
  const Rows z{{0.2, 0.1}, {0.05, 0.02}, {0.05, 0.02}, {0.25, 0.1}};
  const Rows y{{0.0, 2e-3}, {0.0, -5e-4}, {0.0, -5e-4}, {0.0, 3e-3}};
  std::vector<double> p{-1.0};  // declaring appends
  ShuntLine(2, y.data(), z.data()).declare_dynamic_variables(p);
  ASSERT_EQ(p.size(), 1u + 44u);
  const Eigen::MatrixXcd y_11 = matrix(z, 2).inverse() + 0.5 * matrix(y, 2);
  expect_near(Complex(p[3], p[4]), y_11(0, 1), 1e-9);
  expect_near(Complex(p[5], p[6]), y_11(1, 0), 1e-9);
  for (int r = 0; r < 2; ++r) {
    const Complex g = -0.5 * (y[2 * r] + y[2 * r + 1]);
    for (const int block : {33, 37, 41}) {  // y_g, y_2g, y_1g
      expect_near(Complex(p[block + 2 * r], p[block + 2 * r + 1]), g, 1e-15);
    }
  }

  const Complex one(1.0, 0.0);
  std::vector<double> single, simplified;
  ShuntLine(1, &one, &one).declare_dynamic_variables(single);
  EXPECT_EQ(single.size(), 14u);
  const Rows z3{1.0, 0.1, 0.0, 0.1, 1.0, 0.1, 0.0, 0.1, 1.0};
  SimplifiedLine(3, z3.data()).declare_dynamic_variables(simplified);
  ASSERT_EQ(simplified.size(), 18u);
  const Eigen::MatrixXcd y3 = matrix(z3, 3).inverse();
  EXPECT_NEAR(simplified[2], y3(0, 1).real(), 1e-15);
  EXPECT_NEAR(simplified[6], y3(1, 0).real(), 1e-15);
}

//   src ── b0 ═══ line ═══ b1 ── load
//    │n              │g
//   ref            gnd ── ref_g
struct LoadedLine {
  std::array<Complex, 3> u = checks::balanced_voltages(230.0);
  std::array<Complex, 4> start{u[0], u[1], u[2], 0.0};
  std::array<Complex, 3> powers{Complex(9e3, 2e3), Complex(5e3, 1e3), Complex(7e3, -1e3)};
  VoltageSource src{4, u.data()};
  PotentialRef ref, ref_g;
  Bus b0{4, start.data()}, b1{4, start.data()};
  Ground gnd;
  ShuntLine line;
  PowerLoad load{4, powers.data()};

  LoadedLine(const Rows& y, const Rows& z) : line(4, y.data(), z.data()) {
    b0.connect(src, conductors(4));
    b0.connect(ref, {{3, 0}});
    line.connect_side(b0, conductors(4), true);
    line.connect_side(b1, conductors(4), false);
    b1.connect(load, conductors(4));
    gnd.connect(line, {{0, 8}});
    gnd.connect(ref_g, {{0, 0}});
  }
};

// The pi model written from Z and Y, with the ground side held at zero.
void expect_pi_law(const ShuntLine& line, const Rows& y, const Rows& z) {
  std::vector<Complex> v(9), i(9);
  line.get_potentials(9, v.data());
  line.get_currents(9, i.data());
  const Eigen::VectorXcd v1 = Eigen::Map<const Eigen::VectorXcd>(v.data(), 4);
  const Eigen::VectorXcd v2 = Eigen::Map<const Eigen::VectorXcd>(v.data() + 4, 4);
  const Eigen::VectorXcd series = matrix(z, 4).inverse() * (v1 - v2);
  const Eigen::VectorXcd shunt1 = 0.5 * matrix(y, 4) * v1, shunt2 = 0.5 * matrix(y, 4) * v2;
  for (int k = 0; k < 4; ++k) {
    expect_near(i[k], shunt1[k] + series[k], 1e-8);
    expect_near(i[4 + k], shunt2[k] - series[k], 1e-8);
  }
  expect_near(i[8], -shunt1.sum() - shunt2.sum(), 1e-8);
}

TEST(ShuntLine, UpdateReachesRecordsAndTape) {
  const Rows z = four_wire_impedance(), y = four_wire_shunt();
  Rows z2 = z, y2 = y;
  for (auto& e : z2) e *= 2.0;
  for (auto& e : y2) e *= 3.0;
  const Eigen::MatrixXcd zm = matrix(z2, 4), ym = matrix(y2, 4);

  // Never linked: the stored values and the ABCD form change, no slot appears.
  ShuntLine alone(4, y.data(), z.data());
  alone.update_line_parameters(y2.data(), z2.data());
  EXPECT_EQ(alone.y_11.linked, nullptr);
  EXPECT_LT((alone.b - zm).norm(), 1e-15);
  EXPECT_LT((alone.c - (ym + 0.25 * ym * zm * ym)).norm(), 1e-15);
  EXPECT_EQ(alone.c_00, alone.c(0, 0));
  EXPECT_LT((alone.y_22.value - (zm.inverse() + 0.5 * ym)).norm(), 1e-9);

  // Linked: the update lands in the solver's parameters and the next solve uses it.
  LoadedLine net(y, z);
  ElectricalNetwork network(
      {&net.src, &net.ref, &net.b0, &net.line, &net.b1, &net.load, &net.gnd, &net.ref_g});
  Newton newton(&network, false);
  ASSERT_LT(newton.solve_load_flow(20, 1e-9).second, 1e-9);
  expect_pi_law(net.line, y, z);
  const Complex before = net.b1.get_port_potential(0);

  net.line.update_line_parameters(y2.data(), z2.data());
  std::vector<double> declared;
  net.line.declare_dynamic_variables(declared);
  for (std::size_t k = 0; k < declared.size(); ++k) {  // after the source's three voltages
    ASSERT_EQ(newton.dynamic_variables[static_cast<Eigen::Index>(6 + k)], declared[k]);
  }
  ASSERT_LT(newton.solve_load_flow(20, 1e-9).second, 1e-9);
  expect_pi_law(net.line, y2, z2);
  checks::expect_kirchhoff(network, 1e-8);
  EXPECT_GT(std::abs(net.b1.get_port_potential(0) - before), 0.1);
}

// The single-conductor sweep steps measure a change by its larger part, real or imaginary; the
// multi-conductor ones by the largest modulus.
//
//   b1 ═══ line ═══ b2        g on gnd, held at zero by ref
TEST(ShuntLine, SweepStepsOnAnUnloadedEnd) {
  const Complex z(0.3, 0.1), y(0.0, 2e-3), a = 1.0 + 0.5 * z * y, change(3.0, 4.0);
  Complex v1(230.0, 0.0), v2(227.0, -4.0);
  Bus b1(1, &v1), b2(1, &v2);
  Ground gnd;
  PotentialRef ref;
  ShuntLine line(1, &y, &z);
  line.connect_side(b1, {{0, 0}}, true);
  line.connect_side(b2, {{0, 0}}, false);
  gnd.connect(line, {{0, 2}});
  gnd.connect(ref, {{0, 0}});
  ElectricalNetwork network({&b1, &line, &b2, &gnd, &ref});
  BackwardForward solver(&network);

  // Nothing else on the far node: I2 = 0, I1 = c V2, the ground side returns I1.
  line.backward();
  EXPECT_EQ(line.get_port_current(1), 0.0);
  expect_near(line.get_port_current(0), (y + 0.25 * y * z * y) * v2, 1e-15);
  expect_near(line.get_port_current(2), -line.get_port_current(0), 1e-15);

  // With I1 = 0, V2 = a V1: a change of 3 + 4j measures 4; stored value and slot both move.
  line.ports[0].current = 0.0;
  b1.initialize_potentials(std::array<Complex, 1>{(v2 + change) / a}.data());
  EXPECT_NEAR(line.forward(), 4.0, 1e-12);
  expect_near(b2.get_port_potential(0), v2 + change, 1e-12);
  expect_near(network.all_connections[1]->potential.value, v2 + change, 1e-12);

  // A line never linked takes the same scalar step.
  Complex u1 = (v2 + change) / a, u2 = v2;
  Bus d1(1, &u1), d2(1, &u2);
  ShuntLine unlinked(1, &y, &z);
  unlinked.connect_side(d1, {{0, 0}}, true);
  unlinked.connect_side(d2, {{0, 0}}, false);
  EXPECT_NEAR(unlinked.forward(), 4.0, 1e-12);

  // Two conductors, the same change on one and none on the other: measured as 5.
  const Rows z2{z, 0.0, 0.0, z}, y2{y, 0.0, 0.0, y};
  const Rows w2{v2, Complex(-110.0, 190.0)}, w1{(v2 + change) / a, w2[1] / a};
  Bus c1(2, w1.data()), c2(2, w2.data());
  ShuntLine pair(2, y2.data(), z2.data());
  pair.connect_side(c1, conductors(2), true);
  pair.connect_side(c2, conductors(2), false);
  pair.backward();
  expect_near(pair.get_port_current(1), (y + 0.25 * y * z * y) * w2[1], 1e-12);
  expect_near(pair.get_port_current(4), -pair.get_port_current(0) - pair.get_port_current(1),
              1e-15);
  pair.ports[0].current = pair.ports[1].current = 0.0;
  EXPECT_NEAR(pair.forward(), 5.0, 1e-9);
  expect_near(pair.get_port_potential(2), v2 + change, 1e-9);
}

TEST(Line, RefusesLinesWithoutConductors) {
  const Complex one(1.0, 0.0);
  try {
    ShuntLine(0, &one, &one);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), messages::shunt_line_needs_a_conductor);
  }
  EXPECT_THROW(SimplifiedLine(0, &one), std::invalid_argument);
  EXPECT_THROW(ShuntLine(-1, &one, &one), std::length_error);
  EXPECT_THROW(SimplifiedLine(1, nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace tarvelo
