// The network's layout of unknowns, parameters and rows, and its sweep passes. (What
// detect_elements reports is checked through analyse_jacobian with the solvers.)
#include "core/electrical_network.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "network_checks.hpp"

namespace tarvelo {
namespace {

// Nodes A, B (held at zero by a reference), C; unknowns: the potentials of A and C, the source
// current, the switch current; parameters: the source voltage, the load power.
//
//   VoltageSource ── A ── Switch ── C ── PowerLoad
//        └── B (PotentialRef) ─────────────┘
TEST(ElectricalNetwork, DeclaresNodesThenElementsAndWritesRowsInTheSameOrder) {
  const Complex u(230, 1), s(1000, 100), a(11, 12), c(13, 14);
  VoltageSource source(2, &u);
  PotentialRef ref;
  Switch sw(1);
  Bus bus_a(1, &a), bus_c(1, &c);
  PowerLoad load(2, &s);
  bus_a.connect(source, {{0, 0}});
  sw.connect_side(bus_a, {{0, 0}}, true);
  sw.connect_side(bus_c, {{0, 0}}, false);
  bus_c.connect(load, {{0, 0}});
  source.connect(ref, {{1, 0}});
  source.connect(load, {{1, 1}});
  source.currents[0].value = {3, 4};  // a starting value other than zero shows where it goes

  ElectricalNetwork network({&bus_a, &source, &ref, &sw, &bus_c, &load});
  const auto [x, p] = network.declare_variables();
  EXPECT_EQ(x, (std::vector<double>{11, 12, 13, 14, 3, 4, 0, 0}));
  EXPECT_EQ(p, (std::vector<double>{230, 1, 1000, 100}));

  // Linked to those values: Kirchhoff at A and C, then the source's and the switch's equations.
  Eigen::VectorXd xv = Eigen::Map<const Eigen::VectorXd>(x.data(), 8);
  Eigen::VectorXd pv = Eigen::Map<const Eigen::VectorXd>(p.data(), 4);
  network.link_variables(xv.cast<AD>(), xv, pv.cast<AD>(), pv);
  ADVector y(8);
  network.add_equations(y);
  const Complex load_current = std::conj(s / c);
  const std::vector<double> expected{3,          4,        load_current.real(), load_current.imag(),
                                     11.0 - 230, 12.0 - 1, 11.0 - 13,           12.0 - 14};
  for (int k = 0; k < 8; ++k) EXPECT_NEAR(CppAD::Value(y[k]), expected[k], 1e-12) << k;
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
  EXPECT_EQ(ElectricalNetwork({}).forward(), 0.0);
  ElectricalNetwork({&a, &b, &c}).backward();
  EXPECT_EQ(calls, (std::vector<const Element*>{&c, &b, &a}));
  // The sweep stops at a change equal to the tolerance, at its limit, and sweeps at least once.
  ElectricalNetwork one({&a});
  BackwardForward sweep(&one);
  EXPECT_EQ(sweep.solve_load_flow(10, 0.5), std::make_pair(1, 0.5));
  EXPECT_EQ(sweep.solve_load_flow(3, 0.4), std::make_pair(3, 0.5));
  EXPECT_EQ(sweep.solve_load_flow(0, 0.4), std::make_pair(1, 0.5));
}

}  // namespace
}  // namespace tarvelo
