// The backward-forward sweep beside Goldstein's Newton: every element with sweep steps under its
// own law, a delta reference with and without a current to carry, and a sweep that fails.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "network_checks.hpp"

namespace tarvelo {
namespace {

using checks::rows;
using checks::same_ports;

TEST(BackwardForward, MeetsNewtonAndEveryLawOnTheFeederBeforeAndAfterUpdates) {
  checks::Feeder feeder;
  BackwardForward sweep(feeder.network.get());
  ASSERT_LT(sweep.solve_load_flow(100, 1e-11).second, 1e-11);
  const auto swept = feeder.check();
  NewtonGoldstein newton(feeder.network.get(), true, 0.1, 0.9);
  ASSERT_LT(newton.solve_load_flow(20, 1e-10).second, 1e-10);
  EXPECT_LT(checks::largest_difference(feeder.check(), swept), 1e-8);

  // New lines, loads, voltages and regulator settings reach the Newton tape, then a new sweep.
  feeder.z(2, 3) = Complex(0.03, 0.09);
  feeder.y(3, 0) = Complex(0, -3e-4);  // so that the last entry of y_g changes
  feeder.z_end(0, 3) = Complex(0.02, -0.01);
  feeder.values[0][1] = {2500, 700};
  feeder.values[1][2] = {-8, 2};
  feeder.values[3][2] = {-500, 300};
  feeder.values[5][1] = {0.02, -0.004};
  feeder.u[1] *= std::polar(1.05, 0.1);
  feeder.rz2 = {0.08, 0.1};
  feeder.rym = {1e-5, -1e-5};
  feeder.u_ref = 210.0;
  feeder.shunt->update_line_parameters(rows(feeder.y).data(), rows(feeder.z).data());
  feeder.line->update_line_parameters(rows(feeder.z_end).data());
  update(feeder.power.powers, feeder.values[0].data());
  update(feeder.current.currents, feeder.values[1].data());
  update(feeder.delta_power.powers, feeder.values[3].data());
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
  checks::Feeder dead(true);
  BackwardForward failing(dead.network.get());
  EXPECT_TRUE(std::isnan(failing.solve_load_flow(20, 1e-6).second));
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
  const Complex total = powers[0] + powers[1] + powers[2];
  checks::expect_power_flow(leaking, source, {{&load, total}}, 1e-8);
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
  checks::expect_power_flow(network, source, {{&load, total + Complex(-1000, 400)}}, 1e-8);
  EXPECT_EQ(ref.get_current(), Complex(0, 0));
  for (int i = 0; i < 2; ++i) checks::expect_near(load.voltage<Complex>(i), u[i], 1e-9);
  const auto p = checks::node_potentials(network);
  checks::expect_near(p[0] + p[1] + p[2], 0.0, 1e-9);
}

}  // namespace
}  // namespace tarvelo
