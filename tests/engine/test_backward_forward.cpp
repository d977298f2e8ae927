// The backward-forward sweep: a delta reference with and without a current to carry, how the
// shunt line's steps measure a change, and the network's passes and stopping rule, a sweep that
// fails among them. (Every element's law under the sweep is the Python tests' to check.)
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "network_checks.hpp"

namespace tarvelo {
namespace {

using checks::expect_near;
using checks::same_ports;
using Rows = std::vector<Complex>;  // an n x n matrix row by row

//   DeltaVoltageSource a b c ══ Bus a b c ─┬─ DeltaPowerLoad (a b c), unbalanced
//   DeltaPotentialRef on a b c              └─ AdmittanceLoad (a, g), g on a PotentialRef
// The admittance leaks current from a to g, and only the delta reference can feed it back: under
// Newton it carries the leak. The sweep, with the leak taken away, carries nothing through it.
TEST(BackwardForward, DeltaReferenceCarriesALeakUnderNewtonAndNothingInTheSweep) {
  const std::array<Complex, 2> u{230.0 * (1.0 - kA * kA), 230.0 * kA * kA * (1.0 - kA * kA)};
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
  for (int i = 0; i < 2; ++i) checks::expect_near(load.voltage<Complex>(i), u[i], 1e-9);

  // The reference's ports still carry Newton's currents when the sweep begins, and the source's
  // those of other powers.
  powers[0] = {2000, 900};
  update(load.powers, powers.data());
  leak.disconnect();
  ElectricalNetwork network({&source, &ref, &bus, &load});
  BackwardForward sweep(&network);
  // Converged at the second sweep: the first moves the nodes to zero mean, the second nothing.
  EXPECT_EQ(sweep.solve_load_flow(20, 1e-9).first, 2);
  checks::expect_power_flow(network, source, {{&load, total + Complex(-1000, 400)}}, 1e-8);
  EXPECT_EQ(ref.get_current(), Complex(0, 0));
  for (int i = 0; i < 2; ++i) checks::expect_near(load.voltage<Complex>(i), u[i], 1e-9);
  const auto p = checks::node_potentials(network);
  checks::expect_near(p[0] + p[1] + p[2], 0.0, 1e-9);
}

// The single-conductor steps measure a change by its larger part, real or imaginary; the
// multi-conductor ones by the largest modulus. With I1 = 0, a step sets V2 = a V1.
//
//   b1 ═══ line ═══ b2        ground-side port on a node of its own, at 0 V
TEST(Lines, ShuntLineForwardStepsMeasureTheirChange) {
  const Complex z(0.3, 0.1), y(0.0, 2e-3), a = 1.0 + 0.5 * z * y;
  const Complex v2(227.0, -4.0), change(3.0, 4.0), v1 = (v2 + change) / a;
  Bus b1(1, &v1), b2(1, &v2);
  ShuntLine line(1, &y, &z);
  line.connect_side(b1, {{0, 0}}, true);
  line.connect_side(b2, {{0, 0}}, false);
  // Linked to a solver, an element on the far node that the network does not list may be
  // deleted at any time: the backward step reads the node's ports as they are.
  auto unlisted = std::make_unique<Bus>(1);
  unlisted->ports[0].current = 5.0;
  b2.connect(*unlisted, {{0, 0}});
  ElectricalNetwork network({&b1, &line, &b2});
  BackwardForward solver(&network);
  unlisted.reset();
  line.backward();
  EXPECT_EQ(line.get_port_current(1), 0.0);
  line.ports[0].current = 0.0;
  EXPECT_NEAR(line.forward(), 4.0, 1e-12);
  expect_near(b2.get_port_potential(0), v2 + change, 1e-12);

  // Two conductors, the same change on one and none on the other: measured as 5.
  const Rows w2{v2, Complex(-110.0, 190.0)}, w1{v1, w2[1] / a};
  Bus c1(2, w1.data()), c2(2, w2.data());
  ShuntLine pair(2, Rows{y, 0.0, 0.0, y}.data(), Rows{z, 0.0, 0.0, z}.data());
  pair.connect_side(c1, checks::same_ports(2), true);
  pair.connect_side(c2, checks::same_ports(2), false);
  pair.ports[0].current = pair.ports[1].current = 0.0;
  EXPECT_NEAR(pair.forward(), 5.0, 1e-9);
  // The modulus neither overflows nor underflows where the squares of its parts would.
  for (const double scale : {1e200, 1e-170}) {
    const Rows u1{change * scale / a, 0.0}, u2{0.0, 0.0};
    Bus d1(2, u1.data()), d2(2, u2.data());
    ShuntLine wide(2, Rows{y, 0.0, 0.0, y}.data(), Rows{z, 0.0, 0.0, z}.data());
    wide.connect_side(d1, checks::same_ports(2), true);
    wide.connect_side(d2, checks::same_ports(2), false);
    EXPECT_NEAR(wide.forward() / scale, 5.0, 1e-9) << scale;
  }
}

// An element that notes when the backward pass reaches it and reports a fixed change.
struct Probe : Element {
  double change;
  std::vector<const Element*>* calls;
  Probe(double change, std::vector<const Element*>* calls)
      : Element(1), change(change), calls(calls) {}
  void eval_currents(bool taped) override { zero_currents(*this, taped); }
  void backward() override { calls->push_back(this); }
  double forward() override { return change; }
};

TEST(ElectricalNetwork, SweepPassesVisitInOrderAndKeepTheLargestChangeNeverNaN) {
  std::vector<const Element*> calls;
  Probe a(0.5, &calls), b(std::numeric_limits<double>::quiet_NaN(), &calls), c(0.2, &calls);
  EXPECT_EQ(ElectricalNetwork({&a, &b, &c}).forward(), 0.5);
  EXPECT_EQ(ElectricalNetwork({&b, &c}).forward(), 0.2);
  EXPECT_EQ(ElectricalNetwork({&b}).forward(), 0.0);
  ElectricalNetwork({&a, &b, &c}).backward();
  EXPECT_EQ(calls, (std::vector<const Element*>{&c, &b, &a}));
  // The sweep stops at a change equal to the tolerance, at its limit, and sweeps at least once.
  ElectricalNetwork one({&a});
  BackwardForward sweep(&one);
  EXPECT_EQ(sweep.solve_load_flow(10, 0.5), std::make_pair(1, 0.5));
  EXPECT_EQ(sweep.solve_load_flow(3, 0.4), std::make_pair(3, 0.5));
  EXPECT_EQ(sweep.solve_load_flow(0, 0.4), std::make_pair(1, 0.5));
  // Loads at 0 V draw infinite currents: the sweep must not look converged.
  checks::Feeder dead(true);
  BackwardForward failing(dead.network.get());
  EXPECT_TRUE(std::isnan(failing.solve_load_flow(20, 1e-6).second));
}

}  // namespace
}  // namespace tarvelo
