// The backward-forward sweep through switches and sources, star and delta, and a sweep that
// fails.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <vector>

#include "elements/line.hpp"
#include "network_checks.hpp"

namespace tarvelo {
namespace {

using checks::same_ports;

TEST(BackwardForward, ReachesTheNewtonSolutionOfTheFourWireNetwork) {
  checks::FourWire net;
  const auto newton_result = net.solve(*std::make_unique<Newton>(&net.network, false));
  // The switch fixes the bus at once and nothing measures a change: one sweep places the
  // potentials, a second evaluates the loads there.
  BackwardForward sweep(&net.network);
  EXPECT_EQ(sweep.solve_load_flow(10, 1e-9), std::make_pair(1, 0.0));
  EXPECT_LT(checks::largest_difference(net.solve(sweep), newton_result), 1e-8);
}

//   DeltaVoltageSource a b c ══ Bus a b c ── DeltaPowerLoad (a b c), unbalanced
//   DeltaPotentialRef on the same nodes
TEST(BackwardForward, DeltaSourceAndReferenceHoldTheirVoltagesAroundZero) {
  const auto v = checks::balanced_voltages(230.0);
  const std::array<Complex, 2> u{v[0] - v[1], v[1] - v[2]};
  const std::array<Complex, 3> powers{{{3000, 500}, {500, 0}, {1200, -200}}};
  DeltaVoltageSource source(3, u.data());
  DeltaPotentialRef ref(3);
  Bus bus(3, std::array<Complex, 3>{300, 20, -40}.data());
  DeltaPowerLoad load(3, powers.data());
  for (Element* e : std::vector<Element*>{&source, &ref, &load}) bus.connect(*e, same_ports(3));
  ElectricalNetwork network({&source, &ref, &bus, &load});
  BackwardForward sweep(&network);
  const auto [sweeps, change] = sweep.solve_load_flow(20, 1e-9);
  EXPECT_LE(change, 1e-9);
  EXPECT_EQ(sweeps, 2);  // the first sweep moves the nodes to zero mean, the second nothing
  checks::expect_kirchhoff(network, 1e-8);
  std::array<Complex, 3> branch;
  load.get_inner_currents(branch.data());
  for (int i = 0; i < 3; ++i) {
    checks::expect_near(load.voltage<Complex>(i) * std::conj(branch[i]), powers[i], 1e-6);
    if (i < 2) checks::expect_near(load.voltage<Complex>(i), u[i], 1e-9);
  }
  const auto p = checks::node_potentials(network);
  checks::expect_near(p[0] + p[1] + p[2], 0.0, 1e-9);
}

// A power load starting at 0 V draws an infinite current: the sweep must not look converged.
//
//   src ═══ line ═══ bus (starts at 0 V) ── load
//    │n
//   ref
TEST(BackwardForward, NonFinitePotentialsAreAFailure) {
  const Complex u(230.0, 0.0), power(3e3, 1e3);
  const std::vector<Complex> z{{0.1, 0.05}, {0.02, 0.01}, {0.02, 0.01}, {0.1, 0.05}};
  VoltageSource src(2, &u);
  PotentialRef ref;
  SimplifiedLine line(2, z.data());
  Bus bus(2);
  PowerLoad load(2, &power);
  src.connect(ref, {{1, 0}});
  line.connect_side(src, same_ports(2), true);
  line.connect_side(bus, same_ports(2), false);
  bus.connect(load, same_ports(2));
  ElectricalNetwork network({&src, &ref, &line, &bus, &load});
  BackwardForward sweep(&network);
  const auto [sweeps, change] = sweep.solve_load_flow(20, 1e-6);
  EXPECT_TRUE(std::isnan(change)) << sweeps << " sweeps, change " << change;
}

}  // namespace
}  // namespace tarvelo
