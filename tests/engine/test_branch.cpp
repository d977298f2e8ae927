#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "elements/branch.hpp"
#include "elements/load.hpp"
#include "elements/source.hpp"
#include "network_checks.hpp"
#include "solvers/solvers.hpp"

namespace tarvelo {
namespace {

using checks::expect_near;

// A branch with a port on neither side, as lines with a ground-side port have.
struct ThreeGroups : Branch {
  ThreeGroups() : Branch(2, 2, 1) {}
  void eval_currents(bool taped) override { zero_currents(*this, taped); }
};

TEST(Branch, SidesAndConnectSideKeepingTheOtherElementsNode) {
  ThreeGroups branch;  // sides of two ports, then one port on neither side
  EXPECT_EQ(branch.ports2[1], &branch.ports[3]);
  EXPECT_EQ(branch.ports.size(), 5u);

  const Complex v[2] = {{1, 0}, {2, 0}};
  Bus bus(2, v);
  Switch sw(1);
  sw.ports2[0]->connection->potential.value = {9, 9};
  sw.connect_side(bus, {{0, 1}}, false);
  EXPECT_EQ(sw.ports2[0]->connection, bus.ports[1].connection);
  Complex out1[1] = {{7, 7}}, out2[1];
  sw.get_side_potentials(0, 1, out1, out2);
  EXPECT_EQ(out1[0], Complex(7, 7));  // size 0 writes nothing
  EXPECT_EQ(out2[0], v[1]);

  checks::expect_throw_text<std::out_of_range>(
      [&] {
        sw.connect_side(bus, {{0, 0}, {1, 0}}, true);
      },
      "(size_t)i < side_ports.size()");
  EXPECT_EQ(sw.ports1[0]->connection, bus.ports[0].connection);  // the first pair stays
  checks::expect_throw_text<std::out_of_range>(
      [&] {
        sw.connect_side(bus, {{0, 2}}, true);
      },
      "(size_t)j < element.ports.size()");
  checks::expect_throw_text<std::out_of_range>([&] { sw.get_side_potentials(2, 0, out1, out2); },
                                               "(size_t)size1 <= ports1.size()");
  checks::expect_throw_text<std::out_of_range>([&] { sw.get_side_currents(0, -1, out1, out2); },
                                               "(size_t)size2 <= ports2.size()");
}

//   VoltageSource ── Switch ── Bus ── PowerLoad
//        └── PotentialRef ────────────────┘
TEST(Switch, SolvedSidesShareThePotentialAndPassTheLoadCurrent) {
  const Complex u(230, 0), s(1000, 300), start(150, 40);
  VoltageSource source(2, &u);
  PotentialRef ref;
  Switch sw(1);
  Bus bus(1, &start);
  PowerLoad load(2, &s);
  source.connect(ref, {{1, 0}});
  sw.connect_side(source, {{0, 0}}, true);
  sw.connect_side(bus, {{0, 0}}, false);
  bus.connect(load, {{0, 0}});
  source.connect(load, {{1, 1}});
  ElectricalNetwork network({&source, &ref, &sw, &bus, &load});
  Newton newton(&network, false);
  const auto [iterations, residual] = newton.solve_load_flow(20, 1e-9);
  ASSERT_LT(residual, 1e-9);
  EXPECT_GT(iterations, 1);

  Complex v1[1], v2[1], i1[1], i2[1];
  sw.get_side_potentials(1, 1, v1, v2);
  sw.get_side_currents(1, 1, i1, i2);
  expect_near(v1[0], u, 1e-9);
  expect_near(v2[0], u, 1e-9);
  EXPECT_EQ(i1[0], -i2[0]);
  expect_near(i1[0], load.get_port_current(0), 1e-9);
  expect_near(checks::drawn_power(load, 0, 1), s, 1e-6);
  checks::expect_kirchhoff(network, 1e-9);
}

TEST(Switch, SweepStepsPassCurrentBackAndPotentialForward) {
  const Complex up(10, 1), down(3, 3);
  Bus upstream(1, &up), downstream(1, &down);
  Switch sw(1);
  sw.connect_side(upstream, {{0, 0}}, true);

  // Alone on its side-2 node the switch carries nothing.
  sw.ports1[0]->current = {5, 5};
  sw.backward();
  EXPECT_EQ(sw.get_port_current(0), Complex(0, 0));
  EXPECT_EQ(sw.get_port_current(1), Complex(0, 0));

  // With a neighbour drawing 2 + 1j from the side-2 node, the switch feeds it through.
  sw.connect_side(downstream, {{0, 0}}, false);
  downstream.ports[0].current = {2, 1};
  sw.backward();
  EXPECT_EQ(sw.get_port_current(1), Complex(-2, -1));
  EXPECT_EQ(sw.get_port_current(0), Complex(2, 1));

  // The forward step writes the upstream potential into a linked downstream node.
  Eigen::VectorXd slots = Eigen::VectorXd::Zero(2);
  const ADVector taped = slots.cast<AD>();
  int k = 0;
  downstream.ports[0].connection->link_independent_variables(taped, slots, k);
  EXPECT_EQ(sw.forward(), 0.0);
  EXPECT_EQ(slots[0], 10.0);
  EXPECT_EQ(downstream.ports[0].connection->potential.value, up);
  EXPECT_EQ(downstream.get_port_potential(0), up);
}

//   VoltageSource a ── OpenSwitch ── VoltageSource b      both neutrals on one PotentialRef
TEST(OpenSwitch, CarriesNothingAndSeparatesItsSides) {
  const Complex a(230, 0), b(0, 100);
  VoltageSource left(2, &a), right(2, &b);
  PotentialRef ref;
  OpenSwitch open(1);
  left.connect(ref, {{1, 0}});
  left.connect(right, {{1, 1}});
  open.connect_side(left, {{0, 0}}, true);
  open.connect_side(right, {{0, 0}}, false);
  ElectricalNetwork network({&left, &open, &right, &ref});
  Newton newton(&network, false);
  ASSERT_LT(newton.solve_load_flow(10, 1e-9).second, 1e-9);
  Complex v1[1], v2[1], i1[1], i2[1];
  open.get_side_potentials(1, 1, v1, v2);
  expect_near(v1[0], a, 1e-9);
  expect_near(v2[0], b, 1e-9);
  open.get_side_currents(1, 1, i1, i2);
  EXPECT_EQ(i1[0], Complex(0, 0));
  EXPECT_EQ(i2[0], Complex(0, 0));

  for (Port& p : open.ports) p.current = {1, 1};
  open.backward();
  EXPECT_EQ(open.get_port_current(0), Complex(0, 0));
  EXPECT_EQ(open.get_port_current(1), Complex(0, 0));
}

}  // namespace
}  // namespace tarvelo
