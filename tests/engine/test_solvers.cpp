// The Newton solvers: the four-wire network's laws under both, updates, failures and their
// diagnosis, Goldstein's step lengths, and what the solvers' lifetimes do to the network.
#include "solvers/solvers.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "elements/line.hpp"
#include "network_checks.hpp"

namespace tarvelo {
namespace {

using checks::expect_throw_text;
using checks::FourWire;
using checks::largest_difference;
using Lists = std::pair<std::vector<int>, std::vector<int>>;

TEST(NewtonSolvers, FourWireNetworkObeysItsLawsUnderBothSolversAndAfterUpdates) {
  FourWire net;
  const auto before = net.solve(*std::make_unique<Newton>(&net.network, false));
  NewtonGoldstein goldstein(&net.network, true, 0.1, 0.9);
  EXPECT_GT(largest_difference(net.potentials(), before), 1.0);  // a fresh start
  EXPECT_LT(largest_difference(net.solve(goldstein), before), 1e-8);
  // The checks read the updated records: the new values reach the tape without a new recording.
  update(net.star.powers[1], {4000, 1000});
  update(net.delta.powers[2], {-500, 300});
  update(net.source.voltages[0], std::polar(240.0, 0.1));
  EXPECT_GT(largest_difference(net.solve(goldstein), before), 1.0);
}

TEST(NewtonSolvers, FailuresLimitsAndTheirDiagnosis) {
  const std::string singular = "1 Decomposition failed, singular matrix at iteration 0. ";
  const std::string nan = "1 NaN value encountered at iteration 0. ";
  // A bus joined to nothing: no row depends on its node, whose columns are empty.
  FourWire net;
  Bus lonely(1);
  ElectricalNetwork island(
      {&net.source, &net.ref, &net.sw, &net.bus, &net.star, &net.delta, &lonely});
  Newton newton_island(&island, false);
  expect_throw_text<std::runtime_error>([&] { newton_island.solve_load_flow(20, 1e-9); }, singular);
  EXPECT_EQ(newton_island.analyse_jacobian(), Lists({6}, {}));
  // However few entries the Jacobian has beside many floating nodes, the failure comes at once:
  // the feeder beside 5,000 lonely buses, and a network listing only a bus whose other ports'
  // currents were recorded by another tape (no entry at all).
  std::vector<std::unique_ptr<Bus>> many;
  std::vector<Element*> listed{&net.source, &net.ref, &net.sw, &net.bus, &net.star};
  for (int i = 0; i < 5000; ++i) listed.push_back(many.emplace_back(new Bus(1)).get());
  ElectricalNetwork sparse(listed), bus_only({&net.bus});
  for (ElectricalNetwork* network : {&sparse, &bus_only}) {
    Newton newton(network, false);
    expect_throw_text<std::runtime_error>([&] { newton.solve_load_flow(20, 1e-9); }, singular);
  }

  // Loads at 0 V draw NaN currents: a failure, never a small residual. The non-finite rows are
  // those of the bus nodes, where the loads' currents are NaN.
  FourWire dead(true);
  Newton broken(&dead.network, false);
  expect_throw_text<std::runtime_error>([&] { broken.solve_load_flow(20, 1e-9); }, nan);
  EXPECT_TRUE(std::isnan(broken.solve_load_flow(0, 1e-9).second));
  EXPECT_EQ(broken.analyse_jacobian(), Lists({}, {4, 5}));
  // Two admittances near the largest double on one node: their sum in the Jacobian is infinite
  // (not NaN), and the node's row names its first port's element.
  //   VoltageSource a n ─┬─ AdmittanceLoad (a n)     n on a PotentialRef
  //                      └─ AdmittanceLoad (a n)
  const Complex u(230.0, 0.0), huge(1e308, 0.0);
  VoltageSource source(2, &u);
  PotentialRef ref;
  AdmittanceLoad y1(2, &huge), y2(2, &huge);
  source.connect(ref, {{1, 0}});
  source.connect(y1, checks::same_ports(2));
  source.connect(y2, checks::same_ports(2));
  ElectricalNetwork overflow({&source, &ref, &y1, &y2});
  Newton infinite(&overflow, false);
  expect_throw_text<std::runtime_error>([&] { infinite.solve_load_flow(20, 1e-9); }, nan);
  EXPECT_EQ(infinite.analyse_jacobian(), Lists({}, {0}));

  // No step at all: the starting residual comes back, the currents are evaluated there.
  Newton newton(&net.network, false);
  const double start = newton.forward().cwiseAbs().maxCoeff();
  for (int limit : {0, -3})
    EXPECT_EQ(newton.solve_load_flow(limit, 1e-9), std::make_pair(0, start));
  checks::expect_near(net.star.get_port_current(0),
                      std::conj(net.star_powers[0] / (net.start[0] - net.start[3])), 1e-9);
  EXPECT_EQ(newton.solve_load_flow(20, start).first, 0);  // a residual at the tolerance converged
  EXPECT_EQ(newton.solve_load_flow(2, 1e-9).first, 2);
}

// On a linear network F(x0 - t dx) = (1 - t) F(x0) along the Newton increment dx: the residual
// left by one step gives its length t, and the mean slope of f = |F|^2 / 2 over the step is
// slope (1 - t / 2), so that Goldstein's test accepts t when m1 <= 1 - t / 2 <= m2.
//
//   VoltageSource a n ══ SimplifiedLine ══ bus ── AdmittanceLoad (bus, n)
//   n on a PotentialRef
TEST(NewtonGoldstein, StepLengthsOnALinearNetwork) {
  const Complex u(230.0, 0.0), z(0.4, 0.2), y(0.05, -0.02);
  VoltageSource source(2, &u);
  PotentialRef ref;
  SimplifiedLine line(1, &z);
  Bus bus(1);
  AdmittanceLoad load(2, &y);
  source.connect(ref, {{1, 0}});
  line.connect_side(source, {{0, 0}}, true);
  line.connect_side(bus, {{0, 0}}, false);
  bus.connect(load, {{0, 0}});
  source.connect(load, {{1, 1}});
  ElectricalNetwork network({&source, &ref, &line, &bus, &load});
  NewtonGoldstein goldstein(&network, false, 0.0, 0.0);
  const double start = goldstein.forward().cwiseAbs().maxCoeff();
  struct Case {
    double m1, m2, t;
  };
  // With m1 > m2 no length passes: t is too long above 0.2 and too short below, so it is halved
  // from 1 to 0.125, then bisected towards 0.2 until the tenth trial, 0.201171875.
  for (const Case& c : {Case{0.1, 0.9, 1.0},     // the full step
                        Case{-1.2, -0.9, 4.0},   // too short at 1 and 2: doubled twice
                        Case{0.8, 0.85, 0.375},  // too long at 1 and 0.5, too short at 0.25
                        Case{0.9, 0.1, 0.201171875}}) {
    goldstein.update_params(c.m1, c.m2);
    goldstein.reset_inputs();
    const double left = goldstein.solve_load_flow(1, 0.0).second;
    EXPECT_NEAR(left, std::abs(1.0 - c.t) * start, 1e-9 * start) << "t = " << c.t;
  }
}

TEST(SolverLifetime, DestroyingTheLinkingSolverUnlinksEveryNodeAndRecordAndNoOther) {
  FourWire net;
  auto newton = std::make_unique<Newton>(&net.network, false);
  const Eigen::VectorXd initial = newton->variables;
  net.solve(*newton);
  newton.reset();
  EXPECT_EQ(net.network.linker, nullptr);
  for (const auto& node : net.network.all_connections) EXPECT_FALSE(node->potential.is_linked);
  for (const auto* records : {&net.source.voltages, &net.source.currents, &net.sw.currents,
                              &net.star.powers, &net.delta.powers}) {
    for (const LinkedComplex& r : *records) EXPECT_FALSE(r.is_linked);
  }
  EXPECT_EQ(net.bus.get_port_potential(1), net.start[1]);  // the stored value is read again
  // A solver whose links were taken over, here by one of another network over the same
  // elements, leaves them alone when it goes.
  auto replaced = std::make_unique<Newton>(&net.network, false);
  ElectricalNetwork same(net.network.elements);
  Newton other(&same, false);
  replaced.reset();
  EXPECT_EQ(other.variables, initial);
  net.solve(other);
}

// An element whose taped currents cannot be computed.
struct FailsWhenTaped : Element {
  FailsWhenTaped() : Element(1) {}
  void eval_currents(bool taped) override {
    if (taped) throw std::runtime_error("cannot record");
    zero_currents(*this, taped);
  }
};

TEST(SolverLifetime, AConstructorThatThrowsWhileRecordingLeavesTheTapeFree) {
  FourWire net;
  FailsWhenTaped failing;
  ElectricalNetwork broken(
      {&net.source, &net.ref, &net.sw, &net.bus, &net.star, &net.delta, &failing});
  EXPECT_THROW(Newton(&broken, false), std::runtime_error);
  EXPECT_FALSE(CppAD::Variable(net.star.ports[0].ad_current.real()));  // the recording closed
  net.solve(*std::make_unique<Newton>(&net.network, true));
}

}  // namespace
}  // namespace tarvelo
