#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
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

constexpr double kTolerance = 1e-9;

// Starting potentials well away from the solution: scaled down, turned, neutral offset.
std::array<Complex, 4> far_start(const std::array<Complex, 3>& u) {
  const Complex turn = std::polar(0.8, 0.3);
  return {u[0] * turn, u[1] * turn, u[2] * turn, Complex(5, -5)};
}

//   VoltageSource (star)     Switch          Bus (starts far from the solution)
//   a ────────────────────── a ── a ──────── a ──┬── PowerLoad (a b c n), unbalanced
//   b ────────────────────── b ── b ──────── b ──┼── DeltaPowerLoad (a b c), unbalanced
//   c ────────────────────── c ── c ──────── c ──┤
//   n ──┬─────────────────── n ── n ──────── n ──┘
//       PotentialRef
struct FourWire {
  std::array<Complex, 3> u = checks::balanced_voltages(230.0);
  std::array<Complex, 4> start = far_start(u);
  std::array<Complex, 3> star_powers{{{1000, 200}, {2500, -300}, {600, 100}}};
  std::array<Complex, 3> delta_powers{{{800, 100}, {0, 0}, {1500, 500}}};
  VoltageSource source{4, u.data()};
  PotentialRef ref;
  Switch sw{4};
  Bus bus{4, start.data()};
  PowerLoad star{4, star_powers.data()};
  DeltaPowerLoad delta{3, delta_powers.data()};
  ElectricalNetwork network{join()};

  std::vector<Element*> join() {
    source.connect(ref, {{3, 0}});
    sw.connect_side(source, {{0, 0}, {1, 1}, {2, 2}, {3, 3}}, true);
    sw.connect_side(bus, {{0, 0}, {1, 1}, {2, 2}, {3, 3}}, false);
    bus.connect(star, {{0, 0}, {1, 1}, {2, 2}, {3, 3}});
    bus.connect(delta, {{0, 0}, {1, 1}, {2, 2}});
    return {&source, &ref, &sw, &bus, &star, &delta};
  }

  std::array<Complex, 4> potentials() const {
    std::array<Complex, 4> v;
    bus.get_potentials(4, v.data());
    return v;
  }

  void expect_solved() const {
    checks::expect_kirchhoff(network, 1e-8);
    for (int i = 0; i < 3; ++i) {
      expect_near(checks::drawn_power(star, i, 3), star_powers[i], 1e-5);
      expect_near(source.get_port_potential(i) - source.get_port_potential(3),
                  read(source.voltages[i]), 1e-9);
    }
    EXPECT_EQ(source.get_port_potential(3), Complex(0, 0));
    const Complex delta_total = delta_powers[0] + delta_powers[1] + delta_powers[2];
    expect_near(checks::power_in(delta), delta_total, 1e-5);
    const Complex star_total = star_powers[0] + star_powers[1] + star_powers[2];
    expect_near(-checks::power_in(source), star_total + delta_total, 1e-5);
    expect_near(ref.get_current(), 0.0, 1e-8);  // nothing returns through the reference
  }
};

void expect_same_potentials(const std::array<Complex, 4>& a, const std::array<Complex, 4>& b) {
  for (int i = 0; i < 4; ++i) expect_near(a[i], b[i], 1e-8);
}

TEST(NewtonSolvers, FourWireNetworkObeysItsLaws) {
  FourWire net;
  std::array<Complex, 4> newton_result;
  {
    Newton newton(&net.network, false);
    // The switch fixes the bus linearly: one step to reach the source voltages, one for the
    // loads' currents there.
    const auto [iterations, residual] = newton.solve_load_flow(20, kTolerance);
    EXPECT_GE(iterations, 2);
    EXPECT_LT(residual, kTolerance);
    net.expect_solved();
    newton_result = net.potentials();
  }
  NewtonGoldstein goldstein(&net.network, true, 0.1, 0.9);
  EXPECT_EQ(net.potentials()[0], net.start[0]);  // a new solver starts from the stored values
  const auto [iterations, residual] = goldstein.solve_load_flow(20, kTolerance);
  EXPECT_GE(iterations, 2);
  EXPECT_LT(residual, kTolerance);
  net.expect_solved();
  expect_same_potentials(net.potentials(), newton_result);
}

//   DeltaVoltageSource       Switch          Bus
//   a ────────────────────── a ── a ──────── a ──┬── DeltaPowerLoad (a b c)
//   b ────────────────────── b ── b ──────── b ──┼── PowerLoad (a b c n), neutral floating
//   c ────────────────────── c ── c ──────── c ──┘
//   DeltaPotentialRef (a b c)
TEST(NewtonSolvers, DeltaNetworkWithAFloatingNeutralObeysItsLaws) {
  const auto u = checks::line_voltages(230.0);
  const Complex star_powers[3] = {{3000, 500}, {500, 0}, {1200, -200}};
  const Complex delta_powers[3] = {{700, 70}, {2000, 0}, {100, 10}};
  const Complex start[3] = {{200, 0}, {-100, -180}, {-100, 180}};
  DeltaVoltageSource source(3, u.data());
  DeltaPotentialRef ref(3);
  Switch sw(3);
  Bus bus(3, start);
  DeltaPowerLoad delta(3, delta_powers);
  PowerLoad star(4, star_powers);
  source.connect(ref, {{0, 0}, {1, 1}, {2, 2}});
  sw.connect_side(source, {{0, 0}, {1, 1}, {2, 2}}, true);
  sw.connect_side(bus, {{0, 0}, {1, 1}, {2, 2}}, false);
  bus.connect(delta, {{0, 0}, {1, 1}, {2, 2}});
  bus.connect(star, {{0, 0}, {1, 1}, {2, 2}});
  ElectricalNetwork network({&source, &ref, &sw, &bus, &delta, &star});

  std::array<Complex, 4> results[2];
  for (int variant = 0; variant < 2; ++variant) {
    std::unique_ptr<AbstractNewton> solver;
    if (variant == 0) {
      solver = std::make_unique<Newton>(&network, false);
    } else {
      solver = std::make_unique<NewtonGoldstein>(&network, false, 0.1, 0.9);
    }
    const auto [iterations, residual] = solver->solve_load_flow(30, kTolerance);
    EXPECT_GE(iterations, 3);
    ASSERT_LT(residual, kTolerance);
    checks::expect_kirchhoff(network, 1e-8);
    for (int i = 0; i < 3; ++i) expect_near(checks::drawn_power(star, i, 3), star_powers[i], 1e-5);
    const Complex delta_total = delta_powers[0] + delta_powers[1] + delta_powers[2];
    expect_near(checks::power_in(delta), delta_total, 1e-5);
    Complex v[3];
    source.get_potentials(3, v);
    expect_near(v[0] - v[1], u[0], 1e-9);
    expect_near(v[1] - v[2], u[1], 1e-9);
    expect_near(v[0] + v[1] + v[2], 0.0, 1e-9);
    EXPECT_EQ(ref.get_current(), read(ref.current));
    expect_near(ref.get_current(), 0.0, 1e-8);
    star.get_potentials(4, results[variant].data());
    EXPECT_GT(std::abs(results[variant][3]), 1.0);  // unbalanced: the neutral has moved
  }
  expect_same_potentials(results[0], results[1]);
}

TEST(NewtonSolvers, ParameterUpdatesReachTheTapeWithoutANewSolver) {
  FourWire net;
  auto first = std::make_unique<Newton>(&net.network, false);
  first->solve_load_flow(20, kTolerance);

  net.star_powers[1] = {4000, 1000};
  update(net.star.powers[1], net.star_powers[1]);
  ASSERT_LT(first->solve_load_flow(20, kTolerance).second, kTolerance);
  net.expect_solved();
  const auto updated = net.potentials();
  auto fresh = std::make_unique<Newton>(&net.network, false);
  first.reset();
  ASSERT_LT(fresh->solve_load_flow(20, kTolerance).second, kTolerance);
  expect_same_potentials(net.potentials(), updated);

  const Complex raised = std::polar(240.0, 0.1);
  update(net.source.voltages[0], raised);
  ASSERT_LT(fresh->solve_load_flow(20, kTolerance).second, kTolerance);
  net.expect_solved();
  expect_near(net.source.get_port_potential(0), raised, 1e-9);
  const auto raised_result = net.potentials();
  Newton another(&net.network, true);
  ASSERT_LT(another.solve_load_flow(20, kTolerance).second, kTolerance);
  expect_same_potentials(net.potentials(), raised_result);
}

TEST(NewtonSolvers, ResetRestartsFromTheValuesAtConstruction) {
  FourWire net;
  Newton newton(&net.network, false);
  EXPECT_EQ(newton.independents_size(), 2 * 7 + 2 * 4 + 2 * 3);  // 7 live nodes, switch, source
  const Eigen::VectorXd initial = newton.variables;
  newton.solve_load_flow(20, kTolerance);
  const Complex later[4] = {{1, 1}, {2, 2}, {3, 3}, {4, 4}};
  net.bus.initialize_potentials(later);
  EXPECT_EQ(net.bus.get_port_potential(2), later[2]);
  update(net.star.powers[0], {5, 5});
  newton.reset_inputs();
  EXPECT_EQ(newton.variables, initial);
  EXPECT_EQ(net.bus.get_port_potential(2), net.start[2]);
  EXPECT_EQ(read(net.star.powers[0]), Complex(5, 5));
}

TEST(NewtonSolvers, FailuresAndLimits) {
  // The four-wire network plus a bus joined to nothing: its node has no equation.
  FourWire net;
  Bus lonely(1);
  std::vector<Element*> with_island = net.network.elements;
  with_island.push_back(&lonely);
  ElectricalNetwork island(with_island);
  {
    Newton newton(&island, false);
    checks::expect_throw_text<std::runtime_error>(
        [&] { newton.solve_load_flow(20, kTolerance); },
        "1 Decomposition failed, singular matrix at iteration 0. ");
  }

  // A load on a node at zero potential draws a non-finite current.
  //   VoltageSource ── (nothing)      PowerLoad on a node of its own at 0 V
  const Complex u(230, 0), s(1000, 0);
  VoltageSource source(2, &u);
  PotentialRef ref;
  PowerLoad stranded(2, &s);
  source.connect(ref, {{1, 0}});
  ref.connect(stranded, {{0, 1}});
  ElectricalNetwork broken({&source, &ref, &stranded});
  {
    Newton newton(&broken, false);
    checks::expect_throw_text<std::runtime_error>([&] { newton.solve_load_flow(20, kTolerance); },
                                                  "1 NaN value encountered at iteration 0. ");
    const auto [iterations, residual] = newton.solve_load_flow(0, kTolerance);
    EXPECT_EQ(iterations, 0);
    EXPECT_TRUE(std::isnan(residual));  // never reported as a small residual
  }

  // No step at all: the starting residual comes back and currents are still evaluated.
  Newton newton(&net.network, false);
  const Eigen::VectorXd start = newton.forward();
  const double norm = start.cwiseAbs().maxCoeff();
  for (int limit : {0, -3}) {
    const auto [iterations, residual] = newton.solve_load_flow(limit, kTolerance);
    EXPECT_EQ(iterations, 0);
    EXPECT_EQ(residual, norm);
  }
  expect_near(net.star.get_port_current(0),
              std::conj(net.star_powers[0] / (net.start[0] - net.start[3])), 1e-9);
  // A residual equal to the tolerance is converged.
  EXPECT_EQ(newton.solve_load_flow(20, norm).first, 0);
  EXPECT_FALSE(newton.pattern_analysed);
  // Reaching the limit is no failure.
  EXPECT_EQ(newton.solve_load_flow(1, 0.0).first, 1);

  // A system without unknowns: nothing to do, residual 0.
  PotentialRef lone_ref;
  Bus held(1);
  held.connect(lone_ref, {{0, 0}});
  ElectricalNetwork empty({&held, &lone_ref});
  Newton nothing(&empty, false);
  EXPECT_EQ(nothing.independents_size(), 0);
  EXPECT_EQ(nothing.solve_load_flow(10, kTolerance), (std::pair<int, double>(0, 0.0)));
}

TEST(NewtonGoldstein, TakesNewtonsStepWhenTheFullStepIsAcceptedAndHalvesAnOvershoot) {
  FourWire net;
  Newton newton(&net.network, false);
  NewtonGoldstein goldstein(&net.network, false, 0.1, 0.9);
  const Eigen::VectorXd x0 = goldstein.variables;
  for (int steps = 1; steps <= 2; ++steps) {
    newton.reset_inputs();
    goldstein.reset_inputs();
    newton.solve_load_flow(steps, 0.0);
    goldstein.solve_load_flow(steps, 0.0);
    EXPECT_EQ(goldstein.variables, newton.variables) << steps << " steps";
  }

  // With the sufficient-decrease coefficient above one half, a nearly quadratic merit function
  // rejects the full step and accepts half of it.
  newton.reset_inputs();
  newton.solve_load_flow(1, 0.0);
  const Eigen::VectorXd dx = x0 - newton.variables;
  goldstein.update_params(0.6, 0.9);
  EXPECT_EQ(goldstein.m1, 0.6);
  goldstein.reset_inputs();
  goldstein.solve_load_flow(1, 0.0);
  EXPECT_LT((goldstein.variables - (x0 - 0.5 * dx)).cwiseAbs().maxCoeff(), 1e-9);
}

// ---- lifetimes ----

TEST(SolverLifetime, DestroyingTheLinkingSolverUnlinksEveryNodeAndRecord) {
  FourWire net;
  auto newton = std::make_unique<Newton>(&net.network, false);
  const Eigen::VectorXd initial = newton->variables;
  newton->solve_load_flow(20, kTolerance);
  EXPECT_NE(net.potentials()[0], net.start[0]);
  newton.reset();

  EXPECT_EQ(net.network.linker, nullptr);
  for (const auto& node : net.network.all_connections) {
    EXPECT_FALSE(node->potential.is_linked);
    EXPECT_EQ(node->potential.linked, nullptr);
  }
  for (const auto* records : {&net.source.voltages, &net.source.currents, &net.sw.currents,
                              &net.star.powers, &net.delta.powers}) {
    for (const LinkedComplex& r : *records) EXPECT_FALSE(r.is_linked);
  }
  // Reads fall back to the stored starting values; updates write stored values only.
  EXPECT_EQ(net.potentials()[1], net.start[1]);
  update(net.star.powers[2], {1, 1});
  EXPECT_EQ(read(net.star.powers[2]), Complex(1, 1));
  update(net.star.powers[2], net.star_powers[2]);

  Newton later(&net.network, false);
  EXPECT_EQ(later.variables, initial);
  ASSERT_LT(later.solve_load_flow(20, kTolerance).second, kTolerance);
  net.expect_solved();
}

TEST(SolverLifetime, DestroyingAReplacedSolverChangesNothing) {
  FourWire net;
  auto first = std::make_unique<Newton>(&net.network, false);
  Newton second(&net.network, false);
  first.reset();
  ASSERT_LT(second.solve_load_flow(20, kTolerance).second, kTolerance);
  const double* begin = second.variables.data();
  const double* link = net.bus.ports[0].connection->potential.linked;
  EXPECT_TRUE(link >= begin && link < begin + second.variables.size());
  net.expect_solved();

  // A second network over the same elements: its solver keeps its links when the first
  // network's solver goes away.
  ElectricalNetwork same(net.network.elements);
  auto old_solver = std::make_unique<Newton>(&net.network, false);
  Newton other(&same, false);
  old_solver.reset();
  EXPECT_TRUE(net.star.powers[0].is_linked);
  EXPECT_EQ(net.star.powers[0].linked, other.dynamic_variables.data() + 6);  // after 3 voltages
  ASSERT_LT(other.solve_load_flow(20, kTolerance).second, kTolerance);
  net.expect_solved();
}

// An element whose taped currents cannot be computed.
class FailsWhenTaped : public Element {
 public:
  FailsWhenTaped() : Element(1) {}
  void eval_currents(bool taped) override {
    if (taped) throw std::runtime_error("cannot record");
    zero_currents(*this, taped);
  }
};

TEST(SolverLifetime, AConstructorThatThrowsWhileRecordingLeavesTheTapeFree) {
  FourWire net;
  FailsWhenTaped failing;
  net.bus.connect(failing, {{0, 0}});
  std::vector<Element*> elements = net.network.elements;
  elements.push_back(&failing);
  ElectricalNetwork broken(elements);
  EXPECT_THROW(Newton(&broken, false), std::runtime_error);
  // The recording was closed: what it computed is no variable of a live tape any more.
  EXPECT_FALSE(CppAD::Variable(net.star.ports[0].ad_current.real()));
  EXPECT_EQ(broken.linker, nullptr);
  EXPECT_FALSE(net.star.powers[0].is_linked);

  Newton newton(&net.network, true);
  ASSERT_LT(newton.solve_load_flow(20, kTolerance).second, kTolerance);
  net.expect_solved();
}

}  // namespace
}  // namespace tarvelo
