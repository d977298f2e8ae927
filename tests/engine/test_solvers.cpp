// The Newton solvers: failures and their diagnosis, the iteration limits, Goldstein's step
// lengths, and what the solvers' lifetimes do to the network.
#include "solvers/solvers.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "network_checks.hpp"

namespace tarvelo {
namespace {

using checks::Feeder;
using Lists = std::pair<std::vector<int>, std::vector<int>>;

TEST(NewtonSolvers, FailuresLimitsAndTheirDiagnosis) {
  // No step at all: the starting residual comes back, the currents are evaluated there.
  Feeder feeder;
  Newton newton(feeder.network.get(), false);
  const double start = newton.forward().cwiseAbs().maxCoeff();
  for (int limit : {0, -3})
    EXPECT_EQ(newton.solve_load_flow(limit, 1e-9), std::make_pair(0, start));
  checks::expect_near(feeder.power.get_port_current(0),
                      std::conj(feeder.values[0][0] / (feeder.start[0] - feeder.start[3])), 1e-9);
  EXPECT_EQ(newton.solve_load_flow(20, start).first, 0);  // a residual at the tolerance converged
  EXPECT_EQ(newton.solve_load_flow(2, 1e-9).first, 2);
  // A network listing only a bus: the ports of the feeder's other elements on its nodes, whose
  // currents the tape above recorded, draw nothing in it, and nothing is left to solve.
  ElectricalNetwork bus_only({&feeder.mid});
  Newton empty(&bus_only, false);
  EXPECT_EQ(empty.solve_load_flow(20, 1e-9), std::make_pair(0, 0.0));

  // Loads at 0 V draw NaN currents: the starting residual is NaN, never a small one. (The failed
  // solve and the rows it names are the Python tests' to check.)
  const std::string nan = "1 NaN value encountered at iteration 0. ";
  Feeder dead(true);
  EXPECT_TRUE(std::isnan(Newton(dead.network.get(), false).solve_load_flow(0, 1e-9).second));
  // A node at 1 V with an admittance near the largest double and a large power drawn back: the
  // power load adds to d Re I / d Re V what it takes from d Im I / d Im V, so that of all stored
  // entries of the Jacobian only the first is infinite (not NaN). The solve fails on it, and the
  // node's row names its first port's element.
  //   Bus a n ─┬─ VoltageSource (a n)     n on a PotentialRef
  //            ├─ AdmittanceLoad (a n)
  //            └─ PowerLoad (a n)
  const Complex u(1.0, 0.0), huge(1.7e308, 0.0), fed_back(-1e307, 0.0);
  const std::array<Complex, 2> at_one_volt{u, Complex(0.0, 0.0)};
  Bus bus(2, at_one_volt.data());
  VoltageSource source(2, &u);
  PotentialRef ref;
  AdmittanceLoad admittance(2, &huge);
  PowerLoad power(2, &fed_back);
  bus.connect(ref, {{1, 0}});
  for (Element* element : std::initializer_list<Element*>{&source, &admittance, &power})
    bus.connect(*element, checks::same_ports(2));
  ElectricalNetwork overflow({&bus, &source, &ref, &admittance, &power});
  Newton infinite(&overflow, false);
  EXPECT_EQ(checks::error_text([&] { infinite.solve_load_flow(20, 1e-9); }), nan);
  EXPECT_EQ(infinite.analyse_jacobian(), Lists({}, {0}));
}

// On a linear network F(x0 - t dx) = (1 - t) F(x0) along the Newton increment dx: the residual
// left by one step gives its length t, and the mean slope of f = |F|^2 / 2 over the step is
// slope (1 - t / 2), so that Goldstein's test accepts t when m1 <= 1 - t / 2 <= m2.
//
//   VoltageSource a n ── AdmittanceLoad (a n)      n on a PotentialRef
TEST(NewtonGoldstein, StepLengthsOnALinearNetwork) {
  const Complex u(230.0, 0.0), y(0.05, -0.02);
  VoltageSource source(2, &u);
  PotentialRef ref;
  AdmittanceLoad load(2, &y);
  source.connect(ref, {{1, 0}});
  source.connect(load, checks::same_ports(2));
  ElectricalNetwork network({&source, &ref, &load});
  NewtonGoldstein goldstein(&network, false, 0.0, 0.0);
  const double start = goldstein.forward().cwiseAbs().maxCoeff();
  // With m1 > m2 no length passes: t is too long above 0.2 and too short below, so it is halved
  // from 1 to 0.125, then bisected towards 0.2 until the tenth trial, 0.201171875.
  using Case = std::array<double, 3>;                   // m1, m2 and the step length t they lead to
  for (const auto& [m1, m2, t] : {Case{0.1, 0.9, 1.0},  // the full step
                                  Case{-1.2, -0.9, 4.0},   // too short at 1 and 2: doubled twice
                                  Case{0.8, 0.85, 0.375},  // too long at 1 and 0.5, short at 0.25
                                  Case{0.9, 0.1, 0.201171875}}) {
    goldstein.update_params(m1, m2);
    goldstein.reset_inputs();
    const double left = goldstein.solve_load_flow(1, 0.0).second;
    EXPECT_NEAR(left, std::abs(1.0 - t) * start, 1e-9 * start) << "t = " << t;
  }
}

// An element whose taped currents cannot be computed.
struct FailsWhenTaped : Element {
  FailsWhenTaped() : Element(1) {}
  void eval_currents(bool taped) override {
    if (taped) throw std::runtime_error("cannot record");
    zero_currents(*this, taped);
  }
};

TEST(SolverLifetime, TheLinkingSolverUnlinksWhenItGoesAndAFailedRecordingLeavesTheTapeFree) {
  Feeder feeder;
  auto newton = std::make_unique<Newton>(feeder.network.get(), false);
  ASSERT_LT(newton->solve_load_flow(20, 1e-10).second, 1e-10);
  const Complex solved = feeder.mid.get_port_potential(1);
  newton.reset();
  for (const auto& node : feeder.network->all_connections) EXPECT_FALSE(node->potential.is_linked);
  for (const auto* records : {&feeder.source.voltages, &feeder.source.currents, &feeder.sw.currents,
                              &feeder.power.powers})
    for (const LinkedComplex& r : *records) EXPECT_FALSE(r.is_linked);
  EXPECT_FALSE(feeder.line->y_line.is_linked);
  EXPECT_EQ(feeder.mid.get_port_potential(1), solved);  // kept as the stored value
  // A solver whose links were taken over, here by one of another network over the same
  // elements, leaves them alone when it goes.
  auto replaced = std::make_unique<Newton>(feeder.network.get(), false);
  ElectricalNetwork same(feeder.network->elements);
  Newton other(&same, false);
  replaced.reset();
  EXPECT_EQ(other.variables, other.initial_variables);
  // A recording that throws is closed, so that a later solver records its own.
  FailsWhenTaped failing;
  std::vector<Element*> listed = feeder.network->elements;
  listed.push_back(&failing);
  ElectricalNetwork broken(listed);
  EXPECT_THROW(Newton(&broken, false), std::runtime_error);
  EXPECT_FALSE(CppAD::Variable(feeder.power.ports[0].ad_current.real()));
  Newton again(&same, false);
  ASSERT_LT(again.solve_load_flow(20, 1e-10).second, 1e-10);
  feeder.check();
}

// Each network with a solver alive counts once in the listings of what it lists (an element it
// lists twice, twice). A node held at zero by a join made after a solver linked it lets go of that
// solver's slot when the solver goes: its potential, written afterwards, writes no freed slot.
TEST(SolverLifetime, ListingsFollowTheSolversAliveAndANodeHeldAtZeroLetsGoOfItsSlot) {
  Feeder feeder;
  const auto listings = [&] {
    return std::array<int, 3>{feeder.power.solving_listings,
                              feeder.end.ports[3].connection->solving_listings,
                              feeder.source.solving_listings};
  };
  auto first = std::make_unique<Newton>(feeder.network.get(), false);
  EXPECT_EQ(listings(), (std::array<int, 3>{1, 1, 1}));
  {
    BackwardForward second(feeder.network.get());
    ElectricalNetwork load_twice({&feeder.power, &feeder.power, &feeder.end});
    Newton third(&load_twice, false);
    EXPECT_EQ(listings(), (std::array<int, 3>{3, 2, 1}));
  }
  EXPECT_EQ(listings(), (std::array<int, 3>{1, 1, 1}));
  PotentialRef held;
  feeder.end.connect(held, {{3, 0}});  // the far neutral, linked to the first solver
  const LinkedComplex& neutral = feeder.end.ports[3].connection->potential;
  ASSERT_TRUE(neutral.is_linked);
  first.reset();
  EXPECT_EQ(listings(), (std::array<int, 3>{0, 0, 0}));
  EXPECT_FALSE(neutral.is_linked);
  const std::array<Complex, 4> again{1.0, 2.0, 3.0, 4.0};
  feeder.end.initialize_potentials(again.data());
  EXPECT_EQ(feeder.end.get_port_potential(3), 0.0);
}

// A join made after the network was built absorbs one of its nodes, and an element on that node
// that the network does not list goes. The solver built before the join looks for the elements
// behind the node's rows, which a load of NaN power made NaN: the absorbed node lists no port,
// where the freed element's would be, so it names nobody. Solving, or building a solver on the
// network, is refused.
//   source(0) == bus(0) == stray(0) == nan_load(0), later joined by other(0); the neutrals on a
//   reference
TEST(SolverLifetime, ANodeAbsorbedAfterTheNetworkWasBuiltKeepsNoFreedPort) {
  const std::array<Complex, 2> start{230.0, 0.0};
  const Complex u(230.0, 0.0), power(1e3, 0.0), nan(std::nan(""), 0.0);
  VoltageSource source(2, &u);
  PotentialRef ref;
  Bus bus(2, start.data()), other(2, start.data());
  PowerLoad nan_load(2, &nan);
  auto stray = std::make_unique<PowerLoad>(2, &power);
  for (Element* element : std::initializer_list<Element*>{&source, stray.get(), &nan_load})
    bus.connect(*element, checks::same_ports(2));
  bus.connect(ref, {{1, 0}});
  ElectricalNetwork network({&source, &ref, &bus, &nan_load});
  Newton newton(&network, false);
  EXPECT_EQ(newton.analyse_jacobian(), Lists({}, {3}));
  other.connect(bus, {{0, 0}});
  stray.reset();
  EXPECT_EQ(newton.analyse_jacobian(), Lists({}, {}));
  const std::string changed =
      "The network's connections changed after it was built: build a new network and a new "
      "solver.";
  EXPECT_EQ(checks::error_text([&] { newton.solve_load_flow(5, 1e-9); }), changed);
  EXPECT_EQ(checks::error_text([&] { Newton again(&network, false); }), changed);
}

}  // namespace
}  // namespace tarvelo
