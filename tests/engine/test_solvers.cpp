// The Newton solvers on the four-wire network: its laws, updates, failures, the Goldstein step
// rule and what the solvers' lifetimes do to the network's links.
#include "solvers/solvers.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "network_checks.hpp"

namespace tarvelo {
namespace {

using checks::FourWire;
using checks::largest_difference;

TEST(NewtonSolvers, FourWireNetworkObeysItsLawsUnderBothSolvers) {
  FourWire net;
  const auto newton_result = net.solve(*std::make_unique<Newton>(&net.network, false));
  NewtonGoldstein goldstein(&net.network, true, 0.1, 0.9);
  EXPECT_GT(largest_difference(net.potentials(), newton_result), 1.0);  // a fresh start
  EXPECT_LT(largest_difference(net.solve(goldstein), newton_result), 1e-8);
}

TEST(NewtonSolvers, UpdatesThroughTheRecordsReachTheNextSolve) {
  FourWire net;
  Newton first(&net.network, false);
  const auto before = net.solve(first);
  update(net.star.powers[1], {4000, 1000});
  update(net.source.voltages[0], std::polar(240.0, 0.1));
  const auto updated = net.solve(first);
  EXPECT_GT(largest_difference(updated, before), 1.0);
  Newton fresh(&net.network, true);
  EXPECT_LT(largest_difference(net.solve(fresh), updated), 1e-8);
}

TEST(NewtonSolvers, FailuresAndLimits) {
  // A bus joined to nothing: its node has no equation.
  FourWire net;
  Bus lonely(1);
  ElectricalNetwork island(
      {&net.source, &net.ref, &net.sw, &net.bus, &net.star, &net.delta, &lonely});
  Newton singular(&island, false);
  checks::expect_throw_text<std::runtime_error>(
      [&] { singular.solve_load_flow(20, 1e-9); },
      "1 Decomposition failed, singular matrix at iteration 0. ");
  // However few entries the Jacobian has beside many floating nodes, the failure comes at once:
  // the feeder beside 5,000 lonely buses, and a network listing only a bus whose other ports'
  // currents were recorded by another tape (no entry at all).
  std::vector<std::unique_ptr<Bus>> many;
  std::vector<Element*> listed{&net.source, &net.ref, &net.sw, &net.bus, &net.star};
  for (int i = 0; i < 5000; ++i) listed.push_back(many.emplace_back(new Bus(1)).get());
  ElectricalNetwork sparse(listed), bus_only({&net.bus});
  for (ElectricalNetwork* network : {&sparse, &bus_only}) {
    Newton newton(network, false);
    checks::expect_throw_text<std::runtime_error>(
        [&] { newton.solve_load_flow(20, 1e-9); },
        "1 Decomposition failed, singular matrix at iteration 0. ");
  }

  // Loads at 0 V draw non-finite currents: a failure, never a small residual.
  FourWire dead(true);
  Newton broken(&dead.network, false);
  checks::expect_throw_text<std::runtime_error>([&] { broken.solve_load_flow(20, 1e-9); },
                                                "1 NaN value encountered at iteration 0. ");
  EXPECT_TRUE(std::isnan(broken.solve_load_flow(0, 1e-9).second));

  // No step at all: the starting residual comes back, the currents are evaluated there.
  Newton newton(&net.network, false);
  const double start = newton.forward().cwiseAbs().maxCoeff();
  for (int limit : {0, -3})
    EXPECT_EQ(newton.solve_load_flow(limit, 1e-9), std::make_pair(0, start));
  checks::expect_near(net.star.get_port_current(0),
                      std::conj(net.star_powers[0] / (net.start[0] - net.start[3])), 1e-9);
  EXPECT_EQ(newton.solve_load_flow(20, start).first, 0);  // a residual at the tolerance converged
}

TEST(NewtonGoldstein, TakesNewtonsStepWhenAcceptedAndHalvesAnOvershoot) {
  FourWire net;
  Newton newton(&net.network, false);
  NewtonGoldstein goldstein(&net.network, false, 0.1, 0.9);
  const Eigen::VectorXd x0 = goldstein.variables;
  newton.solve_load_flow(2, 0.0);
  goldstein.solve_load_flow(2, 0.0);
  EXPECT_EQ(goldstein.variables, newton.variables);  // two full steps each
  // With the sufficient-decrease coefficient above one half, a nearly quadratic merit function
  // rejects the full step and accepts half of it.
  newton.reset_inputs();
  newton.solve_load_flow(1, 0.0);
  const Eigen::VectorXd dx = x0 - newton.variables;
  goldstein.update_params(0.6, 0.9);
  goldstein.reset_inputs();
  goldstein.solve_load_flow(1, 0.0);
  EXPECT_LT((goldstein.variables - (x0 - 0.5 * dx)).cwiseAbs().maxCoeff(), 1e-9);
}

TEST(SolverLifetime, DestroyingTheLinkingSolverUnlinksEveryNodeAndRecord) {
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
  Newton later(&net.network, false);
  EXPECT_EQ(later.variables, initial);
  net.solve(later);
}

TEST(SolverLifetime, DestroyingAReplacedSolverChangesNothing) {
  FourWire net;
  auto first = std::make_unique<Newton>(&net.network, false);
  Newton second(&net.network, false);
  first.reset();
  net.solve(second);
  // Another network over the same elements: its solver keeps its links when the first
  // network's solver goes away.
  ElectricalNetwork same(net.network.elements);
  auto old_solver = std::make_unique<Newton>(&net.network, false);
  Newton other(&same, false);
  old_solver.reset();
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
