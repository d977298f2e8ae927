// The backward-forward sweep beside Newton: every element with sweep steps under its own law, a
// delta reference with and without a current to carry, and a sweep that fails.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <vector>

#include "elements/line.hpp"
#include "elements/transformer.hpp"
#include "network_checks.hpp"

namespace tarvelo {
namespace {

using checks::same_ports;
using Matrix = Eigen::MatrixXcd;

// n x n values row by row.
std::vector<Complex> rows(const Matrix& m) {
  std::vector<Complex> values;
  for (int r = 0; r < m.rows(); ++r)
    for (int c = 0; c < m.cols(); ++c) values.push_back(m(r, c));
  return values;
}

// A winding pair's laws at the potentials and currents a solver left, with U = V(first port) -
// V(second port) on each side and I the current into each side's first port:
//     U2 = k U1 + z2 I2,   I1 = ym U1 - conj(k) I2,   each side's ports carrying (I, -I).
void expect_winding_laws(const Branch& t, Complex k, Complex z2, Complex ym) {
  const Complex u1 = t.get_port_potential(0) - t.get_port_potential(1);
  const Complex u2 = t.get_port_potential(2) - t.get_port_potential(3);
  const Complex i1 = t.get_port_current(0), i2 = t.get_port_current(2);
  checks::expect_near(u2, k * u1 + z2 * i2, 1e-8);
  checks::expect_near(i1, ym * u1 - std::conj(k) * i2, 1e-9);
  checks::expect_near(checks::power_in(t), std::conj(ym) * std::norm(u1) + z2 * std::norm(i2),
                      1e-6);
}

//   VoltageSource a b c n ══ ShuntLine ══ mid a b c n ══ SimplifiedLine ══ end a b c n
//    │ │ │                 at mid: PowerLoad, CurrentLoad, AdmittanceLoad (a b c n)
//    │ │ n on a PotentialRef, with the shunt line's ground side
//    │ └─ SingleVoltageRegulator, side 1 (b, c), side 2 (r, c) ══ ShuntLine (1) ══ PowerLoad (r2,
//    n) └─── SingleTransformer, side 1 (a, n), side 2 (t, b) ── PowerLoad (t, n)
//   at mid also a LoadBalancer (a b c n); at end: DeltaPowerLoad, DeltaCurrentLoad,
//   DeltaAdmittanceLoad (a b c); every shunt line's ground side on n
// No line matrix is symmetric, and the rows of Y do not sum as its columns. The transformer's
// ratio is complex and its low-voltage winding returns through phase b; the regulator's, between
// phases b and c, is turned by phi, its tap in the steep part of its law.
struct Feeder {
  std::array<Complex, 3> u = checks::balanced_voltages(230.0);
  Matrix z = Matrix::Constant(4, 4, Complex(0.02, 0.05)), y = Matrix::Zero(4, 4);
  Matrix z_end = Matrix::Constant(4, 4, Complex(0.01, 0.03));
  std::array<std::array<Complex, 3>, 7> values{{{{{3000, 900}, {1500, -200}, {2200, 400}}},
                                                {{{6, 1}, {9, -3}, {4, 2}}},
                                                {{{0.05, -0.01}, {0.02, 0.01}, {0.04, 0}}},
                                                {{{1200, 300}, {0, 0}, {2500, 500}}},
                                                {{{3, -1}, {5, 0.5}, {2, 0}}},
                                                {{{0.01, 0.002}, {0.03, 0}, {0.005, -0.001}}},
                                                {{{2000, 600}, {3000, 900}, {0, 0}}}}};
  std::array<Complex, 4> start{std::polar(220.0, 0.1), std::polar(220.0, -2.0),
                               std::polar(220.0, 2.2), Complex(1, 1)};
  Complex z2{0.04, 0.06}, ym{1e-5, -4e-5}, k{0.6, 0.3}, rz2{0.05, 0.08}, rym{2e-5, -5e-5},
      lv{200, 0}, tz{0.2, 0.1}, ty{0, 5e-4}, bz2{0.05, 0.1}, bym{0.02, -0.05};
  double bk = 0.5;
  double u_ref = 250.0, u_range = 0.1, alpha = 4.0, phi = 0.3;
  VoltageSource source{4, u.data()};
  PotentialRef ref;
  std::unique_ptr<ShuntLine> shunt;
  std::unique_ptr<SimplifiedLine> line;
  Bus mid{4, start.data()}, end{4, start.data()}, t{1, &lv}, r{1, &lv}, r2{1, &lv};
  LoadBalancer balancer{bz2, bym, bk};
  ShuntLine tail{1, &ty, &tz};
  PowerLoad power{4, values[0].data()};
  CurrentLoad current{4, values[1].data()};
  AdmittanceLoad admittance{4, values[2].data()};
  DeltaPowerLoad delta_power{3, values[3].data()};
  DeltaCurrentLoad delta_current{3, values[4].data()};
  DeltaAdmittanceLoad delta_admittance{3, values[5].data()};
  SingleTransformer transformer{z2, ym, k};
  SingleVoltageRegulator regulator{rz2, rym, u_ref, u_range, alpha, phi};
  PowerLoad load_t{2, &values[6][0]}, load_r{2, &values[6][1]};
  std::unique_ptr<ElectricalNetwork> network;

  Feeder() {
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
    shunt->connect_side(source, same_ports(4), true);
    shunt->connect_side(mid, same_ports(4), false);
    ref.connect(*shunt, {{0, 8}});
    line->connect_side(mid, same_ports(4), true);
    line->connect_side(end, same_ports(4), false);
    for (Element* load : std::vector<Element*>{&power, &current, &admittance, &balancer, &balancer})
      mid.connect(*load, same_ports(4));
    for (Element* load : std::vector<Element*>{&delta_power, &delta_current, &delta_admittance})
      end.connect(*load, same_ports(3));
    transformer.connect_side(source, {{0, 0}, {1, 3}}, true);
    transformer.connect_side(source, {{1, 1}}, false);
    transformer.connect_side(t, {{0, 0}}, false);
    regulator.connect_side(source, {{0, 1}, {1, 2}}, true);
    regulator.connect_side(r, {{0, 0}}, false);
    t.connect(load_t, {{0, 0}});
    tail.connect_side(r, {{0, 0}}, true);
    tail.connect_side(r2, {{0, 0}}, false);
    ref.connect(tail, {{0, 2}});
    r2.connect(load_r, {{0, 0}});
    source.connect(load_t, {{3, 1}});
    source.connect(load_r, {{3, 1}});
    network = std::make_unique<ElectricalNetwork>(std::vector<Element*>{&source,
                                                                        &ref,
                                                                        shunt.get(),
                                                                        &mid,
                                                                        &power,
                                                                        &current,
                                                                        &admittance,
                                                                        &balancer,
                                                                        line.get(),
                                                                        &end,
                                                                        &delta_power,
                                                                        &delta_current,
                                                                        &delta_admittance,
                                                                        &transformer,
                                                                        &regulator,
                                                                        &t,
                                                                        &r,
                                                                        &tail,
                                                                        &r2,
                                                                        &load_t,
                                                                        &load_r});
  }

  // Every element's law at the potentials and currents a solver left, with the values given
  // here (the regulator's tap from its law); returns the potentials.
  std::vector<Complex> check() {
    for (int i = 0; i < 3; ++i) checks::expect_near(source.get_port_potential(i), u[i], 1e-9);
    checks::expect_line_law(*shunt, z, y);
    checks::expect_line_law(tail, Matrix::Constant(1, 1, tz), Matrix::Constant(1, 1, ty));
    checks::expect_line_law(*line, z_end, Matrix::Zero(4, 4));
    const auto& v = values;
    for (const bool delta : {false, true}) {
      const int o = delta ? 3 : 0;
      checks::expect_load_law(delta ? static_cast<Element&>(delta_power) : power, delta,
                              [&](int i, Complex dv) { return std::conj(v[o][i] / dv); });
      checks::expect_load_law(delta ? static_cast<Element&>(delta_current) : current, delta,
                              [&](int i, Complex dv) { return v[o + 1][i] * dv / std::abs(dv); });
      checks::expect_load_law(delta ? static_cast<Element&>(delta_admittance) : admittance, delta,
                              [&](int i, Complex dv) { return v[o + 2][i] * dv; });
    }
    // The balancer: Z I = dV, Z with a = z2 + (1 + 1 / k^2) / ym on its diagonal, b = -1 / (k ym)
    // elsewhere.
    const Complex ba = bz2 + (1.0 + 1.0 / (bk * bk)) / bym, bb = -1.0 / (bk * bym);
    Complex phases(0.0, 0.0);
    for (int i = 0; i < 3; ++i) {
      Complex zi = (ba - bb) * balancer.get_port_current(i);
      for (int j = 0; j < 3; ++j) zi += bb * balancer.get_port_current(j);
      checks::expect_near(zi, balancer.get_port_potential(i) - balancer.get_port_potential(3),
                          1e-8);
      phases += balancer.get_port_current(i);
    }
    checks::expect_near(balancer.get_port_current(3), -phases, 1e-9);
    expect_winding_laws(transformer, k, z2, ym);
    const double u2 = std::abs(regulator.get_port_potential(2) - regulator.get_port_potential(3));
    const double tap = 1.0 + u_range * std::tanh(alpha * (u_ref - u2) / u_ref);
    EXPECT_GT(std::abs(tap - 1.0), 0.01);
    EXPECT_NEAR(regulator.get_tap(), tap, 1e-12);
    expect_winding_laws(regulator, std::polar(tap, phi), rz2, rym);
    // Power flows from the source into every power load.
    checks::expect_power_flow(*network, source,
                              {{&power, v[0][0] + v[0][1] + v[0][2]},
                               {&delta_power, v[3][0] + v[3][1] + v[3][2]},
                               {&load_t, v[6][0]},
                               {&load_r, v[6][1]}},
                              1e-8);
    return checks::node_potentials(*network);
  }
};

TEST(BackwardForward, MeetsNewtonAndEveryLawOnTheFeederBeforeAndAfterUpdates) {
  Feeder feeder;
  BackwardForward sweep(feeder.network.get());
  ASSERT_LT(sweep.solve_load_flow(100, 1e-11).second, 1e-11);
  const auto swept = feeder.check();
  Newton newton(feeder.network.get(), false);
  ASSERT_LT(newton.solve_load_flow(20, 1e-10).second, 1e-10);
  EXPECT_LT(checks::largest_difference(feeder.check(), swept), 1e-8);

  // New lines, loads, voltages and regulator settings reach the Newton tape, then a new sweep.
  feeder.z(2, 3) = Complex(0.03, 0.09);
  feeder.y(3, 0) = Complex(0, -3e-4);  // so that the last entry of y_g changes
  feeder.z_end(0, 3) = Complex(0.02, -0.01);
  feeder.values[1][2] = {-8, 2};
  feeder.values[5][1] = {0.02, -0.004};
  feeder.u[1] *= std::polar(1.05, 0.1);
  feeder.rz2 = {0.08, 0.1};
  feeder.rym = {1e-5, -1e-5};
  feeder.u_ref = 210.0;
  feeder.shunt->update_line_parameters(rows(feeder.y).data(), rows(feeder.z).data());
  feeder.line->update_line_parameters(rows(feeder.z_end).data());
  update(feeder.current.currents, feeder.values[1].data());
  update(feeder.delta_admittance.admittances, feeder.values[5].data());
  update(feeder.source.voltages, feeder.u.data());
  feeder.regulator.update_parameters(feeder.rz2, feeder.rym, feeder.u_ref);
  ASSERT_LT(newton.solve_load_flow(20, 1e-10).second, 1e-10);
  const auto updated = feeder.check();
  EXPECT_GT(checks::largest_difference(updated, swept), 1.0);
  BackwardForward again(feeder.network.get());
  ASSERT_LT(again.solve_load_flow(100, 1e-11).second, 1e-11);
  EXPECT_LT(checks::largest_difference(feeder.check(), updated), 1e-8);

  // Loads at 0 V draw infinite currents: the sweep must not look converged.
  Feeder dead;
  dead.mid.initialize_potentials(std::array<Complex, 4>{}.data());
  BackwardForward failing(dead.network.get());
  EXPECT_TRUE(std::isnan(failing.solve_load_flow(20, 1e-6).second));
}

TEST(BackwardForward, ReachesTheNewtonSolutionOfTheFourWireNetwork) {
  checks::FourWire net;
  const auto newton_result = net.solve(*std::make_unique<Newton>(&net.network, false));
  // The switch fixes the bus at once and nothing measures a change: one sweep places the
  // potentials, a second evaluates the loads there.
  BackwardForward sweep(&net.network);
  EXPECT_EQ(sweep.solve_load_flow(10, 1e-9), std::make_pair(1, 0.0));
  EXPECT_LT(checks::largest_difference(net.solve(sweep), newton_result), 1e-8);
}

//   DeltaVoltageSource a b c ══ Bus a b c ─┬─ DeltaPowerLoad (a b c), unbalanced
//   DeltaPotentialRef on a b c              └─ AdmittanceLoad (a, g), g on a PotentialRef
// The admittance leaks current from a to g, and only the delta reference can feed it back: under
// Newton it carries the leak. The sweep, with the leak taken away, carries nothing through it.
TEST(BackwardForward, DeltaReferenceCarriesALeakUnderNewtonAndNothingInTheSweep) {
  const auto v = checks::balanced_voltages(230.0);
  const std::array<Complex, 2> u{v[0] - v[1], v[1] - v[2]};
  std::array<Complex, 3> powers{{{3000, 500}, {500, 0}, {1200, -200}}};
  const Complex y(0.02, -0.01);
  DeltaVoltageSource source(3, u.data());
  DeltaPotentialRef ref(3);
  Bus bus(3, std::array<Complex, 3>{300, 20, -40}.data());
  DeltaPowerLoad load(3, powers.data());
  AdmittanceLoad leak(2, &y);
  PotentialRef ground;
  for (Element* e : std::vector<Element*>{&source, &ref, &load}) bus.connect(*e, same_ports(3));
  bus.connect(leak, {{0, 0}});
  ground.connect(leak, {{0, 1}});
  ElectricalNetwork leaking({&source, &ref, &bus, &load, &leak, &ground});
  Newton newton(&leaking, false);
  EXPECT_LT(newton.solve_load_flow(20, 1e-9).second, 1e-9);
  checks::expect_power_flow(leaking, source, {{&load, checks::total(load.powers)}}, 1e-8);
  checks::expect_near(ref.get_current(), -y * bus.get_port_potential(0), 1e-9);

  // The reference's ports still carry Newton's currents when the sweep begins, and the source's
  // those of other powers.
  powers[0] = {2000, 900};
  update(load.powers, powers.data());
  leak.disconnect();
  ElectricalNetwork network({&source, &ref, &bus, &load});
  BackwardForward sweep(&network);
  const auto [sweeps, change] = sweep.solve_load_flow(20, 1e-9);
  EXPECT_LE(change, 1e-9);
  EXPECT_EQ(sweeps, 2);  // the first sweep moves the nodes to zero mean, the second nothing
  const Complex total = powers[0] + powers[1] + powers[2];
  checks::expect_power_flow(network, source, {{&load, total}}, 1e-8);
  checks::expect_near(-checks::power_in(source), total, 1e-6);
  EXPECT_EQ(ref.get_current(), Complex(0, 0));
  for (int i = 0; i < 2; ++i) checks::expect_near(load.voltage<Complex>(i), u[i], 1e-9);
  const auto p = checks::node_potentials(network);
  checks::expect_near(p[0] + p[1] + p[2], 0.0, 1e-9);
}

}  // namespace
}  // namespace tarvelo
